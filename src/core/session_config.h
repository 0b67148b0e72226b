// The settings of one session: numbered integer, string and list settings with their session-file
// keys and defaults, the SSH port-forward list, and a holder count. The connection dialogs fill the
// record, every layer of the session's chain reads it, and it is written to and read back from
// session files (".tks").
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/connection_kinds.h"
#include "core/locked_list.h"

namespace tarnwick {

class IO;

namespace setting {
// Integer settings (38 slots).
enum Int : int {
    session_kind = 0,
    cursor_type = 1,
    loaded_from_file = 2,
    setup_accepted = 3,
    rows = 4,
    columns = 5,
    scrollback = 6,
    visual_bell = 7,
    swap_bs_del = 8,
    linefeed_mode = 9,
    keypad_mode = 10,
    vt_aux_mode = 11,
    wrap_mode = 12,
    local_echo = 13,
    portnum_listener = 14,
    portnum = 15,
    ssh_streamFill = 16,
    ssh_useCompression = 17,
    ssh_cipher = 18,
    debug = 19,
    ssh1_check_CRC = 20,
    ssh2_random_generator_percentage = 21,
    serial_speed = 22,
    serial_parity = 23,
    serial_stopbits = 24,
    serial_bytesize = 25,
    serial_flowcontrol = 26,
    ssl_checkmac = 27,
    session_callback = 28,          // unused here: see SessionConfig::SetSessionCallback
    session_callback_context = 29,  // unused here: see SessionConfig::SetSessionCallback
    tls_proxy_type = 30,
    terminal_type = 31,
    ssh2_want_interactive = 32,
    enable_ssl = 33,
    ssh2_strict_hostkeys = 34,
    version = 35,
    from_saved_session = 36,
    ssh2_agent_forwarding = 37,  // the server may use the user's keys; off unless asked for
};
// Wide-string settings.
enum Wide : int {
    serial_device = 0,
    certificate_path = 1,
};
// Narrow-string settings.
enum Narrow : int {
    term_type = 0,
    hostname = 1,
    username = 2,
    appversion = 3,
};
// Integer-list settings.
enum List : int {
    ssh2_EnabledCiphers = 0,
    ssh2_EnabledMACs = 1,
    ssh2_hostkey_algorithms = 2,
    ssh2_DisabledCiphers = 3,
    ssh2_DisabledMACs = 4,
    ssh2_disabled_hostkey_algorithms = 5,
    // The key-exchange methods in order of preference. A file without this list predates the
    // methods beyond group 1 and group exchange (see SessionConfig::LoadFromPath).
    ssh2_kex_algorithms = 6,
    ssh2_disabled_kex_algorithms = 7,
};
inline constexpr int kIntCount = 38;
inline constexpr int kWideCount = 2;
inline constexpr int kNarrowCount = 4;
inline constexpr int kListCount = 8;
}  // namespace setting

// One SSH local port forward.
struct PortForward {
    std::uint32_t local_port = 0;
    std::uint32_t remote_port = 0;
    std::string remote_host;          // at most 99 characters survive a save and load
    std::uint8_t allow_nonlocal = 0;  // "&Allow access by non-local host"
};

// Row types of the key table.
enum KeyRowType : int {
    kRowPrefInt = 0,     // integer whose default is a global preference
    kRowPrefWide = 1,    // wide string defaulting to a wide preference (no row uses it)
    kRowPrefNarrow = 2,  // narrow string defaulting to a narrow preference (no row uses it)
    kRowInt = 1000,      // integer with a fixed default
    kRowWide = 1001,     // wide string with a fixed default
    kRowNarrow = 1002,   // narrow string with a fixed default
    kRowList = 1003,     // integer list; reset leaves lists alone
};

struct KeyRow {
    const char* key;  // nullptr for run-time values that are never saved; "*" = matched by suffix
    int type;         // KeyRowType
    int number;       // setting number within its family
    const char16_t* wide_default;
    const char* narrow_default;
    std::int32_t int_default;
    int pref_index;
};

// The value domains of the settings that a dialog offers as a list of named choices.
enum class Choices : int {
    kSerialSpeed = 1,
    kSerialParity,
    kSerialStopBits,
    kSerialByteSize,
    kSerialFlow,
    kSsh1Cipher,
    kSsh2Cipher,
    kSsh2Mac,
    kSsh2HostKey,
    kTlsProxy,
    kSsh2Kex,
};

struct Choice {
    const char* name;
    int value;
};

// An SSH2 algorithm preference: the enabled list in order of preference, the disabled list (the
// other choices, derived when a file is loaded), and the choices both draw from. The default
// order is what an empty list stands for: the algorithms of today's servers first, in the order
// a current OpenSSH client prefers them, the older ones after them. Values from first_new_value
// on were added after the list first existed; a file that predates them gets them enabled.
struct AlgorithmLists {
    setting::List enabled;
    setting::List disabled;
    Choices choices;
    std::span<const std::int32_t> default_order;
    std::span<const std::int32_t> default_disabled;
    std::int32_t first_new_value;
};

// Notification that a transport has queued received data; the session list installs it. It
// returns once the user-interface thread has pumped the transport (or the reader is stopping).
using DataArrivedFunction = void (*)(void* context, IO* transport);

class SessionConfig {
  public:
    SessionConfig();  // empty, holder count 0, then reset to defaults
    ~SessionConfig();
    SessionConfig(const SessionConfig&) = delete;
    SessionConfig& operator=(const SessionConfig&) = delete;

    // The rows in table order.
    static std::span<const KeyRow> KeyTable();

    std::int32_t GetInt(setting::Int number) const;
    void SetInt(setting::Int number, std::int32_t value);

    // nullptr when absent.
    const char16_t* GetWide(setting::Wide number) const;
    void SetWide(setting::Wide number, const char16_t* text);        // nullptr clears
    bool SetWideFromNarrow(setting::Wide number, const char* text);  // false when nothing results
    const char* GetNarrow(setting::Narrow number) const;
    void SetNarrow(setting::Narrow number, const char* text);  // nullptr clears
    bool SetNarrowFromWide(setting::Narrow number, const char16_t* text);

    const std::vector<std::int32_t>& GetList(setting::List number) const;
    void SetList(setting::List number, const std::int32_t* values, int count);  // 0 empties

    int Holders() const { return holders_.load(); }
    void AddHolder() { ++holders_; }
    void RemoveHolder() { --holders_; }

    // Port forwards in the order added.
    void AddForward(PortForward forward);
    LockedList<std::shared_ptr<PortForward>>& Forwards() { return forwards_; }
    std::vector<PortForward> ForwardsCopy();
    void ClearForwards();

    void SetSessionCallback(DataArrivedFunction function, void* context);
    // Calls the notification function, if any, with its context and the transport.
    void NotifyDataArrived(IO* transport) const;

    void ResetToDefaults();
    void DeriveDisabledLists();

    // The session file's bytes: the kind line, one line per keyed row, one per port forward.
    std::string Serialize();
    // Writes the file (the old file stays intact until the new one is complete). Shows
    // "Couldn't overwrite file '%s' to save session." on failure.
    bool SaveToPath(const std::string& path, bool overwrite);
    // The user name and host name joined by "@", cleaned for use as a file name.
    std::string SuggestedName() const;
    // Loads a session file; asks the version question through the user-interface services.
    bool LoadFromPath(const std::string& path, bool report_unreadable);

    // Loads the kind's default file from the settings folder (unless from_saved_session is 1) and
    // applies the after-default fix-ups; without a usable file, resets to defaults and sets the
    // kind and its dialog's ports. Returns true when the file was loaded.
    bool LoadKindDefaults(int kind);
    // Saves the record as its kind's default file.
    bool SaveKindDefaults();

    // The folder of the default files and, by default, saved sessions (ends in "/").
    static std::string SettingsFolder();

    static std::span<const Choice> ChoiceList(Choices list);
    // The index of the choice with this value, or -1.
    static int IndexOfValue(Choices list, int value);
    // The four SSH2 algorithm preferences: ciphers, MACs, host keys, key exchanges.
    static std::span<const AlgorithmLists> Ssh2AlgorithmLists();
    // Gives every empty SSH2 algorithm list its default order, with its disabled list to match.
    void FillSsh2AlgorithmDefaults();

  private:
    // Applies one "key: value" pair; false when no row matches or the value does not parse.
    bool ApplyByKey(const std::string& key, const std::string& value);
    // A file from before the key-exchange list: the algorithms added since are put, in default
    // order, ahead of the choices the file made.
    void EnableAlgorithmsNewerThanFile();

    std::array<std::int32_t, setting::kIntCount> ints_{};
    std::array<std::optional<std::u16string>, setting::kWideCount> wides_{};
    std::array<std::optional<std::string>, setting::kNarrowCount> narrows_{};
    std::array<std::vector<std::int32_t>, setting::kListCount> lists_{};
    LockedList<std::shared_ptr<PortForward>> forwards_;
    std::atomic<int> holders_{0};
    DataArrivedFunction callback_ = nullptr;
    void* callback_context_ = nullptr;
};

}  // namespace tarnwick
