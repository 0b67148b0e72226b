#include "frontend/connection_form.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/preferences.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

class ConnectionFormTest : public ::testing::Test {
  protected:
    // The index of the field with this label.
    static std::size_t FieldNamed(const ConnectionForm& form, const std::string& label) {
        for (std::size_t i = 0; i < form.FieldCount(); ++i) {
            if (label == form.Field(i).label) return i;
        }
        ADD_FAILURE() << "no field " << label;
        return 0;
    }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
};

TEST(ParsePortTest, OneDecimalNumberOrTheFallBack) {
    EXPECT_EQ(ParsePort("22", 23), 22);
    EXPECT_EQ(ParsePort(" 8080", 23), 8080);
    EXPECT_EQ(ParsePort("2323abc", 23), 2323);  // read as one number, the rest ignored
    EXPECT_EQ(ParsePort("65535", 23), 65535);
    EXPECT_EQ(ParsePort("0", 23), 23);
    EXPECT_EQ(ParsePort("70000", 23), 23);
    EXPECT_EQ(ParsePort("99999999999999999999", 443), 443);
    EXPECT_EQ(ParsePort("-22", 23), 23);
    EXPECT_EQ(ParsePort("", 22), 22);
    EXPECT_EQ(ParsePort("port", 22), 22);
}

TEST_F(ConnectionFormTest, TelnetPortsOutOfRangeStoreTheFallBackAndTheDefaultFileFollows) {
    for (const char* port : {"0", "70000"}) {
        SessionConfig config;
        ConnectionForm form(config, kKindTelnet);
        EXPECT_EQ(form.definition().title, std::string("Telnet Parameters"));
        EXPECT_EQ(form.Text(FieldNamed(form, "Port")), "23");
        form.SetText(FieldNamed(form, "Hostname"), "  router.lan ");
        form.SetText(FieldNamed(form, "Port"), port);
        form.SetChecked(FieldNamed(form, "Tunnel through SSL"), true);
        ASSERT_TRUE(form.Accept());
        EXPECT_EQ(config.GetInt(setting::portnum), 23);
        EXPECT_STREQ(config.GetNarrow(setting::hostname), "router.lan");
        EXPECT_EQ(config.GetInt(setting::enable_ssl), 1);
        EXPECT_EQ(config.GetInt(setting::setup_accepted), 1);
    }
    // The accepted set-up is the next dialog's start.
    SessionConfig next;
    ConnectionForm form(next, kKindTelnet);
    EXPECT_EQ(form.Text(FieldNamed(form, "Hostname")), "router.lan");
    EXPECT_TRUE(form.Checked(FieldNamed(form, "Tunnel through SSL")));
}

TEST_F(ConnectionFormTest, RequiredFieldsKeepTheDialogOpenAndNothingIsSaved) {
    SessionConfig config;
    ConnectionForm form(config, kKindSSH2);
    form.SetText(FieldNamed(form, "Hostname"), "host");
    form.SetText(FieldNamed(form, "Username"), "   ");
    EXPECT_FALSE(form.CanAccept());
    EXPECT_FALSE(form.Accept());
    EXPECT_EQ(config.GetInt(setting::setup_accepted), 0);
    EXPECT_FALSE(std::filesystem::exists(isolated_.path() + "/DEFAULT_SSH2.tks"));
    form.SetText(FieldNamed(form, "Username"), "me");
    EXPECT_TRUE(form.Accept());
    EXPECT_TRUE(std::filesystem::exists(isolated_.path() + "/DEFAULT_SSH2.tks"));
}

TEST_F(ConnectionFormTest, AgentForwardingIsOffAndSaysWhatItGivesAway) {
    SessionConfig config;
    ConnectionForm form(config, kKindSSH2);
    const std::size_t agent = FieldNamed(form, "Allow a&gent forwarding");
    EXPECT_EQ(form.Field(agent).type, FieldType::kCheck);
    EXPECT_FALSE(form.Checked(agent));
    ASSERT_NE(form.Field(agent).warning, nullptr);
    EXPECT_NE(std::string(form.Field(agent).warning).find("use the keys you hold"),
              std::string::npos);
    form.SetText(FieldNamed(form, "Hostname"), "host");
    form.SetText(FieldNamed(form, "Username"), "me");
    form.SetChecked(agent, true);
    ASSERT_TRUE(form.Accept());
    EXPECT_EQ(config.GetInt(setting::ssh2_agent_forwarding), 1);
}

TEST_F(ConnectionFormTest, StartTlsAndForwardingPorts) {
    SessionConfig proxy;
    ConnectionForm starttls(proxy, kKindSTARTTLSProxy);
    EXPECT_EQ(starttls.Text(FieldNamed(starttls, "Port")), "25");
    EXPECT_EQ(starttls.Text(FieldNamed(starttls, "Forward from port:")), "");  // unset
    starttls.SetText(FieldNamed(starttls, "Forward from port:"), "x");
    starttls.SetText(FieldNamed(starttls, "Forward to:"), "mail.example");
    starttls.SetText(FieldNamed(starttls, "Port"), "99999");
    starttls.SetChoiceIndex(FieldNamed(starttls, "Protocol"), 2);
    ASSERT_TRUE(starttls.Accept());
    EXPECT_EQ(proxy.GetInt(setting::portnum), 443);
    EXPECT_EQ(proxy.GetInt(setting::portnum_listener), 443);
    EXPECT_EQ(proxy.GetInt(setting::tls_proxy_type), 2);  // IMAP

    SessionConfig forward;
    ConnectionForm sslpf(forward, kKindSSLPortForward);
    EXPECT_EQ(sslpf.Text(FieldNamed(sslpf, "Forward from port:")), "443");
}

TEST_F(ConnectionFormTest, ChoicesStoreTheirValuesAndSsh1NeedsACipher) {
    SessionConfig serial;
    ConnectionForm form(serial, kKindSerial);
    const std::size_t speed = FieldNamed(form, "Speed");
    EXPECT_EQ(form.ChoiceNames(speed)[form.ChoiceIndex(speed)], "9600");
    form.SetChoiceIndex(speed, 12);
    form.SetChoiceIndex(FieldNamed(form, "Parity"), 3);
    form.SetText(FieldNamed(form, "Device"), "/dev/ttyUSB0");
    ASSERT_TRUE(form.Accept());
    EXPECT_EQ(serial.GetInt(setting::serial_speed), 115200);
    EXPECT_EQ(serial.GetInt(setting::serial_parity), 3);  // Mark
    EXPECT_EQ(std::u16string(serial.GetWide(setting::serial_device)), u"/dev/ttyUSB0");

    SessionConfig ssh1;
    ConnectionForm dialog(ssh1, kKindSSH1);
    dialog.SetText(FieldNamed(dialog, "Hostname"), "old");
    dialog.SetText(FieldNamed(dialog, "Username"), "me");
    dialog.SetChoiceIndex(FieldNamed(dialog, "Cipher"), 99);  // nothing selected
    EXPECT_FALSE(dialog.CanAccept());
    dialog.SetChoiceIndex(FieldNamed(dialog, "Cipher"), 2);
    ASSERT_TRUE(dialog.Accept());
    EXPECT_EQ(ssh1.GetInt(setting::ssh_cipher), 2);  // DES
}

TEST_F(ConnectionFormTest, Ssh2FillsOnlyEmptyAlgorithmListsAndChoosesAKeyFile) {
    SessionConfig config;
    std::int32_t macs[] = {1};
    config.SetInt(setting::from_saved_session, 1);
    config.SetList(setting::ssh2_EnabledMACs, macs, 1);
    ConnectionForm form(config, kKindSSH2);
    // Today's ciphers first, the older ones after them.
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers),
              (std::vector<std::int32_t>{5, 6, 7, 8, 9, 10, 1, 0, 2, 3, 4}));
    EXPECT_EQ(config.GetList(setting::ssh2_kex_algorithms).front(), 13);  // sntrup761x25519
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledMACs), (std::vector<std::int32_t>{1}));

    const std::size_t cert = FieldNamed(form, "Cert");
    ui_.QueueFile(std::string("/home/me/.ssh/id_ed25519"));
    form.ChooseKeyFile(cert);
    EXPECT_EQ(form.Text(cert), "/home/me/.ssh/id_ed25519");
    form.ChooseKeyFile(cert);  // cancelled: the path is emptied
    EXPECT_EQ(form.Text(cert), "");
    ASSERT_EQ(ui_.shown().back().caption, "Select key");

    form.SetText(FieldNamed(form, "Hostname"), std::string(2000, 'h') + "\xc3\xa9");
    EXPECT_EQ(form.Text(FieldNamed(form, "Hostname")).size(), ConnectionForm::kMaxText);
    form.SetText(FieldNamed(form, "Hostname"), std::string(1022, 'h') + "\xc3\xa9");
    EXPECT_EQ(form.Text(FieldNamed(form, "Hostname")).size(), 1022u);  // never half a character
}

TEST_F(ConnectionFormTest, ChooserListsKindsThenSavedSessionsAndEditsOrDeletesThem) {
    testing::WriteFile(isolated_.path() + "/lab.tks",
                       "IO_TELNET\r\nhostname: saved.host\r\nportnum: 2323\r\n");
    testing::WriteFile(isolated_.path() + "/DEFAULT_TELNET.tks", "IO_TELNET\r\n");
    ConnectionChooser chooser({isolated_.path()});
    const auto& entries = chooser.Entries();
    ASSERT_EQ(entries.size(), 9u);
    EXPECT_EQ(entries[0].text, "New SSH1 Connection");
    EXPECT_EQ(entries[5].kind, kKindTelnet);
    EXPECT_EQ(entries[7].type, ConnectionChooser::Entry::kSeparator);
    EXPECT_EQ(entries[8].text, "lab");

    EXPECT_STREQ(chooser.ButtonsFor(5).first_text, "&Configure");
    EXPECT_FALSE(chooser.ButtonsFor(5).edit);
    EXPECT_EQ(chooser.Configure(5), kKindTelnet);
    EXPECT_FALSE(chooser.ButtonsFor(7).first);
    EXPECT_TRUE(chooser.ButtonsFor(8).remove);
    EXPECT_EQ(chooser.Connect(8), isolated_.path() + "/lab.tks");

    // Edit and OK replace the kind's default file; the saved session stays as it was.
    SessionConfig config;
    ASSERT_EQ(chooser.Edit(8, config), kKindTelnet);
    ConnectionForm form(config, kKindTelnet);
    EXPECT_EQ(form.Text(FieldNamed(form, "Hostname")), "saved.host");
    form.SetText(FieldNamed(form, "Hostname"), "edited.host");
    ASSERT_TRUE(form.Accept());
    EXPECT_NE(testing::ReadFile(isolated_.path() + "/DEFAULT_TELNET.tks").find("edited.host"),
              std::string::npos);
    EXPECT_NE(testing::ReadFile(isolated_.path() + "/lab.tks").find("saved.host"),
              std::string::npos);

    ui_.QueueYesNo(false);
    EXPECT_FALSE(chooser.Delete(8));
    EXPECT_TRUE(std::filesystem::exists(isolated_.path() + "/lab.tks"));
    ui_.QueueYesNo(true);
    EXPECT_TRUE(chooser.Delete(8));
    EXPECT_FALSE(std::filesystem::exists(isolated_.path() + "/lab.tks"));
    EXPECT_EQ(chooser.Entries().size(), 7u);  // the separator went with the last file
}

}  // namespace
}  // namespace tarnwick
