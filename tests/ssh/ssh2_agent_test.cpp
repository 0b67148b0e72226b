// The forwarded agent's protocol: what a hostile or ordinary server's requests get, with the
// user's answers scripted. Keys come from ssh-keygen files through our loader.
#include "ssh/ssh2_agent.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "core/known_hosts.h"
#include "crypto/wire.h"
#include "platform/scripted_ui.h"
#include "ssh/key_files.h"
#include "ssh/private_keys.h"
#include "ssh/ssh2_kex.h"
#include "ssh/ssh_test_harness.h"
#include "support/child_process.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

constexpr int kAllowOnce = 0, kAllowSession = 1, kRefuse = 2;

std::string Message(const std::string& body) {
    std::string framed;
    WireWriter(framed).String(body);
    return framed;
}

std::string SignRequest(const std::string& blob, const std::string& data, std::uint32_t flags) {
    std::string body(1, static_cast<char>(agent::kSignRequest));
    WireWriter(body).String(blob).String(data).Uint32(flags);
    return Message(body);
}

// The replies of one Feed, unframed.
std::vector<std::string> Replies(const std::string& framed) {
    std::vector<std::string> out;
    WireReader in(framed);
    while (in.left() > 0) {
        out.emplace_back(in.String());
        EXPECT_FALSE(in.failed());
    }
    return out;
}

class Agent : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testing::TempDir();
        for (const char* options : {"-t rsa -b 2048", "-t ed25519", "-t ecdsa -b 384"}) {
            const std::string path = dir_->File("key" + std::to_string(keys_.size()));
            testing::RunCommand(std::string("ssh-keygen -q -N '' -C agent-key ") + options +
                                " -f " + path);
            PrivateKey key;
            std::string why;
            EXPECT_EQ(ParseKeyFile(testing::ReadFile(path), nullptr, &key, &why), kKeyLoaded)
                << why;
            keys_.push_back(key);
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        keys_.clear();
    }
    void SetUp() override {
        unsetenv("SSH_AUTH_SOCK");  // only the keys of this test
        PrivateKeyList::Instance().RemoveAll();
        for (const PrivateKey& key : keys_)
            PrivateKeyList::Instance().AddFromAgent(key);
    }
    void TearDown() override { PrivateKeyList::Instance().RemoveAll(); }

    static testing::TempDir* dir_;
    static std::vector<PrivateKey> keys_;
    ScriptedUi ui_;
    AgentProtocol agent_{"server.example"};
};

testing::TempDir* Agent::dir_ = nullptr;
std::vector<PrivateKey> Agent::keys_;

TEST_F(Agent, ListsTheKeysAndAnswersSplitAndJoinedRequestsInOrder) {
    const std::string list = Message(std::string(1, static_cast<char>(agent::kRequestIdentities)));
    std::string replies;
    ASSERT_TRUE(agent_.Feed(list.substr(0, 3), &replies));
    EXPECT_TRUE(replies.empty());
    ASSERT_TRUE(agent_.Feed(list.substr(3) + Message("\x01") + Message("\x08"), &replies));
    const std::vector<std::string> answers = Replies(replies);
    ASSERT_EQ(answers.size(), 3u);
    WireReader in(answers[0]);
    EXPECT_EQ(in.Byte(), agent::kIdentitiesAnswer);
    ASSERT_EQ(in.Uint32(), 3u);
    for (const PrivateKey& key : keys_) {
        EXPECT_EQ(in.String(), key.PublicBlob());
        EXPECT_EQ(in.String(), "agent-key");
    }
    EXPECT_TRUE(in.done());
    EXPECT_EQ(answers[1], std::string("\x02\0\0\0\0", 5));  // no protocol-1 keys
    EXPECT_EQ(answers[2], "\x06");
    EXPECT_EQ(ui_.shown().size(), 0u);  // listing asks nothing
}

// Each key signs as the flags ask, every signature is asked for, and the signatures verify.
TEST_F(Agent, SignsWithEveryKeyTypeAndTheRsaFlagsAfterAsking) {
    struct Case {
        std::size_t key;
        std::uint32_t flags;
        const char* algorithm;
    };
    const Case cases[] = {
        {0, 0, "ssh-rsa"},
        {0, agent::kFlagRsaSha256, "rsa-sha2-256"},
        {0, agent::kFlagRsaSha512, "rsa-sha2-512"},
        {1, 0, "ssh-ed25519"},
        {2, 0, "ecdsa-sha2-nistp384"},
    };
    const std::string data = "session id and request to sign";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.algorithm);
        ui_.QueueChoice(kAllowOnce);
        const std::string blob = keys_[c.key].PublicBlob();
        std::string replies;
        ASSERT_TRUE(agent_.Feed(SignRequest(blob, data, c.flags), &replies));
        const std::vector<std::string> answers = Replies(replies);
        ASSERT_EQ(answers.size(), 1u);
        WireReader in(answers[0]);
        ASSERT_EQ(in.Byte(), agent::kSignResponse);
        const std::string_view signature = in.String();
        EXPECT_TRUE(in.done());
        EXPECT_EQ(WireReader(signature).String(), c.algorithm);
        EXPECT_TRUE(VerifyHostKeySignature(c.algorithm, blob, signature,
                                           reinterpret_cast<const std::uint8_t*>(data.data()),
                                           data.size(), false));
    }
    const std::vector<ScriptedUi::Shown> shown = ui_.shown();
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[3].caption, "Agent Forwarding");
    const std::string blob = keys_[1].PublicBlob();
    EXPECT_EQ(
        shown[3].text,
        "The server server.example asks to sign with your key ssh-ed25519 " +
            FingerprintSha256(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size()) +
            " (agent-key). Allow it only if you started something there that logs in "
            "elsewhere with your keys. [Allow once / Allow for this session / Refuse]");
}

TEST_F(Agent, RefusalsAndTheSessionWideAllowance) {
    const std::string blob = keys_[1].PublicBlob();
    std::string replies;
    ui_.QueueChoice(kRefuse);
    ASSERT_TRUE(agent_.Feed(SignRequest(blob, "x", 0), &replies));
    ui_.QueueChoice(-1);  // dismissed
    ASSERT_TRUE(agent_.Feed(SignRequest(blob, "x", 0), &replies));
    ui_.QueueChoice(kAllowSession);
    ASSERT_TRUE(agent_.Feed(SignRequest(blob, "x", 0), &replies));
    ASSERT_TRUE(agent_.Feed(SignRequest(blob, "y", 0), &replies));  // not asked again
    // Another key is asked about on its own; an unknown one is refused without a question.
    ASSERT_TRUE(agent_.Feed(SignRequest(keys_[2].PublicBlob(), "z", 0), &replies));
    std::string unknown;
    WireWriter(unknown).String("ssh-ed25519").String(std::string(32, 'k'));
    ASSERT_TRUE(agent_.Feed(SignRequest(unknown, "z", 0), &replies));
    const std::vector<std::string> answers = Replies(replies);
    ASSERT_EQ(answers.size(), 6u);
    EXPECT_EQ(answers[0], "\x1e");
    EXPECT_EQ(answers[1], "\x1e");
    EXPECT_EQ(answers[2][0], agent::kSignResponse);
    EXPECT_EQ(answers[3][0], agent::kSignResponse);
    EXPECT_EQ(answers[4], "\x1e");  // unanswered question: refused
    EXPECT_EQ(answers[5], "\x1e");
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kChoice), 4);
}

// The server may not change the key list behind the user's back.
TEST_F(Agent, AdditionsAndRemovalsOnlyWhenTheUserAllows) {
    const std::string removeOne = [&] {
        std::string body(1, static_cast<char>(agent::kRemoveIdentity));
        WireWriter(body).String(keys_[0].PublicBlob());
        return Message(body);
    }();
    const std::string removeAll =
        Message(std::string(1, static_cast<char>(agent::kRemoveAllIdentities)));
    // An Ed25519 key in the agent protocol's form.
    PrivateKey extra;
    std::string why;
    const std::string path = dir_->File("extra");
    testing::RunCommand("ssh-keygen -q -N '' -t ed25519 -C added -f " + path);
    ASSERT_EQ(ParseKeyFile(testing::ReadFile(path), nullptr, &extra, &why), kKeyLoaded);
    std::string add(1, static_cast<char>(agent::kAddIdentity));
    WireWriter(add)
        .String("ssh-ed25519")
        .String(extra.ed25519_public.data(), 32)
        .String(std::string(extra.ed25519_seed.begin(), extra.ed25519_seed.end()) +
                std::string(extra.ed25519_public.begin(), extra.ed25519_public.end()))
        .String("added\x1b[2J");
    add = Message(add);

    std::string replies;
    ui_.QueueChoice(kRefuse);
    ui_.QueueChoice(kRefuse);
    ui_.QueueChoice(kRefuse);
    ASSERT_TRUE(agent_.Feed(removeOne + removeAll + add, &replies));
    EXPECT_EQ(Replies(replies), (std::vector<std::string>{"\x05", "\x05", "\x05"}));
    // The server's comment is shown without its control characters.
    EXPECT_NE(ui_.shown().back().text.find("(added?[2J)"), std::string::npos)
        << ui_.shown().back().text;
    EXPECT_EQ(PrivateKeyList::Instance().Count(), 3u);

    replies.clear();
    ui_.QueueChoice(kAllowOnce);
    ui_.QueueChoice(kAllowOnce);
    ASSERT_TRUE(agent_.Feed(add + removeOne, &replies));
    EXPECT_EQ(Replies(replies), (std::vector<std::string>{"\x06", "\x06"}));
    EXPECT_EQ(PrivateKeyList::Instance().Count(), 3u);
    EXPECT_TRUE(PrivateKeyList::Instance().Find(extra.PublicBlob()));
    EXPECT_FALSE(PrivateKeyList::Instance().Find(keys_[0].PublicBlob()));

    replies.clear();
    ui_.QueueChoice(kAllowOnce);
    ASSERT_TRUE(agent_.Feed(removeAll, &replies));
    EXPECT_EQ(Replies(replies), (std::vector<std::string>{"\x06"}));
    EXPECT_EQ(PrivateKeyList::Instance().Count(), 0u);
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kChoice), 6);
    // A damaged key is not even asked about.
    replies.clear();
    std::string damaged = add;
    damaged[70] ^= 1;  // inside the seed: it no longer gives the public key beside it
    ASSERT_TRUE(agent_.Feed(damaged, &replies));
    EXPECT_EQ(Replies(replies), (std::vector<std::string>{"\x05"}));
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kChoice), 6);
}

// A length beyond 256 KiB is refused as soon as it is read: nothing of the body is held.
TEST_F(Agent, OverlongAndEmptyRequestsEndTheChannel) {
    std::string replies;
    std::string header;
    WireWriter(header).Uint32(agent::kMaxMessage);
    ASSERT_TRUE(agent_.Feed(header + std::string(1000, '\x0b'), &replies));  // at the limit
    EXPECT_TRUE(replies.empty());
    AgentProtocol other("server.example");
    header.clear();
    WireWriter(header).Uint32(agent::kMaxMessage + 1);
    EXPECT_FALSE(other.Feed(header, &replies));
    EXPECT_FALSE(other.Feed(Message("\x0b"), &replies));  // and nothing more is read
    AgentProtocol empty("server.example");
    EXPECT_FALSE(empty.Feed(std::string(4, '\0'), &replies));
    EXPECT_TRUE(replies.empty());
}

// The channel as a server opens it: refused unless the session asked for forwarding; once open,
// requests are answered on it and an overlong one closes it without ending the session.
TEST(AgentChannel, OpenedOnlyWhenForwardingIsOnAndClosedOnAnOverlongRequest) {
    using testing::Byte;
    using testing::Str;
    using testing::U32;
    PrivateKeyList::Instance().RemoveAll();
    for (int forwarding : {0, 1}) {
        SCOPED_TRACE(forwarding);
        testing::SshHarness h;
        h.config.SetInt(setting::ssh2_agent_forwarding, forwarding);
        ASSERT_TRUE(h.LogIn());
        h.server.Send(Byte(kMsgChannelOpen) + Str("auth-agent@openssh.com") + U32(7) + U32(100000) +
                      U32(32768));
        h.Settle(3);
        if (forwarding == 0) {
            const auto failures = h.server.ReceivedOfType(kMsgChannelOpenFailure);
            ASSERT_EQ(failures.size(), 1u);
            EXPECT_EQ(failures[0], Byte(92) + U32(7) + U32(3) + Str("unknown") + Str(""));
            continue;
        }
        const auto confirmations = h.server.ReceivedOfType(kMsgChannelOpenConfirmation);
        ASSERT_EQ(confirmations.size(), 1u);
        const std::uint32_t ours = testing::U32At(confirmations[0], 5);
        EXPECT_EQ(confirmations[0].substr(0, 5), Byte(91) + U32(7));
        h.server.Send(Byte(kMsgChannelData) + U32(ours) + Str(U32(1) + Byte(11)));
        ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelData).empty(); }));
        EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelData).back(),
                  Byte(94) + U32(7) + Str(U32(5) + Byte(12) + U32(0)));
        h.server.Send(Byte(kMsgChannelData) + U32(ours) + Str(U32(agent::kMaxMessage + 1)));
        ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelClose).empty(); }));
        EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelClose)[0], Byte(97) + U32(7));
        EXPECT_EQ(h.ssh->IsConnected(), 1);
    }
}

}  // namespace
}  // namespace tarnwick
