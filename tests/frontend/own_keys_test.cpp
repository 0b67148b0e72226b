// The key manager's list of the user's own keys: adding key files (with their passphrase), what
// each row shows next to ssh-keygen's own fingerprints, and removal after confirmation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "frontend/key_manager_model.h"
#include "platform/scripted_ui.h"
#include "ssh/key_files.h"
#include "support/child_process.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using testing::RunCommand;

// The fingerprint field of "ssh-keygen -l": "256 SHA256:... comment (ED25519)".
std::string KeygenFingerprint(const std::string& path, const char* hash) {
    const std::string line =
        RunCommand("ssh-keygen -l -E " + std::string(hash) + " -f " + path + " 2>/dev/null");
    const std::size_t start = line.find(' ') + 1;
    return line.substr(start, line.find(' ', start) - start);
}

class OwnKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallKeyFileLoader();
        PrivateKeyList::Instance().RemoveAll();
    }
    void TearDown() override {
        PrivateKeyList::Instance().RemoveAll();
        PrivateKeyList::SetFileLoader(nullptr);
    }
    std::string MakeKey(const std::string& name, const std::string& options) {
        const std::string path = dir_.File(name);
        RunCommand("ssh-keygen -q " + options + " -C 'my key' -f " + path + " >/dev/null");
        return path;
    }
    testing::TempDir dir_;
};

TEST_F(OwnKeys, AddedKeyFilesShowTheirTypeSizeFingerprintsAndFile) {
    const std::string ed = MakeKey("id_ed25519", "-t ed25519 -a 2 -N 'pass phrase'");
    const std::string ec = MakeKey("id_ecdsa", "-t ecdsa -b 384 -N ''");
    ScriptedUi ui;
    ui.QueueFile(ed);
    ui.QueuePrompt(std::string("wrong"));
    ui.QueuePrompt(std::string("pass phrase"));
    EXPECT_EQ(KeyManagerModel::AddKeyFile(), kKeyLoaded);
    EXPECT_EQ(KeyManagerModel::AddKeyFile(ec), kKeyLoaded);
    EXPECT_EQ(KeyManagerModel::AddKeyFile(ed), kKeyLoaded);  // listed: not asked again
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kPrompt), 2);

    const std::vector<OwnKeyRow> rows = KeyManagerModel::OwnKeys();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].type, "Ed25519");
    EXPECT_EQ(rows[0].bits, 256);
    EXPECT_EQ(rows[0].file, ed);
    EXPECT_EQ(rows[0].comment, "my key");
    EXPECT_EQ(rows[0].sha256, KeygenFingerprint(ed + ".pub", "sha256"));
    EXPECT_EQ(rows[0].md5, KeygenFingerprint(ed + ".pub", "md5"));
    EXPECT_EQ(rows[1].type, "ECDSA");
    EXPECT_EQ(rows[1].bits, 384);
    EXPECT_EQ(rows[1].sha256, KeygenFingerprint(ec + ".pub", "sha256"));

    // Removal asks first; the file stays where it is.
    ui.QueueYesNo(false);
    EXPECT_FALSE(KeyManagerModel::RemoveOwnKey(rows[0]));
    ui.QueueYesNo(true);
    EXPECT_TRUE(KeyManagerModel::RemoveOwnKey(rows[0]));
    EXPECT_EQ(ui.shown().back().text, "Remove the key Ed25519 256 " + rows[0].sha256 + " (" + ed +
                                          ") from the keys used for logging in? Its file is not "
                                          "deleted.");
    ASSERT_EQ(KeyManagerModel::OwnKeys().size(), 1u);
    EXPECT_EQ(KeyManagerModel::OwnKeys()[0].sha256, rows[1].sha256);
}

TEST_F(OwnKeys, ThreeWrongPassphrasesAddNothingAndSaySo) {
    const std::string ed = MakeKey("id_ed25519", "-t ed25519 -a 2 -N 'pass phrase'");
    ScriptedUi ui;
    for (int i = 0; i < 3; ++i)
        ui.QueuePrompt(std::string("wrong"));
    EXPECT_EQ(KeyManagerModel::AddKeyFile(ed), kKeyInvalid);
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kPrompt), 3);
    EXPECT_EQ(ui.shown().back().text,
              "The key file " + ed + " was not added: the passphrase is wrong.");
    EXPECT_TRUE(KeyManagerModel::OwnKeys().empty());
    // A cancelled dialog adds nothing and asks nothing more.
    ui.Clear();
    EXPECT_EQ(KeyManagerModel::AddKeyFile(), kKeyCancelled);
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kPrompt), 0);
}

}  // namespace
}  // namespace tarnwick
