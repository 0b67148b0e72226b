// The STARTTLS proxy between a recording layer (the local client's side) and the in-memory server,
// which speaks plain text until the proxy has turned TLS on: the greetings and answers of SMTP,
// POP3 and IMAP, multi-line replies, refusals, the plaintext injection, and the client's bytes held
// until they can travel inside TLS.
#include "ssl/starttls_proxy.h"

#include <gtest/gtest.h>

#include "ssl_test_fixture.h"

namespace tarnwick::testing {
namespace {

class StartTlsProxyTest : public SslLayerTest {
  protected:
    void BuildProxy(int protocol) {
        config_.SetInt(setting::tls_proxy_type, protocol);
        TlsTestServer::Options options = ServerOptions();
        options.starts_plain = true;
        chain_.reset();
        top_ = new RecordingLayer();
        proxy_ = new IO_STARTTLSProxy();
        server_ = new TlsTestServer(options);
        chain_.reset(top_);
        ASSERT_EQ(proxy_->InsertBelow(server_), 0);
        ASSERT_EQ(top_->InsertBelow(proxy_), 0);
        ASSERT_EQ(top_->Open(&config_), 0);
    }
    // The server's plain text, handed up in one piece (or in pieces of piece bytes).
    int ServerSays(const std::string& text, std::size_t piece = 0) {
        server_->SendRaw(text);
        return server_->Deliver(piece);
    }
    int ClientSends(const std::string& text) {
        return proxy_->Send(reinterpret_cast<const std::uint8_t*>(text.data()),
                            static_cast<int>(text.size()));
    }
    // The answer that turns TLS on, then the handshake to its end.
    int AgreeAndHandshake(const std::string& answer) {
        server_->BeginTls();
        const int result = ServerSays(answer);
        if (result != 0) return result;
        return Exchange();
    }

    IO_STARTTLSProxy* proxy_ = nullptr;
};

TEST_F(StartTlsProxyTest, SmtpReadsAMultiLineGreetingWholeAndHoldsTheClientUntilTlsIsUp) {
    BuildProxy(IO_STARTTLSProxy::kSmtp);
    const std::string greeting = "220-mail.example ESMTP\r\n220-no spam\r\n220 ready\r\n";
    ASSERT_EQ(ServerSays(greeting, 5), 0);  // in pieces that cut the lines anywhere
    EXPECT_EQ(server_->plain_received(), "STARTTLS\r\n");
    EXPECT_EQ(top_->Received(), greeting);
    EXPECT_EQ(proxy_->IsConnected(), 0);

    ASSERT_EQ(ClientSends("EHLO client\r\n"), 0);
    ASSERT_EQ(AgreeAndHandshake("220 2.0.0 go ahead\r\n"), 0) << Shown();
    EXPECT_EQ(server_->plain_received(), "STARTTLS\r\n");  // nothing else ever went in plain
    EXPECT_TRUE(server_->handshake_done());
    EXPECT_EQ(proxy_->IsConnected(), 1);
    EXPECT_EQ(server_->received(), "EHLO client\r\n");  // inside TLS, after the handshake
    ASSERT_EQ(ClientSends("QUIT\r\n"), 0);
    EXPECT_EQ(server_->received(), "EHLO client\r\nQUIT\r\n");
    ASSERT_EQ(Exchange(), 0);  // the echo comes back up unchanged
    EXPECT_EQ(top_->Received(), greeting + "EHLO client\r\nQUIT\r\n");
}

TEST_F(StartTlsProxyTest, Pop3AcceptsAGreetingInAnyLetterCase) {
    BuildProxy(IO_STARTTLSProxy::kPop3);
    ASSERT_EQ(ServerSays("+ok POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n"), 0);
    EXPECT_EQ(server_->plain_received(), "STLS\r\n");
    ASSERT_EQ(AgreeAndHandshake("+OK Begin TLS negotiation\r\n"), 0) << Shown();
    EXPECT_EQ(proxy_->IsConnected(), 1);
}

TEST_F(StartTlsProxyTest, ImapGetsAPlainGreetingAndItsTaggedAnswerAfterUntaggedLines) {
    BuildProxy(IO_STARTTLSProxy::kImap);
    ASSERT_EQ(ServerSays("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] Dovecot ready.\r\n"),
              0);
    EXPECT_EQ(top_->Received(), "* OK\r\n");
    EXPECT_EQ(server_->plain_received(), "tnwk STARTTLS\r\n");
    ASSERT_EQ(AgreeAndHandshake("* NOTE something\r\ntnwk OK Begin TLS negotiation now.\r\n"), 0)
        << Shown();
    EXPECT_EQ(proxy_->IsConnected(), 1);
}

TEST_F(StartTlsProxyTest, RefusedGreetingsAndAnswersEndTheExchange) {
    struct Case {
        int protocol;
        std::string greeting;
        std::string answer;  // empty: the greeting is the one refused
        std::string shown;
    } cases[] = {
        {IO_STARTTLSProxy::kPop3, "-ERR go away\r\n", "",
         "The POP3 server's greeting was refused: -ERR go away\r\n"},
        {IO_STARTTLSProxy::kPop3, "+OKAY\r\n", "",
         "The POP3 server's greeting was refused: +OKAY\r\n"},
        {IO_STARTTLSProxy::kSmtp, "554 no\r\n", "",
         "The SMTP server's greeting was refused: 554 no\r\n"},
        {IO_STARTTLSProxy::kImap, "* BYE\r\n", "",
         "The IMAP server's greeting was refused: * BYE\r\n"},
        {3, "220 ready\r\n", "", "No mail protocol is chosen for the STARTTLS proxy\r\n"},
        {IO_STARTTLSProxy::kSmtp, "220 ready\r\n", "454 TLS not available\r\n",
         "The server refused STARTTLS: 454 TLS not available\r\n"},
        {IO_STARTTLSProxy::kImap, "* OK\r\n", "tnwk NO\r\n",
         "The server refused STARTTLS: tnwk NO\r\n"},
    };
    for (const Case& c : cases) {
        BuildProxy(c.protocol);
        const int greeted = ServerSays(c.greeting);
        if (c.answer.empty()) {
            EXPECT_EQ(greeted, status::kProtocolError) << c.greeting;
            EXPECT_EQ(top_->Received(), "") << c.greeting;
        } else {
            ASSERT_EQ(greeted, 0);
            EXPECT_EQ(ServerSays(c.answer), status::kProtocolError) << c.answer;
        }
        EXPECT_EQ(Shown(), c.shown);
        EXPECT_FALSE(proxy_->TlsActive());
    }
}

TEST_F(StartTlsProxyTest, BytesAfterThePositiveAnswerAreAnInjectionAndEndTheConnection) {
    BuildProxy(IO_STARTTLSProxy::kSmtp);
    ASSERT_EQ(ServerSays("220 ready\r\n"), 0);
    ASSERT_EQ(ClientSends("EHLO client\r\n"), 0);
    server_->BeginTls();
    EXPECT_EQ(ServerSays("220 go ahead\r\n250-injected\r\n"), status::kProtocolError);
    EXPECT_EQ(Shown(),
              "The server sent data between its STARTTLS answer and the TLS handshake; "
              "disconnecting\r\n");
    EXPECT_FALSE(proxy_->TlsActive());
    EXPECT_EQ(server_->client_hello(), "");  // TLS never started
    EXPECT_EQ(top_->Received(), "220 ready\r\n");
}

TEST_F(StartTlsProxyTest, MoreThanTheGreetingBeforeTheCommandEndsTheConnection) {
    BuildProxy(IO_STARTTLSProxy::kSmtp);
    EXPECT_EQ(ServerSays("220 ready\r\n220 go ahead\r\n"), status::kProtocolError);
    EXPECT_EQ(server_->plain_received(), "");
}

TEST_F(StartTlsProxyTest, HeldClientBytesAndOverlongRepliesAreBounded) {
    BuildProxy(IO_STARTTLSProxy::kSmtp);
    EXPECT_EQ(ClientSends(std::string(IO_STARTTLSProxy::kMaxPending, 'x')), 0);
    EXPECT_EQ(ClientSends("y"), status::kOutOfMemory);
    BuildProxy(IO_STARTTLSProxy::kSmtp);
    EXPECT_EQ(ServerSays(std::string(IO_STARTTLSProxy::kMaxReply, '2')), 0);
    EXPECT_EQ(ServerSays("22"), status::kProtocolError);
}

}  // namespace
}  // namespace tarnwick::testing
