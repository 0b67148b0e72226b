#include "ssh/ssh1_forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/status.h"
#include "ssh/ssh1.h"
#include "transport/socket.h"

namespace tarnwick {

// ---- SSH1ForwardChannel ----

SSH1ForwardChannel::SSH1ForwardChannel(IO_SSH1* owner, std::uint32_t local_id, int socket,
                                       std::string host, std::uint32_t port,
                                       std::uint32_t local_port)
    : owner_(owner),
      local_id_(local_id),
      socket_(socket),
      host_(std::move(host)),
      port_(port),
      local_port_(local_port) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SSH1ForwardChannel::~SSH1ForwardChannel() {
    Shutdown();
    if (socket_ >= 0) CloseSocket(socket_);
    if (wake_fd_ >= 0) close(wake_fd_);
}

void SSH1ForwardChannel::Wake() {
    if (wake_fd_ < 0) return;
    const std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
}

bool SSH1ForwardChannel::Start() {
    if (wake_fd_ < 0) return false;
    thread_.SetWaker([this] { Wake(); });
    return thread_.Start([this] { return Run(); });
}

void SSH1ForwardChannel::Shutdown() {
    thread_.Stop();
}

bool SSH1ForwardChannel::Finished() const {
    return finished_.load() || !thread_.HasHandle();
}

void SSH1ForwardChannel::OnOpenConfirmation(std::uint32_t remote_id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (confirmed_.load() || open_failed_) return;  // a channel is opened once
        remote_id_ = remote_id;
        confirmed_.store(true);
    }
    Wake();
}

void SSH1ForwardChannel::OnOpenFailure() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (confirmed_.load()) return;  // too late: the channel is open
        open_failed_ = true;
    }
    Wake();
}

void SSH1ForwardChannel::OnData(std::string_view data) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Data after the server's INPUT_EOF, or for a socket that can take nothing more, has
        // nowhere to go.
        if (output_ != kOutputOpen || data.empty()) return;
        if (to_socket_bytes_ + data.size() > kMaxToSocket) {
            // The thread gives up on the socket; only it may empty the queue it writes from.
            overflowed_ = true;
        } else {
            to_socket_.emplace_back(data);
            to_socket_bytes_ += data.size();
        }
    }
    Wake();
}

void SSH1ForwardChannel::OnInputEof() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (output_ == kOutputOpen) output_ = kOutputDraining;
    }
    Wake();
}

void SSH1ForwardChannel::OnOutputClosed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (input_ == kInputOpen) send_input_eof_ = true;  // the far end takes nothing more
        input_ = kInputClosed;
    }
    Wake();
}

void SSH1ForwardChannel::FailLocally() {
    to_socket_.clear();
    to_socket_bytes_ = 0;
    if (input_ == kInputOpen) {
        send_input_eof_ = true;
        input_ = kInputEofSent;
    }
    if (output_ != kOutputClosed) {
        send_output_closed_ = true;
        output_ = kOutputClosed;
    }
}

bool SSH1ForwardChannel::SendOpen() {
    PooledPacket packet(*owner_);
    if (!packet) return false;
    packet->beginPayload();
    packet->putByte(ssh1::kPortOpen);
    packet->putUint32(local_id_);
    packet->putString(host_);
    packet->putUint32(port_);
    if (owner_->host_in_forward_open()) {
        char originator[300];
        std::snprintf(originator, sizeof originator, "%d:%s:%d", static_cast<int>(local_port_),
                      host_.c_str(), static_cast<int>(port_));
        packet->putCString(originator);
    }
    packet->finish();
    return owner_->sendPacket(*packet) == status::kOk;
}

bool SSH1ForwardChannel::SendControl(std::uint8_t message) {
    PooledPacket packet(*owner_);
    if (!packet) return false;
    packet->beginPayload();
    packet->putByte(message);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        packet->putUint32(remote_id_);
    }
    packet->finish();
    return owner_->sendPacket(*packet) == status::kOk;
}

int SSH1ForwardChannel::Run() {
    bool ok = SendOpen();
    std::size_t front_offset = 0;
    char buffer[kReadSize];
    while (ok && !WorkerThread::CurrentStopRequested()) {
        bool input_eof = false;
        bool output_closed = false;
        bool want_read = false;
        bool want_write = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (open_failed_) break;
            if (overflowed_) {
                overflowed_ = false;
                FailLocally();
                front_offset = 0;
            }
            if (confirmed_.load()) {
                // Everything the server sent has reached the socket: the local side learns that
                // the other end has finished, and the server that its data is all delivered.
                if (output_ == kOutputDraining && to_socket_bytes_ == 0) {
                    shutdown(socket_, SHUT_WR);
                    output_ = kOutputClosed;
                    send_output_closed_ = true;
                }
                input_eof = send_input_eof_;
                output_closed = send_output_closed_;
                send_input_eof_ = send_output_closed_ = false;
                want_read = input_ == kInputOpen;
                want_write = to_socket_bytes_ > 0;
            }
        }
        if (input_eof) ok = ok && SendControl(ssh1::kChannelInputEof);
        if (output_closed) ok = ok && SendControl(ssh1::kChannelOutputClosed);
        if (!ok) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (confirmed_.load() && input_ == kInputClosed && output_ == kOutputClosed &&
                !send_input_eof_ && !send_output_closed_) {
                break;
            }
        }
        pollfd fds[2] = {
            {want_read || want_write ? socket_ : -1,
             static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0},
            {wake_fd_, POLLIN, 0}};
        const int ready = poll(fds, 2, 1000);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(wake_fd_, &count, sizeof count);
        }
        const short events = fds[0].revents;
        if (want_read && (events & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
            if (got > 0) {
                PooledPacket packet(*owner_);
                if (!packet) break;
                packet->beginPayload();
                packet->putByte(ssh1::kChannelData);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    packet->putUint32(remote_id_);
                }
                packet->putString(buffer, static_cast<std::uint32_t>(got));
                packet->finish();
                if (owner_->sendPacket(*packet) != status::kOk) break;
            } else if (got == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (input_ == kInputOpen) {
                    input_ = kInputEofSent;
                    send_input_eof_ = true;
                }
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                std::lock_guard<std::mutex> lock(mutex_);
                FailLocally();
            }
        }
        if (want_write && (events & (POLLOUT | POLLHUP | POLLERR))) {
            const std::string* front;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                front = to_socket_.empty() ? nullptr : &to_socket_.front();
            }
            if (front == nullptr) continue;
            // Only this thread removes from the queue, and appending does not move the front.
            const ssize_t sent = send(socket_, front->data() + front_offset,
                                      front->size() - front_offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::lock_guard<std::mutex> lock(mutex_);
            if (sent > 0) {
                front_offset += static_cast<std::size_t>(sent);
                to_socket_bytes_ -= static_cast<std::size_t>(sent);
                if (front_offset == to_socket_.front().size()) {
                    to_socket_.pop_front();
                    front_offset = 0;
                }
            } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                FailLocally();
                front_offset = 0;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (socket_ >= 0) {
            CloseSocket(socket_);
            socket_ = -1;
        }
    }
    thread_.MarkExiting();
    finished_.store(true);
    return 0;
}

}  // namespace tarnwick
