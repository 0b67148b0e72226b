// The 32-bit cell value of the character grid, shared by the screen model and every display.
//
//   bits 0-7    character byte
//   bits 8-15   attributes: bold, underline, blink, reverse (bits 8 to 11)
//   bits 16-18  background colour index 0-7
//   bits 19-23  foreground colour index (0-7 used)
//   bits 24-31  character-set code (bits 24-26); on the VT240 bit 31 marks a character that a
//               selective erase may remove (it was written without protection)
#pragma once

#include <cstdint>

namespace tarnwick {

// Character-set codes, as stored in bits 24-26 of a cell.
enum CharSet : int {
    kSetUnitedKingdom = 0,
    kSetASCII = 1,
    kSetSpecialGraphics = 2,
    kSetAltROM = 3,
    kSetAltROMGraphics = 4,
    kSetSupplemental = 5,
};

// Attribute flags as the interpreters keep them for new characters (cell bits 8-11 shifted down).
enum Attribute : int {
    kAttrBold = 1,
    kAttrUnderline = 2,
    kAttrBlink = 4,
    kAttrReverse = 8,
};

// The eight colour indexes; their actual colours are preferences applied by the display.
enum Colour : int {
    kBlack = 0,
    kRed = 1,
    kGreen = 2,
    kYellow = 3,
    kBlue = 4,
    kMagenta = 5,
    kCyan = 6,
    kWhite = 7,
};

namespace cell {

inline constexpr std::uint32_t kCharMask = 0xFFu;
inline constexpr int kAttrShift = 8;
inline constexpr int kBackgroundShift = 16;
inline constexpr int kForegroundShift = 19;
inline constexpr int kSetShift = 24;
inline constexpr std::uint32_t kErasable = 1u << 31;
// A space with no attributes in the ASCII set; colours are added to it.
inline constexpr std::uint32_t kBlankBase = 0x01000020u;
inline constexpr int kDefaultForeground = kWhite;
inline constexpr int kDefaultBackground = kBlack;

inline constexpr std::uint32_t Make(std::uint8_t character, int attributes, int background,
                                    int foreground, int set) {
    return static_cast<std::uint32_t>(character) |
           (static_cast<std::uint32_t>(attributes & 0xFF) << kAttrShift) |
           (static_cast<std::uint32_t>(background & 7) << kBackgroundShift) |
           (static_cast<std::uint32_t>(foreground & 0x1F) << kForegroundShift) |
           (static_cast<std::uint32_t>(set & 0xFF) << kSetShift);
}

// The blank cell that erasing leaves behind: only the background colour shows, so the
// foreground is always the default one.
inline constexpr std::uint32_t Blank(int background) {
    return kBlankBase | (static_cast<std::uint32_t>(background & 7) << kBackgroundShift) |
           (static_cast<std::uint32_t>(kDefaultForeground) << kForegroundShift);
}

inline constexpr std::uint8_t Character(std::uint32_t c) {
    return static_cast<std::uint8_t>(c & kCharMask);
}
inline constexpr int Attributes(std::uint32_t c) {
    return static_cast<int>((c >> kAttrShift) & 0xFF);
}
inline constexpr int Background(std::uint32_t c) {
    return static_cast<int>((c >> kBackgroundShift) & 7);
}
inline constexpr int Foreground(std::uint32_t c) {
    return static_cast<int>((c >> kForegroundShift) & 0x1F);
}
inline constexpr int Set(std::uint32_t c) {
    return static_cast<int>((c >> kSetShift) & 7);
}
inline constexpr bool Erasable(std::uint32_t c) {
    return (c & kErasable) != 0;
}

}  // namespace cell

// The Unicode character a cell shows: the byte interpreted in its character set (the United
// Kingdom set has the pound sign at "#", the special-graphics set has line-drawing characters at
// 0x5F-0x7E, bytes 0xA0-0xFF are Latin-1 or the supplemental set). Control bytes show as spaces.
char32_t CellGlyph(std::uint32_t cell);

}  // namespace tarnwick
