// The layer interface every session is built from. From top to bottom: the terminal, at most one
// transfer filter, a protocol layer (or a small stack), and a transport. Received bytes travel up
// with Receive, keystrokes and filter output travel down with Send, diagnostic text travels up with
// Display, and control requests travel down, each layer answering itself or forwarding.
//
// A layer owns the layer below it: destroying the terminal destroys the whole chain. Nothing owns
// the upper layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/io_buffer.h"
#include "core/status.h"

namespace tarnwick {

class Session;
class SessionConfig;

// What a protocol layer needs to know of the terminal at the top of its chain: the name it
// reports to the server and the size of its grid.
struct TerminalFacts {
    std::string type = "vt100";
    int columns = 80;
    int rows = 24;
};

// Layer-type codes; the names passed to the IO constructor are given beside each class.
enum LayerType : int {
    kLayerTCPIP = 1,            // "TCP/IP"
    kLayerSerial = 2,           // "Serial"
    kLayerTelnet = 3,           // "Telnet"
    kLayerSSH1 = 4,             // "SSH1"
    kLayerSSH2 = 5,             // "SSH2"
    kLayerSSL = 6,              // "SSL"
    kLayerVT = 7,               // "VT"
    kLayerCapture = 8,          // "Capture"
    kLayerSendAscii = 9,        // "Send Ascii"
    kLayerReceiveXmodem = 10,   // "Receive XModem"
    kLayerSendXmodem = 11,      // "Send XModem"
    kLayerSocketListener = 12,  // "Socket Listener"
    kLayerSocketWorker = 13,    // "Socket Worker"
    kLayerSTARTTLSProxy = 14,   // "STARTTLS Proxy"
};

class IO {
  public:
    IO(int type, const char* name);
    virtual ~IO();  // destroys the chain below, releases the config
    IO(const IO&) = delete;
    IO& operator=(const IO&) = delete;

    int GetType() const { return type_; }
    const char* GetName() const { return has_name_ ? name_.c_str() : nullptr; }
    IO* GetUpper() const { return upper_; }
    Session* GetSession() const { return session_; }
    SessionConfig* GetConfig() const { return config_; }
    // Stores the session in this layer and every layer below.
    void SetSession(Session* session);
    // This layer or the first layer above it that is a terminal (type 7), or nullptr.
    IO* FindTerminal();

    // Slot 1: stores config (taking a reference on it); the base returns 2.
    [[nodiscard]] virtual int Open(SessionConfig* config);
    virtual void Close() = 0;
    // 1 when this layer or any layer below is up.
    virtual int IsLinkUp();
    // 1 when this layer and every layer below are up.
    virtual int IsConnected();
    virtual int SetUpper(IO* layer);
    virtual int SetLower(IO* layer);
    // Splices layer in directly below this one (keeping a chain that layer already has below it
    // when this layer has no lower layer yet).
    [[nodiscard]] virtual int InsertBelow(IO* layer);
    virtual IO* GetLower() { return lower_; }
    // Unlinks and closes the layer below, linking this layer to the one after it. The caller owns
    // the returned layer.
    virtual IO* RemoveBelow();
    virtual int KeyInput(int key);
    virtual int SendByte(char c);
    virtual int SendString(const char* text);
    virtual int Send(const std::uint8_t* data, int length) = 0;
    // Takes the buffer when it holds bytes (and destroys it after the call whatever its outcome);
    // an absent or empty buffer gives 1 and stays with the caller.
    virtual int SendBuffer(std::unique_ptr<IO_Buffer>&& buffer);
    virtual int ReceiveByte(char c);
    virtual int Receive(const std::uint8_t* data, int length) = 0;
    virtual int ReceiveBuffer(std::unique_ptr<IO_Buffer>&& buffer);
    virtual int DisplayString(const char* text);
    virtual int Display(const std::uint8_t* data, int length) = 0;
    virtual int DisplayBuffer(std::unique_ptr<IO_Buffer>&& buffer);
    virtual int Pause();
    virtual int Resume();
    virtual int Is8BitClean();
    virtual int Request8Bit(int enable);
    virtual int GetParity();
    virtual int GetLineSpeed();
    virtual int CanSendBreak();
    virtual int SendBreak();
    virtual int Contains(IO* layer);
    [[nodiscard]] virtual int Pump();
    virtual int IsTerminal();
    virtual int FileTransfer(int command, const char* path);
    virtual int ReservedRequest();
    // The terminal's type and size, asked upward through the chain: true when a layer above (the
    // terminal) filled in facts; false leaves them as they were.
    virtual bool QueryTerminal(TerminalFacts* facts);
    // Bytes accepted by Send that the transport at the bottom has not yet written, asked downward
    // through the chain. A thread that produces bulk data (a port forward) waits while this is
    // high instead of letting the queue grow; Send itself never waits for the network.
    virtual std::size_t SendBacklog();

  protected:
    // Keeps config as this layer's settings, moving the layer's reference from an earlier record.
    void AttachConfig(SessionConfig* config);
    // Passes text up unchanged (what every layer but the terminal does with Display); 0 without an
    // upper layer.
    int DisplayUp(const std::uint8_t* data, int length);

    IO* upper_ = nullptr;
    IO* lower_ = nullptr;
    SessionConfig* config_ = nullptr;

  private:
    int type_;
    std::string name_;
    bool has_name_ = false;
    Session* session_ = nullptr;
};

}  // namespace tarnwick
