// Our SSH2 client next to OpenSSH's ssh, against the same local sshd with the same algorithms,
// in one run:
//   (a) time from the TCP connect to the first shell output with password authentication
//       (our client answers from the scripted services, ssh from an askpass program), for
//       group 1 and group exchange;
//   (b) throughput of a remote `cat` of a 100 MB text file: ours through the session channel
//       into the VT100 screen model, ssh's into a pipe that is read and thrown away
//       (`ssh host cat FILE > /dev/null`), for aes128-cbc and 3des-cbc with hmac-sha1;
//   (c) SCP of a 200 MB file up and down: ours on a channel beside the terminal's, OpenSSH's
//       `scp -O` (the SCP protocol, not SFTP) less its time for an empty file the same way, with
//       aes128-ctr and hmac-sha2-256-etm and with chacha20-poly1305 against the default sshd
//       below (curve25519-sha256, ssh-ed25519), and with aes128-cbc and hmac-sha1 as (b); and
//       how much our resident memory grew during the copy.
// And against sshd as Debian installs it, with today's algorithms:
//   (d) connect to first output with curve25519-sha256 and with sntrup761x25519-sha512, both with
//       the ssh-ed25519 host key;
//   (e) the 100 MB cat with chacha20-poly1305 and aes128-gcm, against `ssh -tt`;
//   (f) 100 MB through a local port forward to a sink on 127.0.0.1, against `ssh -L`.
// Neither client compresses (ssh does not by default).
// Prints both figures and their ratio. Needs root (it starts sshd and creates the test account).
//
//   bench_ssh [--quick] [--scp]   --quick: 5 connections instead of 15, 30 MB instead of
//                                 100 MB for (b), (e) and (f) and 50 MB instead of 200 MB for
//                                 (c);
//                                 --scp: (c) alone
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "interop/ssh_sshd.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "ssh/scp_channel.h"
#include "ssh/ssh2.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"
#include "transport/tcpip.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarnwick::testing::kTestPassword;
using tarnwick::testing::kTestUser;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Passes everything up to the terminal, noting when the first byte came and watching for the
// end marker of the bulk command.
class Tap : public tarnwick::IO {
  public:
    Tap() : IO(tarnwick::kLayerCapture, "Tap") {}
    int Open(tarnwick::SessionConfig* config) override {
        AttachConfig(config);
        return lower_ ? lower_->Open(config) : 0;
    }
    void Close() override {
        if (lower_) lower_->Close();
    }
    int Send(const std::uint8_t* data, int length) override {
        return lower_ ? lower_->Send(data, length) : 11;
    }
    int Receive(const std::uint8_t* data, int length) override {
        if (bytes == 0) first = Clock::now();
        bytes += static_cast<std::size_t>(length);
        tail.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        if (tail.size() > 64) tail.erase(0, tail.size() - 64);
        if (!marked && tail.find(marker) != std::string::npos) {
            marked = true;
            marked_at = Clock::now();
        }
        return upper_ ? upper_->Receive(data, length) : 0;
    }
    int Display(const std::uint8_t* data, int length) override {
        return upper_ ? upper_->Display(data, length) : 0;
    }

    std::size_t bytes = 0;
    Clock::time_point first;
    std::string tail;
    std::string marker = "BENCH-END-42";
    bool marked = false;
    Clock::time_point marked_at;
};

struct Client {
    tarnwick::ScriptedUi ui;
    tarnwick::SessionConfig config;
    tarnwick::MemoryDisplay display;
    std::unique_ptr<tarnwick::VT100> terminal;
    Tap* tap = nullptr;
    tarnwick::IO_SSH2* ssh = nullptr;
    bool ended = false;

    static void OnData(void* context, tarnwick::IO* transport) {
        auto* self = static_cast<Client*>(context);
        tarnwick::UiDispatcher::Instance().RunAndWait([self, transport] {
            if (self->ended) return;
            if (transport->Pump() != 0) {
                self->ended = true;
                self->terminal->Close();
            }
        });
    }

    // The algorithms by preference-list id; a negative kex leaves the default list.
    struct Choice {
        std::int32_t cipher = 3;
        std::int32_t mac = 0;
        std::int32_t hostkey = 0;
        std::int32_t kex = -1;
    };

    Client(int port, Choice choice) {
        config.SetInt(tarnwick::setting::session_kind, tarnwick::kKindSSH2);
        config.SetNarrow(tarnwick::setting::hostname, "127.0.0.1");
        config.SetNarrow(tarnwick::setting::username, kTestUser);
        config.SetInt(tarnwick::setting::portnum, port);
        config.SetInt(tarnwick::setting::rows, 24);
        config.SetInt(tarnwick::setting::columns, 80);
        config.SetInt(tarnwick::setting::scrollback, 200);
        // ssh does not compress unless told to: neither do we, so both do the same work.
        config.SetInt(tarnwick::setting::ssh_useCompression, 0);
        config.SetList(tarnwick::setting::ssh2_EnabledCiphers, &choice.cipher, 1);
        config.SetList(tarnwick::setting::ssh2_EnabledMACs, &choice.mac, 1);
        config.SetList(tarnwick::setting::ssh2_hostkey_algorithms, &choice.hostkey, 1);
        if (choice.kex >= 0) config.SetList(tarnwick::setting::ssh2_kex_algorithms, &choice.kex, 1);
        config.SetSessionCallback(&Client::OnData, this);
        terminal = std::make_unique<tarnwick::VT100>(&display, &config);
        tap = new Tap();
        ssh = new tarnwick::IO_SSH2();
        (void)ssh->InsertBelow(new tarnwick::IO_TCPIP());
        (void)tap->InsertBelow(ssh);
        (void)terminal->InsertBelow(tap);
        ui.QueueYesNo(true);
        ui.QueueHostKey(tarnwick::HostKeyChoice::kAdd);
        ui.QueuePrompt(std::string(kTestPassword));
    }
    int Type(const std::string& keys) {
        return ssh->Send(reinterpret_cast<const std::uint8_t*>(keys.data()),
                         static_cast<int>(keys.size()));
    }
};

// Our client: seconds from the connect to the first shell output; -1 on failure.
double OurConnect(tarnwick::EventLoop& loop, int port, Client::Choice choice) {
    Client client(port, choice);
    const Clock::time_point start = Clock::now();
    if (client.terminal->Open(&client.config) != 0) return -1;
    if (!loop.RunUntil([&] { return client.tap->bytes > 0 || client.ended; },
                       std::chrono::seconds(20)) ||
        client.tap->bytes == 0) {
        return -1;
    }
    const double seconds = Seconds(client.tap->first - start);
    client.terminal->Close();
    return seconds;
}

// The processor time this process has used so far, in seconds.
double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto tv = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return tv(usage.ru_utime) + tv(usage.ru_stime);
}

// Our client: file bytes per second of `cat path` into the screen model.
double OurBulk(tarnwick::EventLoop& loop, int port, Client::Choice choice, const std::string& path,
               std::size_t file_bytes, double& cpu_share) {
    Client client(port, choice);
    if (client.terminal->Open(&client.config) != 0) return -1;
    if (!loop.RunUntil([&] { return client.ssh->IsConnected() == 1 || client.ended; },
                       std::chrono::seconds(20))) {
        return -1;
    }
    // The first prompt, so that the command does not race the login messages.
    loop.RunFor(std::chrono::milliseconds(300));
    const double cpu_before = CpuSeconds();
    const Clock::time_point start = Clock::now();
    client.Type("cat " + path + "; echo BENCH-END-$((40+2))\n");
    if (!loop.RunUntil([&] { return client.tap->marked || client.ended; },
                       std::chrono::seconds(300)) ||
        !client.tap->marked) {
        return -1;
    }
    const double seconds = Seconds(client.tap->marked_at - start);
    // How much of the time our process computed: the rest it waited for the server.
    cpu_share = (CpuSeconds() - cpu_before) / seconds;
    client.terminal->Close();
    return static_cast<double>(file_bytes) / seconds;
}

std::vector<std::string> SshArguments(int port, const char* kex, const char* cipher,
                                      const char* hostkey = "ssh-rsa",
                                      const char* mac = "hmac-sha1") {
    return {"ssh",
            "-F",
            "/dev/null",
            "-p",
            std::to_string(port),
            "-o",
            "StrictHostKeyChecking=no",
            "-o",
            "UserKnownHostsFile=/dev/null",
            "-o",
            "LogLevel=ERROR",
            "-o",
            std::string("KexAlgorithms=") + kex,
            "-o",
            std::string("HostKeyAlgorithms=") + hostkey,
            "-o",
            std::string("Ciphers=") + cipher,
            "-o",
            std::string("MACs=") + mac,
            "-o",
            "PubkeyAuthentication=no",
            "-o",
            "PreferredAuthentications=password",
            "-o",
            "NumberOfPasswordPrompts=1",
            std::string(kTestUser) + "@127.0.0.1"};
}

// Starts ssh (or the program args[0] names) with the password from the askpass program, stdin and
// stderr on /dev/null and stdout on out_fd (-1: /dev/null too); close_fd is closed in the child.
pid_t StartSsh(std::vector<std::string> args, const std::string& askpass, int out_fd,
               int close_fd = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("SSH_ASKPASS", askpass.c_str(), 1);
        setenv("SSH_ASKPASS_REQUIRE", "force", 1);
        setenv("DISPLAY", ":0", 1);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(out_fd >= 0 ? out_fd : null_fd, 1);
        dup2(null_fd, 2);
        if (close_fd >= 0) close(close_fd);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs ssh (or the program args[0] names) with stdout on a pipe; returns the time of the first byte
// after start (or -1) and the time the output ended, and how many bytes came.
struct SshRun {
    double first = -1;
    double last = -1;
    std::size_t bytes = 0;
    bool succeeded = false;  // the program ended with status 0
};

// With to_null, stdout goes to /dev/null and only the total time is taken (in last).
SshRun RunSsh(std::vector<std::string> args, const std::string& askpass, bool first_only,
              bool to_null = false) {
    SshRun run;
    int out[2];
    if (pipe(out) != 0) return run;
    const Clock::time_point start = Clock::now();
    const pid_t pid = StartSsh(std::move(args), askpass, to_null ? -1 : out[1], out[0]);
    close(out[1]);
    static char buffer[1 << 20];
    for (;;) {
        ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) break;
        const double at = Seconds(Clock::now() - start);
        if (run.bytes == 0) run.first = at;
        run.bytes += static_cast<std::size_t>(got);
        run.last = at;
        if (first_only) break;
    }
    close(out[0]);
    if (first_only) kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (to_null) run.last = Seconds(Clock::now() - start);
    return run;
}

// Our resident memory in bytes.
std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Our client: file bytes per second of one SCP copy (upload of local_path into the test
// account's home folder, or download of remote_path into folder) with the algorithms of choice,
// or -1 unless the copy arrived whole at arrived; the growth of our resident memory during the
// copy in grown, and the share of the time our process computed in cpu_share.
double OurScp(tarnwick::EventLoop& loop, int port, Client::Choice choice, bool upload,
              const std::string& local_path, const std::string& remote_path,
              const std::string& folder, std::size_t file_bytes, const std::string& arrived,
              std::size_t& grown, double& cpu_share) {
    Client client(port, choice);
    if (client.terminal->Open(&client.config) != 0) return -1;
    if (!loop.RunUntil([&] { return client.ssh->IsConnected() == 1 || client.ended; },
                       std::chrono::seconds(20))) {
        return -1;
    }
    loop.RunFor(std::chrono::milliseconds(300));
    tarnwick::ScpRequest request;
    request.upload = upload;
    request.local_path = local_path;
    request.remote_path = remote_path;
    request.folder = folder;
    const std::size_t before = ResidentBytes();
    std::size_t peak = before;
    const double cpu_before = CpuSeconds();
    const Clock::time_point start = Clock::now();
    if (client.ssh->StartScp(request) != 0) return -1;
    auto* progress = client.ui.LastProgress();
    if (progress == nullptr) return -1;
    const bool ended = loop.RunUntil(
        [&] {
            peak = std::max(peak, ResidentBytes());
            return progress->closed || client.ended;
        },
        std::chrono::seconds(600));
    const double seconds = Seconds(Clock::now() - start);
    cpu_share = (CpuSeconds() - cpu_before) / seconds;
    grown = peak - before;
    client.terminal->Close();
    struct stat copy {};
    const bool whole =
        stat(arrived.c_str(), &copy) == 0 && static_cast<std::size_t>(copy.st_size) == file_bytes;
    return ended && !client.ended && whole ? static_cast<double>(file_bytes) / seconds : -1;
}

// OpenSSH's scp with the options of ssh's args (SshArguments): seconds for one copy, or -1.
double TheirScp(std::vector<std::string> args, const std::string& askpass, const std::string& from,
                const std::string& to) {
    args.pop_back();  // scp takes the account and host with the paths
    args[0] = "scp";
    args[3] = "-P";  // scp's port option
    args.insert(args.begin() + 1, {"-O", "-q"});
    args.push_back(from);
    args.push_back(to);
    const SshRun run = RunSsh(args, askpass, false, true);
    return run.succeeded ? run.last : -1;
}

// The far end of a forward: takes one connection on 127.0.0.1 and reads until the expected
// bytes came or the connection ended, noting when the last byte came.
class Sink {
  public:
    explicit Sink(std::size_t expected) : expected_(expected) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Sink() { thread_.join(); }
    int port() const { return listener_.port(); }
    bool done() const { return done_.load(); }
    std::size_t received() const { return received_; }
    Clock::time_point finished() const { return finished_; }

  private:
    void Run() {
        const int fd = listener_.Accept(60000);
        if (fd >= 0) {
            std::vector<char> buffer(1 << 16);
            while (received_ < expected_) {
                const ssize_t got = read(fd, buffer.data(), buffer.size());
                if (got <= 0) break;
                received_ += static_cast<std::size_t>(got);
            }
            finished_ = Clock::now();
            close(fd);
        }
        done_ = true;
    }

    std::size_t expected_;
    std::size_t received_ = 0;
    Clock::time_point finished_;
    std::atomic<bool> done_{false};
    tarnwick::testing::LoopbackListener listener_;
    std::thread thread_;
};

// Writes count bytes into a connected socket and closes it.
void Feed(int fd, std::size_t count) {
    std::string block(1 << 20, 'x');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('!' + i % 94);
    for (std::size_t sent = 0; sent < count;) {
        const std::size_t n = std::min(block.size(), count - sent);
        if (!tarnwick::testing::WriteAll(fd, block.substr(0, n))) break;
        sent += n;
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

// Our client: bytes per second through a local forward to a sink.
double OurForward(tarnwick::EventLoop& loop, int port, Client::Choice choice, std::size_t bytes) {
    Sink sink(bytes);
    Client client(port, choice);
    client.config.SetInt(tarnwick::setting::ssh2_want_interactive, 0);
    client.config.AddForward({0, static_cast<std::uint32_t>(sink.port()), "127.0.0.1", 0});
    if (client.terminal->Open(&client.config) != 0) return -1;
    if (!loop.RunUntil([&] { return client.ssh->IsConnected() == 1 || client.ended; },
                       std::chrono::seconds(20)) ||
        client.ssh->ListenerPorts().empty()) {
        return -1;
    }
    const int fd =
        tarnwick::testing::ConnectLoopback(static_cast<int>(client.ssh->ListenerPorts()[0]));
    if (fd < 0) return -1;
    const Clock::time_point start = Clock::now();
    std::thread feeder([fd, bytes] { Feed(fd, bytes); });
    loop.RunUntil([&] { return sink.done() || client.ended; }, std::chrono::seconds(300));
    feeder.join();
    client.terminal->Close();
    if (sink.received() != bytes) return -1;
    return static_cast<double>(bytes) / Seconds(sink.finished() - start);
}

// ssh -N -L: bytes per second through its forward to a sink.
double SshForward(std::vector<std::string> args, const std::string& askpass, std::size_t bytes) {
    Sink sink(bytes);
    tarnwick::testing::ReservedPort local;
    args.insert(
        args.begin() + 1,
        {"-N", "-L", std::to_string(local.port()) + ":127.0.0.1:" + std::to_string(sink.port())});
    const pid_t pid = StartSsh(std::move(args), askpass, -1);
    // ssh listens on the forward's port once it has logged in.
    int fd = -1;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (fd < 0 && Clock::now() < deadline) {
        fd = tarnwick::testing::ConnectLoopback(local.port());
        if (fd < 0) {
            pollfd none{-1, 0, 0};
            poll(&none, 0, 20);
        }
    }
    double rate = -1;
    if (fd >= 0) {
        const Clock::time_point start = Clock::now();
        std::thread feeder([fd, bytes] { Feed(fd, bytes); });
        feeder.join();
        while (!sink.done()) {
            pollfd none{-1, 0, 0};
            poll(&none, 0, 5);
        }
        if (sink.received() == bytes)
            rate = static_cast<double>(bytes) / Seconds(sink.finished() - start);
    }
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
    return rate;
}

void Row(const char* what, double ours, double theirs, const char* unit, bool lower_is_better) {
    const double ratio = theirs > 0 && ours > 0 ? ours / theirs : 0;
    std::printf("| %-44s | %10.3f | %10.3f | %-5s | %6.2fx %s|\n", what, ours, theirs, unit, ratio,
                lower_is_better ? "(time)  " : "(speed) ");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false, scp_only = false;
    for (int i = 1; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        scp_only = scp_only || std::strcmp(argv[i], "--scp") == 0;
    }
    const int connections = quick ? 5 : 15;
    const std::size_t file_bytes = (quick ? 30 : 100) * 1000 * 1000;
    const std::size_t scp_bytes = (quick ? 50 : 200) * 1000 * 1000;
    if (geteuid() != 0 || !tarnwick::testing::EnsureTestAccount()) {
        std::fprintf(stderr, "bench_ssh needs root: it starts sshd and creates %s\n", kTestUser);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    tarnwick::testing::IsolatedConfig isolated;
    tarnwick::RegistryStore::Instance().Close();
    tarnwick::Preferences::Instance().SetInt(tarnwick::pref::EnableICM, 0);
    tarnwick::EventLoop loop;
    tarnwick::testing::SshdServer server("PrintMotd no\nPrintLastLog no");
    if (!server.ok()) {
        std::fprintf(stderr, "sshd: %s\n", server.error().c_str());
        return 1;
    }
    // The askpass program and the file to copy, readable by the test account.
    char dir_template[] = "/tmp/tarnwick-bench-XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    chmod(dir.c_str(), 0755);
    const std::string askpass = dir + "/askpass";
    {
        std::ofstream script(askpass);
        script << "#!/bin/sh\necho '" << kTestPassword << "'\n";
    }
    chmod(askpass.c_str(), 0755);
    const std::string path = dir + "/bulk.txt";
    {
        std::ofstream file(path, std::ios::binary);
        std::string line;
        std::size_t written = 0;
        unsigned seed = 1;
        while (written < file_bytes) {
            line.clear();
            for (int i = 0; i < 79; ++i) {
                seed = seed * 1103515245 + 12345;
                line.push_back(static_cast<char>('!' + (seed >> 16) % 94));
            }
            line.push_back('\n');
            const std::size_t n = std::min(line.size(), file_bytes - written);
            file.write(line.data(), static_cast<std::streamsize>(n));
            written += n;
        }
    }
    chmod(path.c_str(), 0644);
    const std::string empty = dir + "/empty.txt";
    std::ofstream(empty).close();
    chmod(empty.c_str(), 0644);

    if (scp_only) {
        std::printf("SSH2 SCP against OpenSSH's scp -O, same sshd on 127.0.0.1, %zu MB file\n\n",
                    scp_bytes / 1000000);
    } else {
        std::printf(
            "SSH2 client against OpenSSH's ssh, same sshd on 127.0.0.1, %d connections, "
            "%zu MB file\n\n",
            connections, file_bytes / 1000000);
    }
    std::printf("| %-44s | %10s | %10s | %-5s | %-15s |\n", "measure", "ours", "OpenSSH", "unit",
                "ours/OpenSSH");
    std::printf(
        "|----------------------------------------------|------------|------------|-------|"
        "-----------------|\n");
    // Today's algorithms, against sshd as Debian installs it (Ed25519 host key).
    tarnwick::testing::SshdServer modern(
        tarnwick::testing::SshdConfig::Default("PrintMotd no\nPrintLastLog no", {"ed25519"}));
    if (!modern.ok()) {
        std::fprintf(stderr, "sshd: %s\n", modern.error().c_str());
        return 1;
    }
    const std::int32_t kChaCha = 5, kAes128Ctr = 6, kAes128Gcm = 9, kEtm256 = 7, kEd25519 = 2,
                       kCurve25519 = 10;
    // The first connection to each server answers the host-key question; it is not measured.
    OurConnect(loop, server.port(), Client::Choice{});
    OurConnect(loop, modern.port(), Client::Choice{kChaCha, kEtm256, kEd25519, kCurve25519});

    if (!scp_only) {
        struct Kex {
            const char* name;
            const char* sshd;
        } exchanges[] = {{"group1", "diffie-hellman-group1-sha1"},
                         {"group exchange", "diffie-hellman-group-exchange-sha1"}};
        for (const Kex& kex : exchanges) {
            tarnwick::testing::SshdServer kex_server(std::string("KexAlgorithms ") + kex.sshd +
                                                     "\nPrintMotd no\nPrintLastLog no");
            if (!kex_server.ok()) return 1;
            OurConnect(loop, kex_server.port(), Client::Choice{});  // host key saved
            std::vector<double> ours, theirs;
            for (int i = 0; i < connections; ++i) {
                const double a = OurConnect(loop, kex_server.port(), Client::Choice{});
                // A terminal for the remote shell, so that it prints its prompt as ours does.
                std::vector<std::string> args =
                    SshArguments(kex_server.port(), kex.sshd, "aes128-cbc");
                args.insert(args.begin() + 1, "-tt");
                SshRun b = RunSsh(args, askpass, true);
                if (a > 0) ours.push_back(a);
                if (b.first > 0) theirs.push_back(b.first);
            }
            const std::string what = std::string("(a) connect to first output, ") + kex.name;
            Row(what.c_str(), Median(ours) * 1000, Median(theirs) * 1000, "ms", true);
        }

        struct Cipher {
            const char* name;
            std::int32_t id;
        } ciphers[] = {{"aes128-cbc", 3}, {"3des-cbc", 4}};
        const int rounds = quick ? 1 : 3;
        for (const Cipher& cipher : ciphers) {
            // `ssh host cat FILE > /dev/null`, less the same command on an empty file (connecting,
            // logging in, starting cat), so that both figures count the transfer alone; and the
            // same with a terminal on the server (-tt), as the session channel always has one.
            std::vector<std::string> args =
                SshArguments(server.port(), "diffie-hellman-group1-sha1", cipher.name);
            args.push_back("cat");
            std::vector<std::string> empty_args = args;
            empty_args.push_back(empty);
            args.push_back(path);
            std::vector<std::string> tty_args = args;
            tty_args.insert(tty_args.begin() + 1, "-tt");
            std::vector<std::string> tty_empty = empty_args;
            tty_empty.insert(tty_empty.begin() + 1, "-tt");
            auto ssh_rate = [&](const std::vector<std::string>& big,
                                const std::vector<std::string>& small) {
                std::vector<double> fixed;
                for (int i = 0; i < 3; ++i)
                    fixed.push_back(RunSsh(small, askpass, false, true).last);
                const double transfer = RunSsh(big, askpass, false, true).last - Median(fixed);
                return transfer > 0 ? static_cast<double>(file_bytes) / transfer : 0;
            };
            std::vector<double> ours, shares, theirs, tty;
            for (int round = 0; round < rounds; ++round) {
                double cpu_share = 0;
                ours.push_back(OurBulk(loop, server.port(), Client::Choice{cipher.id}, path,
                                       file_bytes, cpu_share));
                shares.push_back(cpu_share);
                theirs.push_back(ssh_rate(args, empty_args));
                tty.push_back(ssh_rate(tty_args, tty_empty));
            }
            const std::string what = std::string("(b) 100 MB cat, ") + cipher.name + " hmac-sha1";
            Row(what.c_str(), Median(ours) / 1e6, Median(theirs) / 1e6, "MB/s", false);
            Row("    OpenSSH with ssh -tt (server terminal)", Median(ours) / 1e6, Median(tty) / 1e6,
                "MB/s", false);
            std::printf("|     our process was busy %3.0f%% of that time%55s|\n",
                        Median(shares) * 100, "");
        }

        struct ModernKex {
            const char* name;
            std::int32_t id;
        } modern_kex[] = {{"curve25519-sha256", 10}, {"sntrup761x25519-sha512@openssh.com", 12}};
        for (const ModernKex& kex : modern_kex) {
            std::vector<double> ours, theirs;
            for (int i = 0; i < connections; ++i) {
                ours.push_back(OurConnect(loop, modern.port(),
                                          Client::Choice{kChaCha, kEtm256, kEd25519, kex.id}));
                std::vector<std::string> args =
                    SshArguments(modern.port(), kex.name, "chacha20-poly1305@openssh.com",
                                 "ssh-ed25519", "hmac-sha2-256-etm@openssh.com");
                args.insert(args.begin() + 1, "-tt");
                SshRun b = RunSsh(args, askpass, true);
                if (b.first > 0) theirs.push_back(b.first);
            }
            std::erase_if(ours, [](double v) { return v <= 0; });
            const std::string what = std::string("(d) connect, ") + kex.name + " ed25519";
            Row(what.c_str(), Median(ours) * 1000, Median(theirs) * 1000, "ms", true);
        }
        struct ModernCipher {
            const char* name;
            std::int32_t id;
        } modern_ciphers[] = {{"chacha20-poly1305@openssh.com", kChaCha},
                              {"aes128-gcm@openssh.com", kAes128Gcm}};
        for (const ModernCipher& cipher : modern_ciphers) {
            std::vector<std::string> args =
                SshArguments(modern.port(), "curve25519-sha256", cipher.name, "ssh-ed25519",
                             "hmac-sha2-256-etm@openssh.com");
            args.insert(args.begin() + 1, "-tt");
            args.push_back("cat");
            std::vector<std::string> empty_args = args;
            empty_args.push_back(empty);
            args.push_back(path);
            std::vector<double> ours, theirs;
            for (int round = 0; round < rounds; ++round) {
                double cpu_share = 0;
                ours.push_back(OurBulk(loop, modern.port(),
                                       Client::Choice{cipher.id, kEtm256, kEd25519, kCurve25519},
                                       path, file_bytes, cpu_share));
                std::vector<double> fixed;
                for (int i = 0; i < 3; ++i)
                    fixed.push_back(RunSsh(empty_args, askpass, false, true).last);
                const double transfer = RunSsh(args, askpass, false, true).last - Median(fixed);
                theirs.push_back(transfer > 0 ? static_cast<double>(file_bytes) / transfer : 0);
            }
            const std::string what = std::string("(e) cat vs ssh -tt, ") + cipher.name;
            Row(what.c_str(), Median(ours) / 1e6, Median(theirs) / 1e6, "MB/s", false);
        }
        {
            std::vector<double> ours, theirs;
            for (int round = 0; round < rounds; ++round) {
                ours.push_back(OurForward(loop, modern.port(),
                                          Client::Choice{kChaCha, kEtm256, kEd25519, kCurve25519},
                                          file_bytes));
                theirs.push_back(
                    SshForward(SshArguments(modern.port(), "curve25519-sha256",
                                            "chacha20-poly1305@openssh.com", "ssh-ed25519",
                                            "hmac-sha2-256-etm@openssh.com"),
                               askpass, file_bytes));
            }
            Row("(f) local forward vs ssh -L, chacha20-poly1305", Median(ours) / 1e6,
                Median(theirs) / 1e6, "MB/s", false);
        }
    }

    // (c) SCP both ways. The files to fetch lie in the shared folder, readable by the test
    // account; uploads land in its home folder.
    const std::string scp_source = dir + "/scp-bench.bin";
    {
        std::ofstream file(scp_source, std::ios::binary);
        std::string block(1 << 20, '\0');
        unsigned seed = 7;
        for (std::size_t written = 0; written < scp_bytes; written += block.size()) {
            for (char& c : block) {
                seed = seed * 1103515245 + 12345;
                c = static_cast<char>(seed >> 16);
            }
            file.write(block.data(),
                       static_cast<std::streamsize>(std::min(block.size(), scp_bytes - written)));
        }
    }
    chmod(scp_source.c_str(), 0644);
    const std::string received = dir + "/received";
    mkdir(received.c_str(), 0755);
    const std::string remote = std::string(kTestUser) + "@127.0.0.1:";
    const passwd* account = getpwnam(kTestUser);
    const std::string home = account != nullptr ? std::string(account->pw_dir) + "/" : "";
    const int scp_rounds = quick ? 1 : 3;
    // Both clients with the same algorithms in each row: today's two against the default sshd,
    // and the legacy ones of (b) against the legacy-configured sshd for comparison with earlier
    // figures.
    struct ScpAlgorithms {
        const char* label;
        int port;
        Client::Choice ours;
        std::vector<std::string> ssh;
    } scp_algorithms[] = {
        {"aes128-ctr sha2-256-etm", modern.port(),
         Client::Choice{kAes128Ctr, kEtm256, kEd25519, kCurve25519},
         SshArguments(modern.port(), "curve25519-sha256", "aes128-ctr", "ssh-ed25519",
                      "hmac-sha2-256-etm@openssh.com")},
        {"chacha20-poly1305", modern.port(),
         Client::Choice{kChaCha, kEtm256, kEd25519, kCurve25519},
         SshArguments(modern.port(), "curve25519-sha256", "chacha20-poly1305@openssh.com",
                      "ssh-ed25519", "hmac-sha2-256-etm@openssh.com")},
        {"aes128-cbc sha1, legacy", server.port(), Client::Choice{},
         SshArguments(server.port(), "diffie-hellman-group1-sha1", "aes128-cbc")},
    };
    for (const ScpAlgorithms& algorithms : scp_algorithms) {
        for (bool upload : {true, false}) {
            // What scp takes for an empty file the same way (connecting, logging in, starting the
            // remote scp) is not the transfer.
            std::vector<double> fixed;
            for (int i = 0; i < 3; ++i) {
                fixed.push_back(upload ? TheirScp(algorithms.ssh, askpass, empty,
                                                  remote + "scp-bench-empty.bin")
                                       : TheirScp(algorithms.ssh, askpass, remote + empty,
                                                  received + "/scp-bench-empty.bin"));
            }
            const double setup = Median(fixed);
            unlink((home + "scp-bench-empty.bin").c_str());
            unlink((received + "/scp-bench-empty.bin").c_str());
            std::vector<double> ours, theirs, shares;
            std::size_t grown = 0;
            for (int round = 0; round < scp_rounds; ++round) {
                std::size_t round_grown = 0;
                double cpu_share = 0;
                ours.push_back(OurScp(loop, algorithms.port, algorithms.ours, upload, scp_source,
                                      scp_source, received, scp_bytes,
                                      upload ? home + "scp-bench.bin" : received + "/scp-bench.bin",
                                      round_grown, cpu_share));
                shares.push_back(cpu_share);
                grown = std::max(grown, round_grown);
                unlink((home + "scp-bench.bin").c_str());
                unlink((received + "/scp-bench.bin").c_str());
                const double t = upload ? TheirScp(algorithms.ssh, askpass, scp_source,
                                                   remote + "scp-bench-theirs.bin")
                                        : TheirScp(algorithms.ssh, askpass, remote + scp_source,
                                                   received + "/scp-bench-theirs.bin");
                theirs.push_back(t > setup ? static_cast<double>(scp_bytes) / (t - setup) : 0);
                unlink((home + "scp-bench-theirs.bin").c_str());
                unlink((received + "/scp-bench-theirs.bin").c_str());
            }
            const std::string what = std::string("(c) SCP ") + std::to_string(scp_bytes / 1000000) +
                                     " MB " + (upload ? "up" : "down") + ", " + algorithms.label;
            Row(what.c_str(), Median(ours) / 1e6, Median(theirs) / 1e6, "MB/s", false);
            std::printf("|     our resident memory grew by at most %5.1f MB during the copy%37s|\n",
                        static_cast<double>(grown) / 1e6, "");
            std::printf("|     our process was busy %3.0f%% of that time%55s|\n",
                        Median(shares) * 100, "");
        }
    }
    rmdir(received.c_str());
    unlink(scp_source.c_str());

    unlink(path.c_str());
    unlink(empty.c_str());
    unlink(askpass.c_str());
    rmdir(dir.c_str());
    return 0;
}
