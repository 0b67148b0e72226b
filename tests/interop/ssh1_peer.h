// The SSH protocol 1 peer of the interoperability tests: the independent Python server
// (ssh1_server.py), started on port 0 with the port read back from its log, and the client chain
// the session builder makes (a VT100 with a memory display, or any layer, above IO_SSH1 above
// IO_TCPIP) with scripted user-interface services and the event loop that plays the
// user-interface thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "ssh/ssh1.h"
#include "support/chain_driver.h"
#include "support/child_process.h"
#include "support/inetd.h"
#include "support/test_util.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"
#include "transport/tcpip.h"

namespace tarnwick::testing {

class Ssh1Server : public ReportingServer {
  public:
    // Keys by size: "1024" or "1536"; the two must differ.
    explicit Ssh1Server(const std::vector<std::string>& options = {},
                        const std::string& server_key = "1024",
                        const std::string& host_key = "1536")
        : ReportingServer(Argv(options, server_key, host_key)) {}

  private:
    static std::vector<std::string> Argv(const std::vector<std::string>& options,
                                         const std::string& server_key,
                                         const std::string& host_key) {
        const std::string source = std::string(TARNWICK_SOURCE_DIR) + "/tests/interop/";
        std::vector<std::string> argv = {
            "/usr/bin/python3", source + "ssh1_server.py",
            "--server-key",     source + "ssh1_keys/rsa" + server_key + ".pem",
            "--host-key",       source + "ssh1_keys/rsa" + host_key + ".pem"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }
};

class Ssh1Client : public ChainDriver {
  public:
    static constexpr const char* kUser = "tarnwick";

    // top: the layer above IO_SSH1; without one a VT100 on the memory display.
    explicit Ssh1Client(std::unique_ptr<IO> top = nullptr)
        : ChainDriver(loop), top_(std::move(top)) {
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        config.SetInt(setting::session_kind, kKindSSH1);
        config.SetNarrow(setting::hostname, "127.0.0.1");
        config.SetNarrow(setting::username, kUser);
        config.SetInt(setting::rows, 24);
        config.SetInt(setting::columns, 80);
        config.SetInt(setting::debug, 1);
        DriveFrom(config);
    }
    ~Ssh1Client() {
        top_.reset();
        RegistryStore::Instance().Close();
    }

    int Open(int port) {
        config.SetInt(setting::portnum, port);
        if (!top_) top_ = std::make_unique<VT100>(&display, &config);
        ssh = new IO_SSH1();
        auto* tcp = new IO_TCPIP();
        EXPECT_EQ(ssh->InsertBelow(tcp), 0);
        EXPECT_EQ(top_->InsertBelow(ssh), 0);
        return top_->Open(&config);
    }
    bool WaitConnected() {
        return RunUntil([this] { return ssh->IsConnected() == 1; });
    }
    bool WaitShows(const std::string& text) {
        return RunUntil([&] { return Screen().find(text) != std::string::npos; });
    }
    bool WaitEnded() {
        return loop.RunUntil([&] { return ended.load(); }, std::chrono::seconds(20));
    }
    std::string Screen() const {
        std::string text;
        for (int r = 0; r < display.total_rows(); ++r)
            text += display.RowText(r) + "\n";
        return text;
    }
    int Type(const std::string& keys) {
        return ssh->Send(reinterpret_cast<const std::uint8_t*>(keys.data()),
                         static_cast<int>(keys.size()));
    }

    ScriptedUi ui;
    EventLoop loop;
    SessionConfig config;
    MemoryDisplay display;
    IO_SSH1* ssh = nullptr;

  private:
    void CloseChain() override {
        if (top_) top_->Close();
    }

    std::unique_ptr<IO> top_;
};

}  // namespace tarnwick::testing
