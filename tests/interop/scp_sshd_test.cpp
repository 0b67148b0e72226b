// SCP against OpenSSH's own scp behind the test sshd: files of 0, 1, 2047, 2048, 2049 octets and
// of 50 MB go up and come back, compared by hash, all with spaces in their names; and a hostile
// server's "scp -f" writes nothing outside the chosen folder.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "interop/ssh_client.h"
#include "interop/ssh_sshd.h"
#include "ssh/scp_channel.h"
#include "support/child_process.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdServer;

std::string TestHome() {
    const passwd* entry = getpwnam(testing::kTestUser);
    return entry != nullptr ? entry->pw_dir : "";
}

std::string Sha256(const std::string& path) {
    const std::string line = testing::RunCommand("sha256sum < " + QuoteForRemoteShell(path));
    return line.substr(0, 64);
}

void WriteRandomFile(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 16, '\0');
    for (std::size_t written = 0; written < size;) {
        for (std::size_t i = 0; i < block.size(); i += 8) {
            const std::uint64_t r = random();
            std::memcpy(block.data() + i, &r, 8);
        }
        const std::size_t n = std::min(block.size(), size - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
        written += n;
    }
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A logged-in session whose SCP copies are driven one after the other.
class ScpSession {
  public:
    explicit ScpSession(int port) : client_(false) { connected_ = client_.LogIn(port); }
    bool connected() const { return connected_; }
    std::string Shown() const { return client_.Displayed(); }

    // Sends a local file into the test account's home folder; true when the server confirmed.
    bool Upload(const std::string& path, std::chrono::seconds limit) {
        const std::size_t before = Count(Shown(), ">> SCP upload complete\r\n");
        if (client_.ssh->FileTransfer(kScpSendCommand, path.c_str()) != 0) return false;
        return client_.RunUntil(
            [&] { return Count(Shown(), ">> SCP upload complete\r\n") > before; }, limit);
    }
    // Fetches a file of the home folder into folder; true when it was saved.
    bool Download(const std::string& remote, const std::string& folder, std::chrono::seconds limit,
                  const std::string& done = "<< SCP receive complete") {
        const std::size_t before = Count(Shown(), done);
        ScpRequest request;
        request.remote_path = remote;
        request.folder = folder;
        if (client_.ssh->StartScp(request) != 0) return false;
        return client_.RunUntil([&] { return Count(Shown(), done) > before; }, limit);
    }

  private:
    SshClient client_;
    bool connected_ = false;
};

class ScpSshd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::EnsureTestAccount());
        home_ = TestHome();
        ASSERT_FALSE(home_.empty());
    }
    void TearDown() override {
        for (const std::string& name : remote_files_)
            std::filesystem::remove(home_ + "/" + name);
    }
    // A name of this test process's own, with spaces, in the shared home folder.
    std::string RemoteName(const std::string& what) {
        remote_files_.push_back("tw scp " + std::to_string(getpid()) + " " + what + ".bin");
        return remote_files_.back();
    }

    std::string home_;
    std::vector<std::string> remote_files_;
};

TEST_F(ScpSshd, FilesOfEverySizeGoUpAndComeBackWhole) {
    SshdServer server("PrintMotd no\nPrintLastLog no");
    ASSERT_TRUE(server.ok()) << server.error();
    ScpSession session(server.port());
    ASSERT_TRUE(session.connected()) << session.Shown() << server.Log();
    testing::TempDir local, received;
    for (std::size_t size : {0, 1, 2047, 2048, 2049, 50 * 1000 * 1000}) {
        SCOPED_TRACE(size);
        const auto limit = size > 1000000 ? 120s : 20s;
        const std::string name = RemoteName(std::to_string(size));
        const std::string path = local.File(name);
        WriteRandomFile(path, size, static_cast<unsigned>(size));
        ASSERT_TRUE(session.Upload(path, limit)) << session.Shown() << server.Log();
        EXPECT_EQ(std::filesystem::file_size(home_ + "/" + name), size);
        EXPECT_EQ(Sha256(home_ + "/" + name), Sha256(path));
        ASSERT_TRUE(session.Download(name, received.path(), limit)) << session.Shown();
        EXPECT_EQ(Sha256(received.File(name)), Sha256(path));
    }
    // Only the files themselves: no temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(received.path()),
                            std::filesystem::directory_iterator()),
              6);
    // A file the server does not have: its scp says so, and nothing is saved.
    ASSERT_TRUE(session.Download("tw scp no such file", received.path(), 20s,
                                 "tw scp no such file: No such file or directory"))
        << session.Shown();
    EXPECT_FALSE(std::filesystem::exists(received.File("tw scp no such file")));
}

// The server's scp is replaced by a hostile one whose answer depends on the file asked for: a path
// instead of a name, "." and "..", a name with a line feed, a size beyond the data, a second file,
// a folder. Each copy is refused with its message, and nothing lands outside the chosen folder or
// stays behind half written.
TEST_F(ScpSshd, AHostileServerWritesNothingOutsideTheChosenFolder) {
    testing::TempDir scripts, root;
    chmod(scripts.path().c_str(), 0755);
    const std::string chosen = root.File("chosen");
    const std::string outside = root.File("x");
    std::filesystem::create_directories(chosen);
    const std::string script = scripts.File("hostile-scp");
    // Each answer follows the client's first zero octet; the script then waits for one more
    // octet so that the answer is read before the channel closes.
    testing::WriteFile(script,
                       "#!/bin/sh\n"
                       "case \"$SSH_ORIGINAL_COMMAND\" in\n"
                       "'') exec /bin/sh ;;\n"
                       "esac\n"
                       "head -c 1 >/dev/null\n"
                       "case \"$SSH_ORIGINAL_COMMAND\" in\n"
                       "*up*) printf 'C0644 4 ../x\\nevil\\000' ;;\n"
                       "*absolute*) printf 'C0644 4 " +
                           outside +
                           "\\nevil\\000' ;;\n"
                           "*dot*) printf 'C0644 4 .\\nevil\\000' ;;\n"
                           "*parent*) printf 'C0644 4 ..\\nevil\\000' ;;\n"
                           "*newline*) printf 'C0644 12 newline\\n.txt\\nevil\\000' ;;\n"
                           "*short*) printf 'C0644 100 short\\nonly a part' ; exit 0 ;;\n"
                           "*twice*) printf 'C0644 1 twice\\nA\\000C0644 4 second\\nevil\\000' ;;\n"
                           "*folder*) printf 'D0755 0 folder\\nC0644 4 in\\nevil\\000E\\n' ;;\n"
                           "esac\n"
                           "head -c 1 >/dev/null\n");
    chmod(script.c_str(), 0755);
    SshdServer server("PrintMotd no\nPrintLastLog no\nForceCommand " + script);
    ASSERT_TRUE(server.ok()) << server.error();
    ScpSession session(server.port());
    ASSERT_TRUE(session.connected()) << session.Shown() << server.Log();
    const struct {
        const char* remote;
        std::string message;
    } cases[] = {
        {"up", "<< SCP refused the file name \"../x\": it is not a plain name\r\n"},
        {"absolute",
         "<< SCP refused the file name \"" + outside + "\": it is not a plain name\r\n"},
        {"dot", "<< SCP refused the file name \".\": \".\" and \"..\" are not file names\r\n"},
        {"parent", "<< SCP refused the file name \"..\": \".\" and \"..\" are not file names\r\n"},
        {"newline.txt",
         "<< SCP refused the file name \"newline\": \"newline.txt\" was asked for\r\n"},
        {"short", "<< SCP the transfer ended before the file was complete; nothing was saved\r\n"},
        {"twice", "<< SCP refused a second file: one file was asked for\r\n"},
        {"folder", "<< SCP received illegal command\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote);
        ASSERT_TRUE(session.Download(c.remote, chosen, 20s, c.message)) << session.Shown();
    }
    // Only the one whole file asked for, before the second one was refused.
    std::set<std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path()))
        tree.insert(std::filesystem::relative(entry.path(), root.path()).string());
    EXPECT_EQ(tree, (std::set<std::string>{"chosen", "chosen/twice"}));
    EXPECT_EQ(testing::ReadFile(chosen + "/twice"), "A");
}

}  // namespace
}  // namespace tarnwick
