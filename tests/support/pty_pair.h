// A serial cable for tests: a connected pair of pseudo-terminals made by socat. What is written
// to one end is read at the other. socat makes links to both ends in a temporary folder and is
// ended by its pid with the object (both ends then hang up).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/test_util.h"

namespace tarnwick::testing {

class PtyPair {
  public:
    PtyPair() {
        socat_.Start({"socat", "pty,raw,echo=0,link=" + a(), "pty,raw,echo=0,link=" + b()},
                     dir_.File("socat.log"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Ready() && std::chrono::steady_clock::now() < deadline && socat_.Running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Both ends exist (socat is installed and running).
    bool Ready() const {
        std::error_code ec;
        return std::filesystem::exists(a(), ec) && std::filesystem::exists(b(), ec);
    }
    std::string a() const { return dir_.File("a"); }
    std::string b() const { return dir_.File("b"); }
    // The pseudo-terminal a link stands for ("/dev/pts/3").
    static std::string Target(const std::string& link) {
        std::error_code ec;
        return std::filesystem::canonical(link, ec).string();
    }
    // Ends socat: both ends hang up.
    void Stop() { socat_.Stop(); }
    const std::string& folder() const { return dir_.path(); }

  private:
    TempDir dir_;
    ChildProcess socat_;
};

// Opens a pseudo-terminal end for the test itself, raw, without blocking reads forever.
inline int OpenRawEnd(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    tcsetattr(fd, TCSANOW, &line);
    return fd;
}

// Reads until count bytes arrived or the time is up.
inline std::string ReadEnd(int fd, std::size_t count, int timeout_ms = 5000) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[4096];
    while (data.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) != 1) break;
        const ssize_t got = read(fd, chunk, std::min(sizeof chunk, count - data.size()));
        if (got <= 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    return data;
}

inline bool WriteEnd(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = write(fd, data.data() + done, data.size() - done);
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

}  // namespace tarnwick::testing
