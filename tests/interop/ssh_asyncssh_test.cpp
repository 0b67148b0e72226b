// The SSH2 layer against asyncssh, an independent SSH2 server: blowfish-cbc, zlib compression in
// both directions with megabytes of output arriving intact, and an otp-md5 challenge answered
// with the right six words.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "crypto/sha1.h"
#include "crypto/skey.h"
#include "crypto/test_helpers.h"
#include "interop/ssh_client.h"
#include "support/child_process.h"
#include "support/inetd.h"
#include "support/loopback_peer.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;

class AsyncSshServer : public testing::ReportingServer {
  public:
    AsyncSshServer(const std::string& mode, const std::string& argument)
        : ReportingServer(
              {"/usr/bin/python3",
               std::string(TARNWICK_SOURCE_DIR) + "/tests/interop/ssh_asyncssh_server.py", "0",
               mode, argument}) {}
};

// The line pattern the server writes.
std::string Pattern(std::size_t n) {
    std::string line;
    for (int i = 0; i < 99; ++i)
        line.push_back(static_cast<char>(33 + i % 90));
    line.push_back('\n');
    std::string out;
    while (out.size() + line.size() <= n)
        out += line;
    out += line.substr(0, n - out.size());
    return out;
}

TEST(SshAsyncSsh, BlowfishAndZlibCarryMegabytesBothWays) {
    const std::size_t size = 4 * 1000 * 1000;
    AsyncSshServer server("bulk", std::to_string(size));
    ASSERT_TRUE(server.ok()) << server.Log();
    SshClient client(false);
    client.config.SetNarrow(setting::username, "anyone");
    client.config.SetInt(setting::debug, 1);
    const std::int32_t blowfish = 1;
    client.config.SetList(setting::ssh2_EnabledCiphers, &blowfish, 1);
    ASSERT_TRUE(client.LogIn(server.port(), "secret")) << client.Displayed() << server.Log();
    EXPECT_NE(client.Displayed().find("Using cipher: blowfish-cbc"), std::string::npos);
    EXPECT_NE(client.Displayed().find("Server suggests these compression algorithms:zlib"),
              std::string::npos);
    EXPECT_TRUE(client.ssh->CompressingOutgoing());
    EXPECT_TRUE(client.ssh->DecompressingIncoming());

    ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("BULK-DONE"); }, 60s))
        << client.Output().size() << server.Log();
    std::string output = client.Output();
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    ASSERT_GE(output.size(), size);
    EXPECT_TRUE(output.substr(0, size) == Pattern(size));

    // Input the other way, compressed too: 300 KB that compress well and 20 KB that do not.
    std::string input(300000, 'a');
    std::uint32_t seed = 5;
    for (int i = 0; i < 20000; ++i) {
        seed = seed * 1664525 + 1013904223;
        input.push_back(static_cast<char>('A' + (seed >> 24) % 26));
    }
    ASSERT_EQ(client.Type(input), 0);
    ASSERT_EQ(client.Type("END\n"), 0);
    std::uint8_t digest[20];
    CSHA1::Digest(input.data(), input.size(), digest);
    const std::string expected =
        "GOT " + std::to_string(input.size()) + " " + testing::ToHex(digest, 20);
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText(expected); }, 30s))
        << client.Output().substr(client.Output().size() - 200) << server.Log();
}

TEST(SshAsyncSsh, OtpChallengeIsAnsweredWithTheRightWords) {
    std::uint8_t otp[8];
    ASSERT_TRUE(SkeyCompute(95, "ke1234", "a pass phrase for tests", otp));
    std::string words;
    SkeyToWords(otp, &words);
    std::string argument = words;
    std::replace(argument.begin(), argument.end(), ' ', '_');
    AsyncSshServer server("otp", argument);
    ASSERT_TRUE(server.ok()) << server.Log();
    SshClient client(false);
    client.config.SetNarrow(setting::username, "anyone");
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string("a pass phrase for tests"));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("OTP-LOGIN-OK"); }, 30s))
        << client.Displayed() << server.Log();
    bool asked = false;
    for (const auto& shown : client.ui.shown()) {
        if (shown.kind == ScriptedUi::Kind::kPrompt) {
            asked = shown.text == "Tarnwick detected S/Key. Enter your S/Key passphrase:" &&
                    shown.secret;
        }
    }
    EXPECT_TRUE(asked);
}

}  // namespace
}  // namespace tarnwick
