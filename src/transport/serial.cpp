#include "transport/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

#include "core/session_config.h"
#include "platform/text.h"
#include "platform/user_interface.h"
#include "transport/serial_speed.h"

namespace tarnwick {

namespace {

// The rates that have a B constant; the others go through the arbitrary-rate interface.
struct StandardSpeed {
    int bits_per_second;
    speed_t constant;
};
constexpr StandardSpeed kStandardSpeeds[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

const StandardSpeed* FindStandardSpeed(int bits_per_second) {
    for (const StandardSpeed& s : kStandardSpeeds) {
        if (s.bits_per_second == bits_per_second) return &s;
    }
    return nullptr;
}

constexpr tcflag_t kDataBits[] = {CS5, CS6, CS7, CS8};  // for 5 to 8 data bits
constexpr const char* kParityNames[] = {"no parity", "odd parity", "even parity", "mark parity",
                                        "space parity"};

// What the line's control flags say, in words, for comparing what was asked with what the device
// took.
std::string Describe(tcflag_t cflag, int speed) {
    int bits = 8;
    for (int i = 0; i < 4; ++i) {
        if ((cflag & CSIZE) == kDataBits[i]) bits = 5 + i;
    }
    int parity = 0;
    if (cflag & PARENB) {
        if (cflag & CMSPAR) {
            parity = (cflag & PARODD) ? 3 : 4;
        } else {
            parity = (cflag & PARODD) ? 1 : 2;
        }
    }
    return std::to_string(speed) + " bits per second, " + std::to_string(bits) + " data bits, " +
           kParityNames[parity] + ", " + ((cflag & CSTOPB) ? "2" : "1") + " stop bits" +
           ((cflag & CRTSCTS) ? ", hardware flow control" : "");
}

constexpr tcflag_t kCompared = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// Whether path is a terminal line, asked before it is opened: a session file may name any path,
// and opening some devices does something by itself (a watchdog starts counting). The kernel's
// device tree names each character device's class; pseudo-terminal ends have no entry there.
bool IsTerminalDevice(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    std::error_code ec;
    if (!std::filesystem::is_directory("/sys/dev/char", ec)) return true;  // no way to tell
    const unsigned device_major = major(info.st_rdev);
    const std::string entry =
        "/sys/dev/char/" + std::to_string(device_major) + ":" + std::to_string(minor(info.st_rdev));
    if (!std::filesystem::exists(entry, ec)) {
        constexpr unsigned kFirstPtySlave = 136, kLastPtySlave = 143;
        return device_major >= kFirstPtySlave && device_major <= kLastPtySlave;
    }
    return std::filesystem::canonical(entry + "/subsystem", ec).filename() == "tty";
}

std::unique_ptr<IO_Buffer> NewReadBuffer(int fd) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) waiting = 0;
    const std::uint32_t size = std::clamp(static_cast<std::uint32_t>(waiting),
                                          IO_Serial::kMinReadSize, IO_Serial::kMaxReadSize);
    std::unique_ptr<IO_Buffer> buffer(new (std::nothrow) IO_Buffer(size));
    if (!buffer || buffer->capacity() < size) return nullptr;
    return buffer;
}

}  // namespace

IO_Serial::IO_Serial()
    : IO(kLayerSerial, "Serial"),
      out_([](int fd, const std::uint8_t* data,
              std::size_t length) { return write(fd, data, length); },
           [this](OutgoingQueue::WriterFailure failure, int error) {
               GiveUp(failure == OutgoingQueue::WriterFailure::kStalled
                          ? StallReason()
                          : LostReason(SystemErrorText(error)));
           }) {}

std::string IO_Serial::StallReason() const {
    return "The serial device " + device_ + " took nothing for " +
           std::to_string(out_.stall_limit().count() / 1000) + " seconds; the session is ended.";
}

std::string IO_Serial::LostReason(const std::string& why) const {
    return "Lost the serial device " + device_ + ": " + why + ".";
}

IO_Serial::~IO_Serial() {
    Close();
    {
        LockHolder pump(queue_.second());
        queue_.Clear();
    }
}

void IO_Serial::Tell(const std::string& line) {
    if (upper_ != nullptr) upper_->DisplayString((line + "\r\n").c_str());
}

int IO_Serial::Open(SessionConfig* config) {
    if (flags_.load() & kOpen) return status::kAlreadyOpen;
    AttachConfig(config);
    if (config == nullptr) return status::kDeviceOpenFailed;
    const std::string failure = OpenDevice(*config);
    if (!failure.empty()) {
        Tell(failure);
        return status::kDeviceOpenFailed;
    }
    {
        // Data left from an earlier opening must not reach the new one's layers.
        LockHolder pump(queue_.second());
        queue_.Clear();
    }
    {
        std::lock_guard<std::mutex> guard(lost_mutex_);
        lost_reason_.clear();
        give_up_reason_.clear();
    }
    bool started;
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        flags_.fetch_or(kOpen | kReaderAlive);
        reader_.SetWaker([this] { Wake(); });
        started = reader_.Start([this] { return ReadLoop(); }) && out_.Start(fd_.load());
    }
    if (!started) {
        Close();
        return status::kReaderStartFailed;
    }
    return status::kOk;
}

std::string IO_Serial::OpenDevice(SessionConfig& config) {
    const char16_t* wide = config.GetWide(setting::serial_device);
    device_ = wide != nullptr ? Utf16ToUtf8(wide) : std::string();
    if (device_.empty()) return "No serial device was given.";

    // Settings a Linux line cannot take are refused here rather than replaced by others.
    const int speed = config.GetInt(setting::serial_speed);
    const int data_bits = config.GetInt(setting::serial_bytesize);
    const int parity = config.GetInt(setting::serial_parity);
    const int stop_bits = config.GetInt(setting::serial_stopbits);
    const int flow = config.GetInt(setting::serial_flowcontrol);
    if (speed <= 0)
        return "A serial line cannot run at " + std::to_string(speed) + " bits per second.";
    if (data_bits == 4) return "A Linux serial line cannot use 4 data bits.";
    if (data_bits < 5 || data_bits > 8)
        return std::to_string(data_bits) + " data bits are not possible.";
    if (parity < 0 || parity > 4) return "Unknown parity setting " + std::to_string(parity) + ".";
    if (stop_bits == 1) return "A Linux serial line cannot use 1.5 stop bits.";
    if (stop_bits != 0 && stop_bits != 2) {
        return "Unknown stop-bits setting " + std::to_string(stop_bits) + ".";
    }

    struct stat info {};
    const int fd = stat(device_.c_str(), &info) != 0
                       ? -1
                       : (IsTerminalDevice(device_)
                              ? open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)
                              : -2);
    if (fd == -2) return device_ + " is not a serial device.";
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            return "Permission denied for " + device_ +
                   ": serial devices belong to the dialout group; add your user to it (sudo "
                   "usermod -aG dialout $USER) and log in again.";
        }
        if (error == EBUSY) return device_ + " is in use by another program.";
        if (error == ENOENT || error == ENXIO || error == ENODEV) {
            return "There is no serial device " + device_ + ".";
        }
        return "Cannot open " + device_ + ": " + SystemErrorText(error) + ".";
    }
    auto fail = [fd](std::string reason) {
        close(fd);
        return reason;
    };
    termios line{};
    if (!isatty(fd) || tcgetattr(fd, &line) != 0) return fail(device_ + " is not a serial device.");
    // Exclusive use: other programs that follow the convention see the lock, and the kernel
    // refuses further opens of the line (except to root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(device_ + " is in use by another program.");
    (void)ioctl(fd, TIOCEXCL);

    // A terminal line in raw mode: no echo, no line editing, no translation of line ends and no
    // control characters taken by the kernel, so that every byte passes both ways unchanged.
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD | kDataBits[data_bits - 5];
    switch (parity) {
        case 1:
            line.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            line.c_cflag |= PARENB;
            break;
        case 3:  // mark: the stick parity bit is always 1
            line.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:  // space: always 0
            line.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (parity != 0) line.c_iflag |= INPCK;
    if (stop_bits == 2) line.c_cflag |= CSTOPB;
    // XON/XOFF only when asked for: left on, the kernel would take 0x11 and 0x13 out of binary
    // data (an XMODEM block) and stop the output at random.
    if (flow == 1) line.c_cflag |= CRTSCTS;
    if (flow == 2) line.c_iflag |= IXON | IXOFF;
    // The reader polls instead; these give a blocking reader the same one-second time-out.
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = kReadTimeoutMs / 100;
    const StandardSpeed* standard = FindStandardSpeed(speed);
    if (standard != nullptr) {
        cfsetispeed(&line, standard->constant);
        cfsetospeed(&line, standard->constant);
    }
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        return fail(device_ + " does not accept the line settings: " + SystemErrorText(errno) +
                    ".");
    }
    if (standard == nullptr && !SetLineSpeed(fd, speed)) {
        return fail(device_ + " does not accept " + std::to_string(speed) +
                    " bits per second: " + SystemErrorText(errno) + ".");
    }
    // DTR and RTS on (with hardware flow control the kernel drives RTS from then on). Lines
    // without modem signals, such as pseudo-terminals, refuse this harmlessly.
    int signals = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd, TIOCMBIS, &signals);

    // Some lines keep only part of the settings (a pseudo-terminal always has 8 data bits and no
    // parity): the user is told what the line really does.
    termios taken{};
    const int taken_speed = ReadLineSpeed(fd);
    if (tcgetattr(fd, &taken) == 0 &&
        ((taken.c_cflag & kCompared) != (line.c_cflag & kCompared) || taken_speed != speed)) {
        Tell(device_ + " does not take " + Describe(line.c_cflag, speed) + "; it runs with " +
             Describe(taken.c_cflag, taken_speed) + ".");
    }
    // Hardware flow control here also means DSR holding the output and DTR as a handshake line;
    // a Linux line has only RTS/CTS, which the user should know before relying on DSR.
    if (flow == 1) Tell(kNoDsrHandshake);
    fd_.store(fd);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return {};
}

void IO_Serial::Wake() {
    if (wake_fd_ >= 0) {
        const std::uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof one);
    }
}

void IO_Serial::Close() {
    CloseDevice(false);
}

void IO_Serial::CloseDevice(bool holding_send_lock) {
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        flags_.fetch_and(~kReaderAlive);
        Wake();
        reader_.Stop();
        out_.Stop();
    }
    // A sender may be about to write: the device is closed only once no write can be in
    // progress.
    if (!holding_send_lock) send_lock_.Acquire();
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        const int fd = fd_.exchange(-1);
        if (fd >= 0) close(fd);
        if (wake_fd_ >= 0) close(wake_fd_);
        wake_fd_ = -1;
        flags_.fetch_and(~kOpen);
    }
    if (!holding_send_lock) send_lock_.Release();
}

int IO_Serial::IsLinkUp() {
    return (flags_.load() & kOpen) ? 1 : IO::IsLinkUp();
}

int IO_Serial::IsConnected() {
    return (flags_.load() & kOpen) ? 1 : 0;
}

int IO_Serial::SetLower(IO*) {
    return status::kTransportHasNoLower;
}

int IO_Serial::InsertBelow(IO*) {
    return status::kTransportHasNoLower;
}

int IO_Serial::Send(const std::uint8_t* data, int length) {
    LockHolder hold(send_lock_);
    const int fd = fd_.load();
    if (!(flags_.load() & kOpen) || fd < 0) return status::kNotConnected;
    {
        std::lock_guard<std::mutex> guard(lost_mutex_);
        if (!give_up_reason_.empty()) return status::kSendFailed;
    }
    if (length <= 0 || data == nullptr) return length == 0 ? status::kOk : status::kNothingToDo;
    switch (out_.Put(data, static_cast<std::size_t>(length))) {
        case OutgoingQueue::Result::kOk:
            return status::kOk;
        case OutgoingQueue::Result::kOverflow:
            GiveUp("The serial device " + device_ +
                   " is not taking what is sent to it (more than 16 MiB are waiting); the session "
                   "is ended.");
            break;
        case OutgoingQueue::Result::kBroken:
            GiveUp(LostReason(SystemErrorText(errno)));
            break;
    }
    return status::kSendFailed;
}

void IO_Serial::GiveUp(const std::string& reason) {
    {
        std::lock_guard<std::mutex> guard(lost_mutex_);
        if (give_up_reason_.empty()) give_up_reason_ = reason;
    }
    out_.Drop();
    Wake();
}

int IO_Serial::Receive(const std::uint8_t*, int) {
    return status::kNotSupported;
}

int IO_Serial::Display(const std::uint8_t*, int) {
    return status::kNotSupported;
}

int IO_Serial::CanSendBreak() {
    return (flags_.load() & kOpen) && fd_.load() >= 0 ? 1 : 0;
}

int IO_Serial::SendBreak() {
    LockHolder hold(send_lock_);
    const int fd = fd_.load();
    if (fd < 0) return status::kOk;
    (void)ioctl(fd, TIOCSBRK);
    std::this_thread::sleep_for(std::chrono::milliseconds(kBreakMs));
    (void)ioctl(fd, TIOCCBRK);
    return status::kOk;
}

int IO_Serial::DeliverQueued() {
    int result = status::kOk;
    for (;;) {
        std::unique_ptr<IO_Buffer> buffer = queue_.PopFront();
        if (!buffer) break;
        result = upper_ != nullptr ? upper_->ReceiveBuffer(std::move(buffer)) : status::kOk;
        if (result != status::kOk) break;
    }
    return result;
}

int IO_Serial::Pump() {
    if (!(flags_.load() & kReaderAlive)) {
        // The reader ended by itself: what it read last goes up before the user learns why.
        std::string reason;
        {
            std::lock_guard<std::mutex> guard(lost_mutex_);
            reason.swap(lost_reason_);
        }
        if (!reason.empty()) {
            {
                LockHolder pump(queue_.second());
                (void)DeliverQueued();
            }
            Tell(reason);
        }
        return status::kReaderStopped;
    }
    LockHolder pump(queue_.second());
    return DeliverQueued();
}

int IO_Serial::ReadLoop() {
    const int fd = fd_.load();
    std::string lost;
    while (flags_.load() & kReaderAlive) {
        pollfd wait[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int ready = poll(wait, 2, kReadTimeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            lost = SystemErrorText(errno);
            break;
        }
        if (wait[1].revents != 0) break;  // Close, or the device was given up
        if (ready == 0) continue;         // a second without data
        if (wait[0].revents & POLLNVAL) {
            lost = SystemErrorText(EBADF);
            break;
        }
        std::unique_ptr<IO_Buffer> buffer = NewReadBuffer(fd);
        if (!buffer) {
            lost = SystemErrorText(ENOMEM);
            break;
        }
        const ssize_t got = read(fd, buffer->data(), buffer->capacity());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            // Readiness without data: a hang-up reported this way would otherwise spin.
            if (wait[0].revents & (POLLHUP | POLLERR)) {
                lost = "the line was hung up";
                break;
            }
            continue;
        }
        if (got <= 0) {
            // A device that went away (an adapter unplugged, the other end of a pseudo-terminal
            // closed) reads as an error or as an end.
            lost = got < 0 ? SystemErrorText(errno) : "the line was hung up";
            break;
        }
        buffer->setLength(static_cast<std::uint32_t>(got));
        // The pump lock may be held by a pump that goes on to close this transport and join the
        // reader: the flag is looked at while waiting for it.
        bool queued = false;
        while (flags_.load() & kReaderAlive) {
            if (queue_.second().TryAcquireFor(std::chrono::milliseconds(50))) {
                queue_.PushBack(std::move(buffer));
                queue_.second().Release();
                queued = true;
                break;
            }
        }
        if (!queued) break;
        if (config_ != nullptr) config_->NotifyDataArrived(this);
    }
    if (WorkerThread* self = WorkerThread::Current()) self->MarkExiting();
    const unsigned before = flags_.fetch_and(~kReaderAlive);
    if (before & kReaderAlive) {
        // Ended by itself: the last notification lets the session see it and disconnect.
        {
            std::lock_guard<std::mutex> guard(lost_mutex_);
            lost_reason_ = !give_up_reason_.empty() ? give_up_reason_ : LostReason(lost);
        }
        if (config_ != nullptr) config_->NotifyDataArrived(this);
    }
    return 0;
}

}  // namespace tarnwick
