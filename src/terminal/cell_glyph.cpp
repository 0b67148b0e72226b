#include <cstdint>

#include "terminal/cell.h"

namespace tarnwick {

namespace {

// The line-drawing set at 0x5F-0x7E.
constexpr char32_t kSpecialGraphics[32] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0,  // _ ` a b c d e f
    0x00B1, 0x2424, 0x240B, 0x2518, 0x2510, 0x250C, 0x2514, 0x253C,  // g h i j k l m n
    0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534,  // o p q r s t u v
    0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,  // w x y z { | } ~
};

// The supplemental set differs from Latin-1 at a few places; unassigned places show as blanks.
char32_t Supplemental(std::uint8_t b) {
    switch (b) {
        case 0xA4:
        case 0xA6:
        case 0xAC:
        case 0xAD:
        case 0xAE:
        case 0xAF:
        case 0xB4:
        case 0xB8:
        case 0xBE:
        case 0xD0:
        case 0xDE:
        case 0xF0:
        case 0xFE:
            return U' ';
        case 0xA8:
            return 0x00A4;
        case 0xD7:
            return 0x0152;
        case 0xDD:
            return 0x0178;
        case 0xF7:
            return 0x0153;
        case 0xFD:
            return 0x00FF;
        default:
            return b;
    }
}

}  // namespace

char32_t CellGlyph(std::uint32_t value) {
    const std::uint8_t b = cell::Character(value);
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0)) return U' ';
    switch (cell::Set(value)) {
        case kSetUnitedKingdom:
            return b == '#' ? char32_t{0x00A3} : char32_t{b};
        case kSetSpecialGraphics:
        case kSetAltROMGraphics:
            if (b >= 0x5F && b <= 0x7E) return kSpecialGraphics[b - 0x5F];
            return b;
        case kSetSupplemental:
            // Invoked into the left half the set still shows its right-half characters.
            if (b < 0x80)
                return b == 0x20 ? U' ' : Supplemental(static_cast<std::uint8_t>(b | 0x80));
            return Supplemental(b);
        default:
            return b;
    }
}

}  // namespace tarnwick
