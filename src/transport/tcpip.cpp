#include "transport/tcpip.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/text.h"
#include "transport/socket.h"

namespace tarnwick {

using namespace std::chrono_literals;

namespace {

// The network request may take this many polls of 100 ms before the transport gives up.
constexpr int kNetworkPolls = 299;
constexpr std::size_t kMaxDestinationHost = 1012;

constexpr const char* kOverflowReason =
    "The remote host is not reading what is sent to it (more than 16 MiB are waiting); "
    "disconnecting\r\n";
constexpr const char* kStallReason =
    "The remote host has not read anything sent to it for 60 seconds; disconnecting\r\n";

// A buffer for the next read: as large as what is waiting on fd, within the read bounds.
std::unique_ptr<IO_Buffer> NewReadBuffer(int fd) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) waiting = 0;
    std::uint32_t size = std::clamp(static_cast<std::uint32_t>(waiting), IO_TCPIP::kMinReadSize,
                                    IO_TCPIP::kMaxReadSize);
    std::unique_ptr<IO_Buffer> buffer(new (std::nothrow) IO_Buffer(size));
    if (!buffer || buffer->capacity() < size) return nullptr;
    return buffer;
}

}  // namespace

IO_TCPIP::IO_TCPIP()
    : IO(kLayerTCPIP, "TCP/IP"),
      out_([](int fd, const std::uint8_t* data,
              std::size_t length) { return send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT); },
           [this](OutgoingQueue::WriterFailure failure, int) {
               if (failure == OutgoingQueue::WriterFailure::kStalled) {
                   GiveUp(kStallReason);
                   return;
               }
               // The peer reset the connection: the reader sees it too and ends the session.
               send_failed_.store(true);
               const int fd = socket_.load();
               if (fd >= 0) shutdown(fd, SHUT_RDWR);
           }) {}

IO_TCPIP::~IO_TCPIP() {
    Close();
    {
        LockHolder pump(queue_.second());
        queue_.Clear();
    }
    network_request_.Release();
}

int IO_TCPIP::Open(SessionConfig* config) {
    if (flags_.load() & kConnected) return status::kAlreadyOpen;
    AttachConfig(config);
    const char* host = config != nullptr ? config->GetNarrow(setting::hostname) : nullptr;
    int port = config != nullptr ? config->GetInt(setting::portnum) : 0;

    const Preferences& preferences = Preferences::Instance();
    if (preferences.GetInt(pref::EnableICM) != 0) {
        std::string name = host != nullptr ? host : "";
        if (name.size() > kMaxDestinationHost) name.resize(kMaxDestinationHost);
        if (network_request_.Request(Utf8ToUtf16("tarnwick://" + name),
                                     preferences.GetInt(pref::UseICMProxy)) != 0) {
            return status::kNetworkUnavailable;
        }
        for (int i = 0; i < kNetworkPolls && network_request_.IsPending(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!network_request_.IsConnected()) return status::kNetworkUnavailable;
    }

    int result = status::kOk;
    int fd = CreateStreamSocket(0);
    if (fd < 0) {
        result = status::kSocketCreateFailed;
    } else if (ConnectSocket(fd, host, port, true)) {
        socket_.store(fd);
        flags_.fetch_or(kConnected);
    } else {
        close(fd);
        result = status::kConnectFailed;
    }
    if (result != status::kOk) {
        if (upper_ != nullptr) upper_->DisplayString("Connection failed\r\n");
        return result;
    }

    {
        // Data left from an earlier connection must not reach the new one's layers.
        LockHolder pump(queue_.second());
        queue_.Clear();
    }
    give_up_reason_.store(nullptr);
    reason_shown_.store(false);
    send_failed_.store(false);
    bool started;
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        peer_ended_.store(false);
        flags_.fetch_or(kReaderRunning);
        reader_.SetWaker([this] {
            int socket = socket_.load();
            if (socket >= 0) shutdown(socket, SHUT_RDWR);
        });
        started = reader_.Start(&IO_TCPIP::ReaderMain, this) && out_.Start(fd);
    }
    if (!started) {
        Close();
        return status::kReaderStartFailed;
    }
    return status::kOk;
}

void IO_TCPIP::Close() {
    CloseConnection(false);
}

void IO_TCPIP::CloseConnection(bool holding_send_lock) {
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        // The flag first, so that the reader leaves its loop instead of reading again; the
        // shutdown then ends its wait (and any send blocked on a full window). The descriptor
        // stays open until the reader has been joined: its number could otherwise be handed to
        // another socket while the reader is still about to use it.
        flags_.fetch_and(~kReaderRunning);
        int fd = socket_.load();
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
        reader_.Stop();
        out_.Stop();
    }
    // A sender holding the send lock may be just about to use the descriptor; it is closed only
    // once no send can be in progress.
    if (!holding_send_lock) send_lock_.Acquire();
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        int fd = socket_.exchange(kInvalidSocket);
        if (fd >= 0) close(fd);
        flags_.fetch_and(~kConnected);
    }
    if (!holding_send_lock) send_lock_.Release();
}

void IO_TCPIP::SetSendLimits(std::size_t max_queued, std::chrono::milliseconds stall_limit) {
    out_.SetLimits(max_queued, stall_limit);
}

void IO_TCPIP::GiveUp(const char* reason) {
    const char* none = nullptr;
    give_up_reason_.compare_exchange_strong(none, reason);
    out_.Drop();
    // The reader sees the end of the stream and leaves; the pump then tells the user why.
    int fd = socket_.load();
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

int IO_TCPIP::IsLinkUp() {
    return (flags_.load() & kConnected) ? 1 : IO::IsLinkUp();
}

int IO_TCPIP::IsConnected() {
    return (flags_.load() & kConnected) ? 1 : 0;
}

int IO_TCPIP::SetLower(IO*) {
    return status::kTransportHasNoLower;
}

int IO_TCPIP::InsertBelow(IO*) {
    return status::kTransportHasNoLower;
}

int IO_TCPIP::Send(const std::uint8_t* data, int length) {
    LockHolder hold(send_lock_);
    int fd = socket_.load();
    if (!(flags_.load() & kConnected) || fd < 0) return status::kNotConnected;
    if (length <= 0 || data == nullptr) return length == 0 ? status::kOk : status::kNothingToDo;
    if (give_up_reason_.load() != nullptr || send_failed_.load()) return status::kSendFailed;
    switch (out_.Put(data, static_cast<std::size_t>(length))) {
        case OutgoingQueue::Result::kOk:
            return status::kOk;
        case OutgoingQueue::Result::kOverflow:
            GiveUp(kOverflowReason);
            return status::kSendFailed;
        case OutgoingQueue::Result::kBroken:
            break;
    }
    send_failed_.store(true);
    CloseConnection(true);
    return status::kSendFailed;
}

int IO_TCPIP::Receive(const std::uint8_t*, int) {
    return status::kNotSupported;
}

int IO_TCPIP::Display(const std::uint8_t*, int) {
    return status::kNotSupported;
}

int IO_TCPIP::DeliverQueued() {
    int result = status::kOk;
    for (;;) {
        std::unique_ptr<IO_Buffer> buffer = queue_.PopFront();
        if (!buffer) break;
        result = upper_ != nullptr ? upper_->ReceiveBuffer(std::move(buffer)) : status::kOk;
        if (result != status::kOk) break;
    }
    return result;
}

int IO_TCPIP::Pump() {
    if (!(flags_.load() & kReaderRunning)) {
        // Still connected means the reader ended on its own (the peer closed or the link
        // failed): what it read last is handed up before the session learns of the end, so a
        // server's parting words are not lost. After Close nothing more is delivered.
        if (flags_.load() & kConnected) {
            {
                LockHolder pump(queue_.second());
                (void)DeliverQueued();
            }
            const bool peer_ended = peer_ended_.exchange(false);
            if (const char* reason = give_up_reason_.load()) {
                // Our own decision: the user is told whatever the debug setting.
                if (upper_ != nullptr && !reason_shown_.exchange(true)) {
                    upper_->DisplayString(reason);
                }
            } else if (peer_ended && config_ != nullptr && config_->GetInt(setting::debug) != 0 &&
                       upper_ != nullptr) {
                upper_->DisplayString("Connection reset by peer\r\n");
            }
        }
        return status::kReaderStopped;
    }
    LockHolder pump(queue_.second());
    return DeliverQueued();
}

int IO_TCPIP::ReaderMain(void* argument) {
    return static_cast<IO_TCPIP*>(argument)->ReadLoop();
}

void IO_TCPIP::Notify() {
    if (config_ != nullptr) config_->NotifyDataArrived(this);
}

int IO_TCPIP::ReadLoop() {
    const int fd = socket_.load();
    while (flags_.load() & kReaderRunning) {
        if (WaitReadable(fd) <= 0) break;
        std::unique_ptr<IO_Buffer> buffer = NewReadBuffer(fd);
        if (!buffer) break;
        ssize_t got;
        do {
            got = recv(fd, buffer->data(), buffer->capacity(), 0);
        } while (got < 0 && errno == EINTR);
        if (got < 1) {
            // An orderly close or a failed link; after Close it is only our own shutdown.
            if (flags_.load() & kReaderRunning) peer_ended_.store(true);
            break;
        }
        buffer->setLength(static_cast<std::uint32_t>(got));
        // The pump lock may be held by a pump on the user-interface thread that goes on to close
        // this transport and join the reader; waiting for it without looking at the flag would
        // deadlock the two.
        bool queued = false;
        while (flags_.load() & kReaderRunning) {
            if (queue_.second().TryAcquireFor(std::chrono::milliseconds(50))) {
                queue_.PushBack(std::move(buffer));
                queue_.second().Release();
                queued = true;
                break;
            }
        }
        if (!queued) break;
        // Returns once the user-interface thread has pumped the queue, so the reader is never
        // more than one buffer ahead of the display.
        Notify();
    }
    if (WorkerThread* self = WorkerThread::Current()) self->MarkExiting();
    // The last notification lets the user-interface thread see that the connection has ended.
    // After Close there is nobody left to tell.
    unsigned before = flags_.fetch_and(~kReaderRunning);
    if (before & kReaderRunning) Notify();
    return 0;
}

}  // namespace tarnwick
