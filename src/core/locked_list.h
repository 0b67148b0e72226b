// A singly linked list guarded by its own Lock: the one container shared between threads (received
// data queues, queued key codes, channel and key lists). Items are owned by whoever pops them; the
// list never frees an item (unique_ptr items free themselves when the list is cleared).
//
// A second binary semaphore lives with the list for its users: the TCP/IP transport uses it as its
// pump lock, the port-forward list holds it for a whole save walk.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/lock.h"

namespace tarnwick {

template <typename T>
class LockedList {
  public:
    LockedList() = default;
    ~LockedList() { Clear(); }
    LockedList(const LockedList&) = delete;
    LockedList& operator=(const LockedList&) = delete;

    void PushBack(T item) {
        Node* node = new Node{std::move(item), nullptr};
        LockHolder hold(lock_);
        if (tail_) {
            tail_->next = node;
        } else {
            head_ = node;
        }
        tail_ = node;
        ++count_;
    }

    // The first item, or an empty T (0, nullptr) when the list is empty.
    T PopFront() {
        LockHolder hold(lock_);
        if (head_ == nullptr) return T{};
        Node* node = head_;
        head_ = node->next;
        if (head_ == nullptr) tail_ = nullptr;
        if (cursor_ == node) cursor_ = head_;
        --count_;
        T item = std::move(node->item);
        delete node;
        return item;
    }

    // Removes the first node whose item equals value; nothing happens when there is none.
    template <typename U>
    bool Remove(const U& value) {
        LockHolder hold(lock_);
        Node* previous = nullptr;
        for (Node* node = head_; node != nullptr; previous = node, node = node->next) {
            if (!(node->item == value)) continue;
            if (previous) {
                previous->next = node->next;
            } else {
                head_ = node->next;
            }
            if (tail_ == node) tail_ = previous;
            if (cursor_ == node) cursor_ = node->next;
            --count_;
            delete node;
            return true;
        }
        return false;
    }

    // Iteration: Begin returns the first item and sets the cursor to the second; Next returns the
    // cursor's item and advances. Both return an empty T at the end. A removal of the cursor's node
    // moves the cursor on, so removing items while walking is safe.
    T Begin() requires std::is_copy_constructible_v<T> {
        LockHolder hold(lock_);
        if (head_ == nullptr) {
            cursor_ = nullptr;
            return T{};
        }
        cursor_ = head_->next;
        return head_->item;
    }
    T Next() requires std::is_copy_constructible_v<T> {
        LockHolder hold(lock_);
        if (cursor_ == nullptr) return T{};
        T item = cursor_->item;
        cursor_ = cursor_->next;
        return item;
    }

    // Calls f(item) for every item under the lock; f must not touch this list.
    template <typename F>
    void ForEach(F&& f) {
        LockHolder hold(lock_);
        for (Node* node = head_; node != nullptr; node = node->next)
            f(node->item);
    }

    // A new list with the same items in the same order (the items are not duplicated).
    void CopyTo(LockedList& other) requires std::is_copy_constructible_v<T> {
        LockHolder hold(lock_);
        for (Node* node = head_; node != nullptr; node = node->next)
            other.PushBack(node->item);
    }

    void Clear() {
        LockHolder hold(lock_);
        Node* node = head_;
        while (node) {
            Node* next = node->next;
            delete node;
            node = next;
        }
        head_ = tail_ = cursor_ = nullptr;
        count_ = 0;
    }

    std::size_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }

    Lock& lock() { return lock_; }
    Lock& second() { return second_; }

  private:
    struct Node {
        T item;
        Node* next;
    };

    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    Node* cursor_ = nullptr;
    std::atomic<std::size_t> count_{0};
    Lock lock_;
    Lock second_;
};

}  // namespace tarnwick
