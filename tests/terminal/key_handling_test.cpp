// The view side of the keyboard: key-down and character events, the soft control key, and the
// pump from a session's key queue into its terminal.
#include "terminal/key_handling.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "core/preferences.h"
#include "terminal_fixture.h"

namespace tarnwick {
namespace {

class FakeSession : public KeySession {
  public:
    int IsConnected() override { return connected; }
    int IsLinkUp() override { return connected; }
    void PushKey(int code) override { queue.push_back(static_cast<std::int16_t>(code)); }
    int PopKey() override {
        if (queue.empty()) return kNoKey;
        const int code = queue.front();
        queue.pop_front();
        return code;
    }
    IO* GetTerminal() override { return terminal; }

    std::vector<int> Queued() const { return {queue.begin(), queue.end()}; }

    int connected = 1;
    std::deque<std::int16_t> queue;
    IO* terminal = nullptr;
};

TEST(KeyHandlingTest, PlainKeysAndCharacters) {
    KeyHandler keys;
    FakeSession s;
    EXPECT_TRUE(keys.KeyDown(&s, vk::kDelete, false, false));
    EXPECT_TRUE(keys.KeyDown(&s, vk::kUp, false, false));
    EXPECT_FALSE(keys.KeyDown(&s, 'A', false, true));  // no manual control: the toolkit's Ctrl
    EXPECT_TRUE(keys.Character(&s, 'a', false));
    EXPECT_TRUE(keys.Character(&s, 8, false));
    EXPECT_TRUE(keys.Character(&s, 127, false));
    EXPECT_TRUE(keys.Character(&s, 3, true));
    EXPECT_FALSE(keys.Character(&s, 0x263A, false));  // not an 8-bit character
    EXPECT_EQ(s.Queued(), (std::vector<int>{257, kQueuedUp, 'a', 256, 257, 3}));
}

TEST(KeyHandlingTest, NothingIsQueuedWhileDisconnected) {
    KeyHandler keys({true, true, '~'});
    FakeSession s;
    s.connected = 0;
    EXPECT_FALSE(keys.KeyDown(&s, vk::kDelete, false, false));
    EXPECT_FALSE(keys.Character(&s, 'a', false));
    EXPECT_FALSE(keys.KeyDown(nullptr, vk::kUp, false, false));
    EXPECT_FALSE(keys.Character(nullptr, 'a', false));
    EXPECT_TRUE(s.Queued().empty());
}

TEST(KeyHandlingTest, ManualControlComposesControlCodes) {
    KeyHandler keys({true, false, '~'});
    FakeSession s;
    EXPECT_TRUE(keys.KeyDown(&s, 'C', false, true));
    EXPECT_FALSE(keys.suppress_next_character());
    EXPECT_TRUE(keys.KeyDown(&s, vk::kLeftBracket, false, true));
    EXPECT_TRUE(keys.KeyDown(&s, vk::kDigit2, true, true));
    EXPECT_TRUE(keys.KeyDown(&s, vk::kSpace, false, true));
    EXPECT_TRUE(keys.KeyDown(&s, vk::kDigit6, true, true));
    EXPECT_FALSE(keys.KeyDown(&s, vk::kDigit6, false, true));
    EXPECT_FALSE(keys.KeyDown(&s, 'C', false, false));  // no Ctrl, not armed
    // The toolkit's own control character is not taken while Ctrl is down...
    EXPECT_FALSE(keys.Character(&s, 3, true));
    // ...and control codes from characters are dropped; tab, line feed and return pass.
    EXPECT_TRUE(keys.Character(&s, 3, false));
    EXPECT_TRUE(keys.Character(&s, 9, false));
    EXPECT_TRUE(keys.Character(&s, 13, false));
    EXPECT_TRUE(keys.Character(&s, 8, false));  // backspace becomes 256 and passes
    EXPECT_EQ(s.Queued(), (std::vector<int>{3, 27, 0, 0, 30, 9, 13, 256}));
}

TEST(KeyHandlingTest, SoftControlKey) {
    KeyHandler keys({true, true, '~'});
    FakeSession s;
    // Tilde then c sends 3; the soft keyboard's "c" that follows is swallowed.
    EXPECT_TRUE(keys.Character(&s, '~', false));
    EXPECT_EQ(keys.soft_control_state(), KeyHandler::kArmed);
    EXPECT_TRUE(keys.KeyDown(&s, 'C', false, false));
    EXPECT_TRUE(keys.suppress_next_character());
    EXPECT_TRUE(keys.Character(&s, 'c', false));
    EXPECT_EQ(s.Queued(), std::vector<int>{3});
    s.queue.clear();
    // Tilde twice sends one tilde.
    EXPECT_TRUE(keys.Character(&s, '~', false));
    EXPECT_TRUE(keys.Character(&s, '~', false));
    EXPECT_EQ(s.Queued(), std::vector<int>{'~'});
    s.queue.clear();
    // An armed key that makes no control code leaves the state consumed; its character passes.
    EXPECT_TRUE(keys.Character(&s, '~', false));
    EXPECT_FALSE(keys.KeyDown(&s, '1', false, false));
    EXPECT_EQ(keys.soft_control_state(), KeyHandler::kConsumed);
    EXPECT_TRUE(keys.Character(&s, '1', false));
    EXPECT_EQ(s.Queued(), std::vector<int>{'1'});
    // Without the soft control preference the tilde is an ordinary character.
    KeyHandler plain({true, false, '~'});
    FakeSession p;
    EXPECT_TRUE(plain.Character(&p, '~', false));
    EXPECT_EQ(p.Queued(), std::vector<int>{'~'});
}

TEST(KeyHandlingTest, OptionsFromThePreferences) {
    Preferences preferences;
    preferences.ResetToDefaults();
    preferences.SetInt(pref::ManualControl, 1);
    preferences.SetInt(pref::SoftControl, 1);
    preferences.SetInt(pref::SoftControlChar, '`');
    KeyHandler keys(KeyboardOptions::From(preferences));
    FakeSession s;
    keys.Character(&s, '`', false);
    keys.KeyDown(&s, 'D', false, false);
    EXPECT_EQ(s.Queued(), std::vector<int>{4});
}

TEST(KeyHandlingTest, PumpMapsViewCodesIntoTheTerminal) {
    testing::TerminalHarness<VT100> t;
    FakeSession s;
    s.terminal = t.vt.get();
    KeyHandler keys;
    keys.KeyDown(&s, vk::kLeft, false, false);
    keys.KeyDown(&s, vk::kUp, false, false);
    keys.KeyDown(&s, vk::kRight, false, false);
    keys.KeyDown(&s, vk::kDown, false, false);
    keys.Character(&s, 8, false);
    s.PushKey(kQueuedRawBackspace);
    keys.Character(&s, 'x', false);
    s.PushKey(275);
    t.Feed("\x1b[?1h");
    KeyHandler::PumpKeys(&s);
    EXPECT_EQ(t.TakeSent(), "\x1bOD\x1bOA\x1bOC\x1bOB\x08\x08x\x1bOP");
    EXPECT_TRUE(s.queue.empty());
    // With the link down the codes are taken and dropped.
    t.lower->link_up = 0;
    keys.Character(&s, 'y', false);
    KeyHandler::PumpKeys(&s);
    EXPECT_TRUE(s.queue.empty());
    EXPECT_EQ(t.TakeSent(), "");
    KeyHandler::PumpKeys(nullptr);
}

}  // namespace
}  // namespace tarnwick
