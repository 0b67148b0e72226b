// The client side of the TLS interoperability tests and benchmark: a chain as the session builder
// makes it for a TLS terminal session (a recording layer in the terminal's place, IO_SSL,
// IO_TCPIP), scripted user-interface services, and the event loop that plays the user-interface
// thread. Each client's configuration, registry and known hosts live in a temporary folder.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "platform/ui_dispatcher.h"
#include "ssl/ssl.h"
#include "support/chain_driver.h"
#include "support/recording_layer.h"
#include "support/test_util.h"
#include "transport/tcpip.h"

namespace tarnwick::testing {

// Certificates signed by an authority whose certificate lies in folder are trusted without a
// question.
inline void TrustCaFolder(const std::string& folder) {
    Preferences::Instance().SetWide(pref::CAPath, Utf8ToUtf16(folder));
}

// The user-interface thread's part of the test: a place for known hosts and preferences, the
// scripted answers and the loop. Several clients may share one.
struct TlsTestEnvironment {
    explicit TlsTestEnvironment(const std::string& ca_folder = "") {
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        TrustCaFolder(ca_folder);
    }
    ~TlsTestEnvironment() { RegistryStore::Instance().Close(); }

    IsolatedConfig isolated;
    ScriptedUi ui;
    EventLoop loop;
};

class TlsClient : public ChainDriver {
  public:
    TlsClient(EventLoop& loop, const std::string& host, int port) : ChainDriver(loop) {
        config.SetInt(setting::session_kind, kKindSSL);
        config.SetNarrow(setting::hostname, host.c_str());
        config.SetInt(setting::portnum, port);
        DriveFrom(config);
        top = new RecordingLayer();
        ssl = new IO_SSL();
        tcp = new IO_TCPIP();
        chain_.reset(top);
        (void)ssl->InsertBelow(tcp);
        (void)top->InsertBelow(ssl);
    }
    ~TlsClient() { chain_.reset(); }

    int Open() { return top->Open(&config); }
    void Close() { ssl->Close(); }
    bool WaitConnected() {
        return RunUntil([this] { return ssl->IsConnected() == 1; });
    }
    // Sends data in pieces while the loop runs and waits for its echo; true when all of it came
    // back as it was sent.
    bool Echo(const std::string& data, std::size_t piece = 20000) {
        const std::size_t before = top->Received().size();
        for (std::size_t at = 0; at < data.size(); at += piece) {
            const std::string part = data.substr(at, piece);
            if (ssl->Send(reinterpret_cast<const std::uint8_t*>(part.data()),
                          static_cast<int>(part.size())) != 0) {
                return false;
            }
            RunUntil([&] { return top->Received().size() >= before + at; },
                     std::chrono::seconds(30));
        }
        return RunUntil([&] { return top->Received().size() >= before + data.size(); },
                        std::chrono::seconds(60)) &&
               top->Received().substr(before) == data;
    }
    std::string Displayed() { return top->Displayed(); }

    SessionConfig config;
    RecordingLayer* top = nullptr;
    IO_SSL* ssl = nullptr;
    IO_TCPIP* tcp = nullptr;

  private:
    void CloseChain() override { ssl->Close(); }

    std::unique_ptr<IO> chain_;
};

}  // namespace tarnwick::testing
