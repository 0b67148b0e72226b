// The connection dialogs on the offscreen platform, used with the keyboard alone: each test opens
// a dialog on a settings record, types into it (Tab, mnemonics, Enter, Escape), and compares the
// kind's saved default file with the record it must hold, setting by setting, so that a control
// bound to the wrong setting or a lost check shows as a difference.
#include "ui/connection_dialogs.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>
#include <filesystem>

#include "core/connection_kinds.h"
#include "core/preferences.h"
#include "core/session_config.h"
#include "frontend/connection_form.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "session/session_builder.h"
#include "ssh/ssh2_algorithms.h"
#include "support/test_util.h"
#include "ui/dialog_driver.h"

namespace tarnwick {
namespace {

using testing::Alt;
using testing::AltKey;
using testing::Differences;
using testing::Focus;
using testing::Key;
using testing::Keys;
using testing::Type;
using testing::When;

class ConnectionDialogsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegistryStore::Instance().Close();
        Preferences::Instance().ResetToDefaults();
    }
    void TearDown() override { RegistryStore::Instance().Close(); }

    std::string Saved(const std::string& name) { return testing::ReadFile(config_.File(name)); }
    // What a kind's dialog starts from when there is no default file yet.
    static void StartOf(SessionConfig& expected, int kind) {
        expected.ResetToDefaults();
        expected.SetInt(setting::session_kind, kind);
        expected.SetInt(setting::portnum, FindConnectionKind(kind)->default_port);
    }
    static std::string AgentWarning() {
        for (const FormField& field : FindForm(kKindSSH2)->fields) {
            if (field.warning != nullptr) return field.warning;
        }
        return "(none)";
    }
    bool Messaged(const std::string& caption, const std::string& text) {
        for (const ScriptedUi::Shown& shown : ui_.shown()) {
            if (shown.caption == caption && shown.text == text) return true;
        }
        return false;
    }

    testing::IsolatedConfig config_;
    ScriptedUi ui_;
    testing::DialogWatchdog watchdog_;
};

TEST_F(ConnectionDialogsTest, TelnetFromTheChooserWithTerminalParametersOutOfRange) {
    When("New Connection", [](QWidget* chooser) {
        auto* list = chooser->findChild<QListWidget*>();
        // The arrows skip what is not offered; Telnet is reached by going down.
        while (list->currentItem()->text() != "New Telnet Connection") {
            const int before = list->currentRow();
            Key(Qt::Key_Down);
            ASSERT_GT(list->currentRow(), before) << "Telnet not reached";
        }
        When("Telnet Parameters", [](QWidget*) {
            Type("router.lan");
            Key(Qt::Key_Tab);  // the port field, its text selected
            Keys("70000");
            When("Terminal Parameters", [](QWidget*) {
                Type("1001");  // rows
                Key(Qt::Key_Tab);
                Type("1000");  // columns
                Key(Qt::Key_Tab);
                Key(Qt::Key_Tab);
                Type("-5");  // scrollback
                Alt('m');    // "Linefeed &mode" cleared: stores 1
                Alt('v');    // "&Visual bell" off
                Key(Qt::Key_Return);
            });
            Alt('t');
            Key(Qt::Key_Return);
        });
        Key(Qt::Key_Return);  // "&Configure"
    });
    SessionConfig config;
    const ConnectionChoice choice = RunConnectionDialogs(nullptr, config);
    EXPECT_TRUE(choice.accepted);
    EXPECT_FALSE(choice.saved.has_value());

    SessionConfig expected;
    StartOf(expected, kKindTelnet);
    expected.SetNarrow(setting::hostname, "router.lan");
    expected.SetInt(setting::portnum, 23);  // 70000 is no port: the fall-back
    expected.SetInt(setting::rows, 24);     // out of range: the preference
    expected.SetInt(setting::columns, 1000);
    expected.SetInt(setting::scrollback, 24);
    expected.SetInt(setting::linefeed_mode, 1);
    expected.SetInt(setting::visual_bell, 0);
    EXPECT_EQ(Differences(Saved("DEFAULT_TELNET.tks"), expected.Serialize()), "");
}

TEST_F(ConnectionDialogsTest, Ssh2RequiredFieldsKeyFileAgentWarningAndForwards) {
    ui_.QueueFile(std::string("/home/lab/.ssh/id_ed25519"));
    When("SSH2 Parameters", [this](QWidget* dialog) {
        auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        Type("lab.example");
        EXPECT_FALSE(ok->isEnabled()) << "OK needs the user name";
        Key(Qt::Key_Return);  // does nothing
        Key(Qt::Key_Tab);
        Type("admin");
        EXPECT_TRUE(ok->isEnabled());
        Key(Qt::Key_Tab);
        Type("0");           // no port: 22
        Key(Qt::Key_Tab);    // the key file
        Key(Qt::Key_Tab);    // its "..."
        Key(Qt::Key_Space);  // the open dialog answers with the queued path
        Alt('g');            // "Allow a&gent forwarding": says what it gives away
        EXPECT_TRUE(Messaged("Warning", AgentWarning()));

        When("Local Port Forwarding", [this](QWidget* list) {
            auto* rows = list->findChild<QTreeWidget*>();
            When("Add Port Forward", [this](QWidget* add) {
                auto fields = add->findChildren<QLineEdit*>();
                EXPECT_EQ(fields[1]->text(), "localhost");
                Keys("65537");
                Key(Qt::Key_Tab);
                Key(Qt::Key_Tab);
                Keys("80");
                Key(Qt::Key_Return);
                EXPECT_TRUE(Messaged("Error", "A port number must be between 1 and 65536."));
                EXPECT_EQ(Focus(), fields[0]) << "the focus goes back to the local port";
                Type("65536");  // the highest port the check lets through
                Key(Qt::Key_Return);
            });
            Alt('a');
            ASSERT_EQ(rows->topLevelItemCount(), 1);
            EXPECT_EQ(rows->topLevelItem(0)->text(3), "N");
            When("Add Port Forward", [](QWidget*) {
                Keys("65536");
                Key(Qt::Key_Tab);
                Type("db.internal");
                Key(Qt::Key_Tab);
                Keys("5432");
                Key(Qt::Key_Return);
            });
            Alt('a');
            EXPECT_TRUE(Messaged("Error", "A forward for this port already exists."));
            When("Add Port Forward", [](QWidget*) {
                Keys("5432");
                Key(Qt::Key_Tab);
                Type("db.internal");
                Key(Qt::Key_Tab);
                Keys("5432");
                Alt('a');  // allow other hosts
                Key(Qt::Key_Return);
            });
            Alt('a');
            ASSERT_EQ(rows->topLevelItemCount(), 2);
            EXPECT_EQ(rows->topLevelItem(0)->text(1), "db.internal");  // the newest on top
            // Leaving with Escape keeps the list as shown.
            Key(Qt::Key_Escape);
        });
        Alt('d');
        Key(Qt::Key_Return);
    });
    SessionConfig config;
    ASSERT_TRUE(RunParameterDialog(nullptr, config, kKindSSH2));

    SessionConfig expected;
    StartOf(expected, kKindSSH2);
    FillSsh2AlgorithmDefaults(expected);
    expected.SetNarrow(setting::hostname, "lab.example");
    expected.SetNarrow(setting::username, "admin");
    expected.SetInt(setting::portnum, 22);
    expected.SetWide(setting::certificate_path, u"/home/lab/.ssh/id_ed25519");
    expected.SetInt(setting::ssh2_agent_forwarding, 1);
    expected.AddForward({65536, 80, "localhost", 0});
    expected.AddForward({5432, 5432, "db.internal", 1});
    EXPECT_EQ(Differences(Saved("DEFAULT_SSH2.tks"), expected.Serialize()), "");
}

TEST_F(ConnectionDialogsTest, Ssh2AdvancedAndSelectAlgorithmWithTheKeyboard) {
    SessionConfig config;
    ConnectionForm form(config, kKindSSH2);  // the algorithm lists as the dialog fills them
    const std::vector<std::int32_t> macs = config.GetList(setting::ssh2_EnabledMACs);
    const std::vector<std::int32_t> ciphers = config.GetList(setting::ssh2_EnabledCiphers);
    std::vector<std::int32_t> disabled = config.GetList(setting::ssh2_DisabledCiphers);
    ASSERT_GE(ciphers.size(), 2u);
    When("SSH2 Advanced", [this](QWidget* dialog) {
        auto* slider = dialog->findChild<QSlider*>();
        EXPECT_EQ(Focus(), slider);
        Key(Qt::Key_Home);  // "Faster connection"
        EXPECT_EQ(slider->value(), 25);
        Alt('c');  // "&Compress" off
        When("Select Algorithm", [this](QWidget* select) {
            auto lists = select->findChildren<QListWidget*>();
            QListWidget* enabled = lists[0];
            ASSERT_EQ(Focus(), enabled);
            // Everything to the disabled list: refused, and the dialog stays.
            while (enabled->count() > 0)
                AltKey(Qt::Key_Right);
            Key(Qt::Key_Return);
            EXPECT_TRUE(Messaged("Notice", "You can't disable everything!"));
            ASSERT_TRUE(select->isVisible());
            // The disabled list ends with what was disabled last: the last two ciphers.
            Alt('d');
            Key(Qt::Key_End);
            AltKey(Qt::Key_Left);  // the last back; the one before it is current now
            AltKey(Qt::Key_Left);  // that one back, after it
            Alt('e');
            AltKey(Qt::Key_Up);  // and first
            Key(Qt::Key_Return);
        });
        Alt('r');
        Key(Qt::Key_Escape);  // the slider and the boxes are not stored; the ciphers are
    });
    RunSsh2Advanced(nullptr, config);
    EXPECT_EQ(config.GetInt(setting::ssh2_random_generator_percentage), 100);
    EXPECT_EQ(config.GetInt(setting::ssh_useCompression), 1);
    const std::size_t n = ciphers.size();
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers),
              (std::vector<std::int32_t>{ciphers[n - 2], ciphers[n - 1]}));
    disabled.insert(disabled.end(), ciphers.begin(), ciphers.end() - 2);
    EXPECT_EQ(config.GetList(setting::ssh2_DisabledCiphers), disabled);
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledMACs), macs);

    // OK stores the slider and the boxes.
    When("SSH2 Advanced", [](QWidget*) {
        Key(Qt::Key_End);
        Key(Qt::Key_PageDown, Qt::NoModifier);
        Alt('a');  // "&Add random fill" on
        Key(Qt::Key_Return);
    });
    RunSsh2Advanced(nullptr, config);
    EXPECT_EQ(config.GetInt(setting::ssh2_random_generator_percentage), 95);
    EXPECT_EQ(config.GetInt(setting::ssh_streamFill), 1);
}

// Every kind's dialog, walked field by field with Tab: each control must edit its own field, so
// the file it saves is the one the console's face of the same form saves for the same input
// (a port of "0" becomes the kind's fall-back port).
TEST_F(ConnectionDialogsTest, EveryKindsDialogSavesWhatTheConsoleFormSaves) {
    for (const ConnectionKind& kind : ConnectionKinds()) {
        const FormDefinition* definition = FindForm(kind.kind);
        ASSERT_NE(definition, nullptr) << kind.chooser_text;
        SCOPED_TRACE(definition->title);
        When(QString::fromUtf8(definition->title), [definition](QWidget*) {
            for (std::size_t i = 0; i < definition->fields.size(); ++i) {
                switch (definition->fields[i].type) {
                    case FieldType::kPort:
                        Type("0");
                        break;
                    case FieldType::kCheck:
                        Key(Qt::Key_Space);
                        break;
                    case FieldType::kChoice:
                        Key(Qt::Key_End);
                        break;
                    case FieldType::kKeyFile:
                        Type("/keys/k" + QString::number(i));
                        Key(Qt::Key_Tab);  // past the "..."
                        break;
                    default:
                        Type("t" + QString::number(i));
                        break;
                }
                Key(Qt::Key_Tab);
            }
            Key(Qt::Key_Return);
        });
        SessionConfig shown;
        ASSERT_TRUE(RunParameterDialog(nullptr, shown, kind.kind));
        const std::string from_dialog = Saved(kind.default_file);
        EXPECT_EQ(testing::FileSettings(from_dialog)["portnum"],
                  std::to_string(kind.fallback_port));

        std::filesystem::remove(config_.File(kind.default_file));
        SessionConfig typed;
        ConnectionForm form(typed, kind.kind);
        for (std::size_t i = 0; i < form.FieldCount(); ++i) {
            switch (form.Field(i).type) {
                case FieldType::kPort:
                    form.SetText(i, "0");
                    break;
                case FieldType::kCheck:
                    form.SetChecked(i, !form.Checked(i));
                    break;
                case FieldType::kChoice:
                    form.SetChoiceIndex(i, static_cast<int>(form.ChoiceNames(i).size()) - 1);
                    break;
                case FieldType::kKeyFile:
                    form.SetText(i, "/keys/k" + std::to_string(i));
                    break;
                default:
                    form.SetText(i, "t" + std::to_string(i));
                    break;
            }
        }
        ASSERT_TRUE(form.Accept());
        EXPECT_EQ(Differences(from_dialog, Saved(kind.default_file)), "");
    }
}

TEST_F(ConnectionDialogsTest, StartTlsShowsPort25AndInvalidPortsBecome443) {
    When("STARTTLS Forwarding Params", [](QWidget* dialog) {
        auto fields = dialog->findChildren<QLineEdit*>();
        auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        ASSERT_EQ(fields.size(), 3);
        EXPECT_EQ(fields[0]->text(), "");  // no listening port yet
        EXPECT_EQ(fields[2]->text(), "25");
        EXPECT_FALSE(ok->isEnabled());
        Keys("0");
        Key(Qt::Key_Tab);
        Keys("mail.example");
        Key(Qt::Key_Tab);
        Keys("x");  // replaces the selected 25
        Key(Qt::Key_Tab);
        Key(Qt::Key_Down);  // "POP"
        EXPECT_TRUE(ok->isEnabled());
        Key(Qt::Key_Return);
    });
    SessionConfig config;
    ASSERT_TRUE(RunParameterDialog(nullptr, config, kKindSTARTTLSProxy));
    SessionConfig expected;
    StartOf(expected, kKindSTARTTLSProxy);
    expected.SetNarrow(setting::hostname, "mail.example");
    expected.SetInt(setting::portnum, 443);
    expected.SetInt(setting::portnum_listener, 443);
    expected.SetInt(setting::tls_proxy_type, 1);
    EXPECT_EQ(Differences(Saved("DEFAULT_STARTTLS.tks"), expected.Serialize()), "");

    // Cancel saves nothing.
    std::filesystem::remove(config_.File("DEFAULT_STARTTLS.tks"));
    When("STARTTLS Forwarding Params", [](QWidget*) {
        Keys("2525");
        Key(Qt::Key_Escape);
    });
    SessionConfig cancelled;
    EXPECT_FALSE(RunParameterDialog(nullptr, cancelled, kKindSTARTTLSProxy));
    EXPECT_EQ(cancelled.GetInt(setting::setup_accepted), 0);
    EXPECT_FALSE(std::filesystem::exists(config_.File("DEFAULT_STARTTLS.tks")));
}

TEST_F(ConnectionDialogsTest, ChooserEditsAndDeletesSavedSessions) {
    // A saved session in a sub-folder is listed without its extension; default files are not.
    std::filesystem::create_directories(config_.File("lab"));
    const std::string saved = config_.File("lab/router.tks");
    testing::WriteFile(saved,
                       "IO_TELNET\r\nversion: 2\r\nhostname: router.lan\r\nportnum: 2323\r\n");
    const std::string saved_bytes = testing::ReadFile(saved);
    testing::WriteFile(config_.File("DEFAULT_SSH2.tks"), "IO_SSH2\r\nversion: 2\r\n");

    When("New Connection", [](QWidget* chooser) {
        auto* list = chooser->findChild<QListWidget*>();
        QStringList texts;
        for (int i = 0; i < list->count(); ++i)
            texts << list->item(i)->text();
        EXPECT_FALSE(texts.contains("DEFAULT_SSH2"));
        ASSERT_EQ(texts.back(), "router");
        // Kinds this build cannot connect are shown, not offered.
        for (const ConnectionKind& kind : ConnectionKinds()) {
            QListWidgetItem* item = list->item(texts.indexOf(QString::fromUtf8(kind.chooser_text)));
            ASSERT_NE(item, nullptr);
            EXPECT_EQ((item->flags() & Qt::ItemIsEnabled) != 0, CanBuildChain(kind.kind))
                << kind.chooser_text;
        }
        Key(Qt::Key_End);
        EXPECT_EQ(list->currentItem()->text(), "router");
        When("Telnet Parameters", [](QWidget* form) {
            auto fields = form->findChildren<QLineEdit*>();
            EXPECT_EQ(fields[0]->text(), "router.lan");
            EXPECT_EQ(fields[1]->text(), "2323");
            Type("router2.lan");
            Key(Qt::Key_Return);
        });
        Alt('e');
    });
    SessionConfig config;
    EXPECT_TRUE(RunConnectionDialogs(nullptr, config).accepted);
    // The edited values became the kind's default; the saved file is as it was.
    const auto defaults = testing::FileSettings(Saved("DEFAULT_TELNET.tks"));
    EXPECT_EQ(defaults.at("hostname"), "router2.lan");
    EXPECT_EQ(defaults.at("portnum"), "2323");
    EXPECT_EQ(testing::ReadFile(saved), saved_bytes);

    // Enter on a saved session connects it as it is stored: no dialog follows.
    When("New Connection", [](QWidget* chooser) {
        Key(Qt::Key_End);
        EXPECT_EQ(testing::Shown(chooser->findChildren<QPushButton*>()[0]->text()), "Connect");
        Key(Qt::Key_Return);
    });
    SessionConfig connected;
    const ConnectionChoice choice = RunConnectionDialogs(nullptr, connected);
    EXPECT_FALSE(choice.accepted);
    EXPECT_EQ(choice.saved, std::optional<std::string>(saved));

    // Delete asks first; Yes removes the file and its entry (and the separator with it).
    ui_.QueueYesNo(true);
    When("New Connection", [&saved](QWidget* chooser) {
        auto* list = chooser->findChild<QListWidget*>();
        const int before = list->count();
        Key(Qt::Key_End);
        Key(Qt::Key_Delete);
        EXPECT_FALSE(std::filesystem::exists(saved));
        EXPECT_EQ(list->count(), before - 2);
        Key(Qt::Key_Escape);
    });
    SessionConfig second;
    EXPECT_FALSE(RunConnectionDialogs(nullptr, second).accepted);
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 1);
    EXPECT_EQ(ui_.shown().back().caption, "Confirm file delete");
}

}  // namespace
}  // namespace tarnwick
