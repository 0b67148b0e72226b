// The file of a transfer (XMODEM, ASCII send, capture), read and written with plain system calls
// so that every failure is seen where it happens and can be reported with what was kept. The
// protocol code works on the interface, so tests can give it files that fail on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnwick {

class TransferFile {
  public:
    virtual ~TransferFile() = default;

    // Up to length bytes from offset; fewer only at the end of the file. -1 on a read error.
    virtual long long ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length) = 0;
    // Appends all bytes; false when the file took fewer (Written() then says how many it holds).
    virtual bool Write(const std::uint8_t* data, std::size_t length) = 0;
    // Closes the file; false when the system reported a failure (the data may not all be kept).
    virtual bool Finish() = 0;
    // Empties a file opened for writing; false when that failed.
    virtual bool Truncate() { return true; }
    // Closes and removes a file opened for writing if opening it created it, so that a transfer
    // that never started leaves nothing behind and destroys nothing of the user's.
    virtual void DiscardIfCreated() {}

    const std::string& path() const { return path_; }
    std::uint64_t Size() const { return size_; }
    std::uint64_t Written() const { return written_; }
    // The system's text for the last failure ("No space left on device").
    std::string ErrorText() const;

  protected:
    explicit TransferFile(std::string path) : path_(std::move(path)) {}

    std::string path_;
    std::uint64_t size_ = 0;
    std::uint64_t written_ = 0;
    int error_ = 0;
};

// A file opened for reading (others may read it too); nullptr with *error set when it cannot be
// opened or is not a regular file.
std::unique_ptr<TransferFile> OpenFileForReading(const std::string& path, int* error);
// A file opened for writing, created when missing. With truncate it is emptied at once; without,
// its old contents stay until Truncate (so that a transfer that never starts destroys nothing).
std::unique_ptr<TransferFile> OpenFileForWriting(const std::string& path, bool truncate,
                                                 int* error);

}  // namespace tarnwick
