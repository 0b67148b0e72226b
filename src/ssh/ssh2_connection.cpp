// IO_SSH2, connection protocol: the session channel with its terminal request, local port
// forwards, SCP copies, and the channel messages from the server.
#include <cstdio>
#include <string>

#include "core/session_config.h"
#include "core/status.h"
#include "crypto/wire.h"
#include "platform/folders.h"
#include "platform/user_interface.h"
#include "ssh/scp_channel.h"
#include "ssh/ssh2.h"

#include "ssh/ssh2_agent.h"

namespace tarnwick {

namespace {

std::string ChannelLine(const char* format, std::uint32_t channel) {
    char line[120];
    std::snprintf(line, sizeof line, format, static_cast<unsigned long>(channel));
    return line;
}

}  // namespace

std::size_t IO_SSH2::ChannelCount() {
    std::lock_guard<std::mutex> guard(channels_mutex_);
    return channels_.size();
}

std::vector<std::uint32_t> IO_SSH2::ListenerPorts() {
    std::lock_guard<std::mutex> guard(listeners_mutex_);
    std::vector<std::uint32_t> ports;
    for (const auto& listener : listeners_)
        ports.push_back(listener->bound_port());
    return ports;
}

int IO_SSH2::Send(const std::uint8_t* data, int length) {
    if (state_.load() != kConnected || closed_.load()) return status::kNotConnected;
    if (length <= 0 || data == nullptr) return length == 0 ? status::kOk : status::kNothingToDo;
    if (session_channel_) {
        return session_channel_->SendData(data, static_cast<std::size_t>(length));
    }
    return want_interactive_ ? status::kNotConnected : status::kOk;
}

int IO_SSH2::OpenSessionChannel() {
    session_channel_ =
        std::make_unique<SSH2Channel>(this, NextChannelId(), SSH2Channel::kCloseEndsSession);
    has_session_channel_.store(true);
    session_channel_->set_state(SSH2Channel::kOpenRequested);
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgChannelOpen);
    packet->putCString("session");
    packet->putUint32(session_channel_->local_id());
    packet->putUint32(session_channel_->window_policy.initial);
    packet->putUint32(session_channel_->window_policy.max_packet);
    packet->finish();
    return sendPacket(*packet);
}

void IO_SSH2::CreateForwards() {
    std::vector<PortForward> forwards = config_->ForwardsCopy();
    if (forwards.empty()) return;
    Debug("Creating local port forwards\r\n");
    for (const PortForward& forward : forwards) {
        char line[200];
        std::snprintf(line, sizeof line, "Forwarding local port %d to %s:%d\r\n",
                      static_cast<int>(forward.local_port),
                      PrintableText(forward.remote_host).c_str(),
                      static_cast<int>(forward.remote_port));
        Debug(line);
        auto listener =
            std::make_unique<SSH2ForwardListener>(this, forward.local_port, forward.remote_host,
                                                  forward.remote_port, forward.allow_nonlocal != 0);
        if (!listener->Start()) {
            // A forward that silently does nothing would leave the user guessing.
            std::snprintf(line, sizeof line, "Could not listen on local port %d\r\n",
                          static_cast<int>(forward.local_port));
            Show(line);
        }
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        listeners_.push_back(std::move(listener));
    }
    forwards_created_ = true;
}

void IO_SSH2::AddChannel(std::unique_ptr<SSH2ForwardChannel> channel) {
    std::lock_guard<std::mutex> guard(channels_mutex_);
    if (closed_.load()) return;  // the layer is going away: the connection is dropped
    SSH2ForwardChannel* raw = channel.get();
    channels_.push_back(std::move(channel));
    // Started under the list lock so that Close cannot take the channel away in between.
    if (!raw->Start()) raw->set_state(SSH2Channel::kFailed);
}

SSH2Channel* IO_SSH2::FindChannel(std::uint32_t local_id) {
    if (session_channel_ && session_channel_->local_id() == local_id) {
        return session_channel_.get();
    }
    std::lock_guard<std::mutex> guard(channels_mutex_);
    for (const auto& channel : channels_) {
        if (channel->local_id() == local_id) return channel.get();
    }
    return nullptr;
}

void IO_SSH2::RemoveChannel(std::uint32_t local_id) {
    std::unique_ptr<SSH2Channel> removed;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto it = channels_.begin(); it != channels_.end(); ++it) {
            if ((*it)->local_id() == local_id) {
                removed = std::move(*it);
                channels_.erase(it);
                break;
            }
        }
        // A forward whose thread still writes what the server sent before closing finishes
        // first; it is destroyed once done.
        if (removed && !removed->Finished()) {
            finishing_.push_back(std::move(removed));
            return;
        }
    }
}

void IO_SSH2::ReapChannels() {
    std::vector<std::unique_ptr<SSH2Channel>> done;
    std::vector<SSH2Channel*> live;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto it = finishing_.begin(); it != finishing_.end();) {
            if ((*it)->Finished()) {
                done.push_back(std::move(*it));
                it = finishing_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& channel : channels_)
            live.push_back(channel.get());
    }
    // Channels are only destroyed on this thread, so the pointers stay valid.
    if (!closed_.load()) {
        for (SSH2Channel* channel : live)
            channel->Service();
    }
}

int IO_SSH2::FileTransfer(int command, const char* path) {
    if (path == nullptr || *path == '\0') return status::kNothingToDo;
    ScpRequest request;
    if (command == kScpSendCommand) {
        request.upload = true;
        request.local_path = path;
    } else {
        request.remote_path = path;
        request.folder = DocumentsDirectory();
    }
    return StartScp(request);
}

int IO_SSH2::StartScp(const ScpRequest& request) {
    if (state_.load() != kConnected || closed_.load()) return status::kNotConnected;
    std::unique_ptr<SSH2Channel> previous;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto it = channels_.begin(); it != channels_.end(); ++it) {
            auto* scp = dynamic_cast<SSH2SCPChannel*>(it->get());
            if (scp == nullptr) continue;
            if (scp->Busy()) {
                Show("SCP: a copy is still running on this session; cancel it first\r\n");
                return status::kAlreadyOpen;
            }
            // A finished copy whose channel the server has not closed yet.
            previous = std::move(*it);
            channels_.erase(it);
            break;
        }
    }
    if (previous) (void)previous->SendClose();
    previous.reset();
    auto channel = std::make_unique<SSH2SCPChannel>(this, NextChannelId(), request);
    if (!channel->Prepare()) return status::kFileOpenFailed;
    SSH2SCPChannel* raw = channel.get();
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        channels_.push_back(std::move(channel));
    }
    return raw->Start();
}

void IO_SSH2::StopChannels() {
    std::vector<std::unique_ptr<SSH2ForwardListener>> listeners;
    {
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        for (auto& listener : listeners_)
            listener->Stop();
    }
    std::vector<SSH2Channel*> channels;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto& channel : channels_)
            channels.push_back(channel.get());
        for (auto& channel : finishing_)
            channels.push_back(channel.get());
    }
    // Channels are only destroyed on this thread, so the pointers stay valid.
    for (SSH2Channel* channel : channels)
        channel->Shutdown();
}

void IO_SSH2::EnterConnected() {
    state_.store(kConnected);
    Ui().SetWaitCursor(false);
}

int IO_SSH2::SendSessionRequests() {
    SSH2Channel& channel = *session_channel_;
    TerminalFacts terminal;
    QueryTerminal(&terminal);
    std::string fields;
    WireWriter(fields)
        .String(terminal.type)
        .Uint32(static_cast<std::uint32_t>(terminal.columns))
        .Uint32(static_cast<std::uint32_t>(terminal.rows))
        .Uint32(0)  // width and height in pixels: not known
        .Uint32(0)
        .String(TerminalModes());
    int result = channel.SendRequest("pty-req", true, fields);
    // Only when the user asked for it: a forwarded agent lets the server use the user's keys.
    if (result == status::kOk && config_->GetInt(setting::ssh2_agent_forwarding) != 0)
        result = channel.SendRequest("auth-agent-req@openssh.com", false, "");
    if (result == status::kOk) result = channel.SendRequest("shell", false, "");
    session_requests_sent_ = true;
    return result;
}

int IO_SSH2::OnChannelOpen(SSHPacket& packet) {
    std::string_view type;
    packet.getStringView(&type);
    const std::uint32_t sender = packet.getUint32();
    const std::uint32_t window = packet.getUint32();
    const std::uint32_t max_packet = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_OPEN");
    // The agent only when this session asked for it; X11 and forwarded ports are refused.
    if (type == "auth-agent@openssh.com" && state_.load() == kConnected &&
        config_->GetInt(setting::ssh2_agent_forwarding) != 0) {
        return OpenAgentChannel(sender, window, max_packet);
    }
    PooledPacket reply(*this);
    if (!reply) return status::kOutOfMemory;
    reply->beginPayload();
    reply->putByte(kMsgChannelOpenFailure);
    reply->putUint32(sender);
    reply->putUint32(3);  // unknown channel type
    reply->putCString("unknown");
    reply->putCString("");
    reply->finish();
    return sendPacket(*reply);
}

int IO_SSH2::OpenAgentChannel(std::uint32_t sender, std::uint32_t window,
                              std::uint32_t max_packet) {
    const char* host = config_->GetNarrow(setting::hostname);
    auto channel = std::make_unique<SSH2AgentChannel>(this, NextChannelId(), host ? host : "");
    channel->Confirm(sender, window, max_packet);
    std::string fields;
    WireWriter(fields)
        .Uint32(channel->local_id())
        .Uint32(channel->window_policy.initial)
        .Uint32(channel->window_policy.max_packet);
    PooledPacket reply(*this);
    if (!reply) return status::kOutOfMemory;
    reply->beginPayload();
    reply->putByte(kMsgChannelOpenConfirmation);
    reply->putUint32(sender);
    reply->putBytes(reinterpret_cast<const std::uint8_t*>(fields.data()),
                    static_cast<std::uint32_t>(fields.size()));
    reply->finish();
    channel->OnOpened();
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        if (closed_.load()) return status::kOk;
        channels_.push_back(std::move(channel));
    }
    Debug("Agent channel opened\r\n");
    return sendPacket(*reply);
}

int IO_SSH2::OnChannelOpenConfirmation(SSHPacket& packet) {
    Debug("Channel open confirmed\r\n");
    const std::uint32_t recipient = packet.getUint32();
    const std::uint32_t sender = packet.getUint32();
    const std::uint32_t window = packet.getUint32();
    const std::uint32_t max_packet = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_OPEN_CONFIRMATION");
    SSH2Channel* channel = FindChannel(recipient);
    if (channel == nullptr || channel->confirmed()) return status::kOk;
    channel->Confirm(sender, window, max_packet);
    if (channel == session_channel_.get()) return SendSessionRequests();
    channel->OnOpened();
    return status::kOk;
}

int IO_SSH2::OnChannelOpenFailure(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    packet.getUint32();  // reason
    std::string_view description;
    packet.getStringView(&description);
    if (packet.readFailed()) return Malformed("CHANNEL_OPEN_FAILURE");
    Show("Server reports channel open failure: " + PrintableText(description) + "\r\n");
    SSH2Channel* channel = FindChannel(recipient);
    if (channel == nullptr || channel->confirmed()) return status::kOk;
    if (channel == session_channel_.get()) return CloseLayer();
    if (auto* forward = dynamic_cast<SSH2ForwardChannel*>(channel)) forward->OpenFailed();
    RemoveChannel(recipient);
    return status::kOk;
}

int IO_SSH2::OnChannelWindowAdjust(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    const std::uint32_t bytes = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_WINDOW_ADJUST");
    if (SSH2Channel* channel = FindChannel(recipient)) channel->OnWindowAdjust(bytes);
    return status::kOk;
}

int IO_SSH2::OnChannelData(SSHPacket& packet, bool extended) {
    const std::uint32_t recipient = packet.getUint32();
    const std::uint32_t type = extended ? packet.getUint32() : 0;
    std::string_view data;
    packet.getStringView(&data);
    if (packet.readFailed()) return Malformed(extended ? "CHANNEL_EXTENDED_DATA" : "CHANNEL_DATA");
    SSH2Channel* channel = FindChannel(recipient);
    if (channel == nullptr) return status::kOk;
    if (!channel->TakeIncoming(data.size())) {
        if (channel->abandoned()) return status::kOk;
        // The server overran the window or packet size it was given: taking the data would let
        // it make us hold any amount. The channel is closed; the session channel's end ends the
        // session, so that one is always explained.
        const std::string line = ChannelLine(
            "The server sent more on channel %lu than it was allowed; closing the channel\r\n",
            channel->local_id());
        channel->Abandon();
        if (channel == session_channel_.get()) {
            Show(line);
            return CloseLayer();
        }
        Debug(line);
        return status::kOk;
    }
    // What the terminal does with the data is its own affair; the connection goes on.
    if (extended) {
        (void)channel->OnExtendedData(type, data);
    } else {
        (void)channel->OnData(data);
    }
    return status::kOk;
}

int IO_SSH2::OnChannelEof(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_EOF");
    Debug(ChannelLine("MSG_CHANNEL_EOF for channel %lu\r\n", recipient));
    if (SSH2Channel* channel = FindChannel(recipient)) channel->OnEof();
    return status::kOk;
}

int IO_SSH2::OnChannelClose(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_CLOSE");
    Debug(ChannelLine("MSG_CHANNEL_CLOSE for channel %lu\r\n", recipient));
    SSH2Channel* channel = FindChannel(recipient);
    if (channel == nullptr) return status::kOk;
    if (channel->OnClose()) return CloseLayer();
    if (channel != session_channel_.get()) RemoveChannel(recipient);
    return status::kOk;
}

int IO_SSH2::OnChannelRequest(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    std::string_view name;
    packet.getStringView(&name);
    const bool want_reply = packet.getBoolean();
    if (packet.readFailed()) return Malformed("CHANNEL_REQUEST");
    bool success = false;
    if (name.substr(0, 4) == "exit") {
        success = true;
    } else if (name != "keepalive@openssh.com") {
        Debug("Unknown channel request: " + PrintableText(name) + "\r\n");
    }
    SSH2Channel* channel = FindChannel(recipient);
    // Without the channel there is no server number to answer to.
    if (!want_reply || channel == nullptr || !channel->confirmed()) return status::kOk;
    PooledPacket reply(*this);
    if (!reply) return status::kOutOfMemory;
    reply->beginPayload();
    reply->putByte(success ? kMsgChannelSuccess : kMsgChannelFailure);
    reply->putUint32(channel->remote_id());
    reply->finish();
    return sendPacket(*reply);
}

int IO_SSH2::OnChannelSuccess(SSHPacket& packet) {
    Debug("Channel success\r\n");
    const std::uint32_t recipient = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_SUCCESS");
    SSH2Channel* channel = FindChannel(recipient);
    if (channel != nullptr && channel == session_channel_.get() && session_requests_sent_ &&
        state_.load() != kConnected) {
        channel->OnOpened();
        EnterConnected();
    }
    return status::kOk;
}

int IO_SSH2::OnChannelFailure(SSHPacket& packet) {
    const std::uint32_t recipient = packet.getUint32();
    if (packet.readFailed()) return Malformed("CHANNEL_FAILURE");
    Debug(ChannelLine("MSG_CHANNEL_FAILURE received for channel %lu", recipient));
    SSH2Channel* channel = FindChannel(recipient);
    // A server that refuses the terminal still runs the shell: without a terminal the session
    // works line by line, and the user's keys must reach it.
    if (channel != nullptr && channel == session_channel_.get() && session_requests_sent_ &&
        state_.load() != kConnected) {
        channel->OnOpened();
        EnterConnected();
    }
    return status::kOk;
}

}  // namespace tarnwick
