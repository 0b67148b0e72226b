#include "console/tty_input.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

std::vector<HostKeyEvent> Decode(const std::string& bytes, bool flush = true) {
    TtyInputDecoder decoder;
    std::vector<HostKeyEvent> events;
    decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), events);
    if (flush) decoder.Flush(events);
    return events;
}

HostKeyEvent Char(int c) {
    return {HostKey::kChar, c};
}
HostKeyEvent Key(HostKey k) {
    return {k, 0};
}

TEST(TtyInputTest, CharactersAndControlCodes) {
    EXPECT_EQ(Decode("a\x7f\x08\r\x1d"),
              (std::vector<HostKeyEvent>{Char('a'), Char(0x7f), Char(8), Char('\r'), Char(0x1d)}));
    EXPECT_EQ(Decode("\xc3\xa9"), (std::vector<HostKeyEvent>{Char(0xc3), Char(0xa9)}));
}

TEST(TtyInputTest, CursorAndEditingKeysInBothForms) {
    EXPECT_EQ(Decode("\x1b[A\x1bOB\x1b[C\x1bOD"),
              (std::vector<HostKeyEvent>{Key(HostKey::kUp), Key(HostKey::kDown),
                                         Key(HostKey::kRight), Key(HostKey::kLeft)}));
    EXPECT_EQ(Decode("\x1b[3~\x1b[1;5A\x1b[5~\x1b[H"),
              (std::vector<HostKeyEvent>{Key(HostKey::kDelete), Key(HostKey::kUp),
                                         Key(HostKey::kPageUp), Key(HostKey::kHome)}));
}

TEST(TtyInputTest, FunctionAndKeypadKeys) {
    EXPECT_EQ(Decode("\x1bOP\x1bOS\x1b[11~\x1b[15~\x1b[24~"),
              (std::vector<HostKeyEvent>{Key(HostKey::kPF1), Key(HostKey::kPF4), Key(HostKey::kPF1),
                                         HostKeyEvent{HostKey::kFunction, 5},
                                         HostKeyEvent{HostKey::kFunction, 12}}));
    EXPECT_EQ(Decode("\x1bOp\x1bOy\x1bOn\x1bOm\x1bOl\x1bOM"),
              (std::vector<HostKeyEvent>{Key(HostKey::kKeypad0), Key(HostKey::kKeypad9),
                                         Key(HostKey::kKeypadPeriod), Key(HostKey::kKeypadMinus),
                                         Key(HostKey::kKeypadComma), Key(HostKey::kKeypadEnter)}));
}

TEST(TtyInputTest, SequencesSplitAcrossReads) {
    TtyInputDecoder decoder;
    std::vector<HostKeyEvent> events;
    for (char c : std::string("\x1b[3~x\x1bOA")) {
        auto b = static_cast<std::uint8_t>(c);
        decoder.Feed(&b, 1, events);
    }
    EXPECT_EQ(events,
              (std::vector<HostKeyEvent>{Key(HostKey::kDelete), Char('x'), Key(HostKey::kUp)}));
    EXPECT_FALSE(decoder.HasPending());
}

TEST(TtyInputTest, LoneEscapeNeedsAPause) {
    TtyInputDecoder decoder;
    std::vector<HostKeyEvent> events;
    std::uint8_t esc = 0x1b;
    decoder.Feed(&esc, 1, events);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(decoder.HasPending());
    decoder.Flush(events);
    EXPECT_EQ(events, (std::vector<HostKeyEvent>{Char(0x1b)}));

    // Escape followed by a letter (Alt+x) is two characters; an unterminated CSI after the pause
    // gives its bytes as characters rather than losing them.
    EXPECT_EQ(Decode("\x1bx"), (std::vector<HostKeyEvent>{Char(0x1b), Char('x')}));
    EXPECT_EQ(Decode("\x1b[12"),
              (std::vector<HostKeyEvent>{Char(0x1b), Char('['), Char('1'), Char('2')}));
}

TEST(TtyInputTest, HostileSequencesAreBounded) {
    // An endless parameter run is not buffered without limit: the bytes come out as characters.
    std::string bytes = "\x1b[" + std::string(100, '1');
    auto events = Decode(bytes, false);
    ASSERT_EQ(events.size(), 102u);
    EXPECT_EQ(events.front(), Char(0x1b));
    EXPECT_EQ(events.back(), Char('1'));
    // Unknown complete sequences disappear instead of typing their bytes.
    EXPECT_EQ(Decode("\x1b[200~q"), (std::vector<HostKeyEvent>{Char('q')}));
}

}  // namespace
}  // namespace tarnwick
