#include "frontend/main_commands.h"

#include <cstring>
#include <filesystem>

#include "core/io.h"
#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/folders.h"
#include "platform/user_interface.h"
#include "session/session.h"
#include "session/session_menu.h"
#include "ssh/scp_channel.h"
#include "ssh/ssh2.h"

namespace tarnwick {

namespace {

using namespace command;

constexpr MenuItem kMenu[] = {
    {"File", kCapture, "Start Capture", nullptr, false},
    {"File", kReceiveXmodem, "Receive Xmodem", nullptr, true},
    {"File", kSendAscii, "Send Ascii", nullptr, false},
    {"File", kSendXmodem, "Send Xmodem", nullptr, false},
    {"File", kSendScp, "Send via SCP", nullptr, false},
    {"File", kReceiveScp, "Receive via SCP", nullptr, true},
    {"File", kOpenSession, "Open Session", nullptr, false},
    {"File", kSaveSession, "Save Session", nullptr, false},
    {"File", kQuit, "Quit", "Alt+Q", false},
    {"Edit", kCopy, "Copy", "Alt+C", false},
    {"Edit", kCopyAndPaste, "Copy and Paste", nullptr, false},
    {"Edit", kPaste, "Paste", "Alt+V", true},
    {"Edit", kHostKeyManager, "Host Key &Manager", nullptr, false},
    {"Edit", kInputBuffer, "Input Buffer", nullptr, true},
    {"Edit", kGlobalPreferences, "Global Preferences", nullptr, false},
    {"Edit", kKeepCursorOnscreen, "Keep Cursor Onscreen", "Alt+O", false},
    {"Session", kConnect, "Connect", "Alt+N", false},
    {"Session", kNextSession, "Next Session", "Alt+Space", false},
    {"Session", kDisconnect, "Disconnect", nullptr, true},
    {"Keys", kEscape, "Escape", nullptr, false},
    {"Keys", kPF1, "PF1", "Ctrl+Alt+1", false},
    {"Keys", kPF1 + 1, "PF2", "Ctrl+Alt+2", false},
    {"Keys", kPF1 + 2, "PF3", "Ctrl+Alt+3", false},
    {"Keys", kPF1 + 3, "PF4", "Ctrl+Alt+4", false},
    {"Keys", kBreak, "Break", "Alt+B", false},
    {"Help", kAbout, "About", nullptr, false},
};

// The key codes of PF1 to PF4 at the terminal.
constexpr int kKeyCodePF1 = 275;

constexpr const char* kWelcome =
    "\x1b[H\x1b[J"
    "Welcome to Tarnwick\xae v"
    "2.06"
    "!\r\n\r\n"
    "To get started, select 'Connect' from\r\nthe 'Session' menu.\r\n\r\n";

constexpr const char* kQuitQuestion =
    "There is at least one active session. Are you sure that you want to quit and disconnect "
    "from all active sessions?";

// Features whose layers or dialogs this build does not have yet: their items are shown, never
// enabled.
constexpr int kComingLater[] = {kCapture, kReceiveXmodem, kSendXmodem, kSendAscii};

}  // namespace

std::span<const MenuItem> MenuItems() {
    return kMenu;
}

MainCommands::MainCommands(SessionList& sessions, MainWindowHost& host)
    : sessions_(sessions), host_(host) {}

Session* MainCommands::Current() {
    return sessions_.Current();
}

bool MainCommands::Available(int command) {
    for (int later : kComingLater) {
        if (later == command) return false;
    }
    return true;
}

bool MainCommands::IsEnabled(int command) {
    if (!Available(command) || !host_.Provides(command)) return false;
    Session* session = Current();
    const bool link_up = session != nullptr && session->IsLinkUp();
    const bool connected = session != nullptr && session->IsConnected();
    IO* terminal = session != nullptr ? session->GetTerminal() : nullptr;
    IO* filter = session != nullptr ? session->GetFilter() : nullptr;
    switch (command) {
        case kSaveSession:
        case kDisconnect:
            return link_up;
        case kCapture:
            return link_up && (filter == nullptr || filter->GetType() == kLayerCapture);
        case kReceiveXmodem:
        case kSendAscii:
        case kSendXmodem:
            return link_up && filter == nullptr;
        case kCopy:
            return host_.HasSelection();
        case kCopyAndPaste:
            return host_.HasSelection() && connected;
        case kPaste:
            return connected && host_.ClipboardHasText();
        case kSendScp:
        case kReceiveScp: {
            IO* below = terminal != nullptr ? terminal->GetLower() : nullptr;
            return connected && below != nullptr && below->GetType() == kLayerSSH2;
        }
        case kBreak:
            return connected && terminal != nullptr && terminal->CanSendBreak();
        case kEscape:
        case kPF1:
        case kPF1 + 1:
        case kPF1 + 2:
        case kPF1 + 3:
            return connected;
        default:
            return true;
    }
}

bool MainCommands::IsChecked(int command) {
    if (command == kKeepCursorOnscreen) {
        return Preferences::Instance().GetInt(pref::CursorOnScreen) != 0;
    }
    if (command >= kFirstSession && command <= kLastSession) {
        Session* session = sessions_.menu().SessionForCommand(command);
        return session != nullptr && session == Current();
    }
    return false;
}

std::string MainCommands::TextOf(int command) {
    if (command == kCapture) {
        Session* session = Current();
        IO* filter = session != nullptr ? session->GetFilter() : nullptr;
        return filter != nullptr && filter->GetType() == kLayerCapture ? "Stop Capture"
                                                                       : "Start Capture";
    }
    for (const MenuItem& item : kMenu) {
        if (item.command == command) return item.text;
    }
    return {};
}

bool MainCommands::Run(int command) {
    if (command >= kFirstSession && command <= kLastSession) {
        if (Session* session = sessions_.menu().SessionForCommand(command)) {
            sessions_.SetCurrent(session);
            host_.Relayout();
        }
        return true;
    }
    if (!IsEnabled(command)) return false;
    Session* session = Current();
    IO* terminal = session != nullptr ? session->GetTerminal() : nullptr;
    switch (command) {
        case kQuit:
            if (ConfirmQuit()) host_.CloseWindow();
            break;
        case kAbout:
            host_.ShowAbout();
            break;
        case kCopy:
            host_.Copy();
            break;
        case kPaste:
            host_.Paste();
            break;
        case kCopyAndPaste:
            host_.Copy();
            host_.Paste();
            break;
        case kConnect:
            Connect();
            break;
        case kDisconnect:
            sessions_.DisconnectCurrent();
            break;
        case kNextSession:
            sessions_.NextSession();
            host_.Relayout();
            break;
        case kGlobalPreferences:
            host_.RunGlobalPreferences();
            break;
        case kEscape:
            if (terminal != nullptr) terminal->KeyInput(27);
            break;
        case kSaveSession:
            if (session != nullptr && session->GetConfig() != nullptr) {
                SaveSessionWithDialog(*session->GetConfig());
            }
            break;
        case kKeepCursorOnscreen: {
            Preferences& preferences = Preferences::Instance();
            preferences.SetInt(pref::CursorOnScreen,
                               preferences.GetInt(pref::CursorOnScreen) != 0 ? 0 : 1);
            break;
        }
        case kBreak:
            if (terminal != nullptr) terminal->SendBreak();
            break;
        case kInputBuffer:
            host_.ShowInputBuffer();
            break;
        case kOpenSession: {
            FileDialogRequest request;
            request.title = "Select file to open";
            request.initial_path = SessionConfig::SettingsFolder();
            request.default_extension = "tks";
            request.filters = {{"Tarnwick session (*.tks)", "*.tks"}};
            if (auto path = Ui().OpenFileDialog(request)) OpenFileRequest(*path);
            break;
        }
        case kHostKeyManager:
            host_.RunHostKeyManager();
            break;
        case kSendScp:
            SendViaScp(terminal);
            break;
        case kReceiveScp:
            ReceiveViaScp(terminal);
            break;
        default:
            if (command >= kPF1 && command < kPF1 + 4 && terminal != nullptr) {
                terminal->KeyInput(kKeyCodePF1 + (command - kPF1));
            }
            break;
    }
    return true;
}

void MainCommands::SendViaScp(IO* terminal) {
    IO* lower = terminal != nullptr ? terminal->GetLower() : nullptr;
    if (lower == nullptr) return;
    FileDialogRequest request;
    request.title = "Select file to send";
    request.initial_path = DocumentsDirectory() + "/";
    request.filters = {{"All Files", "*"}};
    if (auto path = Ui().OpenFileDialog(request)) lower->FileTransfer(kSendScp, path->c_str());
}

void MainCommands::ReceiveViaScp(IO* terminal) {
    auto* ssh = dynamic_cast<IO_SSH2*>(terminal != nullptr ? terminal->GetLower() : nullptr);
    if (ssh == nullptr) return;
    auto remote = Ui().Prompt("Enter remote filename to retrieve:", "", false);
    if (!remote || remote->empty()) return;
    // Where it goes: the user's choice, starting in the documents folder with the remote name.
    FileDialogRequest request;
    request.title = "Save received file as";
    request.initial_path = DocumentsDirectory() + "/" + RemoteBaseName(*remote);
    request.filters = {{"All Files", "*"}};
    auto chosen = Ui().SaveFileDialog(request);
    if (!chosen || chosen->empty()) return;
    const std::filesystem::path local(*chosen);
    ScpRequest scp;
    scp.remote_path = *remote;
    std::error_code ec;
    if (std::filesystem::is_directory(local, ec)) {
        // A folder typed at the prompt: the file keeps the name the server gives it.
        scp.folder = local.string();
    } else {
        scp.folder = local.parent_path().empty() ? std::string(".") : local.parent_path().string();
        scp.local_name = local.filename().string();
        // Both front ends' save dialogs ask before they return a file that exists.
        scp.replace_confirmed = std::filesystem::exists(local, ec);
    }
    (void)ssh->StartScp(scp);
}

bool SaveSessionWithDialog(SessionConfig& config) {
    FileDialogRequest request;
    request.title = "Save Session";
    request.initial_path = SessionConfig::SettingsFolder() + config.SuggestedName();
    request.default_extension = "tks";
    request.filters = {{"Tarnwick Session (*.tks)", "*.tks"}};
    auto chosen = Ui().SaveFileDialog(request);
    if (!chosen) return false;
    return config.SaveToPath(*chosen, false);
}

void MainCommands::WriteToTerminal(Session* session, const char* text) {
    if (session == nullptr) return;
    if (IO* terminal = session->GetTerminal()) terminal->SendString(text);
}

void MainCommands::CreateLocalSession(const char* text) {
    auto* local = new SessionConfig();
    local->SetInt(setting::rows, 24);
    local->SetInt(setting::columns, 80);
    local->SetInt(setting::local_echo, 1);
    sessions_.CreateSession(local);
    WriteToTerminal(Current(), text);
}

void MainCommands::CreateWelcomeSession(const char* extra_text) {
    CreateLocalSession(kWelcome);
    if (extra_text != nullptr) WriteToTerminal(Current(), extra_text);
    host_.Relayout();
}

void MainCommands::Connect() {
    sessions_.PurgeClosed();
    auto* config = new SessionConfig();
    if (host_.RunConnectionSetup(*config)) {
        Session* before = Current();
        const int opened = sessions_.CreateSession(config);
        host_.Relayout();
        Session* created = Current();
        if (!opened && created != before) WriteToTerminal(created, "Connection failed.\r\n");
        return;
    }
    delete config;
    if (sessions_.CountLinkUp() == 0) {
        CreateLocalSession("Canceled.\r\n");
        host_.Relayout();
    }
}

void MainCommands::OpenFileRequest(std::string path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        path = path.substr(1, path.size() - 2);
    }
    auto ends_with = [&path](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
    };
    if (!ends_with(".tks")) return;
    auto* config = new SessionConfig();
    if (!config->LoadFromPath(path, true)) {
        delete config;
        Ui().ShowMessage("Tarnwick restore problem",
                         "The session file you are trying to load is corrupted.");
        return;
    }
    sessions_.PurgeClosed();
    const int opened = sessions_.CreateSession(config);
    host_.Relayout();
    if (!opened) WriteToTerminal(Current(), "Connection failed.\r\n");
}

bool MainCommands::ConfirmQuit() {
    if (sessions_.CountLinkUp() > 0 && !Ui().AskYesNo("Really quit?", kQuitQuestion)) {
        return false;
    }
    sessions_.DisconnectAll();
    return true;
}

}  // namespace tarnwick
