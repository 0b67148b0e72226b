#include "core/preferences.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/registry.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using testing::TempDir;

TEST(PreferencesTest, FirstStartTakesDefaultsAndSaveCreatesAllValues) {
    TempDir dir;
    RegistryStore store;
    ASSERT_TRUE(store.Open(dir.File("registry.sqlite3")));
    Preferences prefs;
    prefs.Load(store);
    EXPECT_EQ(prefs.GetWide(pref::Font), u"<built-in>");
    EXPECT_EQ(prefs.GetInt(pref::Rows), 24);
    EXPECT_TRUE(store.Values(Preferences::kRegistryKey).empty());

    prefs.Save(store);
    auto values = store.Values(Preferences::kRegistryKey);
    ASSERT_EQ(values.size(), 23u);
    EXPECT_EQ(values[0].name, "Font");
    EXPECT_EQ(values[0].type, RegistryStore::Type::kString);
    EXPECT_EQ(values[2].name, "TextPacing");
    EXPECT_EQ(values[2].type, RegistryStore::Type::kDword);
    EXPECT_EQ(values[22].name, "UseICMProxy");
}

TEST(PreferencesTest, SurviveARestartOfTheProcess) {
    TempDir dir;
    const std::string path = dir.File("registry.sqlite3");
    // A child process changes and saves the preferences, then exits.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RegistryStore store;
        if (!store.Open(path)) _exit(1);
        Preferences prefs;
        prefs.Load(store);
        prefs.SetInt(pref::Rows, 48);
        prefs.SetInt(pref::BLUE, 0x123456);
        prefs.SetInt(pref::CursorOnScreen, 1);
        prefs.SetWide(pref::Font, u"DejaVu Sans Mono \u00e9");
        prefs.Save(store);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    RegistryStore store;
    ASSERT_TRUE(store.Open(path));
    Preferences prefs;
    prefs.Load(store);
    EXPECT_EQ(prefs.GetInt(pref::Rows), 48);
    EXPECT_EQ(prefs.GetInt(pref::BLUE), 0x123456);
    EXPECT_EQ(prefs.GetInt(pref::CursorOnScreen), 1);
    EXPECT_EQ(prefs.GetWide(pref::Font), u"DejaVu Sans Mono \u00e9");
    EXPECT_EQ(prefs.GetInt(pref::Columns), 80);
}

TEST(PreferencesTest, UnreadableValuesFallBackToDefaults) {
    TempDir dir;
    RegistryStore store;
    ASSERT_TRUE(store.Open(dir.File("registry.sqlite3")));
    // A face name longer than the 2048-byte read buffer, and values of the wrong type.
    store.SetString(Preferences::kRegistryKey, "Font", std::u16string(1500, u'x'));
    store.SetString(Preferences::kRegistryKey, "Rows", u"40");
    store.SetBinary(Preferences::kRegistryKey, "Columns", {1, 2});
    store.SetString(Preferences::kRegistryKey, "CAPath", std::u16string(1023, u'c'));
    Preferences prefs;
    prefs.Load(store);
    EXPECT_EQ(prefs.GetWide(pref::Font), u"<built-in>");
    EXPECT_EQ(prefs.GetInt(pref::Rows), 24);
    EXPECT_EQ(prefs.GetInt(pref::Columns), 80);
    EXPECT_EQ(prefs.GetWide(pref::CAPath).size(), 1023u);  // fits with its terminator
}

TEST(PreferencesTest, ApplyFillsThePaletteAndCallsTheHooks) {
    Preferences prefs;
    prefs.ResetToDefaults();
    prefs.SetInt(pref::BLACK, 0x101010);
    prefs.SetInt(pref::WHITE, 0xEEEEEE);
    prefs.SetInt(pref::CursorOnScreen, 1);
    std::vector<std::string> calls;
    Preferences::SetApplyHooks({
        [&](bool on) { calls.push_back(on ? "wait on" : "wait off"); },
        [&] { calls.push_back("font"); },
        [&](bool checked) { calls.push_back(checked ? "checked" : "unchecked"); },
    });
    prefs.Apply();
    Preferences::SetApplyHooks({});
    EXPECT_EQ(SharedPalette()[0], 0x101010u);
    EXPECT_EQ(SharedPalette()[1], 0x0000FFu);
    EXPECT_EQ(SharedPalette()[7], 0xEEEEEEu);
    EXPECT_EQ(calls, (std::vector<std::string>{"wait on", "font", "checked", "wait off"}));
    Preferences defaults;
    defaults.ResetToDefaults();
    defaults.Apply();  // leave the shared palette as other tests expect it
}

}  // namespace
}  // namespace tarnwick
