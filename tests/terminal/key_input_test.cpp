// Key codes to bytes: the key tables in every keyboard mode, Backspace and Delete swapping, the
// drain with its new-line handling, batches and local echo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/session_config.h"
#include "terminal_fixture.h"

namespace tarnwick {
namespace {

using testing::RecordingLayer;
using Harness = testing::TerminalHarness<VT100>;

std::string Key(Harness& t, int code) {
    t.TakeSent();
    EXPECT_EQ(t.vt->KeyInput(code), 0);
    return t.TakeSent();
}

struct Row {
    int code;
    const char* normal;       // cursor keys normal, numeric keypad
    const char* application;  // cursor keys and keypad in application mode
    const char* vt52;         // VT52 mode with the keypad in application mode
};

// Every row of the table of codes 256 to 278.
const Row kRows[] = {
    {kKeyLeft, "\x1b[D", "\x1bOD", "\033D"},
    {kKeyRight, "\x1b[C", "\x1bOC", "\033C"},
    {kKeyUp, "\x1b[A", "\x1bOA", "\033A"},
    {kKeyDown, "\x1b[B", "\x1bOB", "\033B"},
    {262, "0", "\x1bOp", "\x1b?p"},
    {263, "1", "\x1bOq", "\x1b?q"},
    {264, "2", "\x1bOr", "\x1b?r"},
    {265, "3", "\x1bOs", "\x1b?s"},
    {266, "4", "\x1bOt", "\x1b?t"},
    {267, "5", "\x1bOu", "\x1b?u"},
    {268, "6", "\x1bOv", "\x1b?v"},
    {269, "7", "\x1bOw", "\x1b?w"},
    {270, "8", "\x1bOx", "\x1b?x"},
    {271, "9", "\x1bOy", "\x1b?y"},
    {kKeyKeypadPeriod, ".", "\x1bOn", "\x1b?n"},
    {kKeyKeypadMinus, "-", "\x1bOm", "\x1b?m"},
    {kKeyKeypadComma, ",", "\x1bOl", "\x1b?l"},
    {275, "\x1bOP", "\x1bOP", "\x1bP"},
    {276, "\x1bOQ", "\x1bOQ", "\x1bQ"},
    {277, "\x1bOR", "\x1bOR", "\x1bR"},
    {278, "\x1bOS", "\x1bOS", "\x1bS"},
    {kKeyBackspace, "\x08", "\x08", "\x08"},
    {kKeyDelete, "\x7f", "\x7f", "\x7f"},
};

TEST(KeyInputTest, TablesInEveryMode) {
    Harness t;
    for (const Row& row : kRows)
        EXPECT_EQ(Key(t, row.code), row.normal) << row.code;
    t.Feed("\x1b[?1h\x1b=");
    for (const Row& row : kRows)
        EXPECT_EQ(Key(t, row.code), row.application) << row.code;
    t.Feed("\x1b[?2l");
    for (const Row& row : kRows)
        EXPECT_EQ(Key(t, row.code), row.vt52) << row.code;
    // The numeric keypad in VT52 mode sends its characters.
    t.Feed("\x1b>");
    EXPECT_EQ(Key(t, 262), "0");
    EXPECT_EQ(Key(t, kKeyUp), "\033A");
}

TEST(KeyInputTest, BytesAndIgnoredCodes) {
    Harness t;
    EXPECT_EQ(Key(t, 'a'), "a");
    EXPECT_EQ(Key(t, 0), std::string(1, '\0'));
    EXPECT_EQ(Key(t, 0xE9), "\xe9");
    EXPECT_EQ(Key(t, 0xFFFF), "\xff");  // taken as a 16-bit signed value: -1, a byte
    EXPECT_EQ(Key(t, 279), "");
    EXPECT_EQ(Key(t, 0x2600), "");  // an untranslated view code
    EXPECT_EQ(Key(t, 0x7FFF), "");
}

TEST(KeyInputTest, SwapBackspaceAndDelete) {
    TerminalSettings s;
    s.swap_bs_del = true;
    Harness t(s);
    EXPECT_EQ(Key(t, kKeyBackspace), "\x7f");
    EXPECT_EQ(Key(t, kKeyDelete), "\x08");
    EXPECT_EQ(Key(t, 8), "\x08");  // the byte itself is never swapped
}

TEST(KeyInputTest, SettingsComeFromTheSession) {
    MemoryDisplay display;
    SessionConfig config;
    config.SetInt(setting::swap_bs_del, 1);
    config.SetInt(setting::keypad_mode, 1);
    VT100 vt(&display, &config);
    auto* lower = new RecordingLayer;
    ASSERT_EQ(vt.InsertBelow(lower), 0);
    vt.KeyInput(kKeyBackspace);
    vt.KeyInput(262);
    EXPECT_EQ(lower->Sent(), "\x7f\x1bOp");
    // Local echo is read when it is used: the Telnet layer switches it during the session.
    vt.SendString("a");
    EXPECT_EQ(vt.ScreenLine(0), "");
    config.SetInt(setting::local_echo, 1);
    vt.SendString("b");
    EXPECT_EQ(vt.ScreenLine(0), "b");
}

TEST(KeyInputTest, ReturnInNewLineMode) {
    Harness t;
    EXPECT_EQ(Key(t, 13), "\r");
    t.Feed("\x1b=");
    EXPECT_EQ(Key(t, 13), "\r");
    t.Feed("\x1b[20h");
    EXPECT_EQ(Key(t, 13), "\r\n");
    t.Feed("\x1b>");
    EXPECT_EQ(Key(t, 13), "\r\n");
}

TEST(KeyInputTest, WritesAreSentInBatches) {
    Harness t;
    const std::string text(600, 'p');
    EXPECT_EQ(t.vt->Send(reinterpret_cast<const std::uint8_t*>(text.data()), 600), 0);
    EXPECT_EQ(t.lower->send_calls, 3);  // 255, 255, 90
    EXPECT_EQ(t.TakeSent(), text);
}

TEST(KeyInputTest, NewLineModeNeverSplitsCarriageReturnAndLineFeed) {
    Harness t;
    t.Feed("\x1b[20h");
    std::string text(254, 'x');
    text += "\r\r";
    EXPECT_EQ(t.vt->SendString(text.c_str()), 0);
    const std::string sent = t.TakeSent();
    EXPECT_EQ(sent, std::string(254, 'x') + "\r\n\r\n");
    EXPECT_EQ(t.lower->send_calls, 2);
}

TEST(KeyInputTest, LocalEchoShowsTypedText) {
    TerminalSettings s;
    s.local_echo = true;
    Harness t(s);
    t.vt->SendString("typed");
    t.vt->KeyInput(kKeyLeft);  // the echoed escape sequence moves the cursor
    t.vt->KeyInput('!');
    EXPECT_EQ(t.Line(0), "type!");
    EXPECT_EQ(t.vt->CursorColumn(), 5);
    EXPECT_EQ(t.TakeSent(), "typed\x1b[D!");
}

TEST(KeyInputTest, EchoWithoutALowerLayerWritesTheWelcomeText) {
    MemoryDisplay display;
    TerminalSettings s;
    s.local_echo = true;
    VT100 vt(&display, s);
    EXPECT_EQ(vt.SendString("\x1b[H\x1b[JWelcome!\r\n\r\nTo get started"), 0);
    EXPECT_EQ(vt.ScreenLine(0), "Welcome!");
    EXPECT_EQ(vt.ScreenLine(2), "To get started");
}

class FailingLayer : public RecordingLayer {
  public:
    int Send(const std::uint8_t* data, int length) override {
        RecordingLayer::Send(data, length);
        return send_calls == 1 ? status::kSendFailed : 0;
    }
};

TEST(KeyInputTest, AFailedSendDropsTheRestOfThatWrite) {
    MemoryDisplay display;
    TerminalSettings s;
    s.local_echo = true;
    VT100 vt(&display, s);
    auto* lower = new FailingLayer;
    ASSERT_EQ(vt.InsertBelow(lower), 0);
    const std::string text(300, 'z');
    EXPECT_EQ(vt.SendString(text.c_str()), status::kSendFailed);
    EXPECT_EQ(lower->send_calls, 1);
    EXPECT_EQ(lower->Sent().size(), 255u);
    // The failing batch was still echoed; the dropped one was not.
    EXPECT_EQ(vt.ScreenLine(3), std::string(15, 'z'));
    EXPECT_EQ(vt.ScreenLine(4), "");
    // Later keys go out again.
    EXPECT_EQ(vt.KeyInput('k'), 0);
    EXPECT_EQ(lower->send_calls, 2);
}

TEST(KeyInputTest, VT240ExtraKeys) {
    testing::TerminalHarness<VT240> t;
    const std::pair<int, const char*> keys[] = {
        {279, "\x1b[1~"},  {280, "\x1b[2~"},   {281, "\x1b[3~"},  {282, "\x1b[4~"},
        {283, "\x1b[5~"},  {284, "\x1b[6~"},   {290, "\x1b[17~"}, {291, "\x1b[18~"},
        {292, "\x1b[19~"}, {293, "\x1b[20~"},  {294, "\x1b[21~"}, {295, "\x1b[23~"},
        {296, "\x1b[24~"}, {297, "\x1b[25~"},  {298, "\x1b[26~"}, {299, "\x1b[28~"},
        {300, "\x1b[29~"}, {301, "\x1b[31~"},  {302, "\x1b[32~"}, {303, "\x1b[33~"},
        {304, "\x1b[34~"}, {285, ""},          {289, ""},         {305, ""},
        {275, "\x1bOP"},   {kKeyUp, "\x1b[A"},
    };
    for (const auto& [code, bytes] : keys) {
        t.TakeSent();
        t.vt->KeyInput(code);
        EXPECT_EQ(t.TakeSent(), bytes) << code;
    }
    t.Feed("\x1b[61\"p");
    for (const auto& [code, bytes] : keys) {
        t.TakeSent();
        t.vt->KeyInput(code);
        const std::string expected = code == 296   ? "\x08"
                                     : code == 297 ? "\n"
                                     : code < 279  ? bytes
                                                   : "";
        EXPECT_EQ(t.TakeSent(), expected) << code;
    }
}

}  // namespace
}  // namespace tarnwick
