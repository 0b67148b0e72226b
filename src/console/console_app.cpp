#include "console/console_app.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "core/preferences.h"
#include "core/session_config.h"
#include "crypto/random_generator.h"
#include "frontend/connection_form.h"
#include "frontend/key_manager_model.h"
#include "frontend/port_forward_model.h"
#include "frontend/preference_sheet.h"
#include "frontend/serial_device_model.h"
#include "frontend/session_dialogs.h"
#include "frontend/transfer_progress.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/ui_dispatcher.h"
#include "session/deferred_deletion.h"
#include "terminal/memory_display.h"
#include "terminal/vt.h"

namespace tarnwick {

namespace {

using namespace std::chrono_literals;

constexpr const char* kConsoleHint =
    "(In this console: press Ctrl-] then c to connect, ? for help.)\r\n";

// Runs f on the user-interface thread (at once when already there) and gives its result; a
// worker that is being stopped gets fallback.
template <typename T>
T OnUiThread(std::function<T()> f, T fallback) {
    if (UiDispatcher::Instance().IsUiThread()) return f();
    T result = fallback;
    UiDispatcher::Instance().RunAndWait([&] { result = f(); });
    return result;
}

// Splits text into lines of at most width characters, breaking at blanks where it can.
std::vector<std::string> Wrap(const std::string& text, int width) {
    std::vector<std::string> lines;
    if (width < 10) width = 10;
    std::string normalised;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') continue;
        normalised.push_back(text[i]);
    }
    std::size_t start = 0;
    while (start <= normalised.size()) {
        std::size_t end = normalised.find('\n', start);
        std::string paragraph =
            normalised.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::u16string wide = Utf8ToUtf16(paragraph);
        while (static_cast<int>(wide.size()) > width) {
            std::size_t cut = wide.rfind(u' ', static_cast<std::size_t>(width));
            if (cut == std::u16string::npos || cut == 0) cut = static_cast<std::size_t>(width);
            lines.push_back(Utf16ToUtf8(wide.substr(0, cut)));
            wide.erase(0, cut);
            while (!wide.empty() && wide[0] == u' ')
                wide.erase(0, 1);
        }
        lines.push_back(Utf16ToUtf8(wide));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace

// The transfer window of the console: one line in the status bar, Ctrl-] k cancels it.
class ConsoleApp::Progress final : public TransferProgressModel {
  public:
    Progress(ConsoleApp& app, bool send_mode)
        : TransferProgressModel(send_mode, [&app] { app.PostRedraw(); }), app_(app) {
        std::lock_guard<std::mutex> guard(app_.progress_mutex_);
        app_.progress_ = this;
    }
    ~Progress() override {
        {
            std::lock_guard<std::mutex> guard(app_.progress_mutex_);
            if (app_.progress_ == this) app_.progress_ = nullptr;
        }
        app_.PostRedraw();
    }

  private:
    ConsoleApp& app_;
};

ConsoleApp::ConsoleApp(HostTerminal& tty)
    : tty_(tty), sessions_(this), commands_(sessions_, *this) {}

ConsoleApp::~ConsoleApp() = default;

std::unique_ptr<TerminalDisplay> ConsoleApp::CreateDisplay(Session&) {
    return std::make_unique<MemoryDisplay>();
}

void ConsoleApp::SessionUpdated(Session*) {
    ScheduleRedraw();
}

void ConsoleApp::CurrentChanged(Session*) {
    top_ = 0;
    left_ = 0;
    ScheduleRedraw();
}

// ---------------------------------------------------------------------------------------------
// Start, loop and shut-down

int ConsoleApp::Run(const std::vector<std::string>& files) {
    UserInterface* previous_ui = SetUi(this);
    // Keys made during the run come from a generator seeded once, at start-up.
    RandomGenerator::Global();
    Preferences& preferences = Preferences::Instance();
    preferences.Load();
    preferences.Apply();
    keys_.SetOptions({preferences.GetInt(pref::ManualControl) != 0,
                      preferences.GetInt(pref::SoftControl) != 0,
                      preferences.GetInt(pref::SoftControlChar)});
    DeferredDeletion::Instance().StartReaper();

    // The first, unconnected session with the welcome text.
    commands_.CreateWelcomeSession(kConsoleHint);

    loop_.WatchReadable(tty_.input_fd(), [this] { OnInput(); });
    loop_.WatchReadable(tty_.resize_fd(), [this] {
        if (tty_.TakeResize()) {
            writer_.Invalidate();
            ScheduleRedraw();
        }
    });
    loop_.AddTimer(20ms, [this] {
        if (dirty_) Redraw();
    });
    loop_.AddTimer(500ms, [this] { sessions_.PurgeUnusedConfigs(); });
    Redraw();

    std::string notice = RegistryStore::Instance().TakeNotice();
    if (!notice.empty()) ShowMessage("Warning", notice);
    for (const std::string& file : files)
        commands_.OpenFileRequest(file);

    while (!quit_) {
        loop_.ProcessOnce(1000ms);
    }

    // Shut-down: sessions first, then whatever still waits for deferred deletion.
    sessions_.DisconnectAll();
    DeferredDeletion::Instance().StopReaper();
    SetUi(previous_ui);
    preferences.Save();
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Input

bool ConsoleApp::ReadEvents(int timeout_ms) {
    pollfd fd{tty_.input_fd(), POLLIN, 0};
    int ready = poll(&fd, 1, timeout_ms);
    if (ready <= 0) {
        if (decoder_.HasPending()) {
            std::vector<HostKeyEvent> flushed;
            decoder_.Flush(flushed);
            events_.insert(events_.end(), flushed.begin(), flushed.end());
            return !flushed.empty();
        }
        return false;
    }
    std::uint8_t buffer[4096];
    ssize_t got = read(tty_.input_fd(), buffer, sizeof buffer);
    if (got <= 0) {
        // The terminal is gone (hang-up): nobody is left to ask.
        quit_ = true;
        return false;
    }
    std::vector<HostKeyEvent> decoded;
    decoder_.Feed(buffer, static_cast<std::size_t>(got), decoded);
    events_.insert(events_.end(), decoded.begin(), decoded.end());
    return true;
}

std::optional<HostKeyEvent> ConsoleApp::NextEvent(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (events_.empty() && !quit_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (timeout_ms >= 0 && left <= 0) break;
        // A lone ESC is only a key of its own once nothing follows it for a moment.
        int wait = decoder_.HasPending() ? 40 : (timeout_ms < 0 ? 1000 : static_cast<int>(left));
        if (!ReadEvents(wait) && tty_.TakeResize()) {
            writer_.Invalidate();
            Redraw();
        }
    }
    if (events_.empty()) return std::nullopt;
    HostKeyEvent event = events_.front();
    events_.pop_front();
    return event;
}

void ConsoleApp::OnInput() {
    ReadEvents(0);
    if (decoder_.HasPending()) ReadEvents(40);
    while (!events_.empty() && !quit_) {
        HostKeyEvent event = events_.front();
        events_.pop_front();
        HandleEvent(event);
    }
    if (Session* current = sessions_.Current()) KeyHandler::PumpKeys(current);
    Redraw();
}

void ConsoleApp::SendKeyCode(int code) {
    Session* current = sessions_.Current();
    if (current == nullptr || !current->IsConnected()) return;
    current->PushKey(code);
}

namespace {

// Host keys that the view takes as key-down events of these virtual keys.
struct KeyDownKey {
    HostKey key;
    int virtual_key;
};
constexpr KeyDownKey kKeyDownKeys[] = {
    {HostKey::kUp, vk::kUp},       {HostKey::kDown, vk::kDown},     {HostKey::kLeft, vk::kLeft},
    {HostKey::kRight, vk::kRight}, {HostKey::kDelete, vk::kDelete},
};

// Host keys that become terminal key codes directly (the keys a VT100 or VT240 has and a PC
// keyboard names differently).
struct CodeKey {
    HostKey key;
    int code;
};
constexpr CodeKey kCodeKeys[] = {
    {HostKey::kPF1, kKeyPF1},
    {HostKey::kPF2, kKeyPF1 + 1},
    {HostKey::kPF3, kKeyPF1 + 2},
    {HostKey::kPF4, kKeyPF1 + 3},
    {HostKey::kKeypad0, kKeyKeypad0},
    {HostKey::kKeypad1, kKeyKeypad0 + 1},
    {HostKey::kKeypad2, kKeyKeypad0 + 2},
    {HostKey::kKeypad3, kKeyKeypad0 + 3},
    {HostKey::kKeypad4, kKeyKeypad0 + 4},
    {HostKey::kKeypad5, kKeyKeypad0 + 5},
    {HostKey::kKeypad6, kKeyKeypad0 + 6},
    {HostKey::kKeypad7, kKeyKeypad0 + 7},
    {HostKey::kKeypad8, kKeyKeypad0 + 8},
    {HostKey::kKeypad9, kKeyKeypad0 + 9},
    {HostKey::kKeypadPeriod, kKeyKeypadPeriod},
    {HostKey::kKeypadMinus, kKeyKeypadMinus},
    {HostKey::kKeypadComma, kKeyKeypadComma},
    {HostKey::kHome, kKeyFind},      // Find
    {HostKey::kInsert, kKeyInsert},  // Insert Here
    {HostKey::kEnd, kKeySelect},     // Select
    {HostKey::kPageUp, kKeyPrev},    // Prev Screen
    {HostKey::kPageDown, kKeyNext},  // Next Screen
};

}  // namespace

void ConsoleApp::HandleEvent(const HostKeyEvent& event) {
    if (prefix_ || pf_prefix_ || transfer_prefix_) {
        HandleCommand(event);
        return;
    }
    Session* current = sessions_.Current();
    if (event.key == HostKey::kChar) {
        if (event.value == kPrefixKey) {
            prefix_ = true;
            notice_ = "Command: c o s n 0-9 d b e p1-4 t q ?  (Ctrl-] again sends it)";
            return;
        }
        keys_.Character(current, event.value, false);
        return;
    }
    if (event.key == HostKey::kKeypadEnter) {
        keys_.Character(current, '\r', false);
        return;
    }
    if (event.key == HostKey::kFunction) {
        if (event.value >= 6 && event.value <= 20) SendKeyCode(kKeyF6 + event.value - 6);
        return;
    }
    for (const KeyDownKey& k : kKeyDownKeys) {
        if (k.key == event.key) {
            keys_.KeyDown(current, k.virtual_key, false, false);
            return;
        }
    }
    for (const CodeKey& k : kCodeKeys) {
        if (k.key == event.key) {
            SendKeyCode(k.code);
            return;
        }
    }
}

namespace {

// The console's command letters after the prefix key.
struct CommandKey {
    char key;
    int command;
};
constexpr CommandKey kCommandKeys[] = {
    {'c', command::kConnect},        {'o', command::kOpenSession},
    {'s', command::kSaveSession},    {'n', command::kNextSession},
    {' ', command::kNextSession},    {'d', command::kDisconnect},
    {'b', command::kBreak},          {'e', command::kEscape},
    {'q', command::kQuit},           {'g', command::kGlobalPreferences},
    {'m', command::kHostKeyManager},
};

// The file transfers, after the prefix key and t.
constexpr CommandKey kTransferKeys[] = {
    {'a', command::kSendAscii},     {'c', command::kCapture}, {'s', command::kSendXmodem},
    {'r', command::kReceiveXmodem}, {'u', command::kSendScp}, {'d', command::kReceiveScp},
};

}  // namespace

void ConsoleApp::HandleCommand(const HostKeyEvent& event) {
    const int c = event.key == HostKey::kChar ? event.value : -1;
    notice_.clear();
    if (pf_prefix_) {
        pf_prefix_ = false;
        if (c >= '1' && c <= '4') RunCommand(command::kPF1 + (c - '1'));
        return;
    }
    if (transfer_prefix_) {
        transfer_prefix_ = false;
        for (const CommandKey& key : kTransferKeys) {
            if (key.key == c) {
                RunCommand(key.command);
                ScheduleRedraw();
                return;
            }
        }
        ScheduleRedraw();
        return;
    }
    prefix_ = false;
    if (event.key != HostKey::kChar) return;
    if (c == kPrefixKey) {
        keys_.Character(sessions_.Current(), kPrefixKey, false);
        return;
    }
    for (const CommandKey& key : kCommandKeys) {
        if (key.key == c) {
            RunCommand(key.command);
            ScheduleRedraw();
            return;
        }
    }
    switch (c) {
        case 'p':
            pf_prefix_ = true;
            notice_ = "PF key: 1 2 3 4";
            break;
        case 't':
            transfer_prefix_ = true;
            notice_ = "Transfer: a Ascii  c " + commands_.TextOf(command::kCapture) +
                      "  s/r Xmodem  u Send via SCP  d Receive via SCP";
            break;
        case 'r':
            writer_.Invalidate();
            break;
        case 'k': {
            std::lock_guard<std::mutex> guard(progress_mutex_);
            if (progress_ != nullptr) progress_->Cancel();
            break;
        }
        case '?':
        case 'h':
            ShowHelp();
            break;
        default:
            if (c >= '0' && c <= '9') {
                RunCommand(c == '0' ? command::kLastSession : command::kFirstSession + (c - '1'));
            }
            break;
    }
    ScheduleRedraw();
}

void ConsoleApp::RunCommand(int command) {
    const bool save = command == command::kSaveSession;
    if (commands_.Run(command) && save) notice_ = "Session saved.";
}

// ---------------------------------------------------------------------------------------------
// Commands

void ConsoleApp::ShowHelp() {
    ShowMessage("Help",
                "Commands: press Ctrl-] and then\n"
                "  c  Connect                 o  Open Session (a .tks file)\n"
                "  s  Save Session            n  Next Session (also Space)\n"
                "  1-9, 0  session 1 to 10    d  Disconnect\n"
                "  b  Break                   e  Escape\n"
                "  p then 1-4  PF1 to PF4     r  Redraw the screen\n"
                "  t a  Send Ascii            t c  Start/Stop Capture\n"
                "  t s  Send Xmodem           t r  Receive Xmodem\n"
                "  t u  Send via SCP          t d  Receive via SCP\n"
                "  q  Quit                    ?  this help\n"
                "  g  Global Preferences      m  Host Key Manager\n"
                "  k  cancel the running file transfer\n"
                "  Ctrl-]  sends Ctrl-] to the session\n"
                "F1 to F4 are PF1 to PF4. Settings live in " +
                    ConfigDirectory() + ".");
}

bool ConsoleApp::RunConnectionSetup(SessionConfig& config) {
    config.SetInt(setting::session_kind, kKindNone);
    config.SetInt(setting::setup_accepted, 0);
    ConnectionChooser chooser;
    for (;;) {
        // Every entry but the separator has a number, its index in the list plus one.
        std::string text;
        const auto& entries = chooser.Entries();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const auto& entry = entries[i];
            if (entry.type == ConnectionChooser::Entry::kSeparator) {
                text += "  " + entry.text + "\n";
                continue;
            }
            text += "  " + std::to_string(i + 1) + "  " + entry.text;
            if (!entry.available) text += "  (not available in this version)";
            text += "\n";
        }
        text +=
            "Type a number to connect or configure; e<number> edits and d<number> deletes a "
            "saved session.";
        auto answer = AskLine("New Connection", text, "Choice: ", "", false);
        if (!answer) return false;
        std::string choice = TrimBlanks(*answer);
        char action = 'c';
        if (!choice.empty() && (choice[0] == 'e' || choice[0] == 'd')) {
            action = choice[0];
            choice = TrimBlanks(choice.substr(1));
        }
        int number = 0;
        for (char ch : choice) {
            if (ch < '0' || ch > '9' || number > 1000) {
                number = -1;
                break;
            }
            number = number * 10 + (ch - '0');
        }
        const int index = number - 1;
        if (action == 'd') {
            chooser.Delete(index);
            continue;
        }
        if (action == 'e') {
            if (auto kind = chooser.Edit(index, config)) return AskParameters(config, *kind);
            continue;
        }
        if (auto kind = chooser.Configure(index)) return AskParameters(config, *kind);
        if (auto path = chooser.Connect(index)) {
            // A saved session is opened and connected at once.
            commands_.OpenFileRequest(*path);
            return false;
        }
    }
}

std::optional<std::string> ConsoleApp::AskField(const std::string& label,
                                                const std::string& initial) {
    return AskLine("", "", label + ": ", initial, false);
}

std::optional<bool> ConsoleApp::AskFlag(const std::string& label, bool initial) {
    char c =
        AskChoice("", "", label + (initial ? " [Y/n]: " : " [y/N]: "), "yn", initial ? 'y' : 'n');
    if (c == 0) return std::nullopt;
    return c == 'y';
}

std::optional<int> ConsoleApp::AskListChoice(const std::string& label,
                                             const std::vector<std::string>& names, int initial) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i)
        text += "  " + std::to_string(i + 1) + "  " + names[i] + "\n";
    const std::string shown = initial >= 0 && static_cast<std::size_t>(initial) < names.size()
                                  ? std::to_string(initial + 1)
                                  : "";
    for (;;) {
        auto answer = AskLine(label, text, label + " (number): ", shown, false);
        if (!answer) return std::nullopt;
        const int number = std::atoi(TrimBlanks(*answer).c_str());
        if (number >= 1 && static_cast<std::size_t>(number) <= names.size()) return number - 1;
    }
}

namespace {

// A dialog's label without its mnemonic marker ("Chec&k CRC" reads "Check CRC").
std::string Label(const char* text) {
    std::string label;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '&' && p[1] != '&') continue;
        label += *p;
    }
    while (!label.empty() && label.back() == ':')
        label.pop_back();
    return label;
}

}  // namespace

bool ConsoleApp::AskParameters(SessionConfig& config, int kind) {
    ConnectionForm form(config, kind);
    for (;;) {
        for (std::size_t i = 0; i < form.FieldCount(); ++i) {
            const FormField& field = form.Field(i);
            const std::string label = Label(field.label);
            switch (field.type) {
                case FieldType::kCheck: {
                    auto flag = AskFlag(label, form.Checked(i));
                    if (!flag) return false;
                    if (*flag && !form.Checked(i) && field.warning != nullptr) {
                        ShowMessage("Warning", field.warning);
                    }
                    form.SetChecked(i, *flag);
                    break;
                }
                case FieldType::kChoice: {
                    auto index = AskListChoice(label, form.ChoiceNames(i), form.ChoiceIndex(i));
                    if (!index) return false;
                    form.SetChoiceIndex(i, *index);
                    break;
                }
                case FieldType::kDevice: {
                    SerialDeviceModel devices;
                    auto answer = AskLine(label, devices.ListText(), label + " (number or path): ",
                                          devices.InitialValue(form.Text(i)), false);
                    if (!answer) return false;
                    form.SetText(i, devices.Resolve(*answer));
                    break;
                }
                default: {
                    auto text = AskField(field.type == FieldType::kKeyFile
                                             ? label + " (key file, empty for none)"
                                             : label,
                                         form.Text(i));
                    if (!text) return false;
                    form.SetText(i, *text);
                    break;
                }
            }
        }
        if (!form.CanAccept()) {
            // As a dialog whose OK does nothing until the required fields are filled.
            notice_ = "Please fill in every required field.";
            continue;
        }
        if (!AskMoreSettings(config, form.definition())) return false;
        return form.Accept();
    }
}

bool ConsoleApp::AskMoreSettings(SessionConfig& config, const FormDefinition& form) {
    struct Button {
        unsigned flag;
        char key;
        const char* text;
    };
    static constexpr Button kButtons[] = {
        {kButtonForwards, 'f', "[f]orwards"},
        {kButtonTerminal, 't', "[t]erminal"},
        {kButtonAdvanced, 'a', "[a]dvanced"},
    };
    std::string prompt, keys;
    for (const Button& button : kButtons) {
        if ((form.buttons & button.flag) == 0) continue;
        prompt += std::string(button.text) + ", ";
        keys += button.key;
    }
    if (keys.empty()) return true;
    for (;;) {
        const char c = AskChoice(form.title, "",
                                 "More settings: " + prompt + "or Enter to connect: ", keys, '\r');
        switch (c) {
            case '\r':
                return true;
            case 'f':
                if (!AskForwards(config)) return false;
                break;
            case 't':
                AskTerminalParameters(config);
                break;
            case 'a':
                AskAdvanced(config);
                break;
            default:
                return false;  // Escape: the whole dialog is cancelled
        }
    }
}

void ConsoleApp::AskTerminalParameters(SessionConfig& config) {
    TerminalParametersModel dialog(config);
    struct Text {
        const char* label;
        std::string* value;
    };
    for (const Text& field : {Text{"Rows", &dialog.rows}, Text{"Columns", &dialog.columns},
                              Text{"TERM", &dialog.term}, Text{"Scrollback", &dialog.scrollback}}) {
        auto text = AskField(field.label, *field.value);
        if (!text) return;
        *field.value = *text;
    }
    struct Flag {
        const char* label;
        bool* value;
    };
    for (const Flag& flag :
         {Flag{"Linefeed mode", &dialog.linefeed_mode}, Flag{"Line wrap", &dialog.line_wrap},
          Flag{"Local echo", &dialog.local_echo}, Flag{"Visual bell", &dialog.visual_bell},
          Flag{"Swap BS & Del", &dialog.swap_bs_del},
          Flag{"Application keypad", &dialog.keypad_application}}) {
        auto answer = AskFlag(flag.label, *flag.value);
        if (!answer) return;
        *flag.value = *answer;
    }
    std::vector<std::string> cursors;
    for (const Choice& choice : TerminalParametersModel::CursorTypes())
        cursors.emplace_back(choice.name);
    auto cursor = AskListChoice("Cursor type", cursors, dialog.cursor_index);
    if (!cursor) return;
    dialog.cursor_index = *cursor;
    if (!dialog.Accept()) notice_ = "Rows, Columns and TERM are needed.";
}

void ConsoleApp::AskAdvanced(SessionConfig& config) {
    Ssh2AdvancedModel dialog(config);
    auto percentage = AskField("Security (25 faster connection - 100 better security)",
                               std::to_string(dialog.percentage));
    if (!percentage) return;
    dialog.percentage = std::atoi(percentage->c_str());
    struct Flag {
        const char* label;
        bool* value;
    };
    for (const Flag& flag :
         {Flag{"Add random fill", &dialog.random_fill}, Flag{"Compress", &dialog.compress},
          Flag{"Interactive", &dialog.interactive}}) {
        auto answer = AskFlag(flag.label, *flag.value);
        if (!answer) return;
        *flag.value = *answer;
    }
    dialog.Accept();
    for (const AlgorithmLists& lists : SessionConfig::Ssh2AlgorithmLists()) {
        // The window's button text without its mnemonic and dots: "Select Cipher".
        std::string what = SelectAlgorithmText(lists);
        std::erase(what, '&');
        while (!what.empty() && what.back() == '.')
            what.pop_back();
        auto select = AskFlag(what, false);
        if (!select) return;
        if (*select) AskAlgorithms(config, lists, what.substr(what.find(' ') + 1));
    }
}

void ConsoleApp::AskAlgorithms(SessionConfig& config, const AlgorithmLists& lists,
                               const std::string& what) {
    AlgorithmSelectionModel dialog(config, lists);
    for (;;) {
        std::string text = "Enabled, in order of preference:\n";
        const auto enabled = dialog.EnabledNames();
        for (std::size_t i = 0; i < enabled.size(); ++i)
            text += "  " + std::to_string(i + 1) + "  " + enabled[i] + "\n";
        text += "Disabled:\n";
        const auto disabled = dialog.DisabledNames();
        for (std::size_t i = 0; i < disabled.size(); ++i)
            text += "  " + std::to_string(i + 1) + "  " + disabled[i] + "\n";
        auto answer =
            AskLine("Select " + what, text,
                    "d<n> disable, e<n> enable, u<n> up, n<n> down, Enter when done: ", "", false);
        if (!answer) return;  // Cancel
        const std::string command = TrimBlanks(*answer);
        if (command.empty()) {
            if (dialog.Accept()) return;
            continue;
        }
        const int index = std::atoi(command.c_str() + 1) - 1;
        switch (command[0]) {
            case 'd':
                dialog.Disable(index);
                break;
            case 'e':
                dialog.Enable(index);
                break;
            case 'u':
                dialog.MoveUp(index);
                break;
            case 'n':
                dialog.MoveDown(index);
                break;
            default:
                break;
        }
    }
}

bool ConsoleApp::AskForwards(SessionConfig& config) {
    PortForwardListModel model;
    model.Load(config);
    for (;;) {
        std::string text;
        int row = 1;
        for (const PortForward& f : model.Rows()) {
            text += "  " + std::to_string(row++) + "  local port " + std::to_string(f.local_port) +
                    " -> " + f.remote_host + ":" + std::to_string(f.remote_port) + "  allow " +
                    PortForwardListModel::AllowText(f) + "\n";
        }
        if (model.Rows().empty()) text = "  (no forwards)\n";
        char c = AskChoice("Local Port Forwarding", text,
                           "[a]dd, [d]elete, or Enter when done: ", "ad", 'x');
        if (c == 'a') {
            auto local = AskField("Local Port", "");
            if (!local) continue;
            auto host = AskField("Remote Host", "");
            if (!host) continue;
            auto remote = AskField("Remote Port", "");
            if (!remote) continue;
            auto allow = AskFlag("Allow access by non-local host", false);
            if (!allow) continue;
            ForwardValidation result = ValidatePortForward(TrimBlanks(*local), TrimBlanks(*host),
                                                           TrimBlanks(*remote), *allow);
            if (result.ok) model.Add(result.forward);
        } else if (c == 'd') {
            auto number = AskField("Delete forward number", "");
            if (number) model.Delete(std::atoi(number->c_str()) - 1);
        } else {
            // Leaving the list either way keeps what it shows.
            model.Store(config);
            break;
        }
    }
    if (!config.ForwardsCopy().empty()) {
        auto shell = AskFlag("Open an interactive shell as well",
                             config.GetInt(setting::ssh2_want_interactive) != 0);
        if (!shell) return false;
        config.SetInt(setting::ssh2_want_interactive, *shell ? 1 : 0);
    }
    return true;
}

void ConsoleApp::RunGlobalPreferences() {
    PreferenceSheet sheet;
    struct Text {
        const char* label;
        std::string* value;
    };
    for (const Text& field :
         {Text{"Rows", &sheet.rows}, Text{"Cols", &sheet.columns},
          Text{"Scrollback", &sheet.scrollback}, Text{"Text pacing (mS)", &sheet.text_pacing}}) {
        auto text = AskField(field.label, *field.value);
        if (!text) return;  // Cancel: nothing changes
        *field.value = *text;
    }
    auto cursor =
        AskListChoice("Default cursor", PreferenceSheet::CursorNames(), sheet.cursor_index);
    if (!cursor) return;
    sheet.cursor_index = *cursor;
    auto manual = AskFlag("Special Control Key Handling", sheet.manual_control);
    if (!manual) return;
    sheet.manual_control = *manual;
    if (sheet.SoftControlShown()) {
        auto soft = AskFlag("Soft Control Key", sheet.soft_control);
        if (!soft) return;
        sheet.soft_control = *soft;
    }
    auto font = AskListChoice("Terminal font", sheet.FontNames(), sheet.font_index());
    if (!font) return;
    sheet.SelectFont(*font);
    auto size = AskListChoice("Font size", sheet.SizeNames(), sheet.size_index);
    if (!size) return;
    sheet.size_index = *size;
    static constexpr const char* kColours[] = {"Black", "Red",     "Green", "Yellow",
                                               "Blue",  "Magenta", "Cyan",  "White"};
    auto colours = AskFlag("Change colors", false);
    if (!colours) return;
    if (*colours) {
        auto reset = AskFlag("Reset colors to defaults", false);
        if (!reset) return;
        if (*reset) sheet.ResetColours();
        for (int i = 0; i < 8; ++i) {
            const ColourComponents c = ColourComponents::Of(sheet.Colour(i));
            char shown[16];
            std::snprintf(shown, sizeof shown, "%d %d %d", c.red, c.green, c.blue);
            auto text = AskField(std::string(kColours[i]) + " (red green blue, 0-255)", shown);
            if (!text) return;
            ColourComponents picked;
            if (std::sscanf(text->c_str(), "%d %d %d", &picked.red, &picked.green, &picked.blue) ==
                3) {
                sheet.SetColour(i, picked.Colour());
            }
        }
    }
    auto ca = AskField("Root CA Path", sheet.ca_path);
    if (!ca) return;
    sheet.ca_path = *ca;
    auto awake = AskFlag("Keep device awake if connected", sheet.keep_awake);
    if (!awake) return;
    sheet.keep_awake = *awake;
    sheet.Accept();
    keys_.SetOptions(KeyboardOptions::From(Preferences::Instance()));
    notice_ = "Preferences saved.";
}

void ConsoleApp::RunHostKeyManager() {
    KeyManagerModel manager;
    std::vector<std::string> types;
    for (const KeyType& type : KeyManagerModel::KeyTypes())
        types.emplace_back(type.caption);
    types.emplace_back("Your keys (for logging in)");
    auto type = AskListChoice("Key type", types, manager.key_type());
    if (!type) return;
    if (*type == static_cast<int>(types.size()) - 1) {
        for (;;) {
            const std::vector<OwnKeyRow> rows = KeyManagerModel::OwnKeys();
            std::string text;
            int row = 1;
            for (const OwnKeyRow& key : rows) {
                text += "  " + std::to_string(row++) + "  " + key.type + " " +
                        std::to_string(key.bits) + "  " + key.sha256 + "  " +
                        (key.file.empty() ? "(from the agent)" : key.file) + "\n     " + key.md5 +
                        "\n";
            }
            if (rows.empty()) text = "  (no keys)\n";
            auto answer = AskLine("Key Manager: your keys", text,
                                  "a add a key file, r<n> remove, Enter when done: ", "", false);
            if (!answer || TrimBlanks(*answer).empty()) return;
            const std::string command = TrimBlanks(*answer);
            const int index = std::atoi(command.c_str() + 1) - 1;
            if (command[0] == 'a') {
                (void)KeyManagerModel::AddKeyFile();
            } else if (command[0] == 'r' && index >= 0 && index < static_cast<int>(rows.size())) {
                KeyManagerModel::RemoveOwnKey(rows[static_cast<std::size_t>(index)]);
            }
        }
    }
    manager.SelectKeyType(*type);
    for (;;) {
        std::string text;
        int row = 1;
        for (const KnownHostEntry& entry : manager.Rows())
            text +=
                "  " + std::to_string(row++) + "  " + entry.name + "  " + entry.fingerprint + "\n";
        if (manager.Rows().empty()) text = "  (no keys)\n";
        auto answer =
            AskLine("Key Manager: " + types[static_cast<std::size_t>(manager.key_type())], text,
                    "d<n> delete, x<n> export, i import, Enter when done: ", "", false);
        if (!answer || TrimBlanks(*answer).empty()) return;
        const std::string command = TrimBlanks(*answer);
        const int index = std::atoi(command.c_str() + 1) - 1;
        switch (command[0]) {
            case 'd':
                manager.Delete(index);
                break;
            case 'x':
                manager.Export(index);
                break;
            case 'i':
                manager.Import();
                break;
            default:
                break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Questions

void ConsoleApp::OpenPanel(const std::string& caption, const std::string& text) {
    int rows = 0, columns = 0;
    tty_.Size(rows, columns);
    panel_.clear();
    if (!caption.empty()) panel_.push_back("[" + caption + "]");
    if (!text.empty()) {
        for (const std::string& line : Wrap(text, columns - 2))
            panel_.push_back(line);
    }
}

void ConsoleApp::ClosePanel() {
    panel_.clear();
    input_line_.clear();
    input_cursor_ = -1;
    ScheduleRedraw();
}

std::optional<std::string> ConsoleApp::AskLine(const std::string& caption, const std::string& text,
                                               const std::string& prompt,
                                               const std::string& initial, bool secret) {
    OpenPanel(caption, text);
    std::string value = initial;
    std::optional<std::string> result;
    bool done = false;
    while (!done && !quit_) {
        std::string shown = secret ? std::string(Utf8ToUtf16(value).size(), '*') : value;
        input_line_ = prompt + shown;
        input_cursor_ = static_cast<int>(Utf8ToUtf16(input_line_).size());
        Redraw();
        auto event = NextEvent(-1);
        if (!event) continue;
        if (event->key != HostKey::kChar) continue;
        const int c = event->value;
        if (c == '\r' || c == '\n') {
            result = value;
            done = true;
        } else if (c == 0x1B || c == 3 || c == 7) {  // Escape, Ctrl-C, Ctrl-G
            done = true;
        } else if (c == 0x7F || c == 8) {
            // Remove one whole UTF-8 character.
            while (!value.empty() && (static_cast<unsigned char>(value.back()) & 0xC0) == 0x80) {
                value.pop_back();
            }
            if (!value.empty()) value.pop_back();
        } else if (c == 0x15) {  // Ctrl-U
            value.clear();
        } else if (c >= 0x20 && value.size() < 1023) {
            value.push_back(static_cast<char>(c));
        }
    }
    if (secret) std::fill(value.begin(), value.end(), '\0');
    ClosePanel();
    return result;
}

char ConsoleApp::AskChoice(const std::string& caption, const std::string& text,
                           const std::string& prompt, const std::string& choices, char on_enter) {
    OpenPanel(caption, text);
    input_line_ = prompt;
    input_cursor_ = static_cast<int>(Utf8ToUtf16(input_line_).size());
    char answer = 0;
    while (!quit_) {
        Redraw();
        auto event = NextEvent(-1);
        if (!event || event->key != HostKey::kChar) continue;
        int c = event->value;
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c == '\r' || c == '\n') {
            answer = on_enter;
            break;
        }
        if (c == 0x1B || c == 3 || c == 7) break;
        if (c > 0 && choices.find(static_cast<char>(c)) != std::string::npos) {
            answer = static_cast<char>(c);
            break;
        }
    }
    ClosePanel();
    return answer;
}

void ConsoleApp::ShowMessage(const std::string& caption, const std::string& text) {
    OnUiThread<bool>(
        [&] {
            AskChoice(caption, text, "Press Enter.", " ", ' ');
            return true;
        },
        false);
}

bool ConsoleApp::AskYesNo(const std::string& caption, const std::string& text) {
    return OnUiThread<bool>(
        [&] { return AskChoice(caption, text, "Yes or No? [y/n] ", "yn", 0) == 'y'; }, false);
}

int ConsoleApp::AskMultipleChoice(const std::string& caption, const std::string& text,
                                  const std::vector<std::string>& answers) {
    if (answers.empty() || answers.size() > 9)
        return UserInterface::AskMultipleChoice(caption, text, answers);
    return OnUiThread<int>(
        [&] {
            std::string prompt, digits;
            for (std::size_t i = 0; i < answers.size(); ++i) {
                digits += static_cast<char>('1' + i);
                prompt += std::string(1, digits.back()) + " " + answers[i] +
                          (i + 1 < answers.size() ? ", " : ": ");
            }
            const char answer = AskChoice(caption, text, prompt, digits, 0);
            return answer == 0 ? -1 : answer - '1';
        },
        -1);
}

std::optional<std::string> ConsoleApp::Prompt(const std::string& text, const std::string& initial,
                                              bool secret) {
    return OnUiThread<std::optional<std::string>>(
        [&] { return AskLine("", text, "> ", initial, secret); }, std::nullopt);
}

std::optional<std::string> ConsoleApp::OpenFileDialog(const FileDialogRequest& request) {
    return OnUiThread<std::optional<std::string>>(
        [&]() -> std::optional<std::string> {
            auto path = AskLine(request.title, "", "File: ", request.initial_path, false);
            if (!path || TrimBlanks(*path).empty()) return std::nullopt;
            return TrimBlanks(*path);
        },
        std::nullopt);
}

std::optional<std::string> ConsoleApp::SaveFileDialog(const FileDialogRequest& request) {
    return OnUiThread<std::optional<std::string>>(
        [&]() -> std::optional<std::string> {
            auto answer = AskLine(request.title.empty() ? "Save" : request.title, "",
                                  "File: ", request.initial_path, false);
            if (!answer) return std::nullopt;
            std::string path = TrimBlanks(*answer);
            if (path.empty()) return std::nullopt;
            // As a file dialog does: a name without an extension gets the default one.
            std::string name = std::filesystem::path(path).filename().string();
            if (!request.default_extension.empty()) {
                if (!name.empty() && name.back() == '.') {
                    path += request.default_extension;
                } else if (name.find('.') == std::string::npos) {
                    path += "." + request.default_extension;
                }
            }
            // A folder is no file to replace: whoever asked decides what saving into it means.
            std::error_code ec;
            if (std::filesystem::exists(path, ec) && !std::filesystem::is_directory(path, ec) &&
                !AskYesNo("Confirm Save As",
                          path + " already exists.\nDo you want to replace it?")) {
                return std::nullopt;
            }
            return path;
        },
        std::nullopt);
}

HostKeyChoice ConsoleApp::HostKeyWarning(const std::string& text, bool allow_overwrite) {
    return OnUiThread<HostKeyChoice>(
        [&] {
            std::string prompt =
                allow_overwrite ? "[a]dd, [o]verwrite or [r]eject? " : "[a]dd or [r]eject? ";
            char c = AskChoice("Warning", text, prompt, allow_overwrite ? "aor" : "ar", 'r');
            if (c == 'a') return HostKeyChoice::kAdd;
            if (c == 'o') return HostKeyChoice::kOverwrite;
            return HostKeyChoice::kReject;
        },
        HostKeyChoice::kReject);
}

void ConsoleApp::SetWaitCursor(bool on) {
    OnUiThread<bool>(
        [&] {
            waiting_ = on;
            Redraw();  // connecting blocks the loop: show it now
            return true;
        },
        false);
}

void ConsoleApp::Beep() {
    tty_.Write("\a");
}

void ConsoleApp::PostRedraw() {
    UiDispatcher::Instance().Post([this] { ScheduleRedraw(); });
}

std::unique_ptr<TransferProgress> ConsoleApp::CreateTransferProgress(bool send_mode) {
    return std::make_unique<Progress>(*this, send_mode);
}

// ---------------------------------------------------------------------------------------------
// Drawing

std::string ConsoleApp::StatusLine() {
    std::string line;
    Session* current = sessions_.Current();
    int index = 1;
    for (const SessionMenu::Entry& entry : sessions_.menu().Entries()) {
        std::string title = Utf16ToUtf8(entry.title);
        std::string number = entry.command != 0 ? std::to_string(index % 10) : "-";
        line += entry.session == current ? "[" + number + ":" + title + "]"
                                         : " " + number + ":" + title + " ";
        ++index;
    }
    return line;
}

void ConsoleApp::Redraw() {
    dirty_ = false;
    int rows = 0, columns = 0;
    tty_.Size(rows, columns);
    Frame frame;
    frame.Resize(rows, columns);
    const int status_row = rows - 1;
    const int panel_rows = static_cast<int>(panel_.size()) + (input_cursor_ >= 0 ? 1 : 0);
    Session* current = sessions_.Current();
    if (current != nullptr) {
        if (auto* display = static_cast<MemoryDisplay*>(current->GetDisplay())) {
            ComposeSessionScreen(*display, frame, status_row, top_, left_);
        }
    }
    // The question panel sits just above the status line.
    if (panel_rows > 0) {
        int first = std::max(0, status_row - panel_rows);
        for (int r = first; r < status_row; ++r)
            frame.FillRow(r, FrameCell::kReverse);
        int r = first;
        std::size_t skip = panel_.size() > static_cast<std::size_t>(status_row)
                               ? panel_.size() - static_cast<std::size_t>(status_row) + 1
                               : 0;
        for (std::size_t i = skip; i < panel_.size() && r < status_row; ++i, ++r) {
            frame.Text(r, 1, panel_[i], FrameCell::kReverse);
        }
        if (input_cursor_ >= 0 && r < status_row) {
            frame.Text(r, 1, input_line_, FrameCell::kReverse);
            frame.cursor_row = r;
            frame.cursor_column = std::min(columns - 1, input_cursor_ + 1);
            frame.cursor_shape = 1;
        }
    }
    frame.FillRow(status_row, FrameCell::kReverse);
    std::string status;
    {
        std::lock_guard<std::mutex> guard(progress_mutex_);
        if (progress_ != nullptr) {
            const TransferProgressModel::Snapshot snapshot = progress_->Get();
            if (!snapshot.closed) status = TransferProgressModel::Describe(snapshot);
        }
    }
    if (status.empty()) status = notice_;
    if (waiting_) status = "Working... " + status;
    std::string titles = StatusLine();
    frame.Text(status_row, 0, titles, FrameCell::kReverse);
    if (!status.empty()) {
        int at = std::max(static_cast<int>(Utf8ToUtf16(titles).size()) + 2,
                          columns - static_cast<int>(Utf8ToUtf16(status).size()) - 1);
        frame.Text(status_row, at, status, FrameCell::kReverse | FrameCell::kBold);
    } else {
        std::string hint = "Ctrl-] ? help";
        frame.Text(status_row, columns - static_cast<int>(hint.size()) - 1, hint,
                   FrameCell::kReverse);
    }
    std::string output = writer_.Update(frame);
    // The host terminal reports its keypad keys apart from the digits only in its application
    // keypad mode; follow the session's terminal so that keypad keys reach the host as such.
    VT* vt = current != nullptr ? current->GetVT() : nullptr;
    const bool keypad = vt != nullptr && vt->KeypadApplicationMode();
    if (keypad != host_keypad_application_) {
        host_keypad_application_ = keypad;
        output += keypad ? "\x1b=" : "\x1b>";
    }
    tty_.Write(output);
}

}  // namespace tarnwick
