// The SSH2 version exchange on the client side: finding the server's "SSH-" line among the lines
// it sends first, parsing it, deciding whether the protocol version is usable, and the quirk
// flags that old server versions need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// Server quirks, from the software version of the server's version line.
enum ServerQuirk : unsigned {
    m_serviceaccept_bug = 1u << 0,  // an empty SERVICE_ACCEPT name accepts "ssh-userauth"
    m_oldgex_bug = 1u << 1,         // group exchange uses the old one-number request
    m_rawsig_bug = 1u << 2,         // signatures without the algorithm name and string wrapper
    m_pkservice_bug = 1u << 3,      // user authentication names the service "ssh-userauth"
    m_pkauth_bug = 1u << 4,         // public-key requests omit method and algorithm names
    m_pkok_bug = 1u << 5,           // the signed session identifier is not a string
};

struct QuirkName {
    unsigned flag;
    const char* name;
};
// The flags in the order their debug lines are shown.
std::span<const QuirkName> QuirkNames();

// The flags for a server software version (the text after the second "-" of its version line).
unsigned QuirksFor(std::string_view software);

struct ServerVersion {
    int major = 0;
    int minor = 0;
    std::string software;
};

// Parses "SSH-<major>.<minor>-<software>" (software at least one character). False when the
// line has another shape.
bool ParseVersionLine(std::string_view line, ServerVersion* out);
// Protocol 2 with any minor number, or 1.99 (a server that speaks both).
bool VersionUsable(const ServerVersion& version);

// Collects the server's first bytes until its version line is complete.
class VersionLineReader {
  public:
    enum class Result { kNeedMore, kFound, kFailed };

    // The longest line kept while waiting for its end, and the most bytes of other lines that
    // are skipped before the version line; beyond them the exchange fails.
    static constexpr std::size_t kMaxLine = 35000;
    static constexpr std::size_t kMaxSkipped = 1 << 20;

    // Adds bytes. kFound: line() holds the version line (without CR or LF) and *used how many of
    // these bytes belong to the lines read so far; the rest start the first binary packet.
    Result Add(const std::uint8_t* data, std::size_t length, std::size_t* used);
    const std::string& line() const { return line_; }

  private:
    std::string pending_;  // the incomplete line
    std::string line_;
    std::size_t skipped_ = 0;
};

}  // namespace tarnwick
