// SCP: the header reader and name rules, quoting checked by a real shell, the sink against a
// hostile server (nothing written outside the chosen folder, no partial file, each refusal
// explained), the source's order of header, content and status, and both over a channel of the
// in-memory server beside the terminal's, with the channel window holding back an upload.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "ssh/scp_channel.h"
#include "ssh/scp_header.h"
#include "ssh/scp_transfer.h"
#include "ssh/ssh_test_harness.h"
#include "support/child_process.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;
using testing::Byte;
using testing::SshHarness;
using testing::Str;
using testing::TempDir;
using testing::TestServer;
using testing::U32;

// Every path under a folder, relative to it.
std::set<std::string> Tree(const std::string& folder) {
    std::set<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        paths.insert(std::filesystem::relative(entry.path(), folder).string());
    return paths;
}

TEST(ScpHeader, FileLinesAreReadWholeAndSizesArePlainDecimals) {
    ScpFileHeader header;
    ASSERT_EQ(ParseScpFileHeader("0644 12 name with  spaces ", &header), nullptr);
    EXPECT_EQ(header.mode, 0644u);
    EXPECT_EQ(header.size, 12u);
    EXPECT_EQ(header.name, "name with  spaces ");
    ASSERT_EQ(ParseScpFileHeader("0755 9223372036854775807 x", &header), nullptr);
    EXPECT_EQ(header.size, 9223372036854775807ull);
    for (const char* bad :
         {"0644 9223372036854775808 x", "0644 18446744073709551616 x", "0644 -1 x", "0644 +5 x",
          "0644  5 x", "0644 0x10 x", "0644 1e3 x", "0644 5", "0648 5 x", "644 5 x", "0644 x"}) {
        EXPECT_NE(ParseScpFileHeader(bad, &header), nullptr) << bad;
    }
}

TEST(ScpHeader, OnlyPlainNamesAreAccepted) {
    for (const char* good : {"report.txt", "my report 2024.txt", "..hidden", "caf\xc3\xa9"})
        EXPECT_EQ(ScpNameProblem(good), nullptr) << good;
    for (const std::string& bad : std::vector<std::string>{
             "", ".", "..", "../x", "/tmp/x", "x/", "a\rb", std::string("a\0b", 3), "a\x1b[2Jb",
             "a\x7f", std::string(256, 'n')}) {
        EXPECT_NE(ScpNameProblem(bad), nullptr) << bad;
    }
    EXPECT_EQ(RemoteBaseName("dir/sub/report.txt"), "report.txt");
    EXPECT_EQ(RemoteBaseName("/srv/dir//"), "dir");
    EXPECT_EQ(RemoteBaseName("my file"), "my file");
    for (const char* none : {"", "/", ".", "dir/..", "~", "~bob", "~/"})
        EXPECT_EQ(RemoteBaseName(none), "") << none;
}

TEST(ScpHeader, ALineEndsAtItsLineFeedAndIsBounded) {
    ScpLineReader reader;
    const std::string bytes = "C0644 3 a b\nxyz";
    std::size_t used = 0;
    ASSERT_EQ(reader.Add(reinterpret_cast<const std::uint8_t*>(bytes.data()), 5, &used),
              ScpLineReader::Result::kNeedMore);
    std::size_t more = 0;
    ASSERT_EQ(reader.Add(reinterpret_cast<const std::uint8_t*>(bytes.data()) + used,
                         bytes.size() - used, &more),
              ScpLineReader::Result::kLine);
    EXPECT_EQ(reader.line(), "C0644 3 a b");
    EXPECT_EQ(used + more, bytes.size() - 3);  // "xyz" is left for the file
    reader.Reset();
    const std::string endless(ScpLineReader::kMaxLine + 1, 'C');
    EXPECT_EQ(
        reader.Add(reinterpret_cast<const std::uint8_t*>(endless.data()), endless.size(), &used),
        ScpLineReader::Result::kTooLong);
}

// The remote shell is asked to print each quoted path back: it must come back unchanged, with no
// command run and no word split, and "~/" still reaching the home folder.
TEST(ScpHeader, QuotedPathsReachTheRemoteCommandAsOneWord) {
    TempDir dir;
    const std::string marker = dir.File("ran");
    for (const std::string& path : std::vector<std::string>{
             "my file.txt", "it's here", "$(touch " + marker + ")", "`touch " + marker + "`",
             "a;touch " + marker, "*", "back\\slash", "\"quoted\"", "tab\there", "new\nline"}) {
        const std::string command = "printf '%s|' " + QuoteForRemoteShell(path);
        EXPECT_EQ(testing::RunCommand("/bin/sh -c " + QuoteForRemoteShell(command)), path + "|")
            << path;
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(QuoteForRemoteShell("-rf"), "'./-rf'");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    EXPECT_EQ(testing::RunCommand("/bin/sh -c " +
                                  QuoteForRemoteShell("printf %s " + QuoteForRemoteShell("~/a b"))),
              home + "/a b");
}

// The server's side of a download: what the sink sends back, and what it tells the user.
class FakePeer : public ScpPeer {
  public:
    void ToServer(std::string_view bytes) override { to_server.append(bytes); }
    void Say(std::string_view line) override { said.append(line); }
    bool AskReplace(const std::string& path) override {
        asked.push_back(path);
        return replace;
    }
    std::string to_server;
    std::string said;
    std::vector<std::string> asked;
    bool replace = false;
};

void Feed(ScpSink& sink, const std::string& bytes, bool byte_by_byte = false) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    if (!byte_by_byte) return sink.Feed(data, bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
        sink.Feed(data + i, 1);
}

TEST(ScpSink, DataInTheHeadersPacketIsTheFilesAndItIsSavedOnlyWhenComplete) {
    for (bool byte_by_byte : {false, true}) {
        TempDir dir;
        FakePeer peer;
        ScpSink sink(peer, {dir.path(), "", "report 1.txt", false});
        sink.Start();
        // Content that looks like a header is still content.
        const std::string content = "C0644 9 x\nD\n\x01\x02";
        Feed(sink, "C0644 " + std::to_string(content.size()) + " report 1.txt\n" + content,
             byte_by_byte);
        EXPECT_EQ(sink.state(), ScpSink::State::kWaitStatus);
        // Nothing under the final name until the server's status octet has come.
        EXPECT_FALSE(std::filesystem::exists(dir.File("report 1.txt")));
        Feed(sink, std::string(1, '\0'), byte_by_byte);
        EXPECT_EQ(sink.state(), ScpSink::State::kDone);
        EXPECT_EQ(testing::ReadFile(dir.File("report 1.txt")), content);
        EXPECT_EQ(Tree(dir.path()), std::set<std::string>{"report 1.txt"});
        EXPECT_EQ(peer.to_server, std::string(3, '\0'));
        EXPECT_EQ(peer.said, "<< SCP receiving file report 1.txt\r\n<< SCP receive complete\r\n");
    }
}

// A hostile server tries to write outside the folder, leave a partial file, or send more than was
// asked for: each attempt is refused with its message and leaves the folders as they were.
TEST(ScpSink, AHostileServerWritesNothingOutsideTheChosenFolderAndLeavesNoPartialFile) {
    TempDir root;
    const std::string chosen = root.File("chosen");
    std::filesystem::create_directories(chosen);
    testing::WriteFile(chosen + "/keep.txt", "mine");
    struct Case {
        std::string bytes;
        std::string message;
    } cases[] = {
        // Paths, "." and "..", a line feed in the name, a short file, a second file and a folder
        // are refused the same way by the hostile-scp interop test against sshd.
        {"C0644 4 a\rb\nevil\0"s, "refused the file name \"a?b\": it contains control"},
        {"T1 0 1 0\nC0644 4 t\nevil\0"s, "received illegal command"},
        {"C0644 -4 neg\n"s, "its size is not a plain decimal number up to 2^63 - 1"},
        {"C0644 4 f\nABCD\x01scp: f: read error\n"s, "the server could not send the whole file"},
        {std::string(ScpLineReader::kMaxLine + 10, 'C'), "header line longer than"},
        {"\x02scp: nothing: No such file or directory\n"s, "scp: nothing: No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        FakePeer peer;
        {
            ScpSink sink(peer, {chosen, "", "", false});
            Feed(sink, c.bytes);
            EXPECT_NE(peer.said.find(c.message), std::string::npos) << peer.said;
            EXPECT_TRUE(sink.state() == ScpSink::State::kFailed) << static_cast<int>(sink.state());
        }
        EXPECT_EQ(Tree(root.path()), (std::set<std::string>{"chosen", "chosen/keep.txt"}));
    }
}

TEST(ScpSink, AnExistingFileIsReplacedOnlyWhenTheUserAgrees) {
    TempDir dir;
    testing::WriteFile(dir.File("a.txt"), "old");
    const std::string header = std::string("C0644 3 a.txt\nnew") + '\0';
    {
        FakePeer peer;
        ScpSink sink(peer, {dir.path(), "", "a.txt", false});
        Feed(sink, header);
        EXPECT_EQ(peer.asked, std::vector<std::string>{dir.File("a.txt")});
        EXPECT_NE(peer.said.find("<< SCP kept the existing file " + dir.File("a.txt")),
                  std::string::npos);
        EXPECT_EQ(testing::ReadFile(dir.File("a.txt")), "old");
    }
    {
        FakePeer peer;
        peer.replace = true;
        ScpSink sink(peer, {dir.path(), "", "a.txt", false});
        Feed(sink, header);
        EXPECT_EQ(testing::ReadFile(dir.File("a.txt")), "new");
    }
    {
        // The save dialog asked already.
        FakePeer peer;
        ScpSink sink(peer, {dir.path(), "a.txt", "a.txt", true});
        Feed(sink, std::string("C0644 3 a.txt\nnow") + '\0');
        EXPECT_TRUE(peer.asked.empty());
        EXPECT_EQ(testing::ReadFile(dir.File("a.txt")), "now");
    }
    {
        // A file that appears while the copy runs is not replaced either.
        FakePeer peer;
        ScpSink sink(peer, {dir.path(), "", "b.txt", false});
        Feed(sink, "C0644 3 b.txt\nbbb");
        testing::WriteFile(dir.File("b.txt"), "theirs");
        Feed(sink, std::string(1, '\0'));
        EXPECT_EQ(peer.asked.size(), 1u);
        EXPECT_EQ(testing::ReadFile(dir.File("b.txt")), "theirs");
        EXPECT_EQ(Tree(dir.path()), (std::set<std::string>{"a.txt", "b.txt"}));
    }
}

// The order of header, content and status octet is carried to sshd's scp by the interop uploads
// and checked over a channel below; here the ways an upload fails.
TEST(ScpSource, AShrinkingFileARefusedHeaderAndAFolderEndTheUploadWithTheirWords) {
    TempDir dir;
    const std::string path = dir.File("my report.txt");
    testing::WriteFile(path, "0123456789");
    char buffer[4];

    // A file that shrinks meanwhile keeps the size announced and says so instead of "all well".
    FakePeer shrink_peer;
    ScpSource shrinking(shrink_peer, path);
    ASSERT_TRUE(shrinking.Prepare());
    shrinking.Feed(reinterpret_cast<const std::uint8_t*>("\0\0"), 2);
    std::filesystem::resize_file(path, 4);
    std::string padded;
    for (long n; (n = shrinking.NextContent(buffer, sizeof buffer)) > 0;)
        padded.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(padded, "0123"s + std::string(6, '\0'));
    EXPECT_EQ(shrinking.ContentSent(), "\x01scp: my report.txt: file changed size\n");
    shrinking.Feed(reinterpret_cast<const std::uint8_t*>("\0"), 1);
    EXPECT_EQ(shrinking.state(), ScpSource::State::kFailed);
    EXPECT_NE(shrink_peer.said.find("changed size while it was sent"), std::string::npos);

    // A sink that refuses the header gets no content, and its words are shown.
    FakePeer refused_peer;
    ScpSource refused(refused_peer, path);
    ASSERT_TRUE(refused.Prepare());
    const std::string replies =
        std::string(1, '\0') + "\x01scp: ./my report.txt: Permission denied\n";
    refused.Feed(reinterpret_cast<const std::uint8_t*>(replies.data()), replies.size());
    EXPECT_EQ(refused.state(), ScpSource::State::kFailed);
    EXPECT_EQ(refused_peer.said.substr(refused_peer.said.find("scp: ")),
              "scp: ./my report.txt: Permission denied\r\n>> SCP upload failed\r\n");

    FakePeer folder_peer;
    ScpSource folder(folder_peer, dir.path());
    EXPECT_FALSE(folder.Prepare());
    EXPECT_NE(folder_peer.said.find("is not a regular file; aborting"), std::string::npos);
}

// ---- Over a channel of the in-memory server ----

// Octets this process has read with read(2) and its kind so far.
std::uint64_t ReadBytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return 0;
}

constexpr std::uint32_t kScpServerChannel = TestServer::kSessionChannel + 1;

// The command the server was asked to run on the SCP channel ("" until then).
std::string ExecCommand(SshHarness& h) {
    for (const std::string& request : h.server.ReceivedOfType(kMsgChannelRequest)) {
        if (testing::U32At(request, 1) != kScpServerChannel) continue;
        return request.substr(1 + 4 + 8 + 1 + 4);  // recipient, "exec", want reply, length
    }
    return "";
}

TEST(ScpChannel, ADownloadRunsBesideTheTerminalAndEndsItsOwnChannelOnly) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    TempDir dir;
    ScpRequest request;
    request.remote_path = "dir/it's.txt";
    request.folder = dir.path();
    ASSERT_EQ(h.ssh->StartScp(request), 0);
    ASSERT_TRUE(h.RunUntil([&] { return h.server.channel_data(kScpServerChannel).size() == 1; }));
    EXPECT_EQ(ExecCommand(h), "scp -f 'dir/it'\\''s.txt'");
    const std::uint32_t client = 2;
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str("C0640 5 it's.txt\nhello"));
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str(std::string(1, '\0')));
    ASSERT_TRUE(h.RunUntil([&] { return h.Showed("<< SCP receive complete\r\n"); })) << h.Shown();
    EXPECT_EQ(testing::ReadFile(dir.File("it's.txt")), "hello");
    ASSERT_TRUE(h.RunUntil([&] { return h.server.ReceivedOfType(kMsgChannelEof).size() == 1; }));
    EXPECT_EQ(h.server.channel_data(kScpServerChannel), std::string(3, '\0'));
    EXPECT_TRUE(h.ui.LastProgress()->closed);
    h.server.Send(Byte(kMsgChannelEof) + U32(client));
    h.server.Send(Byte(kMsgChannelClose) + U32(client));
    h.Settle(3);
    EXPECT_EQ(h.ssh->ChannelCount(), 0u);
    EXPECT_EQ(h.ssh->IsConnected(), 1);
    ASSERT_EQ(h.Type("ls\r"), 0);
    h.Settle(3);
    EXPECT_EQ(h.server.channel_data(TestServer::kSessionChannel), "ls\r");
}

TEST(ScpChannel, AnUploadIsReadOnlyAsFastAsTheServersWindowTakesIt) {
    TestServer::Options options;
    options.channel_window = 64 * 1024;
    SshHarness h(options);
    ASSERT_TRUE(h.LogIn());
    TempDir dir;
    const std::string path = dir.File("big.bin");
    std::string content(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 7919) >> 5);
    testing::WriteFile(path, content);
    const std::uint64_t read_before = ReadBytes();
    ASSERT_EQ(h.ssh->FileTransfer(kScpSendCommand, path.c_str()), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !ExecCommand(h).empty(); }));
    EXPECT_EQ(ExecCommand(h), "scp -t .");
    const std::uint32_t client = 2;
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str(std::string(1, '\0')));
    ASSERT_TRUE(h.RunUntil([&] { return h.server.channel_data(kScpServerChannel).size() > 0; }));
    EXPECT_EQ(h.server.channel_data(kScpServerChannel), "C0644 4194304 big.bin\n");
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str(std::string(1, '\0')));
    // The window fills; the thread then waits instead of reading the file into memory.
    const std::size_t header = std::string("C0644 4194304 big.bin\n").size();
    ASSERT_TRUE(h.RunUntil(
        [&] { return h.server.channel_data(kScpServerChannel).size() == options.channel_window; }));
    h.Settle(20);
    EXPECT_EQ(h.server.channel_data(kScpServerChannel).size(), options.channel_window);
    // What was read from disk is what the window took and a little more: not the whole file.
    EXPECT_LT(ReadBytes() - read_before, 1024u * 1024u);
    // Then the window opens and the rest flows, followed by the zero status octet.
    for (std::size_t sent = options.channel_window; sent < content.size() + header + 1;
         sent += 1024 * 1024) {
        h.server.Send(Byte(kMsgChannelWindowAdjust) + U32(client) + U32(1024 * 1024));
        ASSERT_TRUE(h.RunUntil([&] {
            return h.server.channel_data(kScpServerChannel).size() >=
                   std::min(sent + 1024 * 1024, content.size() + header + 1);
        }));
    }
    EXPECT_EQ(h.server.channel_data(kScpServerChannel), "C0644 4194304 big.bin\n" + content + '\0');
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str(std::string(1, '\0')));
    ASSERT_TRUE(h.RunUntil([&] { return h.Showed(">> SCP upload complete\r\n"); })) << h.Shown();
    EXPECT_TRUE(h.Showed(">> SCP client done send; waiting for server\r\n>> SCP upload complete"));
    ASSERT_TRUE(h.RunUntil([&] { return h.server.ReceivedOfType(kMsgChannelEof).size() == 1; }));
}

TEST(ScpChannel, CancellingADownloadClosesItsChannelAndRemovesThePart) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    TempDir dir;
    ScpRequest request;
    request.remote_path = "f.bin";
    request.folder = dir.path();
    ASSERT_EQ(h.ssh->StartScp(request), 0);
    EXPECT_EQ(h.ssh->StartScp(request), status::kAlreadyOpen);  // one copy at a time
    ASSERT_TRUE(h.RunUntil([&] { return h.server.channel_data(kScpServerChannel).size() == 1; }));
    const std::uint32_t client = 2;
    h.server.Send(Byte(kMsgChannelData) + U32(client) + Str("C0644 100 f.bin\n0123456789"));
    ASSERT_TRUE(h.RunUntil([&] { return h.Showed("<< SCP receiving file f.bin\r\n"); }));
    EXPECT_EQ(Tree(dir.path()).size(), 1u);  // the part being written
    h.ui.LastProgress()->cancel = true;
    ASSERT_TRUE(h.RunUntil([&] {
        return h.Showed("<< SCP transfer cancelled; nothing was saved");
    })) << h.Shown();
    EXPECT_TRUE(Tree(dir.path()).empty());
    ASSERT_TRUE(h.RunUntil([&] { return h.server.ReceivedOfType(kMsgChannelClose).size() == 1; }));
    EXPECT_EQ(h.ssh->IsConnected(), 1);
    // The next copy may start while the server has not closed the cancelled one yet.
    ASSERT_EQ(h.ssh->StartScp(request), 0);
    ASSERT_TRUE(
        h.RunUntil([&] { return h.server.channel_data(kScpServerChannel + 1).size() == 1; }));
    h.server.Send(Byte(kMsgChannelData) + U32(3) + Str("C0644 100 f.bin\n0123456789"));
    ASSERT_TRUE(h.RunUntil([&] { return Tree(dir.path()).size() == 1; }));
    // The session closing mid-copy takes the part with it at once.
    h.ssh->Close();
    EXPECT_TRUE(Tree(dir.path()).empty());
}

}  // namespace
}  // namespace tarnwick
