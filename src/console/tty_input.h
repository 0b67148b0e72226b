// Decodes the bytes a host terminal sends for keys (in raw mode) into key events: characters,
// and the named keys the terminal's keyboard handling knows (cursor keys, Delete, PF1-PF4, the
// keypad when the host terminal reports it). Escape sequences may arrive split across reads; a
// lone ESC becomes the Escape character once Flush is called after a short pause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

enum class HostKey {
    kNone,
    kChar,  // a byte: printable, control character, or a UTF-8 byte
    kUp,
    kDown,
    kRight,
    kLeft,
    kDelete,
    kPF1,
    kPF2,
    kPF3,
    kPF4,
    kKeypad0,  // keypad keys in the host's application keypad mode
    kKeypad1,
    kKeypad2,
    kKeypad3,
    kKeypad4,
    kKeypad5,
    kKeypad6,
    kKeypad7,
    kKeypad8,
    kKeypad9,
    kKeypadPeriod,
    kKeypadMinus,
    kKeypadComma,
    kKeypadEnter,
    kHome,
    kEnd,
    kPageUp,
    kPageDown,
    kInsert,
    kFunction,  // F5 and above: value holds the number
};

struct HostKeyEvent {
    HostKey key = HostKey::kNone;
    int value = 0;  // the byte for kChar, the number for kFunction

    bool operator==(const HostKeyEvent& other) const {
        return key == other.key && value == other.value;
    }
};

class TtyInputDecoder {
  public:
    // Feeds bytes; complete events are appended to out.
    void Feed(const std::uint8_t* data, std::size_t length, std::vector<HostKeyEvent>& out);
    // Ends an unfinished sequence (after a pause): a lone ESC is the Escape character, and the
    // bytes of an incomplete sequence come out as characters.
    void Flush(std::vector<HostKeyEvent>& out);
    bool HasPending() const { return !pending_.empty(); }

  private:
    // Tries to decode pending_ from its start: returns the bytes used (0: need more bytes).
    std::size_t Decode(std::vector<HostKeyEvent>& out, bool final);

    std::string pending_;
};

}  // namespace tarnwick
