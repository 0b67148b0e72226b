#include "ssh/scp_channel.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/session_config.h"
#include "core/status.h"
#include "crypto/wire.h"
#include "ssh/ssh2.h"

namespace tarnwick {

namespace {

// The upload reads this much at a time, and stops reading while this much waits for the
// server's window, or for the network in the transport: what the copy holds in memory stays
// the same whatever the file's size.
constexpr std::size_t kReadSize = 64 * 1024;
constexpr std::size_t kMaxPending = 256 * 1024;
constexpr std::size_t kMaxBacklog = 1024 * 1024;
// The progress window is told at most this often.
constexpr std::chrono::milliseconds kReportInterval{100};

std::string Kilobytes(std::uint64_t bytes) {
    return std::to_string(bytes / 1024);
}

}  // namespace

SSH2SCPChannel::SSH2SCPChannel(IO_SSH2* owner, std::uint32_t local_id, ScpRequest request)
    : SSH2Channel(owner, local_id, 0), request_(std::move(request)) {
    if (request_.upload) {
        source_ = std::make_unique<ScpSource>(static_cast<ScpPeer&>(*this), request_.local_path);
    } else {
        ScpSink::Target target;
        target.folder = request_.folder;
        target.local_name = request_.local_name;
        target.expected_name = RemoteBaseName(request_.remote_path);
        target.replace_confirmed = request_.replace_confirmed;
        sink_ = std::make_unique<ScpSink>(static_cast<ScpPeer&>(*this), std::move(target));
    }
}

SSH2SCPChannel::~SSH2SCPChannel() {
    Shutdown();
    if (progress_) progress_->Close();
    // The sink removes a file that did not arrive whole.
}

std::string SSH2SCPChannel::Command() const {
    if (request_.upload) return "scp -t .";
    return "scp -f " + QuoteForRemoteShell(request_.remote_path);
}

bool SSH2SCPChannel::Prepare() {
    bool ok = true;
    if (source_) {
        std::lock_guard<std::mutex> lock(engine_mutex_);
        ok = source_->Prepare();
    }
    AfterStep();
    return ok;
}

int SSH2SCPChannel::Start() {
    progress_ = Ui().CreateTransferProgress(request_.upload);
    if (progress_) {
        if (source_) {
            progress_->SetFileName(source_->name());
            progress_->SetTotalText(Kilobytes(source_->size()));
            progress_->SetBytes(0, source_->size());
        } else {
            progress_->SetFileName(request_.remote_path);
        }
        progress_->SetStatusText("Starting xfer");
    }
    thread_.SetWaker([this] { Wake(); });
    if (!thread_.Start([this] { return Run(); })) return status::kReaderStartFailed;
    set_state(kOpenRequested);
    PooledPacket packet(*owner_);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgChannelOpen);
    packet->putCString("session");
    packet->putUint32(local_id_);
    packet->putUint32(window_policy.initial);
    packet->putUint32(window_policy.max_packet);
    packet->finish();
    return owner_->sendPacket(*packet);
}

bool SSH2SCPChannel::Busy() {
    return !EngineFinished();
}

bool SSH2SCPChannel::EngineFinished() {
    bool finished = false;
    WithEngine([&](auto& engine) { finished = engine.finished(); });
    return finished;
}

// ---- From the server (user-interface thread) ----

void SSH2SCPChannel::OnOpened() {
    SSH2Channel::OnOpened();
    if (ended_) {
        // Cancelled before the server opened the channel.
        (void)SendClose();
        return;
    }
    std::string fields;
    WireWriter(fields).String(Command());
    (void)SendRequest("exec", false, fields);
    if (sink_) {
        std::lock_guard<std::mutex> lock(engine_mutex_);
        sink_->Start();
    }
    if (progress_) progress_->SetStatusText("");
    AfterStep();
}

int SSH2SCPChannel::OnData(std::string_view data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    WithEngine([&](auto& engine) { engine.Feed(bytes, data.size()); });
    // A received file's octets are on disk now (or the copy has ended): the server may send more.
    (void)Consumed(static_cast<std::uint32_t>(data.size()));
    Wake();  // a source that may now send its content
    AfterStep();
    return status::kOk;
}

void SSH2SCPChannel::OnEof() {
    WithEngine([](auto& engine) { engine.End(); });
    AfterStep();
    SSH2Channel::OnEof();
}

bool SSH2SCPChannel::OnClose() {
    WithEngine([](auto& engine) { engine.End(); });
    AfterStep();
    SSH2Channel::OnClose();
    return false;  // the terminal's session goes on
}

void SSH2SCPChannel::Abandon() {
    SSH2Channel::Abandon();
    const std::string arrows = sink_ ? "<<" : ">>";
    WithEngine([&](auto& engine) {
        engine.Abort(arrows +
                     " SCP the server sent more than it was allowed; transfer stopped\r\n");
    });
    Wake();
    AfterStep();
}

void SSH2SCPChannel::Service() {
    if (cancel_seen_.load() && !cancel_handled_) {
        cancel_handled_ = true;
        WithEngine([](auto& engine) { engine.Cancel(); });
    }
    AfterStep();
}

void SSH2SCPChannel::AfterStep() {
    std::string lines;
    {
        std::lock_guard<std::mutex> lock(messages_mutex_);
        lines.swap(messages_);
    }
    if (!lines.empty()) owner_->DisplayText(lines);
    ReportProgress(false);
    if (ended_ || !EngineFinished()) return;
    ended_ = true;
    ReportProgress(true);
    if (progress_) progress_->Close();
    bool done;
    {
        std::lock_guard<std::mutex> lock(engine_mutex_);
        done = sink_ ? sink_->state() == ScpSink::State::kDone
                     : source_->state() == ScpSource::State::kDone;
    }
    // Done: the remote scp ends on our EOF and the server closes the channel. Otherwise nothing
    // more is to pass either way.
    (void)SendEof();
    if (!done) (void)SendClose();
    Wake();
}

void SSH2SCPChannel::ReportProgress(bool force) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_report_ < kReportInterval) return;
    last_report_ = now;
    std::uint64_t done = 0, total = 0;
    std::string name;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(engine_mutex_);
        if (!sink_) return;  // the sending thread reports an upload
        known = sink_->state() != ScpSink::State::kWaitHeader;
        done = sink_->received();
        total = sink_->size();
        name = sink_->name();
    }
    if (!known) return;
    if (!announced_) {
        announced_ = true;
        progress_->SetFileName(name);
        progress_->SetTotalText(Kilobytes(total));
    }
    progress_->SetDoneText(Kilobytes(done));
    progress_->SetBytes(done, total);
}

// ---- ScpPeer ----

void SSH2SCPChannel::ToServer(std::string_view bytes) {
    (void)SendData(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void SSH2SCPChannel::Say(std::string_view line) {
    std::lock_guard<std::mutex> lock(messages_mutex_);
    messages_.append(line);
}

bool SSH2SCPChannel::AskReplace(const std::string& path) {
    return Ui().AskYesNo("Confirm Save As", path + " already exists.\nDo you want to replace it?");
}

// ---- The channel's thread ----

void SSH2SCPChannel::OnSendSpace() {
    // Called with the channel's lock held: only a wake-up.
    Wake();
}

void SSH2SCPChannel::Wake() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

void SSH2SCPChannel::WaitForWake(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    wake_.wait_for(lock, limit, [this] { return woken_ || WorkerThread::CurrentStopRequested(); });
    woken_ = false;
}

void SSH2SCPChannel::NotifyUi() {
    if (SessionConfig* config = owner_->GetConfig()) config->NotifyDataArrived(owner_);
}

void SSH2SCPChannel::Shutdown() {
    thread_.Stop();
    // The layer is closing: a file that has not arrived whole goes now, not when the layer is
    // finally destroyed. Nothing is shown: the terminal may be going too.
    WithEngine([](auto& engine) { engine.Abort(""); });
}

int SSH2SCPChannel::Run() {
    while (!WorkerThread::CurrentStopRequested()) {
        if (!cancel_seen_.load() && progress_ && progress_->IsCancelled()) {
            cancel_seen_.store(true);
            NotifyUi();
        }
        bool sending = false;
        {
            std::lock_guard<std::mutex> lock(engine_mutex_);
            if (source_ && source_->finished()) break;
            if (sink_ && sink_->finished()) break;
            sending = source_ && source_->state() == ScpSource::State::kSending;
        }
        if (sending && !cancel_seen_.load()) {
            SendContent();
            continue;
        }
        WaitForWake(std::chrono::milliseconds(100));
    }
    thread_.MarkExiting();
    return 0;
}

void SSH2SCPChannel::SendContent() {
    std::vector<char> buffer(kReadSize);
    auto last_report = std::chrono::steady_clock::now();
    while (!WorkerThread::CurrentStopRequested()) {
        if (progress_ && progress_->IsCancelled()) return;  // Run notices it
        {
            std::lock_guard<std::mutex> lock(engine_mutex_);
            if (source_->state() != ScpSource::State::kSending) return;
        }
        if (Pending() >= kMaxPending || owner_->SendBacklog() >= kMaxBacklog) {
            // The window's growth wakes us; the transport's queue is only looked at again.
            WaitForWake(std::chrono::milliseconds(5));
            continue;
        }
        const long got = source_->NextContent(buffer.data(), buffer.size());
        if (got < 0) {
            const std::string reason = std::strerror(errno);
            {
                std::lock_guard<std::mutex> lock(engine_mutex_);
                source_->Abort(">> SCP could not read " + request_.local_path + ": " + reason +
                               "; aborting\r\n");
            }
            NotifyUi();
            return;
        }
        if (got == 0) {
            std::string status;
            {
                std::lock_guard<std::mutex> lock(engine_mutex_);
                if (source_->state() != ScpSource::State::kSending) return;
                // The state changes before the status octet goes: the server's verdict may come
                // back at once.
                status = source_->ContentSent();
            }
            (void)SendData(reinterpret_cast<const std::uint8_t*>(status.data()), status.size());
            if (progress_) {
                progress_->SetDoneText(Kilobytes(source_->size()));
                progress_->SetPercentage(100);
                progress_->SetBytes(source_->size(), source_->size());
            }
            NotifyUi();
            return;
        }
        if (SendData(reinterpret_cast<const std::uint8_t*>(buffer.data()),
                     static_cast<std::size_t>(got)) != status::kOk) {
            // The channel or the connection has ended (a copy already ended says nothing more).
            {
                std::lock_guard<std::mutex> lock(engine_mutex_);
                source_->Abort(">> SCP the connection ended before the file was sent\r\n");
            }
            NotifyUi();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (progress_ && now - last_report >= kReportInterval) {
            last_report = now;
            const std::uint64_t sent = source_->sent();
            const std::uint64_t total = source_->size();
            progress_->SetDoneText(Kilobytes(sent));
            progress_->SetPercentage(total == 0 ? 100 : static_cast<int>(sent * 100 / total));
            progress_->SetBytes(sent, total);
        }
    }
}

}  // namespace tarnwick
