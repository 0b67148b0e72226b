#include <gtest/gtest.h>

#include <filesystem>

#include "session/connection_setup.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

TEST(SavedSessionsTest, FoundInSubFoldersSortedWithoutDefaults) {
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

}  // namespace
}  // namespace tarnwick
