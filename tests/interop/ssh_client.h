// The client side of the SSH interoperability tests: a session chain built as the session builder
// builds it (a VT100 terminal with a memory display, or a recording layer, above IO_SSH2 above
// IO_TCPIP), scripted user-interface services, and the event loop that plays the
// user-interface thread. Each test's configuration and registry live in a temporary folder, which
// is also the home folder (so ~/.ssh/known_hosts is the test's own).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "core/preferences.h"
#include "core/session_config.h"
#include "interop/ssh_sshd.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "ssh/ssh2.h"
#include "support/chain_driver.h"
#include "support/recording_layer.h"
#include "support/test_util.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"
#include "transport/tcpip.h"

namespace tarnwick::testing {

// A test name from an algorithm name: letters and digits, the rest as underscores.
inline std::string TestNameOf(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

class SshClient : public ChainDriver {
  public:
    // with_terminal: a VT100 on top (the screen model); otherwise a recording layer that keeps
    // every byte that comes up.
    explicit SshClient(bool with_terminal = true)
        : ChainDriver(loop), with_terminal_(with_terminal) {
        if (const char* home = std::getenv("HOME")) old_home_ = home;
        setenv("HOME", isolated.path().c_str(), 1);
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        config.SetInt(setting::session_kind, kKindSSH2);
        config.SetNarrow(setting::hostname, "127.0.0.1");
        config.SetNarrow(setting::username, kTestUser);
        config.SetInt(setting::rows, 24);
        config.SetInt(setting::columns, 80);
        config.SetInt(setting::scrollback, 200);
        DriveFrom(config);
    }
    ~SshClient() {
        top_.reset();
        RegistryStore::Instance().Close();
        setenv("HOME", old_home_.c_str(), 1);
    }

    // Builds the chain and opens it from the top; the result of Open.
    int Open(int port) {
        config.SetInt(setting::portnum, port);
        if (with_terminal_) {
            auto vt = std::make_unique<VT100>(&display, &config);
            terminal = vt.get();
            top_ = std::move(vt);
        } else {
            auto recorder = std::make_unique<RecordingLayer>();
            recorder->open_lower = true;
            recorder_ = recorder.get();
            top_ = std::move(recorder);
        }
        ssh = new IO_SSH2();
        tcp = new IO_TCPIP();
        EXPECT_EQ(ssh->InsertBelow(tcp), 0);
        EXPECT_EQ(top_->InsertBelow(ssh), 0);
        return top_->Open(&config);
    }

    bool WaitConnected(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return RunUntil([this] { return ssh->IsConnected() == 1; }, limit);
    }
    // Opens towards port, accepting the unknown host key and giving the password when asked;
    // true once the session runs.
    bool LogIn(int port, const std::string& password = kTestPassword) {
        ui.QueueYesNo(true);
        ui.QueuePrompt(password);
        return Open(port) == 0 && WaitConnected();
    }
    // Everything the terminal shows, row by row.
    std::string Screen() const {
        std::string text;
        for (int r = 0; r < display.rows(); ++r)
            text += display.ScreenLine(r) + "\n";
        return text;
    }
    // Every row the terminal keeps, scroll-back included.
    std::string AllRows() const {
        std::string text;
        for (int r = 0; r < display.total_rows(); ++r) {
            std::string row = display.RowText(r);
            while (!row.empty() && row.back() == ' ')
                row.pop_back();
            text += row + "\n";
        }
        return text;
    }
    // Bytes that reached the top: the screen's lines, or the recorder's bytes.
    std::string Output() const { return recorder_ ? recorder_->Received() : Screen(); }
    std::string Displayed() const { return recorder_ ? recorder_->Displayed() : Screen(); }
    bool ShowsText(const std::string& text) const {
        return Output().find(text) != std::string::npos;
    }
    int Type(const std::string& keys) {
        return ssh->Send(reinterpret_cast<const std::uint8_t*>(keys.data()),
                         static_cast<int>(keys.size()));
    }
    // How many key exchanges the client has started (it says so in its debug messages).
    std::size_t KeyExchanges() const {
        std::size_t exchanges = 0;
        const std::string shown = Displayed();
        for (std::size_t at = 0;
             (at = shown.find("Starting key exchange", at)) != std::string::npos; ++at)
            ++exchanges;
        return exchanges;
    }
    void Close() {
        if (top_) top_->Close();
    }

    IsolatedConfig isolated;
    ScriptedUi ui;
    EventLoop loop;
    SessionConfig config;
    MemoryDisplay display;
    VT100* terminal = nullptr;
    IO_SSH2* ssh = nullptr;
    IO_TCPIP* tcp = nullptr;

  private:
    void CloseChain() override {
        if (top_) top_->Close();
    }

    bool with_terminal_;
    std::string old_home_;
    std::unique_ptr<IO> top_;
    RecordingLayer* recorder_ = nullptr;
};

}  // namespace tarnwick::testing
