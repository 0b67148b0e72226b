// The key manager: what the "Key Manager" dialog shows and does, without a toolkit. The dialog
// draws Rows(), enables its buttons from the selection, and calls these operations; questions,
// file choices and errors go through the user-interface services.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/known_hosts.h"

namespace tarnwick {

struct KeyType {
    const char* caption;  // "SSH1 RSA", "SSH2 RSA", "SSH2 DSA", "SSH2 Ed25519", ..., "SSL"
    int space;
    const char* algorithm;
};

class KeyManagerModel {
  public:
    // The rows of the "Key type:" box in their order.
    static std::span<const KeyType> KeyTypes();
    // "SSL", the type selected when the dialog opens.
    static constexpr int kInitialKeyType = 7;

    KeyManagerModel();

    // Selects a key type and refills the rows for it.
    void SelectKeyType(int index);
    int key_type() const { return key_type_; }
    void Refill();
    const std::vector<KnownHostEntry>& Rows() const { return rows_; }

    // Sorts by column 0 (host name) or 1 (fingerprint); sorting by the same column again
    // reverses the order.
    void SortByColumn(int column);
    // The column the rows are sorted by (-1: as stored) and whether the order is reversed.
    int sort_column() const { return sort_column_; }
    bool sort_reversed() const { return sort_reversed_; }

    // "Delete": asks for confirmation, then removes the stored key and its row.
    bool Delete(int row);
    // "&Export": asks for a file and writes the stored key to it.
    bool Export(int row);
    // "&Import": asks for a file and a host name and stores the file's content as a key of the
    // selected type.
    bool Import();

  private:
    void SortRows();

    int key_type_ = kInitialKeyType;
    std::vector<KnownHostEntry> rows_;
    int sort_column_ = -1;
    bool sort_reversed_ = false;
};

}  // namespace tarnwick
