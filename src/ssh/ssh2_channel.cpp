#include "ssh/ssh2_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/status.h"
#include "crypto/wire.h"
#include "ssh/ssh2.h"
#include "transport/socket.h"

namespace tarnwick {

namespace {

// The most data one CHANNEL_DATA carries, whatever the server allows: it keeps every packet
// within the packet buffer.
constexpr std::size_t kMaxChunk = 32768;
// A forward stops reading its local socket while this much waits for the server's window, or
// while this much waits in the transport for the network.
constexpr std::size_t kMaxPendingForward = 256 * 1024;
constexpr std::size_t kMaxForwardBacklog = 1024 * 1024;
constexpr std::size_t kReadSize = 16384;

// Sends a message of a message number, the server's channel number and optional fields.
int SendChannelMessage(IO_SSH2* owner, std::uint8_t message, std::uint32_t remote_id,
                       std::string_view fields = {}) {
    PooledPacket packet(*owner);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(message);
    packet->putUint32(remote_id);
    packet->putBytes(fields.data(), static_cast<std::uint32_t>(fields.size()));
    packet->finish();
    return owner->sendPacket(*packet);
}

}  // namespace

std::string TerminalModes() {
    // Opcode and value pairs of the pseudo-terminal the shell gets (opcode numbers of the
    // connection protocol's terminal modes).
    static constexpr std::uint32_t kModes[][2] = {
        {128, 38400}, {129, 38400},                      // TTY_OP_ISPEED, TTY_OP_OSPEED
        {1, 3},       {2, 28},      {3, 127}, {4, 21},   // VINTR, VQUIT, VERASE, VKILL
        {5, 4},       {6, 255},     {7, 255}, {8, 17},   // VEOF, VEOL, VEOL2, VSTART
        {9, 19},      {10, 26},     {12, 18}, {13, 23},  // VSTOP, VSUSP, VREPRINT, VWERASE
        {14, 22},     {18, 15},                          // VLNEXT, VDISCARD
        {30, 0},      {31, 0},      {32, 0},  {33, 0},   // IGNPAR, PARMRK, INPCK, ISTRIP
        {34, 0},      {35, 0},      {36, 1},  {37, 0},   // INLCR, IGNCR, ICRNL, IUCLC
        {38, 1},      {39, 1},      {40, 0},  {41, 1},   // IXON, IXANY, IXOFF, IMAXBEL
        {50, 1},      {51, 1},      {52, 0},  {53, 1},   // ISIG, ICANON, XCASE, ECHO
        {54, 1},      {55, 1},      {56, 0},  {57, 0},   // ECHOE, ECHOK, ECHONL, NOFLSH
        {58, 0},      {59, 1},      {60, 1},  {61, 1},   // TOSTOP, IEXTEN, ECHOCTL, ECHOKE
        {62, 0},      {70, 1},      {71, 0},  {72, 1},   // PENDIN, OPOST, OLCUC, ONLCR
        {73, 0},      {74, 0},      {75, 0},             // OCRNL, ONOCR, ONLRET
        {90, 1},      {91, 1},      {92, 0},  {93, 0},   // CS7, CS8, PARENB, PARODD
    };
    std::string modes;
    WireWriter out(modes);
    for (const auto& mode : kModes)
        out.Byte(static_cast<std::uint8_t>(mode[0])).Uint32(mode[1]);
    out.Byte(0);  // TTY_OP_END
    return modes;
}

// ---- SSH2Channel ----

SSH2Channel::SSH2Channel(IO_SSH2* owner, std::uint32_t local_id, unsigned flags)
    : window_policy(IO_SSH2::kChannelWindow), owner_(owner), local_id_(local_id), flags_(flags) {
    local_window_ = window_policy.initial;
}

SSH2Channel::~SSH2Channel() {
    state_.store(kDestroyed);
}

void SSH2Channel::Confirm(std::uint32_t remote_id, std::uint32_t window, std::uint32_t max_packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_window_ = window;
    remote_max_packet_ = max_packet;
    remote_id_.store(remote_id);
    (void)FlushLocked();
}

std::size_t SSH2Channel::Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size() - pending_start_;
}

std::int64_t SSH2Channel::local_window() {
    std::lock_guard<std::mutex> lock(mutex_);
    return local_window_;
}

std::int64_t SSH2Channel::remote_window() {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_window_;
}

std::uint32_t SSH2Channel::remote_max_packet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_max_packet_;
}

int SSH2Channel::SendData(const std::uint8_t* bytes, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    // After EOF or CLOSE no data may follow.
    if (eof_sent_ || eof_pending_ || close_sent_ || close_received_) return status::kNotConnected;
    pending_.append(reinterpret_cast<const char*>(bytes), length);
    return FlushLocked();
}

int SSH2Channel::FlushLocked() {
    if (!confirmed()) return status::kOk;
    int result = status::kOk;
    const std::size_t packet_limit =
        remote_max_packet_ == 0 ? kMaxChunk : std::min<std::size_t>(remote_max_packet_, kMaxChunk);
    while (pending_start_ < pending_.size() && remote_window_ > 0 && !close_received_) {
        const std::size_t n = std::min({pending_.size() - pending_start_,
                                        static_cast<std::size_t>(remote_window_), packet_limit});
        PooledPacket packet(*owner_);
        if (!packet) return status::kOutOfMemory;
        packet->beginPayload();
        packet->putByte(kMsgChannelData);
        packet->putUint32(remote_id_.load());
        packet->putString(pending_.data() + pending_start_, static_cast<std::uint32_t>(n));
        packet->finish();
        result = owner_->sendPacket(*packet);
        if (result != status::kOk) break;
        remote_window_ -= static_cast<std::int64_t>(n);
        pending_start_ += n;
    }
    if (pending_start_ >= pending_.size()) {
        pending_.clear();
        pending_start_ = 0;
        if (eof_pending_ && result == status::kOk) {
            eof_pending_ = false;
            if (!eof_sent_.exchange(true)) {
                result = SendChannelMessage(owner_, kMsgChannelEof, remote_id_.load());
            }
        }
        if (close_pending_ && result == status::kOk) {
            close_pending_ = false;
            if (!close_sent_.exchange(true)) {
                result = SendChannelMessage(owner_, kMsgChannelClose, remote_id_.load());
            }
        }
    } else if (pending_start_ > 65536 && pending_start_ * 2 > pending_.size()) {
        pending_.erase(0, pending_start_);
        pending_start_ = 0;
    }
    OnSendSpace();
    return result;
}

void SSH2Channel::OnWindowAdjust(std::uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The window grows by the amount given; it never exceeds what a uint32 can count.
    remote_window_ = std::min<std::int64_t>(remote_window_ + bytes, 0xffffffffLL);
    (void)FlushLocked();
}

bool SSH2Channel::TakeIncoming(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (abandoned_.load()) return false;
    if (bytes > window_policy.max_packet || static_cast<std::int64_t>(bytes) > local_window_) {
        return false;
    }
    local_window_ -= static_cast<std::int64_t>(bytes);
    return true;
}

void SSH2Channel::Abandon() {
    abandoned_.store(true);
    state_.store(kFailed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.clear();
        pending_start_ = 0;
        eof_pending_ = close_pending_ = false;
    }
    (void)SendClose();
}

int SSH2Channel::Consumed(std::uint32_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    unacknowledged_ += bytes;
    if (!confirmed() || close_sent_ || close_received_) return status::kOk;
    std::uint32_t adjust = 0;
    if (window_policy.top_up_at_half) {
        if (unacknowledged_ >= window_policy.initial / 2) adjust = unacknowledged_;
    } else if (local_window_ <= 0) {
        adjust = window_policy.adjust;
    }
    if (adjust == 0) return status::kOk;
    std::string fields;
    WireWriter(fields).Uint32(adjust);
    int result = SendChannelMessage(owner_, kMsgChannelWindowAdjust, remote_id_.load(), fields);
    local_window_ += adjust;
    unacknowledged_ = 0;
    return result;
}

int SSH2Channel::SendEof() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!confirmed() || eof_sent_.exchange(true)) return status::kOk;
    return SendChannelMessage(owner_, kMsgChannelEof, remote_id_.load());
}

int SSH2Channel::SendClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!confirmed() || close_sent_.exchange(true)) return status::kOk;
    return SendChannelMessage(owner_, kMsgChannelClose, remote_id_.load());
}

int SSH2Channel::SendRequest(const char* name, bool want_reply, std::string_view fields) {
    std::string body;
    WireWriter(body).String(name).Boolean(want_reply).Bytes(fields);
    return SendChannelMessage(owner_, kMsgChannelRequest, remote_id_.load(), body);
}

int SSH2Channel::OnData(std::string_view data) {
    if (!(flags_ & kCloseEndsSession)) {
        state_.store(kFailed);
        return status::kOk;
    }
    int result = owner_->DeliverUp(data);
    (void)Consumed(static_cast<std::uint32_t>(data.size()));
    return result;
}

int SSH2Channel::OnExtendedData(std::uint32_t, std::string_view data) {
    int result = owner_->DisplayText(data);
    (void)Consumed(static_cast<std::uint32_t>(data.size()));
    return result;
}

void SSH2Channel::OnOpened() {
    state_.store(kOpen);
}

void SSH2Channel::OnEof() {
    state_.store(kEndOfData);
    (void)SendClose();
}

bool SSH2Channel::OnClose() {
    close_received_.store(true);
    // The session channel's CLOSE ends the session, after an EOF too: servers leave it to the
    // client to drop the connection once the shell has gone.
    const bool ends = (flags_ & kCloseEndsSession) != 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.clear();
        pending_start_ = 0;
    }
    (void)SendClose();
    return ends;
}

// ---- SSH2ForwardChannel ----

SSH2ForwardChannel::SSH2ForwardChannel(IO_SSH2* owner, std::uint32_t local_id, int socket,
                                       std::string host, std::uint32_t port, std::string originator,
                                       std::uint32_t originator_port)
    : SSH2Channel(owner, local_id, kCloseEndsSession),
      socket_(socket),
      host_(std::move(host)),
      port_(port),
      originator_(std::move(originator)),
      originator_port_(originator_port) {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SSH2ForwardChannel::~SSH2ForwardChannel() {
    Shutdown();
    if (socket_ >= 0) CloseSocket(socket_);
    if (wake_fd_ >= 0) close(wake_fd_);
}

void SSH2ForwardChannel::Wake() {
    if (wake_fd_ < 0) return;
    const std::uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
}

bool SSH2ForwardChannel::Start() {
    if (wake_fd_ < 0) return false;
    thread_.SetWaker([this] {
        Wake();
        opened_.notify_all();
    });
    return thread_.Start([this] { return Run(); });
}

void SSH2ForwardChannel::Shutdown() {
    thread_.Stop();
}

bool SSH2ForwardChannel::Finished() const {
    return finished_.load() || !thread_.HasHandle();
}

int SSH2ForwardChannel::OnData(std::string_view data) {
    // What the server sends is bounded by the window, which moves only as the local socket takes
    // the data: a slow local reader slows the server down, and nothing is dropped. Data for a
    // local end that has gone has nobody to take it.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (socket_ < 0 || remote_closed_ || state_.load() == kFailed || data.empty()) {
            return status::kOk;
        }
        to_socket_.emplace_back(data);
        to_socket_bytes_ += data.size();
    }
    Wake();
    return status::kOk;
}

void SSH2ForwardChannel::Abandon() {
    // What was taken within the window still reaches the local end; then it is closed.
    SSH2Channel::Abandon();
    opened_.notify_all();
    Wake();
}

void SSH2ForwardChannel::OnOpened() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.store(kOpen);
    }
    opened_.notify_all();
    Wake();
}

void SSH2ForwardChannel::OpenFailed() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_failed_ = true;
        state_.store(kFailed);
    }
    opened_.notify_all();
    Wake();
}

void SSH2ForwardChannel::OnEof() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remote_eof_ = true;
        if (state_.load() < kEndOfData) state_.store(kEndOfData);
    }
    Wake();
}

bool SSH2ForwardChannel::OnClose() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remote_closed_ = true;
        close_received_.store(true);
        pending_.clear();
        pending_start_ = 0;
        eof_pending_ = close_pending_ = false;
    }
    (void)SendClose();
    Wake();
    return false;
}

void SSH2ForwardChannel::OnSendSpace() {
    // Called with the lock held: the thread may read its socket again.
    Wake();
}

int SSH2ForwardChannel::Run() {
    state_.store(kOpenRequested);
    {
        PooledPacket packet(*owner_);
        if (packet) {
            packet->beginPayload();
            packet->putByte(kMsgChannelOpen);
            packet->putCString("direct-tcpip");
            packet->putUint32(local_id_);
            packet->putUint32(window_policy.initial);
            packet->putUint32(window_policy.max_packet);
            packet->putString(host_);
            packet->putUint32(port_);
            packet->putString(originator_);
            packet->putUint32(originator_port_);
            packet->finish();
        }
        if (!packet || owner_->sendPacket(*packet) != status::kOk) {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.store(kFailed);
            open_failed_ = true;
        }
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (state_.load() < kOpen && !open_failed_ && !remote_closed_ && !abandoned_.load() &&
               !WorkerThread::CurrentStopRequested()) {
            opened_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    bool local_eof = false;
    bool local_failed = false;
    std::size_t front_offset = 0;
    char buffer[kReadSize];
    while (!WorkerThread::CurrentStopRequested()) {
        bool want_read = false;
        bool want_write = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (open_failed_) break;
            if (local_failed) {
                to_socket_.clear();
                to_socket_bytes_ = 0;
            }
            const bool drained = to_socket_bytes_ == 0;
            if ((remote_closed_ || abandoned_.load()) && drained) break;
            if (remote_eof_ && drained) {
                // Everything the server sent has been delivered: the local end learns that the
                // other side has finished, and the channel is closed from our side too.
                if (socket_ >= 0) {
                    CloseSocket(socket_);
                    socket_ = -1;
                }
                if (!close_sent_.exchange(true) && confirmed()) {
                    SendChannelMessage(owner_, kMsgChannelClose, remote_id_.load());
                }
                break;
            }
            if (local_failed && close_sent_.load()) break;
            want_read = !local_eof && !local_failed && socket_ >= 0 && state_.load() == kOpen &&
                        !close_sent_.load() && !eof_pending_ &&
                        pending_.size() - pending_start_ < kMaxPendingForward;
            want_write = to_socket_bytes_ > 0 && !local_failed && socket_ >= 0;
        }
        // While the transport holds much that the network has not taken, reading more would
        // only pile it up; look again shortly.
        const bool backlogged = want_read && owner_->SendBacklog() >= kMaxForwardBacklog;
        if (backlogged) want_read = false;
        pollfd fds[2] = {
            {want_read || want_write ? socket_ : -1,
             static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0},
            {wake_fd_, POLLIN, 0}};
        int ready = poll(fds, 2, backlogged ? 20 : 1000);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(wake_fd_, &count, sizeof count);
        }
        const short events = fds[0].revents;
        auto fail_locally = [&] {
            local_failed = true;
            std::lock_guard<std::mutex> lock(mutex_);
            state_.store(kFailed);
            to_socket_.clear();
            to_socket_bytes_ = 0;
            // The local end is gone: tell the server once what is held for it has gone out.
            eof_pending_ = close_pending_ = true;
            (void)FlushLocked();
        };
        if (want_read && (events & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
            if (got > 0) {
                if (SendData(reinterpret_cast<const std::uint8_t*>(buffer),
                             static_cast<std::size_t>(got)) != status::kOk &&
                    !close_received_.load()) {
                    break;
                }
            } else if (got == 0) {
                local_eof = true;
                std::lock_guard<std::mutex> lock(mutex_);
                eof_pending_ = close_pending_ = true;
                (void)FlushLocked();
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail_locally();
            }
        }
        if (want_write && !local_failed && (events & (POLLOUT | POLLHUP | POLLERR))) {
            const SecureString* front;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                front = to_socket_.empty() ? nullptr : &to_socket_.front();
            }
            if (front == nullptr) continue;
            // Only this thread removes from the queue, and appending does not move the front.
            ssize_t sent = send(socket_, front->data() + front_offset, front->size() - front_offset,
                                MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    front_offset += static_cast<std::size_t>(sent);
                    to_socket_bytes_ -= static_cast<std::size_t>(sent);
                    if (front_offset == to_socket_.front().size()) {
                        to_socket_.pop_front();
                        front_offset = 0;
                    }
                }
                (void)Consumed(static_cast<std::uint32_t>(sent));
            } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                fail_locally();
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

// ---- SSH2ForwardListener ----

SSH2ForwardListener::SSH2ForwardListener(IO_SSH2* owner, std::uint32_t local_port, std::string host,
                                         std::uint32_t remote_port, bool allow_nonlocal)
    : owner_(owner),
      local_port_(local_port),
      host_(std::move(host)),
      remote_port_(remote_port),
      allow_nonlocal_(allow_nonlocal),
      acceptor_([this](int socket, const std::string& peer, std::uint32_t peer_port) {
          Accepted(socket, peer, peer_port);
      }) {}

SSH2ForwardListener::~SSH2ForwardListener() {
    Stop();
}

bool SSH2ForwardListener::Start() {
    // Port 0 (which the dialog never gives) lets the system choose one; bound_port() tells which.
    if (!acceptor_.Start(local_port_, allow_nonlocal_)) return false;
    bound_port_ = acceptor_.bound_port();
    listen_state_ = kListening;
    return true;
}

void SSH2ForwardListener::Stop() {
    acceptor_.Stop();
    listen_state_ = kListenFailed;
}

void SSH2ForwardListener::Accepted(int socket, const std::string& peer, std::uint32_t peer_port) {
    owner_->AddChannel(std::make_unique<SSH2ForwardChannel>(owner_, owner_->NextChannelId(), socket,
                                                            host_, remote_port_, peer, peer_port));
}

}  // namespace tarnwick
