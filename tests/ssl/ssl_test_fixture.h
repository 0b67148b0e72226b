// A TLS client chain for the layer tests: a recording layer in the terminal's place, IO_SSL, and
// the in-memory server in the transport's place, with scripted user-interface services, a
// private registry for known hosts, and the certificates of the tests' authority.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/preferences.h"
#include "core/session_config.h"
#include "interop/tls_peers.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "ssl/ssl.h"
#include "support/recording_layer.h"
#include "support/test_util.h"
#include "tls_test_server.h"

namespace tarnwick::testing {

class SslLayerTest : public ::testing::Test {
  protected:
    // One authority for the whole run, removed at exit.
    static TlsTestPki& Pki() {
        static TlsTestPki pki;
        return pki;
    }

    void SetUp() override {
        ASSERT_TRUE(Pki().ok()) << "openssl could not make the certificates";
        RegistryStore::Instance().Close();  // reopened in this test's folder
        SetCaFolder(Pki().ca_folder());
        config_.SetNarrow(setting::hostname, "localhost");
        config_.SetInt(setting::portnum, 443);
    }
    void TearDown() override {
        chain_.reset();
        RegistryStore::Instance().Close();
    }

    static void SetCaFolder(const std::string& folder) {
        Preferences::Instance().SetWide(pref::CAPath, Utf8ToUtf16(folder));
    }

    // The server's options for one of the tests' certificates.
    static TlsTestServer::Options ServerOptions(const std::string& certificate = "server") {
        TlsTestServer::Options options;
        options.certificate_der = Pki().Der(certificate);
        options.key_pem = Pki().key();
        return options;
    }

    // A fresh chain (the previous one is destroyed).
    void Build(TlsTestServer::Options options) {
        chain_.reset();
        top_ = new RecordingLayer();
        ssl_ = new IO_SSL();
        server_ = new TlsTestServer(std::move(options));
        chain_.reset(top_);
        ASSERT_EQ(ssl_->InsertBelow(server_), 0);
        ASSERT_EQ(top_->InsertBelow(ssl_), 0);
    }

    // Opens the chain and lets the two sides talk until nothing is left to say; the last
    // nonzero status of the client's Receive, else 0. piece: the size of the pieces the server's
    // bytes are handed up in (0: as they were written).
    int Handshake(std::size_t piece = 0) {
        const int opened = top_->Open(&config_);
        if (opened != 0) return opened;
        return Exchange(piece);
    }
    int Exchange(std::size_t piece = 0) {
        for (int round = 0; round < 10 && server_->Waiting() > 0; ++round) {
            const int result = server_->Deliver(piece);
            if (result != 0) return result;
        }
        return 0;
    }
    int Type(const std::string& text) {
        return ssl_->Send(reinterpret_cast<const std::uint8_t*>(text.data()),
                          static_cast<int>(text.size()));
    }
    std::string Shown() { return top_->Displayed(); }
    bool ShowsText(const std::string& text) { return Shown().find(text) != std::string::npos; }

    IsolatedConfig isolated_;
    ScriptedUi ui_;
    SessionConfig config_;
    std::unique_ptr<IO> chain_;
    RecordingLayer* top_ = nullptr;
    IO_SSL* ssl_ = nullptr;
    TlsTestServer* server_ = nullptr;
};

}  // namespace tarnwick::testing
