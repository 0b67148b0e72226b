#include "transfer/transfer_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/user_interface.h"

namespace tarnwick {

namespace {

class PosixFile final : public TransferFile {
  public:
    PosixFile(std::string path, int fd, bool created, std::uint64_t size)
        : TransferFile(std::move(path)), fd_(fd), created_(created) {
        size_ = size;
    }
    ~PosixFile() override {
        if (fd_ >= 0) close(fd_);
    }

    long long ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length) override {
        std::size_t done = 0;
        while (done < length) {
            ssize_t got = pread(fd_, data + done, length - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                error_ = errno;
                return -1;
            }
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<long long>(done);
    }

    bool Write(const std::uint8_t* data, std::size_t length) override {
        if (fd_ < 0) {
            error_ = EBADF;
            return false;
        }
        std::size_t done = 0;
        while (done < length) {
            ssize_t put = write(fd_, data + done, length - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                error_ = put < 0 ? errno : ENOSPC;
                return false;
            }
            done += static_cast<std::size_t>(put);
            written_ += static_cast<std::uint64_t>(put);
        }
        return true;
    }

    bool Finish() override {
        if (fd_ < 0) return error_ == 0;
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            error_ = errno;
            return false;
        }
        return true;
    }

    bool Truncate() override {
        if (fd_ < 0 || ftruncate(fd_, 0) != 0) {
            error_ = fd_ < 0 ? EBADF : errno;
            return false;
        }
        written_ = 0;
        return true;
    }

    void DiscardIfCreated() override {
        Finish();
        if (created_) unlink(path_.c_str());
        created_ = false;
    }

  private:
    int fd_;
    bool created_;
};

}  // namespace

std::string TransferFile::ErrorText() const {
    return SystemErrorText(error_);
}

std::unique_ptr<TransferFile> OpenFileForReading(const std::string& path, int* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(fd);
        return nullptr;
    }
    // The size is fixed when the transfer starts, as the progress window shows it.
    return std::make_unique<PosixFile>(path, fd, false, static_cast<std::uint64_t>(info.st_size));
}

std::unique_ptr<TransferFile> OpenFileForWriting(const std::string& path, bool truncate,
                                                 int* error) {
    bool created = true;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | (truncate ? O_TRUNC : 0));
    }
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        *error = EISDIR;
        close(fd);
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd, created, 0);
}

}  // namespace tarnwick
