#include "ssh/scp_transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "ssh/ssh2.h"

namespace tarnwick {

namespace {

std::string Quoted(std::string_view name) {
    return "\"" + PrintableText(name) + "\"";
}

// A message line from the other end (after its 1 or 2) as the user sees it.
std::string ServerLine(std::string_view line) {
    return PrintableText(line) + "\r\n";
}

}  // namespace

// ---- ScpSink ----

ScpSink::ScpSink(ScpPeer& peer, Target target) : peer_(peer), target_(std::move(target)) {}

ScpSink::~ScpSink() {
    Discard();
}

void ScpSink::Start() {
    peer_.ToServer(std::string_view("\0", 1));
}

void ScpSink::Feed(const std::uint8_t* data, std::size_t length) {
    while (length > 0 && state_ != State::kFailed) {
        if (state_ == State::kData) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(length, header_.size - received_));
            WriteData(data, n);
            data += n;
            length -= n;
            if (state_ == State::kData && received_ == header_.size) state_ = State::kWaitStatus;
            continue;
        }
        if (state_ == State::kWaitStatus && reader_.empty() && data[0] == 0) {
            ++data;
            --length;
            Complete();
            continue;
        }
        std::size_t used = 0;
        const ScpLineReader::Result result = reader_.Add(data, length, &used);
        data += used;
        length -= used;
        if (result == ScpLineReader::Result::kTooLong) {
            Fail("<< SCP refused a header line longer than " +
                 std::to_string(ScpLineReader::kMaxLine) + " octets\r\n");
            return;
        }
        if (result == ScpLineReader::Result::kNeedMore) return;
        const std::string line = reader_.line();
        reader_.Reset();
        HandleLine(line);
    }
}

void ScpSink::HandleLine(const std::string& line) {
    const ScpLineKind kind = KindOfScpLine(line);
    if (kind == ScpLineKind::kWarning || kind == ScpLineKind::kError) {
        peer_.Say(ServerLine(std::string_view(line).substr(1)));
        spoke_ = true;
        if (state_ == State::kWaitStatus) {
            // The server could not read all of the file: what arrived is not the file.
            Fail("<< SCP the server could not send the whole file; nothing was saved\r\n");
        } else if (kind == ScpLineKind::kError) {
            Fail("");
        }
        return;
    }
    if (state_ == State::kWaitHeader && kind == ScpLineKind::kFile) {
        BeginFile(std::string_view(line).substr(1));
        return;
    }
    if (state_ == State::kDone && kind == ScpLineKind::kFile) {
        Fail("<< SCP refused a second file: one file was asked for\r\n");
        return;
    }
    // Folders, times and anything else: this sink takes exactly one plain file.
    Fail("<< SCP received illegal command\r\n");
}

void ScpSink::BeginFile(std::string_view text) {
    if (const char* problem = ParseScpFileHeader(text, &header_)) {
        Fail(std::string("<< SCP refused the file header: ") + problem + "\r\n");
        return;
    }
    if (const char* problem = ScpNameProblem(header_.name)) {
        Fail("<< SCP refused the file name " + Quoted(header_.name) + ": " + problem + "\r\n");
        return;
    }
    if (!target_.expected_name.empty() && header_.name != target_.expected_name) {
        Fail("<< SCP refused the file name " + Quoted(header_.name) + ": " +
             Quoted(target_.expected_name) + " was asked for\r\n");
        return;
    }
    const std::string& local = target_.local_name.empty() ? header_.name : target_.local_name;
    final_path_ = target_.folder + "/" + local;
    struct stat existing {};
    if (lstat(final_path_.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            Fail("<< SCP could not save " + final_path_ + ": it is a folder\r\n");
            return;
        }
        may_replace_ = (target_.replace_confirmed && !target_.local_name.empty()) ||
                       peer_.AskReplace(final_path_);
        if (!may_replace_) {
            Fail("<< SCP kept the existing file " + final_path_ + "\r\n");
            return;
        }
    }
    if (!CreateTemporary(header_.mode)) return;
    struct statvfs space {};
    if (fstatvfs(fd_, &space) == 0 &&
        static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize < header_.size) {
        Fail("<< SCP not enough space in " + target_.folder + " for " + Quoted(header_.name) +
             " (" + std::to_string(header_.size) + " bytes)\r\n");
        return;
    }
    peer_.Say("<< SCP receiving file " + PrintableText(header_.name) + "\r\n");
    received_ = 0;
    state_ = header_.size == 0 ? State::kWaitStatus : State::kData;
    peer_.ToServer(std::string_view("\0", 1));
}

bool ScpSink::CreateTemporary(std::uint32_t mode) {
    // A fresh name in the chosen folder, created exclusively (never through a link someone put
    // there), with the file's permissions less the set-id bits; the umask applies as to any new
    // file of the user's.
    const mode_t permissions = static_cast<mode_t>((mode & 0777) | 0600);
    std::random_device source;
    std::mt19937_64 random(source());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        std::string path = target_.folder + "/.tarnwick-scp-" + suffix + ".part";
        const int fd =
            open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, permissions);
        if (fd >= 0) {
            fd_ = fd;
            temporary_path_ = std::move(path);
            return true;
        }
        if (errno != EEXIST) break;
    }
    Fail("<< SCP could not create a file in " + target_.folder + ": " + std::strerror(errno) +
         "\r\n");
    return false;
}

void ScpSink::WriteData(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd_, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            Fail("<< SCP could not write " + final_path_ + ": " + std::strerror(errno) + "\r\n");
            return;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
        received_ += static_cast<std::uint64_t>(written);
    }
}

bool ScpSink::Rename(bool replace) {
    if (replace) return rename(temporary_path_.c_str(), final_path_.c_str()) == 0;
    if (renameat2(AT_FDCWD, temporary_path_.c_str(), AT_FDCWD, final_path_.c_str(),
                  RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: a new link fails just as well when the name
    // is taken.
    if (link(temporary_path_.c_str(), final_path_.c_str()) != 0) return false;
    unlink(temporary_path_.c_str());
    return true;
}

void ScpSink::Complete() {
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        Fail("<< SCP could not write " + final_path_ + ": " + std::strerror(errno) + "\r\n");
        return;
    }
    bool saved = Rename(may_replace_);
    if (!saved && errno == EEXIST) {
        // The name was taken while the file arrived.
        if (!peer_.AskReplace(final_path_)) {
            Fail("<< SCP kept the existing file " + final_path_ + "\r\n");
            return;
        }
        saved = Rename(true);
    }
    if (!saved) {
        Fail("<< SCP could not save " + final_path_ + ": " + std::strerror(errno) + "\r\n");
        return;
    }
    temporary_path_.clear();
    saved_path_ = final_path_;
    files_done_ = true;
    state_ = State::kDone;
    peer_.ToServer(std::string_view("\0", 1));
    peer_.Say("<< SCP receive complete\r\n");
}

void ScpSink::End() {
    if (state_ == State::kData || state_ == State::kWaitStatus) {
        Fail("<< SCP the transfer ended before the file was complete; nothing was saved\r\n");
    } else if (state_ == State::kWaitHeader) {
        Fail(spoke_ ? "" : "<< SCP the server sent no file\r\n");
    }
}

void ScpSink::Cancel() {
    if (!finished()) Fail("<< SCP transfer cancelled; nothing was saved\r\n");
}

void ScpSink::Abort(std::string_view reason) {
    if (!finished()) Fail(reason);
}

void ScpSink::Fail(std::string_view message) {
    if (!message.empty()) peer_.Say(message);
    Discard();
    state_ = State::kFailed;
}

void ScpSink::Discard() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temporary_path_.empty()) {
        unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }
}

// ---- ScpSource ----

ScpSource::ScpSource(ScpPeer& peer, std::string local_path)
    : peer_(peer), path_(std::move(local_path)) {}

ScpSource::~ScpSource() {
    if (fd_ >= 0) close(fd_);
}

bool ScpSource::Prepare() {
    name_ = LocalBaseName(path_);
    // The name travels in a line of its own: a line feed in it would end the header early.
    if (const char* problem = ScpNameProblem(name_)) {
        Fail(">> SCP cannot send " + Quoted(name_) + ": " + problem + "; aborting\r\n");
        return false;
    }
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        Fail(">> SCP unable to open file; aborting\r\n");
        return false;
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        Fail(">> SCP unable to stat file; aborting\r\n");
        return false;
    }
    // A folder cannot be sent, and a device or a pipe has no size to announce.
    if (!S_ISREG(info.st_mode)) {
        Fail(">> SCP " + PrintableText(path_) + " is not a regular file; aborting\r\n");
        return false;
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

void ScpSource::Feed(const std::uint8_t* data, std::size_t length) {
    while (length > 0 && !finished()) {
        if (reply_ == 0) {
            const std::uint8_t reply = *data++;
            --length;
            if (reply == 0) {
                HandleReply(0, {});
            } else if (reply == 1 || reply == 2) {
                reply_ = reply;
            } else {
                Fail(">> SCP state machine error\r\n");
            }
            continue;
        }
        std::size_t used = 0;
        const ScpLineReader::Result result = reader_.Add(data, length, &used);
        data += used;
        length -= used;
        if (result == ScpLineReader::Result::kTooLong) {
            Fail(">> SCP state machine error\r\n");
            return;
        }
        if (result == ScpLineReader::Result::kNeedMore) return;
        const std::uint8_t reply = reply_;
        const std::string message = reader_.line();
        reader_.Reset();
        reply_ = 0;
        HandleReply(reply, message);
    }
}

void ScpSource::HandleReply(std::uint8_t reply, const std::string& message) {
    if (reply != 0) {
        // The server's own words; a sink that reports a problem has not taken the file.
        peer_.Say(ServerLine(message));
        Fail(">> SCP upload failed\r\n");
        return;
    }
    switch (state_) {
        case State::kWaitReady: {
            peer_.Say(">> SCP server ready; starting upload\r\n");
            peer_.Say(">> SCP client sending file " + PrintableText(path_) + "\r\n");
            state_ = State::kWaitHeaderAck;
            peer_.ToServer("C0644 " + std::to_string(size_) + " " + name_ + "\n");
            break;
        }
        case State::kWaitHeaderAck:
            // The content goes only after the sink has accepted the header: one that refuses it
            // would read the content as its next header.
            state_ = State::kSending;
            break;
        case State::kWaitFinal:
            if (short_) {
                Fail(">> SCP " + PrintableText(path_) +
                     " changed size while it was sent; the copy on the server is incomplete\r\n");
                return;
            }
            state_ = State::kDone;
            peer_.Say(">> SCP upload complete\r\n");
            break;
        default:
            Fail(">> SCP state machine error\r\n");
            break;
    }
}

long ScpSource::NextContent(char* buffer, std::size_t capacity) {
    const std::uint64_t remaining = size_ - offset_;
    if (remaining == 0) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, remaining));
    if (!short_) {
        ssize_t got;
        do {
            got = pread(fd_, buffer, n, static_cast<off_t>(offset_));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return -1;
        if (got == 0) {
            short_ = true;
        } else {
            n = static_cast<std::size_t>(got);
        }
    }
    if (short_) std::memset(buffer, 0, n);
    offset_ += n;
    return static_cast<long>(n);
}

std::string ScpSource::ContentSent() {
    state_ = State::kWaitFinal;
    peer_.Say(">> SCP client done send; waiting for server\r\n");
    if (short_) return "\x01scp: " + name_ + ": file changed size\n";
    return std::string(1, '\0');
}

void ScpSource::End() {
    if (!finished()) Fail(">> SCP the server ended the transfer before it was complete\r\n");
}

void ScpSource::Cancel() {
    if (!finished()) Fail(">> SCP transfer cancelled\r\n");
}

void ScpSource::Abort(std::string_view reason) {
    if (!finished()) Fail(reason);
}

void ScpSource::Fail(std::string_view message) {
    if (!message.empty()) peer_.Say(message);
    state_ = State::kFailed;
}

}  // namespace tarnwick
