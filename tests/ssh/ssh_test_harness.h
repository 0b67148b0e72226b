// An IO_SSH2 under test, wired to the in-memory test server: a recording layer (or a VT100)
// above, a pipe below that hands what the client sends to the server, and the event loop that
// plays the user-interface thread (the key-exchange workers notify it, as they would the view).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "ssh/ssh2.h"
#include "ssh/ssh_test_server.h"
#include "support/recording_layer.h"
#include "support/test_util.h"

namespace tarnwick::testing {

// The transport stand-in: keeps what the layer above sends (from any thread).
class PipeLayer : public IO {
  public:
    PipeLayer() : IO(kLayerTCPIP, "TCP/IP") {}
    int Open(SessionConfig* config) override {
        AttachConfig(config);
        open_ = true;
        return 0;
    }
    void Close() override {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = false;
    }
    int IsLinkUp() override { return open_ ? 1 : 0; }
    int IsConnected() override { return open_ ? 1 : 0; }
    int Send(const std::uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!open_) return 11;
        sent_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        return 0;
    }
    int Receive(const std::uint8_t*, int) override { return 2; }
    int Display(const std::uint8_t*, int) override { return 2; }
    std::string Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string out;
        out.swap(sent_);
        return out;
    }
    bool open() const { return open_; }

  private:
    std::mutex mutex_;
    std::string sent_;
    bool open_ = false;
};

class SshHarness {
  public:
    explicit SshHarness(TestServer::Options options = {}) : server(std::move(options)) {
        RegistryStore::Instance().Close();
        config.SetInt(setting::session_kind, kKindSSH2);
        config.SetNarrow(setting::hostname, "testhost");
        config.SetNarrow(setting::username, "alice");
        config.SetSessionCallback(&SshHarness::OnDataArrived, this);
        top = std::make_unique<RecordingLayer>();
        ssh = new IO_SSH2();
        pipe = new PipeLayer();
        EXPECT_EQ(ssh->InsertBelow(pipe), 0);
        EXPECT_EQ(top->InsertBelow(ssh), 0);
    }
    ~SshHarness() {
        top.reset();
        RegistryStore::Instance().Close();
    }

    // Opens the chain; the host key is accepted and saved unless the test queued otherwise.
    int Open(bool accept_host_key = true) {
        if (accept_host_key) ui.QueueYesNo(true);
        return top->Open(&config);
    }

    // One round: the client's bytes to the server, the server's bytes to the client (in chunks
    // of `chunk` bytes when it is set), then the events of the user-interface thread.
    void Step() {
        std::string from_client = pipe->Take();
        if (!from_client.empty()) server.FromClient(from_client);
        std::string to_client = server.TakeOutput();
        Deliver(to_client);
        loop.ProcessOnce(std::chrono::milliseconds(1));
    }
    void Deliver(const std::string& bytes) {
        std::size_t size = chunk == 0 ? bytes.size() : chunk;
        for (std::size_t at = 0; at < bytes.size(); at += size) {
            int result = ssh->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                                      static_cast<int>(std::min(size, bytes.size() - at)));
            if (result != 0 && last_error == 0) last_error = result;
        }
    }
    bool RunUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            Step();
        }
        return true;
    }
    // Runs a few rounds whatever happens (to see that nothing more does).
    void Settle(int rounds = 20) {
        for (int i = 0; i < rounds; ++i)
            Step();
    }
    bool WaitConnected() {
        return RunUntil([this] { return ssh->IsConnected() == 1; });
    }
    // Opens with the host key accepted and the right password queued, up to the connected state.
    bool LogIn() {
        ui.QueuePrompt(std::string("secret"));
        return Open() == 0 && WaitConnected();
    }
    std::string Shown() { return top->Displayed(); }
    bool Showed(const std::string& text) { return Shown().find(text) != std::string::npos; }
    int Type(const std::string& keys) {
        return ssh->Send(reinterpret_cast<const std::uint8_t*>(keys.data()),
                         static_cast<int>(keys.size()));
    }

    IsolatedConfig isolated;
    ScriptedUi ui;
    EventLoop loop;
    SessionConfig config;
    TestServer server;
    std::unique_ptr<RecordingLayer> top;
    IO_SSH2* ssh = nullptr;     // owned by top
    PipeLayer* pipe = nullptr;  // owned by ssh
    std::size_t chunk = 0;
    int last_error = 0;

  private:
    static void OnDataArrived(void* context, IO* layer) {
        auto* self = static_cast<SshHarness*>(context);
        UiDispatcher::Instance().RunAndWait([self, layer] {
            int result = layer->Pump();
            if (result != 0 && self->last_error == 0) self->last_error = result;
        });
    }
};

}  // namespace tarnwick::testing
