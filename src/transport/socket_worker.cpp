#include "transport/socket_worker.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "crypto/secure.h"
#include "transport/forwarded_sessions.h"
#include "transport/socket.h"

namespace tarnwick {

namespace {
// How often the reader looks whether the chain below has come up.
constexpr std::chrono::milliseconds kChainPoll{10};
}  // namespace

IO_SocketWorker::IO_SocketWorker(int socket)
    : IO(kLayerSocketWorker, "Socket Worker"), socket_(socket) {}

IO_SocketWorker::~IO_SocketWorker() {
    run_.store(false);
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        const int fd = socket_.load();
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    reader_.Stop();
    const int fd = socket_.exchange(kInvalidSocket);
    if (fd >= 0) close(fd);
}

int IO_SocketWorker::Open(SessionConfig* config) {
    AttachConfig(config);
    DisplayString("Connecting new session\r\n");
    if (lower_ != nullptr) {
        const int result = lower_->Open(config);
        if (result != status::kOk) return result;
    }
    reader_.SetWaker([this] {
        {
            std::lock_guard<std::mutex> guard(close_mutex_);
            const int fd = socket_.load();
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
        }
        std::lock_guard<std::mutex> guard(wait_mutex_);
        wake_.notify_all();
    });
    if (!reader_.Start([this] { return ReaderLoop(); })) return status::kReaderStartFailed;
    return status::kOk;
}

void IO_SocketWorker::Close() {
    run_.store(false);
    {
        std::lock_guard<std::mutex> guard(wait_mutex_);
        wake_.notify_all();
    }
    // The chain first: a reader blocked sending to a server that does not read is freed by it.
    if (lower_ != nullptr) lower_->Close();
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        const int fd = socket_.load();
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    reader_.Stop();
    const int fd = socket_.exchange(kInvalidSocket);
    if (fd >= 0) close(fd);
}

int IO_SocketWorker::IsLinkUp() {
    if (socket_.load() >= 0) return 1;
    return lower_ != nullptr && lower_->IsLinkUp() ? 1 : 0;
}

int IO_SocketWorker::IsConnected() {
    if (socket_.load() < 0) return 0;
    return lower_ == nullptr || lower_->IsConnected() ? 1 : 0;
}

int IO_SocketWorker::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

int IO_SocketWorker::Receive(const std::uint8_t* data, int length) {
    const int fd = socket_.load();
    if (fd < 0) return status::kNotConnected;
    if (length <= 0 || data == nullptr) return status::kOk;
    using Clock = std::chrono::steady_clock;
    Clock::time_point progress = Clock::now();
    std::size_t done = 0;
    const auto total = static_cast<std::size_t>(length);
    while (done < total) {
        const ssize_t sent = send(fd, data + done, total - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            progress = Clock::now();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                stall_limit_ - (Clock::now() - progress));
            if (left.count() <= 0) {
                DisplayString("The local program has stopped reading; disconnecting\r\n");
                return status::kSendFailed;
            }
            pollfd entry{fd, POLLOUT, 0};
            poll(&entry, 1, static_cast<int>(left.count()));
            continue;
        }
        return status::kSendFailed;
    }
    return status::kOk;
}

bool IO_SocketWorker::WaitForChain() {
    std::unique_lock<std::mutex> lock(wait_mutex_);
    while (run_.load()) {
        if (lower_ == nullptr || lower_->IsConnected()) return true;
        wake_.wait_for(lock, kChainPoll);
    }
    return false;
}

int IO_SocketWorker::ReaderLoop() {
    const int fd = socket_.load();
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kReadSize]);
    // The local program's bytes stay in its socket until the chain can carry them.
    if (buffer && WaitForChain()) {
        while (run_.load()) {
            if (WaitReadable(fd) < 1) break;
            ssize_t got;
            do {
                got = recv(fd, buffer.get(), kReadSize, 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0 || !run_.load()) break;
            if (lower_ == nullptr || lower_->Send(buffer.get(), static_cast<int>(got)) != 0) break;
        }
    }
    if (buffer) SecureWipe(buffer.get(), kReadSize);
    if (WorkerThread* self = WorkerThread::Current()) self->MarkExiting();
    // The local program has gone, or the chain failed: this connection's session ends. After
    // Close nobody is left to tell.
    if (run_.load()) {
        if (ForwardedSessions* sessions = GetForwardedSessions()) sessions->DisconnectOwner(this);
    }
    return 0;
}

}  // namespace tarnwick
