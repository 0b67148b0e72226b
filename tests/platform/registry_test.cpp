#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "platform/folders.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(RegistryTest, TypedValuesAndKeys) {
    TempDir dir;
    RegistryStore store;
    ASSERT_TRUE(store.Open(dir.File("r.sqlite3")));
    EXPECT_TRUE(store.TakeNotice().empty());
    const std::string key = "Software\\Halvek\\Tarnwick";
    EXPECT_FALSE(store.KeyExists(key));
    EXPECT_FALSE(store.GetDword(key, "Rows").has_value());

    ASSERT_TRUE(store.SetDword(key, "Rows", 0xFFFFFFFEu));
    ASSERT_TRUE(store.SetString(key, "Font", u"Mono \u00e9\u4e2d"));
    ASSERT_TRUE(store.SetBinary(key, "Blob", {0, 1, 2, 255}));
    ASSERT_TRUE(store.SetBinary(key, "Empty", {}));
    EXPECT_TRUE(store.KeyExists("software\\halvek"));  // parents exist, case does not matter
    EXPECT_TRUE(store.KeyExists("\\Software\\Halvek\\Tarnwick\\"));
    EXPECT_EQ(store.GetDword(key, "rows"), 0xFFFFFFFEu);
    EXPECT_EQ(store.GetString(key, "Font"), u"Mono \u00e9\u4e2d");
    EXPECT_EQ(store.GetBinary(key, "Blob"), (std::vector<std::uint8_t>{0, 1, 2, 255}));
    EXPECT_EQ(store.GetBinary(key, "Empty"), std::vector<std::uint8_t>{});
    // A value read as the wrong type is absent.
    EXPECT_FALSE(store.GetDword(key, "Font").has_value());
    EXPECT_FALSE(store.GetString(key, "Rows").has_value());

    // Overwriting keeps the value's place in the enumeration order.
    ASSERT_TRUE(store.SetDword(key, "Rows", 5));
    auto values = store.Values(key);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].name, "Rows");
    EXPECT_EQ(values[3].name, "Empty");

    EXPECT_TRUE(store.DeleteValue(key, "Blob"));
    EXPECT_FALSE(store.DeleteValue(key, "Blob"));
    EXPECT_FALSE(store.ValueExists(key, "Blob"));
}

TEST(RegistryTest, SubKeysAndRecursiveDelete) {
    TempDir dir;
    RegistryStore store;
    ASSERT_TRUE(store.Open(dir.File("r.sqlite3")));
    const std::string base = "Software\\Halvek\\Tarnwick\\ssh_known_hosts";
    ASSERT_TRUE(store.SetBinary(base + "\\2\\ssh-rsa", "host", {1}));
    ASSERT_TRUE(store.SetBinary(base + "\\2\\ssh-dss", "host", {2}));
    ASSERT_TRUE(store.CreateKey(base + "\\1"));
    ASSERT_TRUE(store.CreateKey(base + "_other"));  // a sibling whose name shares the prefix
    auto subkeys = store.SubKeys(base);
    EXPECT_EQ(subkeys, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(store.SubKeys(base + "\\2"), (std::vector<std::string>{"ssh-dss", "ssh-rsa"}));

    ASSERT_TRUE(store.DeleteKey(base + "\\2"));
    EXPECT_FALSE(store.KeyExists(base + "\\2\\ssh-rsa"));
    EXPECT_FALSE(store.GetBinary(base + "\\2\\ssh-rsa", "host").has_value());
    EXPECT_TRUE(store.KeyExists(base + "\\1"));
    EXPECT_TRUE(store.KeyExists(base + "_other"));
}

TEST(RegistryTest, BatchCommitsAllOrNothing) {
    TempDir dir;
    RegistryStore store;
    ASSERT_TRUE(store.Open(dir.File("r.sqlite3")));
    {
        RegistryStore::Batch batch(store);
        store.SetDword("K", "a", 1);
        store.SetDword("K", "b", 2);
        // Destroyed without Commit: nothing lands.
    }
    EXPECT_FALSE(store.ValueExists("K", "a"));
    {
        RegistryStore::Batch batch(store);
        store.SetDword("K", "a", 1);
        store.SetDword("K", "b", 2);
        EXPECT_TRUE(batch.Commit());
    }
    EXPECT_EQ(store.GetDword("K", "b"), 2u);
}

TEST(RegistryTest, DamagedStoreIsKeptAsideAndReportedOnce) {
    TempDir dir;
    const std::string path = dir.File("registry.sqlite3");
    const std::string garbage =
        "this is not a database, but somebody's settings\n" + std::string(5000, 'x');
    WriteFile(path, garbage);

    RegistryStore store;
    ASSERT_TRUE(store.Open(path));
    std::string notice = store.TakeNotice();
    EXPECT_NE(notice.find("was damaged"), std::string::npos) << notice;
    EXPECT_TRUE(store.TakeNotice().empty());  // told once

    // The damaged file is kept, byte for byte, under the name the notice gives.
    std::string aside;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name.rfind("registry.sqlite3.damaged-", 0) == 0) aside = entry.path().string();
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(ReadFile(aside), garbage);
    EXPECT_NE(notice.find(aside), std::string::npos);

    // The fresh store works and is saved at the usual place.
    ASSERT_TRUE(store.SetDword("K", "v", 7));
    store.Close();
    RegistryStore again;
    ASSERT_TRUE(again.Open(path));
    EXPECT_TRUE(again.TakeNotice().empty());
    EXPECT_EQ(again.GetDword("K", "v"), 7u);
}

TEST(RegistryTest, CorruptedPagesAreDetected) {
    TempDir dir;
    const std::string path = dir.File("registry.sqlite3");
    {
        RegistryStore store;
        ASSERT_TRUE(store.Open(path));
        for (int i = 0; i < 200; ++i) {
            store.SetString("Software\\Test", "value" + std::to_string(i), std::u16string(50, 'v'));
        }
    }
    // Scribble over the middle of the file, past the header.
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 8192u);
    for (std::size_t i = 4096; i < bytes.size(); i += 7)
        bytes[i] = static_cast<char>(i * 31);
    WriteFile(path, bytes);

    RegistryStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_FALSE(store.TakeNotice().empty());
    EXPECT_TRUE(store.Values("Software\\Test").empty());
    EXPECT_TRUE(store.SetDword("K", "v", 1));
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(RegistryTest, SettingsAreReadableByTheirOwnerOnly) {
    // Under the usual umask everything would be readable by every user of the machine.
    const mode_t previous_umask = ::umask(022);
    TempDir dir;
    const std::string config = dir.File("home/.config/tarnwick");
    const char* previous = std::getenv("TARNWICK_CONFIG_DIR");
    const std::string kept = previous != nullptr ? previous : "";
    ::setenv("TARNWICK_CONFIG_DIR", config.c_str(), 1);
    struct Restore {
        std::string value;
        bool had;
        mode_t mask;
        ~Restore() {
            if (had) {
                ::setenv("TARNWICK_CONFIG_DIR", value.c_str(), 1);
            } else {
                ::unsetenv("TARNWICK_CONFIG_DIR");
            }
            ::umask(mask);
        }
    } restore{kept, previous != nullptr, previous_umask};

    // Made private from the start.
    ASSERT_EQ(ConfigDirectory(), config);
    EXPECT_EQ(ModeOf(config), 0700u);
    const std::string path = config + "/registry.sqlite3";
    {
        RegistryStore store;
        ASSERT_TRUE(store.Open(path));
        ASSERT_TRUE(store.SetDword("K", "v", 1));
        EXPECT_EQ(ModeOf(path), 0600u);
        EXPECT_TRUE(store.TakeNotice().empty());
    }

    // Made readable by others (an older version, a careless copy): private again at start-up,
    // and the user is told once.
    ::chmod(config.c_str(), 0755);
    ::chmod(path.c_str(), 0644);
    ASSERT_EQ(ConfigDirectory(), config);
    RegistryStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_EQ(ModeOf(config), 0700u);
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(store.GetDword("K", "v"), 1u);
    const std::string notice = store.TakeNotice();
    EXPECT_NE(notice.find("Other users of this computer could read Tarnwick's settings"),
              std::string::npos);
    EXPECT_NE(notice.find("\n  " + config), std::string::npos);
    EXPECT_NE(notice.find("\n  " + path), std::string::npos);
    EXPECT_TRUE(store.TakeNotice().empty());

    // A shared folder, or one of somebody else, is never changed.
    EXPECT_FALSE(RestrictToOwner("/tmp"));
    EXPECT_FALSE(RestrictToOwner("/nonexistent/tarnwick"));
}

TEST(RegistryTest, UnusableFolderFallsBackToMemory) {
    TempDir dir;
    const std::string path = dir.File("no-such-folder/registry.sqlite3");
    RegistryStore store;
    ASSERT_TRUE(store.Open(path));
    EXPECT_NE(store.TakeNotice().find("could not be created"), std::string::npos);
    EXPECT_TRUE(store.SetDword("K", "v", 3));
    EXPECT_EQ(store.GetDword("K", "v"), 3u);
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tarnwick
