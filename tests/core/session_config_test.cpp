#include "core/session_config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "core/preferences.h"
#include "platform/scripted_ui.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using testing::IsolatedConfig;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kOlderQuestion =
    "The saved file you are loading was created with an older version of Tarnwick, and may be "
    "incompatible with this version of Tarnwick. Do you want to continue loading this file? "
    "(Pressing 'No' will use default values instead.)";

class SessionConfigTest : public ::testing::Test {
  protected:
    void SetUp() override { Preferences::Instance().ResetToDefaults(); }
    void TearDown() override { Preferences::Instance().ResetToDefaults(); }

    // Loads text as a session file into a fresh record.
    bool Load(const std::string& text, SessionConfig& config) {
        std::string path = dir_.File("load.tks");
        WriteFile(path, text);
        return config.LoadFromPath(path, true);
    }

    IsolatedConfig isolated_;
    TempDir dir_;
    ScriptedUi ui_;
};

TEST_F(SessionConfigTest, DefaultsFollowThePreferencesAndResetKeepsLists) {
    Preferences::Instance().SetInt(pref::Rows, 33);
    SessionConfig config;
    EXPECT_EQ(config.GetInt(setting::rows), 33);  // from the preference

    // Reset leaves lists alone.
    std::int32_t list[] = {3, 0};
    config.SetList(setting::ssh2_EnabledCiphers, list, 2);
    config.SetInt(setting::rows, 5);
    config.ResetToDefaults();
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers).size(), 2u);
    EXPECT_EQ(config.GetInt(setting::rows), 33);
}

TEST_F(SessionConfigTest, SessionFilesAreReadableByTheirOwnerOnly) {
    const mode_t previous = ::umask(022);
    SessionConfig config;
    config.SetInt(setting::session_kind, kKindSSH2);
    config.SetNarrow(setting::hostname, "host");
    const std::string path = dir_.File("private.tks");
    ASSERT_TRUE(config.SaveToPath(path, false));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // A copy that others could read becomes private when saved over.
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(config.SaveToPath(path, true));
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ::umask(previous);
}

TEST_F(SessionConfigTest, AgentForwardingIsOffUnlessTheFileTurnsItOn) {
    // Files written before the setting existed load with it off.
    SessionConfig old;
    ASSERT_TRUE(Load("IO_SSH2\nversion: 2\n*hostname: h\n", old));
    EXPECT_EQ(old.GetInt(setting::ssh2_agent_forwarding), 0);
    SessionConfig on;
    ASSERT_TRUE(Load("IO_SSH2\nversion: 2\nssh2_agent_forwarding: 1\n", on));
    EXPECT_EQ(on.GetInt(setting::ssh2_agent_forwarding), 1);
}

TEST_F(SessionConfigTest, SaveAndLoadRestoresEveryKeyedSetting) {
    SessionConfig saved;
    saved.SetInt(setting::session_kind, kKindSSH2);
    int value = 11;
    for (const KeyRow& row : SessionConfig::KeyTable()) {
        if (row.key == nullptr) continue;
        if (row.type == kRowInt || row.type == kRowPrefInt) {
            if (row.number != setting::version) {
                saved.SetInt(static_cast<setting::Int>(row.number), value++);
            }
        }
    }
    saved.SetInt(setting::portnum, -1);  // a negative port survives
    saved.SetNarrow(setting::hostname, "host.example.org");
    saved.SetNarrow(setting::username, "zoë");
    saved.SetNarrow(setting::term_type, "vt220");
    saved.SetWide(setting::serial_device, u"/dev/ttyS0 \u00e9\u4e2d");
    saved.SetWide(setting::certificate_path, u"/home/me/keys/id.pky");
    std::int32_t ciphers[] = {3, 0, 4};
    std::int32_t macs[] = {1};
    std::int32_t keys[] = {1, 0};
    saved.SetList(setting::ssh2_EnabledCiphers, ciphers, 3);
    saved.SetList(setting::ssh2_EnabledMACs, macs, 1);
    saved.SetList(setting::ssh2_hostkey_algorithms, keys, 2);
    saved.AddForward({8080, 80, "web.internal", 0});
    saved.AddForward({2222, 22, "10.0.0.7", 1});
    std::string path = dir_.File("all.tks");
    ASSERT_TRUE(saved.SaveToPath(path, false));

    SessionConfig loaded;
    ASSERT_TRUE(loaded.LoadFromPath(path, true));
    for (const KeyRow& row : SessionConfig::KeyTable()) {
        if (row.key == nullptr) continue;
        SCOPED_TRACE(row.key);
        switch (row.type) {
            case kRowInt:
            case kRowPrefInt:
                EXPECT_EQ(loaded.GetInt(static_cast<setting::Int>(row.number)),
                          saved.GetInt(static_cast<setting::Int>(row.number)));
                break;
            case kRowNarrow:
                EXPECT_STREQ(loaded.GetNarrow(static_cast<setting::Narrow>(row.number)),
                             saved.GetNarrow(static_cast<setting::Narrow>(row.number)));
                break;
            case kRowWide:
                EXPECT_EQ(std::u16string(loaded.GetWide(static_cast<setting::Wide>(row.number))),
                          std::u16string(saved.GetWide(static_cast<setting::Wide>(row.number))));
                break;
            case kRowList:
                EXPECT_EQ(loaded.GetList(static_cast<setting::List>(row.number)),
                          saved.GetList(static_cast<setting::List>(row.number)));
                break;
        }
    }
    EXPECT_EQ(loaded.GetInt(setting::session_kind), kKindSSH2);
    EXPECT_EQ(loaded.GetInt(setting::loaded_from_file), 1);
    EXPECT_EQ(loaded.GetInt(setting::setup_accepted), 1);
    // Derived lists: everything of the choice list not enabled, in choice-list order. A file
    // written today records every choice, so the newer algorithms left out stay off.
    EXPECT_EQ(loaded.GetList(setting::ssh2_DisabledCiphers),
              (std::vector<std::int32_t>{1, 2, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(loaded.GetList(setting::ssh2_DisabledMACs),
              (std::vector<std::int32_t>{2, 0, 5, 6, 7, 8, 9}));
    EXPECT_EQ(loaded.GetList(setting::ssh2_disabled_hostkey_algorithms),
              (std::vector<std::int32_t>{2, 3, 4, 5, 6, 7}));

    auto forwards = loaded.ForwardsCopy();
    ASSERT_EQ(forwards.size(), 2u);
    EXPECT_EQ(forwards[0].local_port, 8080u);
    EXPECT_EQ(forwards[0].remote_port, 80u);
    EXPECT_EQ(forwards[0].remote_host, "web.internal");
    EXPECT_EQ(forwards[0].allow_nonlocal, 0);
    EXPECT_EQ(forwards[1].remote_host, "10.0.0.7");
    EXPECT_EQ(forwards[1].allow_nonlocal, 1);
    EXPECT_TRUE(ui_.shown().empty());
}

TEST_F(SessionConfigTest, WrittenFileLayout) {
    SessionConfig config;
    config.SetInt(setting::session_kind, kKindSSH2);
    config.SetInt(setting::version, 7);            // always written as 2
    config.SetNarrow(setting::appversion, "1.0");  // always written as 2.06
    config.SetNarrow(setting::username, "me");
    config.AddForward({1080, 25, "mail", 1});
    std::string text = config.Serialize();
    EXPECT_EQ(text.rfind("IO_SSH2\r\nversion: 2\r\nappversion: 2.06\r\nvisual_bell: 1\r\n", 0), 0u)
        << text;
    EXPECT_NE(text.find("\r\nportnum: -1\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\ndebug: 0\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nssh2_EnabledCiphers: 0 \r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nserial_device: \r\n"), std::string::npos);  // absent string
    EXPECT_NE(text.find("\r\nhostname: \r\nusername: me\r\n"), std::string::npos);
    std::string forward = "ssh_forwards: 1080 25 " + std::string(95, ' ') + "mail:\r\n";
    EXPECT_EQ(text.substr(text.size() - forward.size()), forward);
    // Run-time values have no key and never appear.
    EXPECT_EQ(text.find("session_kind"), std::string::npos);
    EXPECT_EQ(text.find("from_saved_session"), std::string::npos);

    config.SetInt(setting::session_kind, 1);  // not a kind with a line of its own
    EXPECT_EQ(config.Serialize().rfind("IO_NONE\r\n", 0), 0u);
}

TEST_F(SessionConfigTest, ListValues) {
    struct Case {
        const char* value;
        bool loads;
        std::vector<std::int32_t> list;
    } cases[] = {
        {"0 ", true, {}},         {"", true, {}},
        {"3 1 2 ", true, {1, 2}},                           // fewer numbers than announced
        {"2 4 1 ", true, {4, 1}}, {"2 1 2 3 ", false, {}},  // more numbers than announced
        {"0 5", false, {}},       {"x ", false, {}},
        {"2 1 x ", false, {}},    {"2 -1 ", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        SessionConfig config;
        std::int32_t old[] = {9};
        config.SetList(setting::ssh2_EnabledMACs, old, 1);
        bool loaded = Load(std::string("IO_SSH2\r\nssh2_kex_algorithms: 0 \r\nssh2_EnabledMACs: ") +
                               c.value + "\r\n",
                           config);
        EXPECT_EQ(loaded, c.loads);
        if (c.loads) {
            EXPECT_EQ(config.GetList(setting::ssh2_EnabledMACs), c.list);
        }
    }
}

// A file from before the newer algorithms gets them enabled, in default order, ahead of its own
// choices (or it could never reach today's servers); one written since keeps what it records.
TEST_F(SessionConfigTest, OlderFilesGetTheNewerAlgorithmsFirst) {
    SessionConfig old_file;
    ASSERT_TRUE(
        Load("IO_SSH2\r\nssh2_EnabledCiphers: 2 3 0 \r\nssh2_EnabledMACs: 1 0 \r\n"
             "ssh2_hostkey_algorithms: 2 1 0 \r\n",
             old_file));
    EXPECT_EQ(old_file.GetList(setting::ssh2_EnabledCiphers),
              (std::vector<std::int32_t>{5, 6, 7, 8, 9, 10, 3, 0}));
    EXPECT_EQ(old_file.GetList(setting::ssh2_DisabledCiphers),
              (std::vector<std::int32_t>{4, 1, 2}));
    EXPECT_EQ(old_file.GetList(setting::ssh2_EnabledMACs),
              (std::vector<std::int32_t>{7, 8, 9, 5, 6, 0}));
    EXPECT_EQ(old_file.GetList(setting::ssh2_hostkey_algorithms),
              (std::vector<std::int32_t>{2, 3, 4, 5, 6, 7, 1, 0}));
    // No key-exchange list at all: the default order.
    EXPECT_TRUE(old_file.GetList(setting::ssh2_kex_algorithms).empty());

    // Saved again, the file is one of today's: reloading does not add anything back.
    std::int32_t only_ctr[] = {6};
    old_file.SetList(setting::ssh2_EnabledCiphers, only_ctr, 1);
    std::int32_t kex[] = {10, 3};
    old_file.SetList(setting::ssh2_kex_algorithms, kex, 2);
    std::string path = dir_.File("today.tks");
    ASSERT_TRUE(old_file.SaveToPath(path, false));
    SessionConfig today;
    ASSERT_TRUE(today.LoadFromPath(path, true));
    EXPECT_EQ(today.GetList(setting::ssh2_EnabledCiphers), (std::vector<std::int32_t>{6}));
    EXPECT_EQ(today.GetList(setting::ssh2_kex_algorithms), (std::vector<std::int32_t>{10, 3}));
    EXPECT_EQ(today.GetList(setting::ssh2_disabled_kex_algorithms).size(),
              SessionConfig::ChoiceList(Choices::kSsh2Kex).size() - 2);
}

TEST_F(SessionConfigTest, MalformedFilesDoNotLoad) {
    const char* bad[] = {
        "IO_NONE\r\n",
        "io_ssh2\r\n",
        "IO_TELNET",  // no line end: the reader reports the end of the file
        "",
        "IO_TELNET\r\nnot_a_key: 1\r\n",
        "IO_TELNET\r\nrows: many\r\n",
        "IO_TELNET\r\nwrap_mode: \r\n",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        SessionConfig config;
        EXPECT_FALSE(Load(text, config));
    }
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 0);
}

TEST_F(SessionConfigTest, IntegerParsingAndKeyMatching) {
    SessionConfig config;
    ASSERT_TRUE(
        Load("IO_TELNET\r\n"
             "ssh_hostname: example.net\r\n"  // every key ending in hostname sets the host name
             "telnet_portnum: -1\r\n"
             "rows: 50 and more\r\n"  // the number is read, the rest ignored
             "\r\n"
             "a line without a colon is skipped\r\n"
             "columns:\r\n"  // empty value: not a number
             ,
             config) == false);
    // Applied settings before the failure stay in the record.
    EXPECT_STREQ(config.GetNarrow(setting::hostname), "example.net");
    EXPECT_EQ(config.GetInt(setting::rows), 50);

    SessionConfig other;
    ASSERT_TRUE(
        Load("IO_TELNET\r\nhostname: h\r\nportnum: 4294967295\r\nscrollback: +7\r\n"
             "columns: 132\r\nnot_a_key: 1",  // a last line without its line end is never read
             other));
    EXPECT_EQ(other.GetInt(setting::portnum), -1);
    EXPECT_EQ(other.GetInt(setting::scrollback), 7);
    EXPECT_EQ(other.GetInt(setting::columns), 132);
    EXPECT_EQ(other.GetInt(setting::session_kind), kKindTelnet);
}

TEST_F(SessionConfigTest, LongLinesAreSplitAt255) {
    SessionConfig config;
    // The host name is cut at 255 characters of line; the rest arrives as a line of its own,
    // which has no colon and is skipped.
    std::string host(300, 'h');
    ASSERT_TRUE(Load("IO_TELNET\r\nhostname: " + host + "\r\n", config));
    EXPECT_EQ(std::string(config.GetNarrow(setting::hostname)).size(), 255u - 10u);
}

TEST_F(SessionConfigTest, ZeroBytesAreDropped) {
    SessionConfig config;
    ASSERT_TRUE(Load(std::string("IO_TEL\0NET\r\nhost\0name: a\0b\r\n", 28), config));
    EXPECT_STREQ(config.GetNarrow(setting::hostname), "ab");
}

TEST_F(SessionConfigTest, VersionQuestions) {
    const std::string named =
        "The saved file you are loading was created with Tarnwick version 1.9b, and may be "
        "incompatible with this version of Tarnwick. Do you want to continue loading this file? "
        "(Pressing 'No' will use default values instead.)";
    {
        SessionConfig config;
        ui_.QueueYesNo(false);
        EXPECT_FALSE(Load("IO_SSH2\r\nversion: 1\r\nappversion: 1.9b\r\n", config));
        ASSERT_EQ(ui_.shown().size(), 1u);
        EXPECT_EQ(ui_.shown()[0].caption, "Error");
        EXPECT_EQ(ui_.shown()[0].text, named);
    }
    ui_.Clear();
    {
        SessionConfig config;
        ui_.QueueYesNo(true);
        EXPECT_TRUE(Load("IO_SSH2\r\nversion: 1\r\nappversion: \r\nrows: 30\r\n", config));
        ASSERT_EQ(ui_.shown().size(), 1u);
        EXPECT_EQ(ui_.shown()[0].text, kOlderQuestion);
        EXPECT_EQ(config.GetInt(setting::rows), 30);
    }
    ui_.Clear();
    {
        // The question comes even for a file that already failed on a bad line.
        SessionConfig config;
        config.SetNarrow(setting::appversion, nullptr);
        ui_.QueueYesNo(true);
        EXPECT_FALSE(Load("IO_SSH2\r\nversion: 3\r\nbogus: 1\r\n", config));
        ASSERT_EQ(ui_.shown().size(), 1u);
        EXPECT_EQ(ui_.shown()[0].text, kOlderQuestion);
    }
    ui_.Clear();
    {
        SessionConfig config;  // no version line: the record keeps 2, nothing is asked
        EXPECT_TRUE(Load("IO_SSH2\r\nrows: 30\r\n", config));
        EXPECT_TRUE(ui_.shown().empty());
    }
}

TEST_F(SessionConfigTest, UnreadableFileIsReportedOnlyWhenAsked) {
    SessionConfig config;
    std::string path = dir_.File("missing.tks");
    EXPECT_FALSE(config.LoadFromPath(path, false));
    EXPECT_TRUE(ui_.shown().empty());
    EXPECT_FALSE(config.LoadFromPath(path, true));
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].caption, "Notice");
    EXPECT_EQ(ui_.shown()[0].text, "Couldn't read session from '" + path + "'.");
}

TEST_F(SessionConfigTest, ForwardLines) {
    SessionConfig config;
    ASSERT_TRUE(
        Load("IO_SSH2\r\n"
             "ssh_forwards: 1 2 a:\r\n"
             "ssh_forwards: 3 4\r\n"  // too few fields: ignored
             "ssh_forwards: x 4 b\r\n"
             "ssh_forwards:    5    6        c d\r\n",
             config));
    auto forwards = config.ForwardsCopy();
    ASSERT_EQ(forwards.size(), 2u);
    EXPECT_EQ(forwards[0].remote_host, "a");
    EXPECT_EQ(forwards[0].allow_nonlocal, 1);
    EXPECT_EQ(forwards[1].local_port, 5u);
    EXPECT_EQ(forwards[1].remote_port, 6u);
    EXPECT_EQ(forwards[1].remote_host, "c");
}

TEST_F(SessionConfigTest, FailedSaveKeepsTheOldFile) {
    std::string path = dir_.File("keep.tks");
    WriteFile(path, "IO_TELNET\r\nhostname: old\r\n");
    SessionConfig config;
    config.SetInt(setting::session_kind, kKindTelnet);
    config.SetNarrow(setting::hostname, "new");

    // Interrupt the write: the file size limit makes it fail part way through.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &small);
    bool saved = config.SaveToPath(path, true);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(saved);
    EXPECT_EQ(ReadFile(path), "IO_TELNET\r\nhostname: old\r\n");
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].text, "Couldn't overwrite file '" + path + "' to save session.");
    // No temporary file is left behind.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);

    // A save that completes replaces the file, with or without the overwrite flag.
    EXPECT_TRUE(config.SaveToPath(path, false));
    SessionConfig loaded;
    ASSERT_TRUE(loaded.LoadFromPath(path, true));
    EXPECT_STREQ(loaded.GetNarrow(setting::hostname), "new");
}

TEST_F(SessionConfigTest, SaveIntoMissingFolderFails) {
    SessionConfig config;
    std::string path = dir_.File("no/such/folder/x.tks");
    EXPECT_FALSE(config.SaveToPath(path, true));
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].text, "Couldn't overwrite file '" + path + "' to save session.");
}

TEST_F(SessionConfigTest, SuggestedNames) {
    struct Case {
        const char* user;
        const char* host;
        const char* name;
    } cases[] = {
        {"root", "192.168.1.20", "root@192_168_1_20"},
        {"root", "host.example.com", "root@host"},
        {"first.last", "box.lan", "first_last@box"},
        {"me", "10.0.example.org", "me@10_0_example"},
        {nullptr, "a.b", "@a"},
        {"u", nullptr, "u@"},
        {"u", "../etc", "u@___etc"},
    };
    for (const Case& c : cases) {
        SessionConfig config;
        config.SetNarrow(setting::username, c.user);
        config.SetNarrow(setting::hostname, c.host);
        EXPECT_EQ(config.SuggestedName(), c.name);
    }
}

TEST_F(SessionConfigTest, KindDefaults) {
    // Without a default file: table defaults, the kind and its port.
    SessionConfig fresh;
    fresh.SetNarrow(setting::hostname, "leftover");
    EXPECT_FALSE(fresh.LoadKindDefaults(kKindTelnet));
    EXPECT_EQ(fresh.GetInt(setting::session_kind), kKindTelnet);
    EXPECT_EQ(fresh.GetInt(setting::portnum), 23);
    EXPECT_EQ(fresh.GetNarrow(setting::hostname), nullptr);

    // An accepted set-up becomes the next default, minus forwards; geometry follows preferences.
    SessionConfig accepted;
    accepted.SetInt(setting::session_kind, kKindSSH2);
    accepted.SetNarrow(setting::hostname, "last.host");
    accepted.SetInt(setting::rows, 50);
    accepted.SetInt(setting::cursor_type, 3);
    accepted.SetInt(setting::ssh2_want_interactive, 0);
    accepted.AddForward({1, 2, "x", 0});
    ASSERT_TRUE(accepted.SaveKindDefaults());
    EXPECT_TRUE(std::filesystem::exists(isolated_.path() + "/DEFAULT_SSH2.tks"));

    Preferences::Instance().SetInt(pref::Rows, 30);
    SessionConfig next;
    EXPECT_TRUE(next.LoadKindDefaults(kKindSSH2));
    EXPECT_STREQ(next.GetNarrow(setting::hostname), "last.host");
    EXPECT_EQ(next.GetInt(setting::rows), 30);
    EXPECT_EQ(next.GetInt(setting::cursor_type), 0);
    EXPECT_EQ(next.GetInt(setting::ssh2_want_interactive), 1);
    EXPECT_TRUE(next.ForwardsCopy().empty());

    // A record filled from a chosen session file does not load the default.
    SessionConfig from_file;
    from_file.SetInt(setting::from_saved_session, 1);
    from_file.SetNarrow(setting::hostname, "chosen");
    EXPECT_FALSE(from_file.LoadKindDefaults(kKindSSH2));
    EXPECT_STREQ(from_file.GetNarrow(setting::hostname), "chosen");
}

}  // namespace
}  // namespace tarnwick
