#include "console/tty_input.h"

namespace tarnwick {

namespace {

// The longest escape sequence we wait for; anything longer is passed on as characters.
constexpr std::size_t kMaxSequence = 16;

HostKey FinalLetterKey(char c) {
    switch (c) {
        case 'A':
            return HostKey::kUp;
        case 'B':
            return HostKey::kDown;
        case 'C':
            return HostKey::kRight;
        case 'D':
            return HostKey::kLeft;
        case 'H':
            return HostKey::kHome;
        case 'F':
            return HostKey::kEnd;
        case 'P':
            return HostKey::kPF1;
        case 'Q':
            return HostKey::kPF2;
        case 'R':
            return HostKey::kPF3;
        case 'S':
            return HostKey::kPF4;
        default:
            return HostKey::kNone;
    }
}

// ESC O <c> in application keypad mode.
HostKey KeypadKey(char c) {
    if (c >= 'p' && c <= 'y')
        return static_cast<HostKey>(static_cast<int>(HostKey::kKeypad0) + (c - 'p'));
    switch (c) {
        case 'n':
            return HostKey::kKeypadPeriod;
        case 'm':
            return HostKey::kKeypadMinus;
        case 'l':
            return HostKey::kKeypadComma;
        case 'M':
            return HostKey::kKeypadEnter;
        default:
            return HostKey::kNone;
    }
}

// ESC [ <n> ~
HostKeyEvent TildeKey(int n) {
    switch (n) {
        case 1:
        case 7:
            return {HostKey::kHome, 0};
        case 2:
            return {HostKey::kInsert, 0};
        case 3:
            return {HostKey::kDelete, 0};
        case 4:
        case 8:
            return {HostKey::kEnd, 0};
        case 5:
            return {HostKey::kPageUp, 0};
        case 6:
            return {HostKey::kPageDown, 0};
        case 11:
            return {HostKey::kPF1, 0};  // F1 to F4 of terminals that number them
        case 12:
            return {HostKey::kPF2, 0};
        case 13:
            return {HostKey::kPF3, 0};
        case 14:
            return {HostKey::kPF4, 0};
        case 15:
            return {HostKey::kFunction, 5};
        case 17:
        case 18:
        case 19:
        case 20:
        case 21:
            return {HostKey::kFunction, n - 11};  // F6 to F10
        case 23:
        case 24:
            return {HostKey::kFunction, n - 12};  // F11, F12
        default:
            return {HostKey::kNone, 0};
    }
}

}  // namespace

void TtyInputDecoder::Feed(const std::uint8_t* data, std::size_t length,
                           std::vector<HostKeyEvent>& out) {
    pending_.append(reinterpret_cast<const char*>(data), length);
    for (;;) {
        std::size_t used = Decode(out, false);
        if (used == 0) break;
        pending_.erase(0, used);
    }
}

void TtyInputDecoder::Flush(std::vector<HostKeyEvent>& out) {
    while (!pending_.empty()) {
        std::size_t used = Decode(out, true);
        pending_.erase(0, used == 0 ? 1 : used);
    }
}

std::size_t TtyInputDecoder::Decode(std::vector<HostKeyEvent>& out, bool final) {
    if (pending_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(pending_[0]);
    if (byte != 0x1B) {
        out.push_back({HostKey::kChar, byte});
        return 1;
    }
    if (pending_.size() == 1) {
        if (!final) return 0;
        out.push_back({HostKey::kChar, 0x1B});
        return 1;
    }
    const char introducer = pending_[1];
    if (introducer == 'O') {
        if (pending_.size() < 3) {
            if (!final) return 0;
            out.push_back({HostKey::kChar, 0x1B});
            return 1;
        }
        const char c = pending_[2];
        HostKey key = FinalLetterKey(c);
        if (key == HostKey::kNone) key = KeypadKey(c);
        if (key == HostKey::kNone) {
            out.push_back({HostKey::kChar, 0x1B});
            return 1;
        }
        out.push_back({key, 0});
        return 3;
    }
    if (introducer == '[') {
        // CSI: parameters and intermediates, then a final byte in 0x40..0x7E.
        std::size_t i = 2;
        while (i < pending_.size()) {
            const auto c = static_cast<std::uint8_t>(pending_[i]);
            if (c >= 0x40 && c <= 0x7E) break;
            if (c < 0x20 || c > 0x3F) {
                // Not a sequence after all: the ESC is a key of its own.
                out.push_back({HostKey::kChar, 0x1B});
                return 1;
            }
            ++i;
        }
        if (i >= pending_.size()) {
            if (!final && pending_.size() < kMaxSequence) return 0;
            out.push_back({HostKey::kChar, 0x1B});
            return 1;
        }
        const char final_byte = pending_[i];
        const std::string params = pending_.substr(2, i - 2);
        if (final_byte == '~') {
            int n = 0;
            for (char c : params) {
                if (c == ';') break;  // modifiers are not told apart
                if (c < '0' || c > '9') {
                    n = -1;
                    break;
                }
                n = n * 10 + (c - '0');
                if (n > 1000) break;
            }
            HostKeyEvent event = TildeKey(n);
            if (event.key != HostKey::kNone) out.push_back(event);
            return i + 1;
        }
        HostKey key = FinalLetterKey(final_byte);
        // ESC [ P..S are F1..F4 on some terminals; with parameters, modifiers are ignored.
        if (key != HostKey::kNone) out.push_back({key, 0});
        return i + 1;  // unknown sequences are swallowed, not typed
    }
    // ESC followed by any other byte: Escape, then that byte on its own (the Alt prefix).
    out.push_back({HostKey::kChar, 0x1B});
    return 1;
}

}  // namespace tarnwick
