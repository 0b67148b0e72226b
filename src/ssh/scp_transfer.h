// The two ends of an SCP copy of one file, without the channel that carries them: the sink
// receives a file from "scp -f" on the server, the source sends one to "scp -t". Both take the
// server's bytes, answer through an ScpPeer and tell the user what happens in one-line messages;
// only the local file is touched here.
//
// What a hostile server can send is bounded here: the name of a received file must be a plain
// name, the file is written to a temporary file in the chosen folder and takes its final name only
// once the announced size and the server's "all well" octet have arrived, an existing file is
// replaced only when the user agreed, and a second file, a folder or a header that does not parse
// ends the transfer with nothing written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ssh/scp_header.h"

namespace tarnwick {

// What an SCP end needs from its surroundings.
class ScpPeer {
  public:
    virtual ~ScpPeer() = default;
    // Bytes for the other end of the copy.
    virtual void ToServer(std::string_view bytes) = 0;
    // One line for the user, ending in "\r\n".
    virtual void Say(std::string_view line) = 0;
    // The file exists: may it be replaced?
    virtual bool AskReplace(const std::string& path) = 0;
};

// Receives one file ("scp -f" on the server).
class ScpSink {
  public:
    enum class State {
        kWaitHeader,  // the zero octet has gone out; waiting for "C..."
        kData,        // receiving the file's octets
        kWaitStatus,  // all octets are in; waiting for the server's status octet
        kDone,        // saved under its final name
        kFailed,      // given up; nothing left behind
    };

    struct Target {
        std::string folder;      // where the file goes
        std::string local_name;  // the name the user chose; empty: the server's name
        // The name the request named (the remote path's last component); empty: any plain name.
        std::string expected_name;
        // The user already agreed to replace folder/local_name (a save dialog that asked).
        bool replace_confirmed = false;
    };

    ScpSink(ScpPeer& peer, Target target);
    ~ScpSink();  // an unfinished file is removed
    ScpSink(const ScpSink&) = delete;
    ScpSink& operator=(const ScpSink&) = delete;

    // Tells the server to start (one zero octet).
    void Start();
    // Bytes from the server.
    void Feed(const std::uint8_t* data, std::size_t length);
    // The server ended the channel: a file not yet complete is removed and the user told.
    void End();
    // The user cancelled.
    void Cancel();
    // The channel broke down without a word from the server (flow control): as End, with
    // reason as the message.
    void Abort(std::string_view reason);

    State state() const { return state_; }
    bool finished() const { return state_ == State::kDone || state_ == State::kFailed; }
    const std::string& name() const { return header_.name; }
    std::uint64_t size() const { return header_.size; }
    std::uint64_t received() const { return received_; }
    // The file's final path once it is saved.
    const std::string& saved_path() const { return saved_path_; }

  private:
    void HandleLine(const std::string& line);
    void BeginFile(std::string_view text);
    void WriteData(const std::uint8_t* data, std::size_t length);
    void Complete();
    void Fail(std::string_view message);
    void Discard();
    bool CreateTemporary(std::uint32_t mode);
    bool Rename(bool replace);

    ScpPeer& peer_;
    Target target_;
    State state_ = State::kWaitHeader;
    ScpLineReader reader_;
    ScpFileHeader header_;
    std::uint64_t received_ = 0;
    int fd_ = -1;
    std::string temporary_path_;
    std::string final_path_;
    std::string saved_path_;
    bool may_replace_ = false;
    bool files_done_ = false;  // one file has been saved
    bool spoke_ = false;       // the server's own message has been shown
};

// Sends one file ("scp -t ." on the server). The server's replies come in through Feed; the
// content is read by the sending thread through NextContent, so that a large file is never held
// in memory.
class ScpSource {
  public:
    enum class State {
        kWaitReady,      // waiting for the server's first zero octet
        kWaitHeaderAck,  // "C0644 size name" sent
        kSending,        // the content goes out
        kWaitFinal,      // content and status octet sent; waiting for the server's verdict
        kDone,
        kFailed,
    };

    ScpSource(ScpPeer& peer, std::string local_path);
    ~ScpSource();
    ScpSource(const ScpSource&) = delete;
    ScpSource& operator=(const ScpSource&) = delete;

    // Opens the local file; false (the user told why) when it cannot be sent.
    bool Prepare();
    // Replies from the server.
    void Feed(const std::uint8_t* data, std::size_t length);
    // The sending thread: the next piece of content (at most capacity octets, 0 once all has been
    // read). A file that has shrunk meanwhile is made up with zero octets, as the size announced
    // must be kept, and the server is told at the end. A read error gives -1.
    long NextContent(char* buffer, std::size_t capacity);
    // The sending thread: every octet has gone out. Returns the status to send after the content
    // (a zero octet, or an error line for a file that changed meanwhile); the state is then
    // kWaitFinal.
    std::string ContentSent();
    void End();
    void Cancel();
    void Abort(std::string_view reason);

    State state() const { return state_; }
    bool finished() const { return state_ == State::kDone || state_ == State::kFailed; }
    const std::string& name() const { return name_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t sent() const { return offset_; }

  private:
    void HandleReply(std::uint8_t reply, const std::string& message);
    void Fail(std::string_view message);

    ScpPeer& peer_;
    std::string path_;
    std::string name_;
    State state_ = State::kWaitReady;
    ScpLineReader reader_;
    std::uint8_t reply_ = 0;  // 1 or 2 while the message after it is read
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t offset_ = 0;  // the sending thread's
    bool short_ = false;        // the file ended before its announced size
};

}  // namespace tarnwick
