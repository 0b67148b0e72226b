#include <gtest/gtest.h>

#include "core/preferences.h"
#include "frontend/preference_sheet.h"
#include "frontend/session_dialogs.h"
#include "frontend/transfer_progress.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

class DialogModelsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegistryStore::Instance().Close();
        Preferences::Instance().ResetToDefaults();
    }
    void TearDown() override {
        Preferences::Instance().ResetToDefaults();
        RegistryStore::Instance().Close();
    }
    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
};

TEST_F(DialogModelsTest, TerminalParametersCheckTheirNumbersAndInvertLinefeedMode) {
    Preferences::Instance().SetInt(pref::Rows, 30);
    Preferences::Instance().SetInt(pref::Scrollback, 500);
    SessionConfig config;
    config.SetInt(setting::linefeed_mode, 1);
    TerminalParametersModel dialog(config);
    EXPECT_FALSE(dialog.linefeed_mode);  // checked only while the setting is 0
    dialog.term = "";
    EXPECT_FALSE(dialog.Accept());  // TERM is needed
    dialog.term = " vt220 ";
    dialog.rows = "0";
    dialog.columns = "1000";
    dialog.scrollback = "-5";
    dialog.linefeed_mode = true;
    dialog.keypad_application = true;
    dialog.cursor_index = 3;
    ASSERT_TRUE(dialog.Accept());
    EXPECT_EQ(config.GetInt(setting::rows), 30);       // out of range: the preference
    EXPECT_EQ(config.GetInt(setting::columns), 1000);  // 1000 is allowed here
    EXPECT_EQ(config.GetInt(setting::scrollback), 500);
    EXPECT_EQ(config.GetInt(setting::linefeed_mode), 0);
    EXPECT_EQ(config.GetInt(setting::keypad_mode), 1);
    EXPECT_EQ(config.GetInt(setting::cursor_type), 3);  // "Solid Underscore"
    EXPECT_STREQ(config.GetNarrow(setting::term_type), "vt220");
    dialog.rows = "1001";
    ASSERT_TRUE(dialog.Accept());
    EXPECT_EQ(config.GetInt(setting::rows), 30);
}

TEST_F(DialogModelsTest, SelectAlgorithmKeepsTheOrderAndRefusesAnEmptyList) {
    SessionConfig config;
    std::int32_t ciphers[] = {3, 0};  // AES 128, AES 256
    config.SetList(setting::ssh2_EnabledCiphers, ciphers, 2);
    const AlgorithmLists& lists = SessionConfig::Ssh2AlgorithmLists()[0];
    AlgorithmSelectionModel dialog(config, lists);
    EXPECT_EQ(dialog.EnabledNames(), (std::vector<std::string>{"AES 128", "AES 256"}));
    EXPECT_EQ(
        dialog.DisabledNames(),
        (std::vector<std::string>{"3DES", "Blowfish", "AES 192", "ChaCha20-Poly1305", "AES 128 CTR",
                                  "AES 192 CTR", "AES 256 CTR", "AES 128 GCM", "AES 256 GCM"}));
    ASSERT_TRUE(dialog.MoveDown(0));
    ASSERT_TRUE(dialog.Enable(1));  // Blowfish, appended
    EXPECT_FALSE(dialog.MoveUp(0));
    ASSERT_TRUE(dialog.Accept());
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers), (std::vector<std::int32_t>{0, 3, 1}));
    EXPECT_EQ(config.GetList(setting::ssh2_DisabledCiphers),
              (std::vector<std::int32_t>{4, 2, 5, 6, 7, 8, 9, 10}));

    while (dialog.Disable(0)) {
    }
    EXPECT_FALSE(dialog.Accept());
    EXPECT_EQ(ui_.shown().back().text, "You can't disable everything!");
    EXPECT_EQ(ui_.shown().back().caption, "Notice");
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers).size(), 3u);  // unchanged
}

TEST_F(DialogModelsTest, Ssh2AdvancedKeepsTheSliderInItsRange) {
    SessionConfig config;
    config.SetInt(setting::ssh2_random_generator_percentage, 3);  // from a hand-edited file
    Ssh2AdvancedModel dialog(config);
    EXPECT_EQ(dialog.percentage, Ssh2AdvancedModel::kMinPercentage);
    dialog.percentage = 500;
    dialog.compress = false;
    dialog.Accept();
    EXPECT_EQ(config.GetInt(setting::ssh2_random_generator_percentage), 100);
    EXPECT_EQ(config.GetInt(setting::ssh_useCompression), 0);
}

TEST_F(DialogModelsTest, PreferenceSheetRulesAndARoundTripThroughTheStore) {
    {
        PreferenceSheet sheet({"DejaVu Sans Mono", "Liberation Mono", "DejaVu Sans Mono"});
        EXPECT_EQ(sheet.FontNames().size(), 3u);              // "<built-in>" and two families
        EXPECT_EQ(sheet.SizeNames()[sheet.size_index], "9");  // the stored size
        sheet.SelectFont(1);
        EXPECT_EQ(sheet.SizeNames().front(), "6");
        EXPECT_EQ(sheet.SizeNames()[sheet.size_index], "9");  // kept: it is offered
        sheet.size_index = 4;                                 // 10
        sheet.SelectFont(0);
        EXPECT_EQ(sheet.SizeNames()[sheet.size_index], "12");  // not offered: the default
        sheet.SelectFont(1);
        sheet.size_index = 9;  // 24
        sheet.SelectFont(0);
        EXPECT_EQ(sheet.SizeNames()[sheet.size_index], "24");

        sheet.rows = "0";
        sheet.columns = "999";
        sheet.scrollback = "many";
        sheet.cursor_index = 0;  // "Solid Block"
        sheet.SetColour(1, 0x123456);
        sheet.ca_path = "/srv/ca";
        sheet.Accept();
    }
    const Preferences& running = Preferences::Instance();
    EXPECT_EQ(running.GetInt(pref::Rows), 24);
    EXPECT_EQ(running.GetInt(pref::Columns), 999);
    EXPECT_EQ(running.GetInt(pref::Scrollback), 24);
    EXPECT_EQ(running.GetInt(pref::CursorType), 1);
    EXPECT_EQ(running.GetInt(pref::FontSize), 24);
    EXPECT_EQ(running.GetInt(pref::RED), 0x123456);
    EXPECT_EQ(SharedPalette()[1], 0x123456u);  // applied
    EXPECT_EQ(Utf16ToUtf8(running.GetWide(pref::CAPath)), "/srv/ca");

    // Reset followed by Cancel (no Accept) leaves the colours as they were.
    {
        PreferenceSheet sheet;
        sheet.ResetColours();
        EXPECT_EQ(sheet.Colour(1), 0x0000FFu);
    }
    Preferences reloaded;
    reloaded.Load();
    EXPECT_EQ(reloaded.GetInt(pref::RED), 0x123456);
}

TEST(TransferProgressTest, RateCancelAndTheStatusLine) {
    int changes = 0;
    TransferProgressModel progress(true, [&changes] { ++changes; });
    auto now = TransferProgressModel::Clock::now();
    progress.SetClock([&now] { return now; });
    progress.SetFileName("fw.bin");
    progress.SetTotalText("2048");
    progress.SetPercentage(150);
    now += std::chrono::seconds(2);
    progress.SetBytes(3 * 1024 * 1024, 0);
    progress.SetDoneText("3072");
    TransferProgressModel::Snapshot s = progress.Get();
    EXPECT_EQ(s.percentage, 100);
    EXPECT_EQ(TransferProgressModel::Describe(s),
              "Transfer: fw.bin 3072 of 2048 KB transferred 100% 1.5 MB/s");
    EXPECT_FALSE(progress.IsCancelled());
    progress.Cancel();
    EXPECT_TRUE(progress.IsCancelled());
    EXPECT_EQ(changes, 6);
}

}  // namespace
}  // namespace tarnwick
