#include "session/connection_setup.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/session_config.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

TEST(ConnectionSetupTest, PortsFallBackSilently) {
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

    EXPECT_EQ(DefaultPort(kKindSTARTTLSProxy), 25);
    EXPECT_EQ(FallbackPort(kKindSTARTTLSProxy), 443);
    EXPECT_EQ(DefaultPort(kKindTelnet), 23);
    EXPECT_EQ(FallbackPort(kKindSSH2), 22);
    ASSERT_EQ(ChooserKinds().size(), 7u);
    EXPECT_STREQ(ChooserKinds()[0].text, "New SSH1 Connection");
    EXPECT_EQ(ChooserKinds()[5].kind, kKindTelnet);
}

TEST(ConnectionSetupTest, SavedSessionsAreFoundInSubFoldersWithoutDefaults) {
    testing::TempDir settings;
    testing::TempDir card;
    std::filesystem::create_directories(settings.File("lab/old"));
    testing::WriteFile(settings.File("beta.tks"), "IO_TELNET\r\n");
    testing::WriteFile(settings.File("Alpha.tks"), "IO_SSH2\r\n");
    testing::WriteFile(settings.File("DEFAULT_SSH2.tks"), "IO_SSH2\r\n");
    testing::WriteFile(settings.File("notes.txt"), "");
    testing::WriteFile(settings.File("lab/old/router.tks"), "IO_SERIAL\r\n");
    testing::WriteFile(card.File("gamma.tks"), "IO_SSL\r\n");
    auto found = FindSavedSessions({settings.path(), card.path(), settings.File("missing")});
    std::vector<std::string> names;
    for (const SavedSession& s : found)
        names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma", "router"}));
    EXPECT_EQ(found[3].path, settings.File("lab/old/router.tks"));
}

TEST(ConnectionSetupTest, Ssh2ListsGetTheDialogDefaultsOnlyWhenEmpty) {
    SessionConfig config;
    std::int32_t macs[] = {1};
    config.SetList(setting::ssh2_EnabledMACs, macs, 1);
    FillSsh2AlgorithmDefaults(config);
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledCiphers),
              (std::vector<std::int32_t>{1, 0, 2, 3, 4}));
    EXPECT_TRUE(config.GetList(setting::ssh2_DisabledCiphers).empty());
    EXPECT_EQ(config.GetList(setting::ssh2_EnabledMACs), (std::vector<std::int32_t>{1}));
    EXPECT_EQ(config.GetList(setting::ssh2_hostkey_algorithms), (std::vector<std::int32_t>{0, 1}));
}

}  // namespace
}  // namespace tarnwick
