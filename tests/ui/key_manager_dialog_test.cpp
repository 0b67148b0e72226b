// The "Key Manager" on the offscreen platform with keys in a real registry store: the rows of each
// key type, sorting by a column keeps the selected key selected, and Delete and Export act on the
// key the user sees selected, whatever the order shown; an imported key joins the list.
#include "ui/key_manager_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "core/known_hosts.h"
#include "frontend/key_manager_model.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "ssh/key_files.h"
#include "ssh/private_keys.h"
#include "support/child_process.h"
#include "support/test_util.h"
#include "ui/dialog_driver.h"

namespace tarnwick {
namespace {

using testing::Alt;
using testing::Key;
using testing::When;

class KeyManagerDialogTest : public ::testing::Test {
  protected:
    void SetUp() override { RegistryStore::Instance().Close(); }
    void TearDown() override { RegistryStore::Instance().Close(); }

    static std::string Path() { return CKnownHosts::KeyPath(kSpaceSSH2, "ssh-rsa"); }
    static void Store(const std::string& host, const std::string& blob) {
        ASSERT_TRUE(RegistryStore::Instance().SetBinary(
            Path(), host, std::vector<std::uint8_t>(blob.begin(), blob.end())));
    }
    static std::vector<std::string> StoredHosts() {
        std::vector<std::string> names;
        for (const auto& value : RegistryStore::Instance().Values(Path()))
            names.push_back(value.name);
        std::sort(names.begin(), names.end());
        return names;
    }
    static QStringList Column(QTreeWidget* rows, int column) {
        QStringList texts;
        for (int i = 0; i < rows->topLevelItemCount(); ++i)
            texts << rows->topLevelItem(i)->text(column);
        return texts;
    }

    testing::IsolatedConfig config_;
    ScriptedUi ui_;
    testing::DialogWatchdog watchdog_;
};

TEST_F(KeyManagerDialogTest, RowsSortingDeleteExportAndImport) {
    Store("beta", "key b");
    Store("alpha", "key a");
    Store("gamma", "key g");
    testing::TempDir out;
    const std::string exported = out.File("gamma.pub");
    ui_.QueueYesNo(true);
    ui_.QueueFile(exported);
    ui_.QueueFile(exported);
    ui_.QueuePrompt(std::string("delta"));

    When("Key Manager", [](QWidget* dialog) {
        auto* rows = dialog->findChild<QTreeWidget*>();
        auto* types = dialog->findChild<QComboBox*>();
        QPushButton* remove = nullptr;
        for (auto* button : dialog->findChildren<QPushButton*>()) {
            if (testing::Shown(button->text()) == "Delete") remove = button;
        }
        ASSERT_NE(remove, nullptr);
        // It opens on the SSL keys: none, so nothing to delete.
        EXPECT_EQ(types->currentText(), "SSL");
        EXPECT_EQ(rows->topLevelItemCount(), 0);
        EXPECT_FALSE(remove->isEnabled());

        testing::Mnemonic(dialog, "Key type:");
        Key(Qt::Key_Home);
        while (types->currentText() != "SSH2 RSA" && types->currentIndex() + 1 < types->count())
            Key(Qt::Key_Down);
        ASSERT_EQ(rows->topLevelItemCount(), 3);
        EXPECT_TRUE(remove->isEnabled());
        const std::string blob = "key g";
        const int gamma = static_cast<int>(Column(rows, 0).indexOf("gamma"));
        ASSERT_GE(gamma, 0);
        EXPECT_EQ(rows->topLevelItem(gamma)->text(1).toStdString(),
                  Fingerprint(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()));

        // Sorting by host name, then again reversed; "beta" stays the selected key.
        rows->setFocus();
        rows->setCurrentItem(rows->topLevelItem(static_cast<int>(Column(rows, 0).indexOf("beta"))));
        emit rows->header()->sectionClicked(0);
        EXPECT_EQ(Column(rows, 0), (QStringList{"alpha", "beta", "gamma"}));
        emit rows->header()->sectionClicked(0);
        EXPECT_EQ(Column(rows, 0), (QStringList{"gamma", "beta", "alpha"}));
        EXPECT_EQ(rows->currentItem()->text(0), "beta");

        // The Delete key removes the selected key after the question; the next row is selected.
        rows->setFocus();
        Key(Qt::Key_Delete);
        EXPECT_EQ(Column(rows, 0), (QStringList{"gamma", "alpha"}));
        Key(Qt::Key_Home);
        Alt('e');  // "&Export"
        Alt('i');  // "&Import": the exported file, under another name, in its sorted place
        EXPECT_EQ(Column(rows, 0), (QStringList{"gamma", "delta", "alpha"}));
        Key(Qt::Key_Return);  // "&Done"
    });
    RunHostKeyManager(nullptr);
    EXPECT_EQ(ui_.shown().front().text, "Are you sure you want to delete the key for 'beta'?");
    EXPECT_EQ(StoredHosts(), (std::vector<std::string>{"alpha", "delta", "gamma"}));
    EXPECT_EQ(testing::ReadFile(exported), "key g");
}

// The user's own keys: a key file added through the dialog is listed with the fingerprint
// ssh-keygen gives it, and Remove Key takes it off the list after asking.
TEST_F(KeyManagerDialogTest, OwnKeysAreAddedFromAFileAndRemoved) {
    testing::TempDir keys;
    const std::string file = keys.File("id_ed25519");
    ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -C lab -f '" + file + "'").c_str()), 0);
    const std::string listed = testing::RunCommand("ssh-keygen -l -E sha256 -f '" + file + "'");
    const std::string fingerprint = listed.substr(
        listed.find(' ') + 1, listed.find(' ', listed.find(' ') + 1) - listed.find(' ') - 1);
    InstallKeyFileLoader();
    PrivateKeyList::Instance().RemoveAll();
    ui_.QueueFile(file);
    ui_.QueueYesNo(true);

    When("Key Manager", [&](QWidget* dialog) {
        auto* own = dialog->findChild<QTreeWidget*>(QStringLiteral("own_keys"));
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->topLevelItemCount(), 0);
        testing::Mnemonic(dialog, "Add Key File...");
        ASSERT_EQ(own->topLevelItemCount(), 1);
        EXPECT_EQ(own->topLevelItem(0)->text(0), "Ed25519");
        EXPECT_EQ(own->topLevelItem(0)->text(2).toStdString(), fingerprint);
        EXPECT_EQ(own->topLevelItem(0)->text(3).toStdString(), file);
        testing::Mnemonic(dialog, "Remove Key");
        EXPECT_EQ(own->topLevelItemCount(), 0);
        Key(Qt::Key_Escape);
    });
    RunHostKeyManager(nullptr);
    EXPECT_EQ(PrivateKeyList::Instance().Count(), 0u);
    PrivateKeyList::SetFileLoader(nullptr);
}
}  // namespace
}  // namespace tarnwick
