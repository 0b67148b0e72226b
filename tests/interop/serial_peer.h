// What the serial interoperability tests share: a serial session on one end of a socat
// pseudo-terminal pair, lrzsz's sx or rx on the other end, and a relay that can sit in between
// (two pairs) and lose, spoil or hold back bytes on the way.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/session_fixture.h"
#include "support/test_util.h"
#include "transfer/simulated_line.h"

namespace tarnwick::testing {

// Forwards bytes between the test's ends of two pseudo-terminal pairs. A rule sees each byte with
// its direction and position and says what to pass on (nothing drops it).
class PtyRelay {
  public:
    enum Direction { kFromUs = 0, kToUs = 1 };
    using Rule = std::function<std::string(Direction, std::size_t position, char byte)>;

    PtyRelay(const std::string& our_side, const std::string& peer_side, Rule rule)
        : rule_(std::move(rule)) {
        fd_[kFromUs] = OpenRawEnd(our_side);
        fd_[kToUs] = OpenRawEnd(peer_side);
        thread_ = std::thread([this] { Run(); });
    }
    ~PtyRelay() {
        stop_ = true;
        thread_.join();
        for (int fd : fd_)
            if (fd >= 0) close(fd);
    }

  private:
    void Run() {
        std::size_t position[2] = {0, 0};
        char buffer[4096];
        while (!stop_) {
            pollfd wait[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
            if (poll(wait, 2, 20) <= 0) continue;
            for (int side = 0; side < 2; ++side) {
                if (!(wait[side].revents & POLLIN)) continue;
                const ssize_t got = read(fd_[side], buffer, sizeof buffer);
                if (got <= 0) continue;
                std::string out;
                for (ssize_t i = 0; i < got; ++i)
                    out += rule_(static_cast<Direction>(side), position[side]++, buffer[i]);
                WriteEnd(fd_[1 - side], out);
            }
        }
    }

    Rule rule_;
    int fd_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A serial session on a pseudo-terminal, driven the way the terminal view drives it.
class SerialSessionFixture : public SessionListFixture {
  public:
    SerialSessionFixture() { Preferences::Instance().SetInt(pref::TextPacing, 0); }
    ~SerialSessionFixture() {
        CloseSessions();
        Preferences::Instance().SetInt(pref::TextPacing, 10);
    }

    Session* Open(const std::string& device) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindSerial);
        config->SetWideFromNarrow(setting::serial_device, device.c_str());
        config->SetInt(setting::serial_speed, 115200);
        config->SetInt(setting::rows, 24);
        config->SetInt(setting::columns, 80);
        return session_ = Create(config);
    }
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return loop_.RunUntil(done, limit);
    }
    std::string Screen() { return ScreenText(session_); }
    // Runs a filter to its end (the session removes it); false when it did not start or end.
    // then runs once the filter has started.
    bool RunFilter(IO* filter, std::chrono::milliseconds limit = std::chrono::seconds(60),
                   const std::function<void()>& then = {}) {
        if (session_->StartFilter(filter) != 1) return false;
        if (then) then();
        return RunUntil([this] { return session_->GetFilter() == nullptr; }, limit);
    }
    // Starts an lrzsz command on a pseudo-terminal end, in the test's folder (rx takes only
    // names there, no paths), with its messages in the log.
    bool StartPeer(ChildProcess& peer, const std::string& command, const std::string& end) {
        return peer.Start({"sh", "-c",
                           "cd " + dir_.path() + " && exec " + command + " <" + end + " >" + end +
                               " 2>>" + dir_.File("peer.log")});
    }
    bool WaitForExit(ChildProcess& peer,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return RunUntil([&peer] { return !peer.Running(); }, limit);
    }
    std::string PeerLog() { return ReadFile(dir_.File("peer.log")); }

    TempDir dir_;
    Session* session_ = nullptr;
};

// Transfers without the half-second wait before each answer (a 10 000-byte file would take 40
// seconds with it).
inline xmodem::Timing Quick() {
    xmodem::Timing timing;
    timing.purge_ms = 10;
    return timing;
}

// Our sender against lrzsz's rx: rx empties its input right after it asks for a block, so a block
// that arrives in that moment is lost, and rx asks again only some ten seconds later. The sender
// waits a little longer than that for an answer, so the repeated request finds it still waiting.
inline xmodem::Timing TimingForRx() {
    xmodem::Timing timing;
    timing.purge_ms = 10;
    timing.answer_ms = 1500;
    return timing;
}

}  // namespace tarnwick::testing
