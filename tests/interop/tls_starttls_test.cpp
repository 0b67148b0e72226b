// The STARTTLS proxy as a session of the session list, between real clients and a plaintext front
// end that speaks the mail protocol's greeting and STARTTLS answer:
//   - behind the answer, the front end relays the raw bytes to gnutls-serv, and the client's text
//     comes back through real TLS (SMTP, POP3, IMAP);
//   - Python's smtplib, poplib and imaplib complete whole sessions through the proxy, with the
//     front end answering as a mail server inside the in-memory TLS server of the TLS tests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "ssl/tls_test_server.h"
#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/session_fixture.h"
#include "tls_client.h"
#include "tls_peers.h"
#include "transport/socket_listener.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

enum Protocol { kSmtp = 0, kPop3 = 1, kImap = 2 };

const char* Greeting(int protocol) {
    switch (protocol) {
        case kSmtp:
            return "220-mail.test ESMTP\r\n220 ready\r\n";
        case kPop3:
            return "+OK POP3 ready\r\n";
        default:
            return "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\r\n";
    }
}

const char* Answer(int protocol) {
    switch (protocol) {
        case kSmtp:
            return "220 2.0.0 Ready to start TLS\r\n";
        case kPop3:
            return "+OK Begin TLS negotiation\r\n";
        default:
            return "tnwk OK Begin TLS negotiation now\r\n";
    }
}

// A line-by-line mail server behind TLS, enough for the sessions the Python clients run.
class MailResponder {
  public:
    explicit MailResponder(int protocol) : protocol_(protocol) {}

    std::string operator()(std::string_view data) {
        buffer_.append(data);
        std::string reply;
        std::size_t end;
        while ((end = buffer_.find("\r\n")) != std::string::npos) {
            const std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            reply += Line(line);
        }
        return reply;
    }

  private:
    std::string Line(const std::string& line) {
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        for (char& c : first)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (protocol_ == kSmtp) {
            if (in_data_) {
                if (line == ".") {
                    in_data_ = false;
                    return "250 queued\r\n";
                }
                return "";
            }
            if (first == "EHLO") return "250-mail.test\r\n250 8BITMIME\r\n";
            if (first == "DATA") {
                in_data_ = true;
                return "354 go ahead\r\n";
            }
            if (first == "QUIT") return "221 bye\r\n";
            if (first == "MAIL" || first == "RCPT" || first == "RSET" || first == "NOOP") {
                return "250 OK\r\n";
            }
            return "502 unknown\r\n";
        }
        if (protocol_ == kPop3) {
            if (first == "STAT") return "+OK 1 36\r\n";
            if (first == "RETR") return "+OK\r\nSubject: hello\r\n\r\nMail for Alice.\r\n.\r\n";
            if (first == "QUIT") return "+OK bye\r\n";
            return "+OK\r\n";
        }
        // IMAP: the tag, then the command.
        std::string command = second;
        for (char& c : command)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::string& tag = words.str().substr(0, line.find(' '));
        if (command == "CAPABILITY") {
            return "* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n" + tag + " OK done\r\n";
        }
        if (command == "SELECT") return "* 1 EXISTS\r\n" + tag + " OK [READ-WRITE] done\r\n";
        if (command == "LOGOUT") return "* BYE\r\n" + tag + " OK done\r\n";
        return tag + " OK done\r\n";
    }

    int protocol_;
    std::string buffer_;
    bool in_data_ = false;
};

// The plain server the proxy connects to: greeting, the STARTTLS answer, then either a relay of
// the raw bytes to gnutls-serv or the in-memory TLS server with a mail server inside.
class FrontEnd {
  public:
    FrontEnd(int protocol, int gnutls_port, testing::TlsTestServer::Options tls)
        : protocol_(protocol), gnutls_port_(gnutls_port), tls_(std::move(tls)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~FrontEnd() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return listener_.port(); }
    const std::string& command() const { return command_; }

  private:
    void Run() {
        const int client = listener_.AcceptUnless(stop_);
        if (client < 0) return;
        testing::WriteAll(client, Greeting(protocol_));
        // The command, a line.
        while (!stop_ && command_.find('\n') == std::string::npos) {
            const std::string more = testing::ReadSome(client, 1, 50);
            command_ += more;
        }
        testing::WriteAll(client, Answer(protocol_));
        if (gnutls_port_ != 0) {
            Relay(client);
        } else {
            Serve(client);
        }
        close(client);
    }

    void Relay(int client) {
        const int server = testing::ConnectLoopback(gnutls_port_);
        if (server >= 0) {
            testing::PassBetween(client, server, stop_);
            close(server);
        }
    }

    void Serve(int client) {
        testing::TlsTestServer server(tls_);
        (void)server.Open(nullptr);
        char buffer[16384];
        while (!stop_) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            server.Send(reinterpret_cast<const std::uint8_t*>(buffer), static_cast<int>(n));
            if (!testing::WriteAll(client, server.TakeWaiting())) break;
        }
    }

    int protocol_;
    int gnutls_port_;
    testing::TlsTestServer::Options tls_;
    testing::LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    std::string command_;
    std::thread thread_;
};

class StartTlsInteropTest : public ::testing::TestWithParam<int>,
                            public testing::SessionListFixture {
  protected:
    static testing::TlsTestPki& Pki() { return testing::SharedTestPki(); }
    void SetUp() override {
        ASSERT_TRUE(Pki().ok());
        testing::TrustCaFolder(Pki().ca_folder());
    }
    // The proxy's session towards the front end; the port it listens on.
    int StartProxy(int front_port) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindSTARTTLSProxy);
        config->SetNarrow(setting::hostname, "localhost");
        config->SetInt(setting::portnum, front_port);
        config->SetInt(setting::portnum_listener, 0);
        config->SetInt(setting::tls_proxy_type, GetParam());
        Session* proxy = Create(config);
        if (proxy == nullptr) return 0;
        auto* listener = static_cast<IO_SocketListener*>(proxy->GetTerminal()->GetLower());
        loop_.RunUntil([&] { return listener->ListeningPort() != 0; }, 5s);
        return listener->ListeningPort();
    }
};

TEST_P(StartTlsInteropTest, TheClientsTextTravelsThroughGnutlsAfterTheGreeting) {
    testing::GnutlsServer gnutls(Pki().Pem("server"), Pki().key());
    ASSERT_TRUE(gnutls.ok()) << gnutls.log();
    FrontEnd front(GetParam(), gnutls.port(), {});
    const int port = StartProxy(front.port());
    ASSERT_NE(port, 0);

    std::atomic<bool> done{false};
    std::string greeting, echoed;
    std::thread client([&] {
        const int fd = testing::ConnectLoopback(port);
        if (fd >= 0) {
            const std::string expected = GetParam() == kImap ? "* OK\r\n" : Greeting(GetParam());
            greeting = testing::ReadSome(fd, expected.size(), 20000);
            testing::WriteAll(fd, "hello through STARTTLS\r\n");
            echoed = testing::ReadSome(fd, 24, 20000);
        }
        if (fd >= 0) close(fd);
        done = true;
    });
    loop_.RunUntil([&] { return done.load(); }, 60s);
    client.join();
    EXPECT_EQ(greeting, GetParam() == kImap ? "* OK\r\n" : Greeting(GetParam()));
    EXPECT_EQ(echoed, "hello through STARTTLS\r\n");
    const char* commands[] = {"STARTTLS\r\n", "STLS\r\n", "tnwk STARTTLS\r\n"};
    EXPECT_EQ(front.command(), commands[GetParam()]);
}

TEST_P(StartTlsInteropTest, APythonMailClientCompletesItsSession) {
    testing::TlsTestServer::Options tls;
    tls.certificate_der = Pki().Der("server");
    tls.key_pem = Pki().key();
    tls.respond = MailResponder(GetParam());
    FrontEnd front(GetParam(), 0, tls);
    const int port = StartProxy(front.port());
    ASSERT_NE(port, 0);

    const char* names[] = {"smtp", "pop3", "imap"};
    std::atomic<bool> done{false};
    std::string output;
    std::thread client([&] {
        output = testing::RunCommand("/usr/bin/python3 " + std::string(TARNWICK_SOURCE_DIR) +
                                     "/tests/interop/starttls_clients.py " + names[GetParam()] +
                                     " " + std::to_string(port) + " 2>&1");
        done = true;
    });
    loop_.RunUntil([&] { return done.load(); }, 60s);
    client.join();
    EXPECT_NE(output.find("session complete"), std::string::npos) << output;
    EXPECT_TRUE(ui_.shown().empty());
}

std::string ProtocolName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"Smtp", "Pop3", "Imap"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(MailProtocols, StartTlsInteropTest, ::testing::Values(kSmtp, kPop3, kImap),
                         ProtocolName);

}  // namespace
}  // namespace tarnwick
