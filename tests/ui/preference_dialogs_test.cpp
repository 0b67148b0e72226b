// "Global Preferences" on the offscreen platform, used with the keyboard: each page is edited,
// accepted, and read back from the registry store on disk, then shown again by a new sheet.
#include "ui/preference_dialogs.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "core/preferences.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "support/test_util.h"
#include "ui/dialog_driver.h"

namespace tarnwick {
namespace {

using testing::Alt;
using testing::Focus;
using testing::Key;
using testing::Mnemonic;
using testing::Type;
using testing::When;

class PreferenceDialogsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegistryStore::Instance().Close();
        Preferences::Instance().ResetToDefaults();
    }
    void TearDown() override {
        Preferences::Instance().ResetToDefaults();
        Preferences::Instance().Apply();
        RegistryStore::Instance().Close();
    }
    // A value as the store on disk holds it.
    static std::optional<std::uint32_t> Stored(const char* name) {
        RegistryStore store;
        store.Open(RegistryStore::Instance().path());
        return store.GetDword(Preferences::kRegistryKey, name);
    }
    static std::string StoredText(const char* name) {
        RegistryStore store;
        store.Open(RegistryStore::Instance().path());
        return Utf16ToUtf8(store.GetString(Preferences::kRegistryKey, name).value_or(u"(none)"));
    }
    // The field a label names on the shown page.
    template <typename T>
    static T* Field(QWidget* dialog, const QString& label) {
        for (QLabel* candidate : dialog->findChildren<QLabel*>()) {
            if (candidate->isVisible() && testing::Shown(candidate->text()) == label) {
                return qobject_cast<T*>(candidate->buddy());
            }
        }
        return nullptr;
    }

    testing::IsolatedConfig config_;
    ScriptedUi ui_;
    testing::DialogWatchdog watchdog_;
};

TEST_F(PreferenceDialogsTest, TerminalPageRoundTripsThroughTheStore) {
    When("Global Preferences", [](QWidget* sheet) {
        Mnemonic(sheet, "Rows");
        Type("0");  // out of range: the old value stays
        Mnemonic(sheet, "Cols");
        Type("999");
        Mnemonic(sheet, "Scrollback");
        Type("500");
        Mnemonic(sheet, "Text pacing:");
        Type("25");
        Mnemonic(sheet, "Default cursor:");
        Key(Qt::Key_End);  // "Blinking Underscore"
        QCheckBox* soft = nullptr;
        for (auto* box : sheet->findChildren<QCheckBox*>()) {
            if (testing::Shown(box->text()) == "Soft Control Key") soft = box;
        }
        ASSERT_NE(soft, nullptr);
        EXPECT_FALSE(soft->isVisible()) << "shown only with the special handling on";
        Mnemonic(sheet, "Special Control Key Handling");
        EXPECT_TRUE(soft->isVisible());
        Mnemonic(sheet, "Soft Control Key");
        Key(Qt::Key_Return);
    });
    ASSERT_TRUE(RunGlobalPreferences(nullptr));
    EXPECT_EQ(Stored("Rows"), 24u);
    EXPECT_EQ(Stored("Columns"), 999u);
    EXPECT_EQ(Stored("Scrollback"), 500u);
    EXPECT_EQ(Stored("TextPacing"), 25u);
    EXPECT_EQ(Stored("CursorType"), 2u);
    EXPECT_EQ(Stored("ManualControl"), 1u);
    EXPECT_EQ(Stored("SoftControl"), 1u);
    EXPECT_EQ(Preferences::Instance().GetInt(pref::Columns), 999);  // the running program too

    // A new sheet shows what was stored; Cancel changes nothing.
    When("Global Preferences", [](QWidget* sheet) {
        EXPECT_EQ(Field<QLineEdit>(sheet, "Cols")->text(), "999");
        EXPECT_EQ(Field<QComboBox>(sheet, "Default cursor:")->currentText(), "Blinking Underscore");
        Mnemonic(sheet, "Cols");
        Type("100");
        Key(Qt::Key_Escape);
    });
    EXPECT_FALSE(RunGlobalPreferences(nullptr));
    EXPECT_EQ(Stored("Columns"), 999u);
}

TEST_F(PreferenceDialogsTest, FontsAndColoursRoundTripThroughTheStore) {
    When("Global Preferences", [](QWidget* sheet) {
        Mnemonic(sheet, "Fonts");
        auto* font = Field<QComboBox>(sheet, "Terminal font:");
        auto* size = Field<QComboBox>(sheet, "Font size:");
        ASSERT_NE(font, nullptr);
        ASSERT_GT(font->count(), 1) << "no monospaced family installed";
        Mnemonic(sheet, "Terminal font:");
        Key(Qt::Key_Down);  // the first system family
        EXPECT_EQ(size->itemText(size->count() - 1), "24");
        EXPECT_EQ(size->currentText(), "9");  // the stored size is offered: kept
        Mnemonic(sheet, "Font size:");
        Key(Qt::Key_Down);  // 10, which the built-in fonts do not have
        Mnemonic(sheet, "Terminal font:");
        Key(Qt::Key_Home);
        EXPECT_EQ(font->currentText(), "<built-in>");
        EXPECT_EQ(size->currentText(), "12");
        Mnemonic(sheet, "Font size:");
        Key(Qt::Key_Up);  // 9
        Key(Qt::Key_Up);  // 8

        Mnemonic(sheet, "Colors");
        const auto swatches = sheet->findChildren<HalvekColorBlob*>();
        ASSERT_EQ(Focus(), swatches[0]) << "the focus moves onto the page shown";
        Key(Qt::Key_Tab);  // red
        When("Color Picker...", [](QWidget* picker) {
            Mnemonic(picker, "Blue");
            Key(Qt::Key_PageUp);  // 16
            Mnemonic(picker, "Red");
            Key(Qt::Key_Home);  // 0
            Key(Qt::Key_Return);
        });
        Key(Qt::Key_Space);
        EXPECT_EQ(static_cast<HalvekColorBlob*>(Focus())->colour(), 0x100000u);
        // A cancelled picker keeps the swatch's colour.
        Key(Qt::Key_Tab);  // green
        When("Color Picker...", [](QWidget* picker) {
            Mnemonic(picker, "Green");
            Key(Qt::Key_Home);
            Key(Qt::Key_Escape);
        });
        Key(Qt::Key_Space);
        EXPECT_EQ(static_cast<HalvekColorBlob*>(Focus())->colour(), 0x00FF00u);
        Mnemonic(sheet, "Fonts");
        Mnemonic(sheet, "Font size:");
        Key(Qt::Key_Return);
    });
    ASSERT_TRUE(RunGlobalPreferences(nullptr));
    EXPECT_EQ(StoredText("Font"), "<built-in>");
    EXPECT_EQ(Stored("FontSize"), 8u);
    EXPECT_EQ(Stored("RED"), 0x100000u);
    EXPECT_EQ(Stored("GREEN"), 0x00FF00u);
    EXPECT_EQ(SharedPalette()[1], 0x100000u);  // applied to the terminals

    // "Reset colors to defaults" shows the defaults at once, and Cancel keeps the stored ones.
    When("Global Preferences", [](QWidget* sheet) {
        Mnemonic(sheet, "Colors");
        auto swatches = sheet->findChildren<HalvekColorBlob*>();
        ASSERT_EQ(swatches.size(), 8);
        EXPECT_EQ(swatches[1]->colour(), 0x100000u);
        Mnemonic(sheet, "Reset colors to defaults");
        EXPECT_EQ(swatches[1]->colour(), 0x0000FFu);
        Key(Qt::Key_Escape);
    });
    EXPECT_FALSE(RunGlobalPreferences(nullptr));
    EXPECT_EQ(Stored("RED"), 0x100000u);
}

TEST_F(PreferenceDialogsTest, OtherPageKeepsTheHiddenConnectionManagerValues) {
    Preferences& running = Preferences::Instance();
    running.SetInt(pref::EnableICM, 0);
    running.SetInt(pref::UseICMProxy, 1);
    When("Global Preferences", [](QWidget* sheet) {
        for (QWidget* widget : sheet->findChildren<QWidget*>()) {
            const auto* box = qobject_cast<QCheckBox*>(widget);
            EXPECT_TRUE(box == nullptr || !box->text().contains("ICM")) << "shown: ICM";
        }
        Mnemonic(sheet, "Other");
        Mnemonic(sheet, "Root CA Path:");
        Type("/srv/ca");
        Mnemonic(sheet, "Keep device awake if connected");
        Key(Qt::Key_Return);
    });
    ASSERT_TRUE(RunGlobalPreferences(nullptr));
    EXPECT_EQ(StoredText("CAPath"), "/srv/ca");
    EXPECT_EQ(Stored("KeepAwake"), 1u);
    EXPECT_EQ(Stored("EnableICM"), 0u);
    EXPECT_EQ(Stored("UseICMProxy"), 1u);
}

}  // namespace
}  // namespace tarnwick
