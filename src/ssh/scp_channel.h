// SSH2SCPChannel: one SCP copy on a session channel of its own beside the terminal's, running
// "scp -t ." (upload) or "scp -f PATH" (download) on the server.
//
// Threads: the server's bytes arrive on the user-interface thread and drive the sink or source
// there. A thread of the channel's own streams an upload's content from disk, only as fast as the
// server's window and the transport's queue take it, and watches the progress window's Cancel in
// both directions; what it has to show or finish it leaves for the user-interface thread
// (Service), which it wakes through the session's data-arrival notification.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/user_interface.h"
#include "platform/worker_thread.h"
#include "ssh/scp_transfer.h"
#include "ssh/ssh2_channel.h"

namespace tarnwick {

// The command number of "Send via SCP": FileTransfer with it uploads, with any other downloads.
inline constexpr int kScpSendCommand = 40072;

struct ScpRequest {
    bool upload = false;
    std::string local_path;   // upload: the file to send
    std::string remote_path;  // download: the file to fetch
    std::string folder;       // download: where it is saved
    std::string local_name;   // download: the name it gets there (empty: the server's name)
    // Download: the user already agreed to replace folder/local_name.
    bool replace_confirmed = false;
};

class SSH2SCPChannel final : public SSH2Channel, private ScpPeer {
  public:
    SSH2SCPChannel(IO_SSH2* owner, std::uint32_t local_id, ScpRequest request);
    ~SSH2SCPChannel() override;

    // Upload: opens the local file; false (the user told why) when it cannot be sent.
    bool Prepare();
    // Sends CHANNEL_OPEN and starts the channel's thread.
    [[nodiscard]] int Start();
    // The copy has not ended yet.
    bool Busy();

    int OnData(std::string_view data) override;
    void OnOpened() override;
    void OnEof() override;
    bool OnClose() override;
    void Shutdown() override;
    void Abandon() override;
    void Service() override;

    // The command run on the server.
    std::string Command() const;

  protected:
    void OnSendSpace() override;

  private:
    // ScpPeer
    void ToServer(std::string_view bytes) override;
    void Say(std::string_view line) override;
    bool AskReplace(const std::string& path) override;

    int Run();
    void SendContent();
    void Wake();
    void WaitForWake(std::chrono::milliseconds limit);
    // From the channel's thread: the user-interface thread is to run Service soon.
    void NotifyUi();
    // On the user-interface thread after every step: the messages are shown, the progress window
    // follows, and a copy that has ended closes its channel.
    void AfterStep();
    void ReportProgress(bool force);
    bool EngineFinished();
    // Runs f on the sink or the source, whichever this copy has, with the engine's lock held.
    template <typename F>
    void WithEngine(F&& f) {
        std::lock_guard<std::mutex> lock(engine_mutex_);
        if (sink_) {
            f(*sink_);
        } else {
            f(*source_);
        }
    }

    ScpRequest request_;
    std::mutex engine_mutex_;  // the sink or source, its state and its file
    std::unique_ptr<ScpSink> sink_;
    std::unique_ptr<ScpSource> source_;

    std::mutex messages_mutex_;
    std::string messages_;

    std::unique_ptr<TransferProgress> progress_;
    bool announced_ = false;
    std::chrono::steady_clock::time_point last_report_;
    bool ended_ = false;  // the channel was told the copy has ended (user-interface thread)

    WorkerThread thread_;
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    std::atomic<bool> cancel_seen_{false};
    bool cancel_handled_ = false;
};

}  // namespace tarnwick
