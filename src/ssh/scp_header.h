// The text side of an SCP copy: the lines the two ends exchange between files, the file header
// ("C0644 1234 name"), the rules for a file name that arrives from the server, and the quoting of
// a remote path for the remote shell. No I/O here: everything is bytes in, values out, so that
// each piece can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// Collects one line, up to and including its line feed. The line feed ends the line and nothing
// after it is taken, so file data that arrives in the same packet as a header stays data.
class ScpLineReader {
  public:
    // A header carries a mode, a size and a file name of at most kMaxNameLength octets; anything
    // much longer is not a header.
    static constexpr std::size_t kMaxLine = 2048;

    enum class Result { kNeedMore, kLine, kTooLong };

    // Takes bytes of data up to the end of the line; *used says how many (never more than
    // length). kLine: line() holds the line without its line feed. kTooLong: no line feed within
    // kMaxLine octets.
    Result Add(const std::uint8_t* data, std::size_t length, std::size_t* used);
    const std::string& line() const { return line_; }
    bool empty() const { return line_.empty() && !complete_; }
    // Forgets the line, ready for the next one.
    void Reset();

  private:
    std::string line_;
    bool complete_ = false;
};

// What the first octet of a line says it is.
enum class ScpLineKind {
    kFile,          // 'C': a file follows
    kDirectory,     // 'D': the start of a folder
    kEndDirectory,  // 'E': the end of a folder
    kTimes,         // 'T': times of the next file
    kWarning,       // 1: a message; the other end goes on
    kError,         // 2: a message; the other end has given up
    kUnknown,
};
ScpLineKind KindOfScpLine(std::string_view line);

struct ScpFileHeader {
    std::uint32_t mode = 0;  // permission bits, at most 07777
    std::uint64_t size = 0;  // at most 2^63 - 1
    std::string name;        // everything after the size, spaces included
};

// Parses the text of a file line after its 'C': four octal digits, one space, the size as a plain
// decimal number, one space, the name to the end of the line. nullptr on success, else why the
// header is refused (a phrase for the user).
const char* ParseScpFileHeader(std::string_view text, ScpFileHeader* header);

// The longest name a file may have here (the usual file-system limit).
inline constexpr std::size_t kMaxNameLength = 255;

// nullptr when name is a plain file name that may be created in the folder the user chose; else
// why not: empty, "." or "..", a "/" anywhere, a control character, or too long.
const char* ScpNameProblem(std::string_view name);

// The remote path as one word for the remote shell: in single quotes (a quote inside written as
// '\''), with a leading "~/" or "~user/" left outside the quotes so that the shell still finds the
// home folder, and "./" in front of a path that would otherwise read as an option.
std::string QuoteForRemoteShell(std::string_view path);

// The name the server will announce for a remote path: its last component, trailing slashes
// ignored. Empty when the path names no plain file ("", "/", ".", "..", "~").
std::string RemoteBaseName(std::string_view path);

// The last component of a local path.
std::string LocalBaseName(std::string_view path);

}  // namespace tarnwick
