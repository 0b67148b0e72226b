// User authentication of IO_SSH2 against the in-memory test server: password retries and
// cancel, keyboard-interactive with S/Key, public keys from the process-wide list with the
// quirks of old servers, the certificate path, and the banner.
#include <gtest/gtest.h>

#include "core/status.h"
#include "crypto/skey.h"
#include "platform/text.h"
#include "ssh/private_keys.h"
#include "ssh/ssh_test_harness.h"
#include "ssh/ssh_test_keys.h"

namespace tarnwick {
namespace {

using testing::Byte;
using testing::SshHarness;
using testing::Str;
using testing::TestServer;
using testing::U32;

std::vector<std::string> PromptTexts(const ScriptedUi& ui) {
    std::vector<std::string> texts;
    for (const auto& shown : ui.shown())
        if (shown.kind == ScriptedUi::Kind::kPrompt) texts.push_back(shown.text);
    return texts;
}

BigNum Hex(const char* text) {
    BigNum n;
    n.SetHex(text);
    return n;
}

PrivateKey RsaUserKey() {
    PrivateKey key;
    key.type = kKeyRSA;
    PrivateKey::SetNumber(&key.rsa_n, Hex(testing::kRsaN));
    PrivateKey::SetNumber(&key.rsa_e, Hex(testing::kRsaE));
    PrivateKey::SetNumber(&key.rsa_d, Hex(testing::kRsaD));
    PrivateKey::SetNumber(&key.rsa_p, Hex(testing::kRsaP));
    PrivateKey::SetNumber(&key.rsa_q, Hex(testing::kRsaQ));
    PrivateKey::SetNumber(&key.rsa_dmp1, Hex(testing::kRsaDmp1));
    PrivateKey::SetNumber(&key.rsa_dmq1, Hex(testing::kRsaDmq1));
    PrivateKey::SetNumber(&key.rsa_iqmp, Hex(testing::kRsaIqmp));
    return key;
}

PrivateKey DsaUserKey() {
    PrivateKey key;
    key.type = kKeyDSA;
    PrivateKey::SetNumber(&key.dsa_p, Hex(testing::kDsaP));
    PrivateKey::SetNumber(&key.dsa_q, Hex(testing::kDsaQ));
    PrivateKey::SetNumber(&key.dsa_g, Hex(testing::kDsaG));
    PrivateKey::SetNumber(&key.dsa_y, Hex(testing::kDsaY));
    PrivateKey::SetNumber(&key.dsa_x, Hex(testing::kDsaX));
    return key;
}

// A key that no server of these tests accepts.
PrivateKey StrangerKey() {
    PrivateKey key;
    key.type = kKeyRSA;
    PrivateKey::SetNumber(&key.rsa_n, Hex(testing::kRsa2N));
    PrivateKey::SetNumber(&key.rsa_e, Hex(testing::kRsa2E));
    PrivateKey::SetNumber(&key.rsa_d, Hex(testing::kRsa2D));
    return key;
}

class KeyListScope {
  public:
    KeyListScope() { PrivateKeyList::Instance().RemoveAll(); }
    ~KeyListScope() {
        PrivateKeyList::Instance().RemoveAll();
        PrivateKeyList::SetFileLoader(nullptr);
    }
};

TEST(SshAuth, FivePasswordPromptsThenTheLayerCloses) {
    SshHarness h;
    h.config.SetInt(setting::debug, 1);
    for (int i = 0; i < 6; ++i)
        h.ui.QueuePrompt(std::string("wrong") + std::to_string(i));
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
    const std::vector<std::string> prompts = PromptTexts(h.ui);
    ASSERT_EQ(prompts.size(), 5u);
    EXPECT_EQ(prompts[0], "Password for alice on host testhost:");
    for (int i = 1; i < 5; ++i)
        EXPECT_EQ(prompts[static_cast<std::size_t>(i)],
                  "Password (incorrect) for alice on host testhost:");
    EXPECT_EQ(h.server.passwords().size(), 5u);
    EXPECT_TRUE(h.Showed("Too many password retries\r\n"));
    for (const auto& shown : h.ui.shown()) {
        if (shown.kind == ScriptedUi::Kind::kPrompt) {
            EXPECT_TRUE(shown.secret);
        }
    }
}

TEST(SshAuth, CancelledPasswordClosesTheLayer) {
    SshHarness h;
    h.config.SetInt(setting::debug, 1);
    h.ui.QueuePrompt(std::nullopt);
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
    EXPECT_TRUE(h.Showed("Connection canceled by user.\r\n"));
    EXPECT_TRUE(h.server.passwords().empty());
}

TEST(SshAuth, NothingLeftToTryEndsWithStatus21) {
    TestServer::Options options;
    options.auth_methods = "hostbased,gssapi-with-mic";
    SshHarness h(options);
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.RunUntil([&] { return h.last_error != 0; }));
    EXPECT_EQ(h.last_error, status::kNoAuthMethodLeft);
}

TEST(SshAuth, KeyboardInteractiveOncePerSessionThenPassword) {
    TestServer::Options options;
    options.auth_methods = "keyboard-interactive,password";
    options.prompts = {{"Token: ", true}, {"PIN: ", false}};
    options.answers = {"never", "matches"};
    SshHarness h(options);
    h.ui.QueuePrompt(std::string("123"));
    h.ui.QueuePrompt(std::string("456"));
    h.ui.QueuePrompt(std::string("secret"));
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.WaitConnected());
    EXPECT_EQ(h.server.auth_methods_tried(),
              (std::vector<std::string>{"none", "keyboard-interactive", "password"}));
    ASSERT_EQ(h.server.info_responses().size(), 1u);
    EXPECT_EQ(h.server.info_responses()[0], (std::vector<std::string>{"123", "456"}));
    const std::vector<ScriptedUi::Shown> shown = h.ui.shown();
    std::vector<bool> secrets;
    for (const auto& s : shown)
        if (s.kind == ScriptedUi::Kind::kPrompt) secrets.push_back(s.secret);
    // The echo flag decides whether typing is hidden.
    EXPECT_EQ(secrets, (std::vector<bool>{false, true, true}));
    // The keyboard-interactive request names its language and no submethods.
    EXPECT_NE(
        h.server.ReceivedOfType(50)[1].find(Str("keyboard-interactive") + Str("en-US") + Str("")),
        std::string::npos);
}

TEST(SshAuth, CancellingTheFirstPromptSendsNoAnswers) {
    TestServer::Options options;
    options.auth_methods = "keyboard-interactive";
    options.prompts = {{"One: ", false}, {"Two: ", false}};
    options.answers = {"a", "b"};
    SshHarness h(options);
    h.ui.QueuePrompt(std::nullopt);
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.info_responses().empty(); }));
    EXPECT_TRUE(h.server.info_responses()[0].empty());
    EXPECT_EQ(PromptTexts(h.ui).size(), 1u);
}

TEST(SshAuth, PublicKeysAreOfferedInListOrderUntilTheListIsSpent) {
    KeyListScope scope;
    PrivateKeyList& keys = PrivateKeyList::Instance();
    keys.AddFromAgent(StrangerKey());
    keys.AddFromAgent(DsaUserKey());
    keys.AddFromAgent(RsaUserKey());
    ASSERT_EQ(keys.Count(), 3u);

    // The third key is the authorised one.
    TestServer::Options options;
    options.auth_methods = "publickey,password";
    options.authorized_key = RsaUserKey().PublicBlob();
    SshHarness h(options);
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.WaitConnected()) << h.Shown();
    EXPECT_EQ(h.server.auth_methods_tried(),
              (std::vector<std::string>{"none", "publickey", "publickey", "publickey"}));
    ASSERT_EQ(h.server.publickey_requests().size(), 3u);
    EXPECT_NE(h.server.publickey_requests()[0].find(StrangerKey().PublicBlob()), std::string::npos);
    EXPECT_NE(h.server.publickey_requests()[1].find(Str("ssh-dss")), std::string::npos);
    EXPECT_TRUE(PromptTexts(h.ui).empty());

    // Nobody authorised: after the three keys, the list is spent and the password follows.
    options.authorized_key = "";
    SshHarness p(options);
    ASSERT_TRUE(p.LogIn());
    EXPECT_EQ(
        p.server.auth_methods_tried(),
        (std::vector<std::string>{"none", "publickey", "publickey", "publickey", "password"}));
    EXPECT_TRUE(p.Showed("No appropriate certificates found\r\n"));
}

TEST(SshAuth, OldServerQuirksShapeThePublicKeyRequest) {
    KeyListScope scope;
    PrivateKeyList::Instance().AddFromAgent(RsaUserKey());
    const std::string blob = RsaUserKey().PublicBlob();
    struct Case {
        const char* version;
        bool raw_host_signature;
        std::string expected_after_service;
    } cases[] = {
        // 2.0.11: the service is "ssh-userauth"; neither method nor algorithm name is sent.
        {"SSH-2.0-2.0.11 x", false, Str("ssh-userauth") + Byte(1) + Str(blob)},
        // 2.0.13: "ssh-userauth" too, and the signature is bare.
        {"SSH-2.0-2.0.13 x", true,
         Str("ssh-userauth") + Str("publickey") + Byte(1) + Str("ssh-rsa") + Str(blob)},
    };
    for (const Case& c : cases) {
        TestServer::Options options;
        options.version = c.version;
        options.raw_signature = c.raw_host_signature;
        options.auth_methods = "publickey";
        SshHarness h(options);
        ASSERT_EQ(h.Open(), 0);
        ASSERT_TRUE(h.RunUntil([&] { return h.server.ReceivedOfType(50).size() >= 2; }));
        const std::string request = h.server.ReceivedOfType(50)[1];
        EXPECT_EQ(request.substr(1, 9 + c.expected_after_service.size()),
                  Str("alice") + c.expected_after_service)
            << c.version;
        // The signature: bare 128 octets for 2.0.13, wrapped otherwise.
        const std::size_t signature_at = 1 + 9 + c.expected_after_service.size();
        SSHPacket p;
        p.putBytes(request.data() + signature_at,
                   static_cast<std::uint32_t>(request.size() - signature_at));
        p.setPosition(0);
        const std::string signature = p.getString();
        if (c.raw_host_signature) {
            EXPECT_EQ(signature.size(), 128u);
        } else {
            EXPECT_EQ(signature.substr(0, 11), Str("ssh-rsa"));
        }
    }
}

TEST(SshAuth, CertificatePathIsLoadedOnceAndClearedWhenItFails) {
    KeyListScope scope;
    testing::TempDir dir;
    const std::string path = dir.File("id.pky");
    testing::WriteFile(path, "key file");
    int loads = 0;
    PrivateKeyList::SetFileLoader([&](const std::string& file, PrivateKey* key) {
        ++loads;
        if (file != path) return static_cast<int>(kKeyNoFile);
        if (loads < 3) return static_cast<int>(kKeyInvalid);  // a wrong pass phrase, twice
        *key = RsaUserKey();
        return static_cast<int>(kKeyLoaded);
    });
    TestServer::Options options;
    options.auth_methods = "publickey,password";
    options.authorized_key = RsaUserKey().PublicBlob();
    SshHarness h(options);
    h.config.SetInt(setting::debug, 1);
    h.config.SetWide(setting::certificate_path, Utf8ToUtf16(path).c_str());
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.WaitConnected()) << h.Shown();
    EXPECT_EQ(loads, 3);
    EXPECT_TRUE(
        h.Showed("Sending user certificate...\r\nGetting certificate from filesystem\r\n"
                 "Certificate invalid, retrying\r\nCertificate invalid, retrying\r\n"));

    // A file that never loads: five tries, then the other methods, and the path is forgotten.
    loads = -100;
    SshHarness f(options);
    f.config.SetInt(setting::debug, 1);
    f.config.SetWide(setting::certificate_path, u"/nowhere/key.pky");
    f.ui.QueuePrompt(std::string("secret"));
    PrivateKeyList::Instance().RemoveAll();
    PrivateKeyList::SetFileLoader([&](const std::string&, PrivateKey*) {
        ++loads;
        return static_cast<int>(kKeyInvalid);
    });
    loads = 0;
    ASSERT_EQ(f.Open(), 0);
    ASSERT_TRUE(f.WaitConnected());
    EXPECT_EQ(loads, 5);
    EXPECT_TRUE(
        f.Showed("Unable to get certificate, bailing out\r\nSending certificate failed\r\n"));
    EXPECT_EQ(f.config.GetWide(setting::certificate_path), nullptr);
}

TEST(SshAuth, BannerLineEndsReachTheTerminalAsCrLfAndNoControlsDo) {
    TestServer::Options options;
    // 7-bit and 8-bit controls: ESC, BEL, DEL, CSI (0x9b), DCS (0x90), ST (0x9c); Latin-1 stays.
    options.banner =
        "one\ntwo\r\nthree\rfour\x1b[31m\x07\tend \x9b"
        "6n\x90q\x9c\x7f caf\xe9";
    SshHarness h(options);
    ASSERT_TRUE(h.LogIn());
    EXPECT_EQ(h.top->Received(), "one\n\rtwo\r\nthree\r\nfour[31m\tend 6nq caf\xe9");
}

TEST(SshAuth, SkeyAnswersOnlySafeSequenceNumbers) {
    std::uint8_t otp[8];
    std::string words;
    auto server_for = [&](int sequence) {
        SkeyCompute(sequence, "seedx", "pass phrase", otp);
        words.clear();
        SkeyToWords(otp, &words);
        TestServer::Options options;
        options.auth_methods = "keyboard-interactive";
        options.prompts = {{"otp-md5 " + std::to_string(sequence) + " seedx ext", false}};
        options.answers = {words};
        return options;
    };
    auto question = [](const ScriptedUi& ui) {
        for (const auto& shown : ui.shown())
            if (shown.text.find("S/Key") != std::string::npos) return shown.text;
        return std::string();
    };
    // Where the sequence number last answered for a seed is kept (each harness has a registry
    // of its own).
    const std::string store = "Software\\Halvek\\Tarnwick\\skey_sequences";

    // A low number: asked first; No sends no answer.
    {
        SshHarness h(server_for(5));
        ASSERT_EQ(h.Open(), 0);
        h.ui.QueueYesNo(false);
        ASSERT_TRUE(h.RunUntil([&] { return h.server.info_responses().size() == 1; }));
        EXPECT_EQ(question(h.ui),
                  "The server asks for S/Key one-time password number 5 for seed 'seedx'. "
                  "Whoever learns this password can work out every password above number 5 for "
                  "this seed. Answer it anyway?");
        EXPECT_TRUE(h.server.info_responses()[0].empty());
        EXPECT_TRUE(PromptTexts(h.ui).empty());
    }
    // A usual one is answered without a question, and remembered.
    {
        SshHarness h(server_for(99));
        h.ui.QueuePrompt(std::string("pass phrase"));
        ASSERT_TRUE(h.Open() == 0 && h.WaitConnected());
        EXPECT_EQ(h.ui.CountOf(ScriptedUi::Kind::kYesNo), 1);  // the host key only
        EXPECT_EQ(RegistryStore::Instance().GetDword(store, "seedx"), 99u);
        // The pass phrase itself never goes to the server.
        for (const std::string& payload : h.server.received())
            EXPECT_EQ(payload.find("pass phrase"), std::string::npos);
    }
    // Far below the last one answered: asked; Yes answers it.
    {
        SshHarness h(server_for(50));
        RegistryStore::Instance().SetDword(store, "seedx", 99);
        h.ui.QueuePrompt(std::string("pass phrase"));
        ASSERT_EQ(h.Open(), 0);
        h.ui.QueueYesNo(true);
        ASSERT_TRUE(h.WaitConnected());
        EXPECT_NE(question(h.ui).find("number 50 for seed 'seedx' (the last one answered was "
                                      "number 99)"),
                  std::string::npos);
        EXPECT_EQ(h.server.info_responses()[0], std::vector<std::string>{words});
    }
    // Close below the last one (45 after 50): no question.
    {
        SshHarness h(server_for(45));
        RegistryStore::Instance().SetDword(store, "seedx", 50);
        h.ui.QueuePrompt(std::string("pass phrase"));
        ASSERT_TRUE(h.Open() == 0 && h.WaitConnected());
    }
    // Beyond 10000 (and negative): refused without asking for the pass phrase.
    for (const char* challenge : {"otp-md5 10001 seedx ext", "otp-md5 -3 seedx ext"}) {
        TestServer::Options options;
        options.auth_methods = "keyboard-interactive";
        options.prompts = {{challenge, false}};
        SshHarness h(options);
        ASSERT_EQ(h.Open(), 0);
        ASSERT_TRUE(h.RunUntil([&] { return h.server.info_responses().size() == 1; }));
        EXPECT_TRUE(h.server.info_responses()[0].empty()) << challenge;
        EXPECT_TRUE(PromptTexts(h.ui).empty()) << challenge;
        EXPECT_NE(h.ui.Texts().back().find("Only numbers from 0 to 10000 are answered."),
                  std::string::npos);
    }
}

TEST(SshAuth, ASessionThatNamesItsKeyOffersNoOther) {
    KeyListScope scope;
    testing::TempDir dir;
    const std::string path = dir.File("id.pky");
    testing::WriteFile(path, "key file");
    PrivateKeyList::SetFileLoader([&](const std::string&, PrivateKey* key) {
        *key = DsaUserKey();
        return static_cast<int>(kKeyLoaded);
    });
    // Other keys are loaded, and the server accepts one of them: they are still not offered.
    PrivateKeyList::Instance().AddFromAgent(StrangerKey());
    PrivateKeyList::Instance().AddFromAgent(RsaUserKey());
    TestServer::Options options;
    options.auth_methods = "publickey,password";
    options.authorized_key = RsaUserKey().PublicBlob();
    SshHarness h(options);
    h.config.SetWide(setting::certificate_path, Utf8ToUtf16(path).c_str());
    ASSERT_TRUE(h.LogIn()) << h.Shown();
    EXPECT_EQ(h.server.auth_methods_tried(),
              (std::vector<std::string>{"none", "publickey", "password"}));
    ASSERT_EQ(h.server.publickey_requests().size(), 1u);
    EXPECT_NE(h.server.publickey_requests()[0].find(DsaUserKey().PublicBlob()), std::string::npos);
}

TEST(SshAuth, EmptyServiceAcceptCountsOnlyForServersWithThatQuirk) {
    for (bool quirky : {true, false}) {
        TestServer::Options options;
        options.version = quirky ? "SSH-2.0-2.1.0 x" : "SSH-2.0-Modern";
        options.raw_signature = quirky;
        SshHarness h(options);
        h.server.on_message = [&h](const std::string& payload) {
            if (payload[0] != kMsgServiceRequest) return false;
            h.server.Send(Byte(kMsgServiceAccept) + Str(""));
            return true;
        };
        h.config.SetInt(setting::debug, 1);
        h.ui.QueuePrompt(std::string("secret"));
        ASSERT_EQ(h.Open(), 0);
        h.RunUntil([&] { return h.server.ReceivedOfType(50).size() >= 1; },
                   std::chrono::milliseconds(200));
        EXPECT_EQ(h.server.ReceivedOfType(50).size(), quirky ? 1u : 0u);
        if (!quirky) {
            EXPECT_TRUE(h.Showed("Unknown server accepted: \r\n"));
        }
    }
}

TEST(SshPrivateKeys, ListOperations) {
    KeyListScope scope;
    PrivateKeyList& keys = PrivateKeyList::Instance();
    keys.AddFromAgent(RsaUserKey());
    keys.AddFromAgent(RsaUserKey());  // equal keys are listed once
    keys.AddFromAgent(DsaUserKey());
    EXPECT_EQ(keys.Count(), 2u);
    EXPECT_TRUE(keys.Contains(DsaUserKey()));
    EXPECT_FALSE(keys.Contains(StrangerKey()));
    // Leading zero octets do not make another key.
    PrivateKey padded = DsaUserKey();
    padded.dsa_y.insert(padded.dsa_y.begin(), {0, 0});
    EXPECT_TRUE(keys.Contains(padded));
    auto found = keys.Find(DsaUserKey().PublicBlob());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->type, kKeyDSA);
    EXPECT_FALSE(keys.Find("garbage"));
    std::vector<int> types;
    for (auto key = keys.First(); key; key = keys.Next())
        types.push_back(key->type);
    keys.End();
    EXPECT_EQ(types, (std::vector<int>{kKeyRSA, kKeyDSA}));
    EXPECT_TRUE(keys.Remove(RsaUserKey().PublicBlob()));
    EXPECT_FALSE(keys.Remove(RsaUserKey().PublicBlob()));
    EXPECT_EQ(keys.Count(), 1u);
    keys.RemoveAll();
    EXPECT_EQ(keys.Count(), 0u);
}

// A key rebuilt from its public blob has nothing to sign with: it never produces a signature.
TEST(SshPrivateKeys, APublicKeyAloneCannotSign) {
    const std::uint8_t data[] = "data to sign";
    PrivateKey public_only;
    ASSERT_TRUE(PrivateKey::FromPublicBlob(RsaUserKey().PublicBlob(), &public_only));
    EXPECT_TRUE(public_only.Sign(data, sizeof data).empty());
    EXPECT_STREQ(public_only.AlgorithmName(), "ssh-rsa");
}

}  // namespace
}  // namespace tarnwick
