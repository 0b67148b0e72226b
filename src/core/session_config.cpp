#include "core/session_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string_view>

#include "core/preferences.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

using namespace setting;

// Key, type, setting number, wide default, narrow default, integer default, preference index.
// The order is the order of lines in a saved file.
constexpr KeyRow kKeyTable[] = {
    {"version", kRowInt, version, nullptr, nullptr, 2, 0},
    {"appversion", kRowNarrow, appversion, nullptr, "2.06", 0, 0},
    {nullptr, kRowInt, session_kind, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, loaded_from_file, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, setup_accepted, nullptr, nullptr, 0, 0},
    {"visual_bell", kRowInt, visual_bell, nullptr, nullptr, 1, 0},
    {"swap_bs_del", kRowInt, swap_bs_del, nullptr, nullptr, 0, 0},
    {"linefeed_mode", kRowInt, linefeed_mode, nullptr, nullptr, 0, 0},
    {"keypad_mode", kRowInt, keypad_mode, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, vt_aux_mode, nullptr, nullptr, 0, 0},
    {"wrap_mode", kRowInt, wrap_mode, nullptr, nullptr, 1, 0},
    {"local_echo", kRowInt, local_echo, nullptr, nullptr, 0, 0},
    {"portnum_listener", kRowInt, portnum_listener, nullptr, nullptr, 0, 0},
    {"*portnum", kRowInt, portnum, nullptr, nullptr, -1, 0},
    {"*debug", kRowInt, debug, nullptr, nullptr, 0, 0},
    {"serial_speed", kRowInt, serial_speed, nullptr, nullptr, 9600, 0},
    {"serial_parity", kRowInt, serial_parity, nullptr, nullptr, 0, 0},
    {"serial_stopbits", kRowInt, serial_stopbits, nullptr, nullptr, 0, 0},
    {"serial_bytesize", kRowInt, serial_bytesize, nullptr, nullptr, 8, 0},
    {"serial_flowcontrol", kRowInt, serial_flowcontrol, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, session_callback, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, session_callback_context, nullptr, nullptr, 0, 0},
    {"ssh_streamFill", kRowInt, ssh_streamFill, nullptr, nullptr, 0, 0},
    {"ssh_useCompression", kRowInt, ssh_useCompression, nullptr, nullptr, 1, 0},
    {"ssh_cipher", kRowInt, ssh_cipher, nullptr, nullptr, 6, 0},
    {"ssh1_check_CRC", kRowInt, ssh1_check_CRC, nullptr, nullptr, 1, 0},
    {"ssh2_random_generator_percentage", kRowInt, ssh2_random_generator_percentage, nullptr,
     nullptr, 100, 0},
    {"ssl_checkmac", kRowInt, ssl_checkmac, nullptr, nullptr, 1, 0},
    {"tls_proxy_type", kRowInt, tls_proxy_type, nullptr, nullptr, 0, 0},
    {"ssh2_want_interactive", kRowInt, ssh2_want_interactive, nullptr, nullptr, 1, 0},
    {"enable_ssl", kRowInt, enable_ssl, nullptr, nullptr, 0, 0},
    {"cursor_type", kRowPrefInt, cursor_type, nullptr, nullptr, 0, pref::CursorType},
    {"rows", kRowPrefInt, rows, nullptr, nullptr, 0, pref::Rows},
    {"columns", kRowPrefInt, columns, nullptr, nullptr, 0, pref::Columns},
    {"scrollback", kRowPrefInt, scrollback, nullptr, nullptr, 0, pref::Scrollback},
    {"certificate_path", kRowWide, certificate_path, nullptr, nullptr, 0, 0},
    {"serial_device", kRowWide, serial_device, nullptr, nullptr, 0, 0},
    {"ssh2_EnabledCiphers", kRowList, ssh2_EnabledCiphers, nullptr, nullptr, 0, 0},
    {"ssh2_EnabledMACs", kRowList, ssh2_EnabledMACs, nullptr, nullptr, 0, 0},
    {"ssh2_hostkey_algorithms", kRowList, ssh2_hostkey_algorithms, nullptr, nullptr, 0, 0},
    {nullptr, kRowList, ssh2_DisabledCiphers, nullptr, nullptr, 0, 0},
    {nullptr, kRowList, ssh2_DisabledMACs, nullptr, nullptr, 0, 0},
    {nullptr, kRowList, ssh2_disabled_hostkey_algorithms, nullptr, nullptr, 0, 0},
    {"ssh2_kex_algorithms", kRowList, ssh2_kex_algorithms, nullptr, nullptr, 0, 0},
    {nullptr, kRowList, ssh2_disabled_kex_algorithms, nullptr, nullptr, 0, 0},
    {"ssh2_strict_hostkeys", kRowInt, ssh2_strict_hostkeys, nullptr, nullptr, 0, 0},
    {"ssh2_agent_forwarding", kRowInt, ssh2_agent_forwarding, nullptr, nullptr, 0, 0},
    {"terminal_type", kRowInt, terminal_type, nullptr, nullptr, 0, 0},
    {"term_type", kRowNarrow, term_type, nullptr, "vt100", 0, 0},
    {"*hostname", kRowNarrow, hostname, nullptr, nullptr, 0, 0},
    {"*username", kRowNarrow, username, nullptr, nullptr, 0, 0},
    {nullptr, kRowInt, from_saved_session, nullptr, nullptr, 0, 0},
};
static_assert(std::size(kKeyTable) == 52);

constexpr Choice kSerialSpeeds[] = {
    {"110", 110},     {"300", 300},     {"600", 600},       {"1200", 1200},     {"2400", 2400},
    {"4800", 4800},   {"9600", 9600},   {"14400", 14400},   {"19200", 19200},   {"38400", 38400},
    {"56000", 56000}, {"57600", 57600}, {"115200", 115200}, {"128000", 128000}, {"256000", 256000},
};
constexpr Choice kSerialParity[] = {
    {"None", 0}, {"Odd", 1}, {"Even", 2}, {"Mark", 3}, {"Space", 4},
};
constexpr Choice kSerialStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
constexpr Choice kSerialByteSize[] = {{"4", 4}, {"5", 5}, {"6", 6}, {"7", 7}, {"8", 8}};
constexpr Choice kSerialFlow[] = {{"None", 0}, {"Hardware", 1}, {"Software", 2}};
constexpr Choice kSsh1Ciphers[] = {{"3DES", 3}, {"Blowfish", 6}, {"DES", 2}};
// The choices of the SSH2 lists; those added after a list first existed come after the others, so
// that the values a saved file holds keep their meaning.
constexpr Choice kSsh2Ciphers[] = {
    {"3DES", 4},        {"Blowfish", 1},          {"AES 256", 0},      {"AES 192", 2},
    {"AES 128", 3},     {"ChaCha20-Poly1305", 5}, {"AES 128 CTR", 6},  {"AES 192 CTR", 7},
    {"AES 256 CTR", 8}, {"AES 128 GCM", 9},       {"AES 256 GCM", 10},
};
constexpr Choice kSsh2Macs[] = {
    {"None", 2},     {"SHA1", 0},         {"MD5", 1},          {"SHA2-256", 5},
    {"SHA2-512", 6}, {"SHA2-256 ETM", 7}, {"SHA2-512 ETM", 8}, {"SHA1 ETM", 9},
};
constexpr Choice kSsh2HostKeys[] = {
    {"ssh-dss", 1},
    {"ssh-rsa", 0},
    {"ssh-ed25519", 2},
    {"ecdsa-sha2-nistp256", 3},
    {"ecdsa-sha2-nistp384", 4},
    {"ecdsa-sha2-nistp521", 5},
    {"rsa-sha2-512", 6},
    {"rsa-sha2-256", 7},
};
constexpr Choice kSsh2Kex[] = {
    {"diffie-hellman-group1-sha1", 0},
    {"diffie-hellman-group-exchange-sha1", 1},
    {"diffie-hellman-group14-sha1", 2},
    {"diffie-hellman-group14-sha256", 3},
    {"diffie-hellman-group16-sha512", 4},
    {"diffie-hellman-group18-sha512", 5},
    {"diffie-hellman-group-exchange-sha256", 6},
    {"ecdh-sha2-nistp256", 7},
    {"ecdh-sha2-nistp384", 8},
    {"ecdh-sha2-nistp521", 9},
    {"curve25519-sha256", 10},
    {"curve25519-sha256@libssh.org", 11},
    {"sntrup761x25519-sha512@openssh.com", 12},
    {"sntrup761x25519-sha512", 13},
};

// Default orders: chacha20-poly1305, AES-CTR, AES-GCM, then Blowfish and the CBC ciphers; the
// encrypt-then-MAC forms, then the SHA-2 and the older MACs ("None" is there, but disabled);
// Ed25519, ECDSA, RSA with SHA-2, then the SHA-1 signatures; the hybrid post-quantum exchange,
// X25519, the NIST curves, the larger Diffie-Hellman groups, then group exchange and group 1.
constexpr std::int32_t kDefaultCiphers[] = {5, 6, 7, 8, 9, 10, 1, 0, 2, 3, 4};
constexpr std::int32_t kDefaultMacs[] = {7, 8, 9, 5, 6, 0, 1};
constexpr std::int32_t kDefaultDisabledMacs[] = {2};
constexpr std::int32_t kDefaultHostKeys[] = {2, 3, 4, 5, 6, 7, 0, 1};
constexpr std::int32_t kDefaultKex[] = {13, 12, 10, 11, 7, 8, 9, 6, 4, 5, 3, 2, 1, 0};
constexpr Choice kTlsProxies[] = {{"SMTP", 0}, {"POP", 1}, {"IMAP", 2}};

constexpr AlgorithmLists kSsh2Lists[] = {
    {ssh2_EnabledCiphers, ssh2_DisabledCiphers, Choices::kSsh2Cipher, kDefaultCiphers, {}, 5},
    {ssh2_EnabledMACs, ssh2_DisabledMACs, Choices::kSsh2Mac, kDefaultMacs, kDefaultDisabledMacs, 5},
    {ssh2_hostkey_algorithms,
     ssh2_disabled_hostkey_algorithms,
     Choices::kSsh2HostKey,
     kDefaultHostKeys,
     {},
     2},
    // Files had no key-exchange list before: every method is new to them.
    {ssh2_kex_algorithms, ssh2_disabled_kex_algorithms, Choices::kSsh2Kex, kDefaultKex, {}, 0},
};

// Reads one line of a session file the way the format has always been read: byte by byte, CR or
// LF ends the line (and is not stored), zero bytes are dropped, at most 255 characters are stored
// (the rest of a longer physical line comes back as the next line). Returns false at the end of
// the file; a partial last line without its line end is not used.
class LineReader {
  public:
    explicit LineReader(std::FILE* file) : file_(file) {}
    bool Next(std::string& line) {
        line.clear();
        for (;;) {
            if (line.size() >= 255) return true;
            int c = std::fgetc(file_);
            if (c == EOF) return false;
            if (c == '\r' || c == '\n') return true;
            if (c == 0) continue;
            line.push_back(static_cast<char>(c));
        }
    }

  private:
    std::FILE* file_;
};

// The number as "%u" reads it: blanks, an optional sign, decimal digits; what follows is ignored.
// A negative number wraps, so "-1" gives 0xFFFFFFFF.
std::optional<std::uint32_t> ScanUnsigned(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        std::uint64_t next = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        value = next / 10 == value ? next : std::numeric_limits<std::uint64_t>::max();
        ++digits;
        ++i;
    }
    if (digits == 0) return std::nullopt;
    if (negative) value = 0 - value;
    return static_cast<std::uint32_t>(value);
}

// "%d": blanks, an optional sign, decimal digits. Advances pos past the number.
std::optional<std::int32_t> ScanInt(const std::string& text, std::size_t& pos) {
    std::size_t i = pos;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value < (std::int64_t{1} << 40)) value = value * 10 + (text[i] - '0');
        ++digits;
        ++i;
    }
    if (digits == 0) return std::nullopt;
    pos = i;
    return static_cast<std::int32_t>(negative ? -value : value);
}

// A list value: the count, one blank, then up to count numbers each followed by one blank.
std::optional<std::vector<std::int32_t>> ParseList(const std::string& value) {
    std::size_t i = 0;
    std::uint64_t count = 0;
    while (i < value.size() && value[i] != ' ') {
        if (value[i] < '0' || value[i] > '9') return std::nullopt;
        count = std::min<std::uint64_t>(count * 10 + static_cast<std::uint64_t>(value[i] - '0'),
                                        std::uint64_t{1} << 32);
        ++i;
    }
    if (i < value.size()) ++i;  // the blank after the count
    std::vector<std::int32_t> numbers;
    if (i >= value.size()) return numbers;
    if (count == 0) return std::nullopt;
    while (numbers.size() < count && i < value.size()) {
        std::int64_t number = 0;
        std::size_t digits = 0;
        while (i < value.size() && value[i] != ' ') {
            if (value[i] < '0' || value[i] > '9') return std::nullopt;
            number = number * 10 + (value[i] - '0');
            if (number > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
            ++digits;
            ++i;
        }
        if (digits == 0) return std::nullopt;
        numbers.push_back(static_cast<std::int32_t>(number));
        if (i < value.size()) ++i;  // the blank after the number
    }
    if (i < value.size()) return std::nullopt;  // more numbers than the count announced
    return numbers;
}

std::string FormatMessage(const char* format, const std::string& argument) {
    std::string text = format;
    if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

}  // namespace

SessionConfig::SessionConfig() {
    ResetToDefaults();
}

SessionConfig::~SessionConfig() {
    for (auto& wide : wides_) {
        if (wide) std::fill(wide->begin(), wide->end(), u'\0');
    }
    ClearForwards();
}

std::span<const KeyRow> SessionConfig::KeyTable() {
    return kKeyTable;
}

std::int32_t SessionConfig::GetInt(setting::Int number) const {
    return number >= 0 && number < kIntCount ? ints_[static_cast<std::size_t>(number)] : 0;
}

void SessionConfig::SetInt(setting::Int number, std::int32_t value) {
    if (number >= 0 && number < kIntCount) ints_[static_cast<std::size_t>(number)] = value;
}

const char16_t* SessionConfig::GetWide(setting::Wide number) const {
    if (number < 0 || number >= kWideCount) return nullptr;
    const auto& value = wides_[static_cast<std::size_t>(number)];
    return value ? value->c_str() : nullptr;
}

void SessionConfig::SetWide(setting::Wide number, const char16_t* text) {
    if (number < 0 || number >= kWideCount) return;
    auto& slot = wides_[static_cast<std::size_t>(number)];
    if (text == nullptr) {
        slot.reset();
    } else {
        slot.emplace(text);
    }
}

bool SessionConfig::SetWideFromNarrow(setting::Wide number, const char* text) {
    if (text == nullptr || *text == '\0') return false;
    std::u16string wide = Utf8ToUtf16(text);
    SetWide(number, wide.c_str());
    return true;
}

const char* SessionConfig::GetNarrow(setting::Narrow number) const {
    if (number < 0 || number >= kNarrowCount) return nullptr;
    const auto& value = narrows_[static_cast<std::size_t>(number)];
    return value ? value->c_str() : nullptr;
}

void SessionConfig::SetNarrow(setting::Narrow number, const char* text) {
    if (number < 0 || number >= kNarrowCount) return;
    auto& slot = narrows_[static_cast<std::size_t>(number)];
    if (text == nullptr) {
        slot.reset();
    } else {
        slot.emplace(text);
    }
}

bool SessionConfig::SetNarrowFromWide(setting::Narrow number, const char16_t* text) {
    if (text == nullptr || *text == u'\0') return false;
    std::string narrow = Utf16ToUtf8(text);
    SetNarrow(number, narrow.c_str());
    return true;
}

const std::vector<std::int32_t>& SessionConfig::GetList(setting::List number) const {
    static const std::vector<std::int32_t> kEmpty;
    return number >= 0 && number < kListCount ? lists_[static_cast<std::size_t>(number)] : kEmpty;
}

void SessionConfig::SetList(setting::List number, const std::int32_t* values, int count) {
    if (number < 0 || number >= kListCount) return;
    auto& list = lists_[static_cast<std::size_t>(number)];
    if (count <= 0 || values == nullptr) {
        list.clear();
    } else {
        list.assign(values, values + count);
    }
}

void SessionConfig::AddForward(PortForward forward) {
    forwards_.PushBack(std::make_shared<PortForward>(std::move(forward)));
}

std::vector<PortForward> SessionConfig::ForwardsCopy() {
    std::vector<PortForward> copy;
    forwards_.ForEach([&copy](const std::shared_ptr<PortForward>& f) { copy.push_back(*f); });
    return copy;
}

void SessionConfig::ClearForwards() {
    forwards_.Clear();
}

void SessionConfig::SetSessionCallback(DataArrivedFunction function, void* context) {
    callback_ = function;
    callback_context_ = context;
}

void SessionConfig::NotifyDataArrived(IO* transport) const {
    if (callback_ != nullptr) callback_(callback_context_, transport);
}

void SessionConfig::ResetToDefaults() {
    const Preferences& prefs = Preferences::Instance();
    for (const KeyRow& row : kKeyTable) {
        switch (row.type) {
            case kRowInt:
                SetInt(static_cast<setting::Int>(row.number), row.int_default);
                break;
            case kRowPrefInt:
                SetInt(static_cast<setting::Int>(row.number), prefs.GetInt(row.pref_index));
                break;
            case kRowWide:
                SetWide(static_cast<setting::Wide>(row.number), row.wide_default);
                break;
            case kRowNarrow:
                SetNarrow(static_cast<setting::Narrow>(row.number), row.narrow_default);
                break;
            case kRowPrefWide:
                SetWide(static_cast<setting::Wide>(row.number),
                        prefs.GetWide(row.pref_index).c_str());
                break;
            case kRowPrefNarrow:
                SetNarrow(static_cast<setting::Narrow>(row.number), prefs.GetNarrow().c_str());
                break;
            default:
                break;  // lists keep their values
        }
    }
}

void SessionConfig::DeriveDisabledLists() {
    for (const AlgorithmLists& pair : kSsh2Lists) {
        const auto& enabled = GetList(pair.enabled);
        std::vector<std::int32_t> disabled;
        for (const Choice& choice : ChoiceList(pair.choices)) {
            if (std::find(enabled.begin(), enabled.end(), choice.value) == enabled.end()) {
                disabled.push_back(choice.value);
            }
        }
        SetList(pair.disabled, disabled.data(), static_cast<int>(disabled.size()));
    }
}

std::string SessionConfig::Serialize() {
    const ConnectionKind* kind = FindConnectionKind(GetInt(session_kind));
    std::string out = kind != nullptr ? kind->file_line : "IO_NONE";
    out += "\r\n";
    for (const KeyRow& row : kKeyTable) {
        if (row.key == nullptr) continue;
        out += row.key[0] == '*' ? row.key + 1 : row.key;
        out += ": ";
        switch (row.type) {
            case kRowInt:
            case kRowPrefInt:
                out += row.number == version
                           ? std::string("2")
                           : std::to_string(GetInt(static_cast<setting::Int>(row.number)));
                break;
            case kRowList: {
                const auto& list = GetList(static_cast<setting::List>(row.number));
                out += std::to_string(list.size()) + " ";
                for (std::int32_t v : list)
                    out += std::to_string(v) + " ";
                break;
            }
            case kRowNarrow:
            case kRowPrefNarrow:
                if (row.number == appversion) {
                    out += "2.06";
                } else if (const char* text = GetNarrow(static_cast<setting::Narrow>(row.number))) {
                    out += text;
                }
                break;
            case kRowWide:
            case kRowPrefWide:
                if (const char16_t* text = GetWide(static_cast<setting::Wide>(row.number))) {
                    out += Utf16ToUtf8(text);
                }
                break;
            default:
                break;
        }
        out += "\r\n";
    }
    // The walk holds the list's second semaphore so that nobody edits the list meanwhile.
    LockHolder walk(forwards_.second());
    forwards_.ForEach([&out](const std::shared_ptr<PortForward>& f) {
        // "ssh_forwards: %d %d %99s": the host right-aligned in a field of at least 99.
        out += "ssh_forwards: " + std::to_string(static_cast<std::int32_t>(f->local_port)) + " " +
               std::to_string(static_cast<std::int32_t>(f->remote_port)) + " ";
        if (f->remote_host.size() < 99) out.append(99 - f->remote_host.size(), ' ');
        out += f->remote_host;
        if (f->allow_nonlocal) out += ":";
        out += "\r\n";
    });
    return out;
}

bool SessionConfig::SaveToPath(const std::string& path, bool /*overwrite*/) {
    // The old file stays intact until the new one is complete: write a temporary file beside it,
    // then rename it over the target. Either flag value replaces an existing file in the end.
    const std::string contents = Serialize();
    std::error_code ec;
    std::filesystem::path target(path);
    if (std::filesystem::is_symlink(target, ec)) {
        target = std::filesystem::weakly_canonical(target, ec);
        if (ec) target = path;
    }
    // A session file names hosts, users and key files: only its owner reads it, whatever mode
    // an earlier copy had.
    constexpr mode_t mode = 0600;

    std::string temp = target.string() + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    bool ok = fd >= 0;
    if (ok) {
        std::size_t done = 0;
        while (ok && done < contents.size()) {
            ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<std::size_t>(n);
        }
        ok = ok && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
        ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
        if (!ok) ::unlink(temp.c_str());
    }
    if (!ok) {
        Ui().ShowMessage("Notice",
                         FormatMessage("Couldn't overwrite file '%s' to save session.", path));
    }
    return ok;
}

std::string SessionConfig::SuggestedName() const {
    const char* user = GetNarrow(username);
    const char* host = GetNarrow(hostname);
    std::string joined = std::string(user ? user : "") + "@" + (host ? host : "");
    std::string name;
    bool seen_at = false;
    bool non_digit_after_at = false;
    for (char c : joined) {
        if (c == '.') {
            if (seen_at && non_digit_after_at) break;
            name.push_back('_');
            continue;
        }
        if (seen_at && (c < '0' || c > '9')) non_digit_after_at = true;
        if (c == '@') seen_at = true;
        // A name never leaves the folder it is suggested in.
        name.push_back(c == '/' ? '_' : c);
    }
    return name;
}

bool SessionConfig::ApplyByKey(const std::string& key, const std::string& value) {
    for (const KeyRow& row : kKeyTable) {
        if (row.key == nullptr) continue;
        bool match = key == row.key;
        if (!match && row.key[0] == '*') {
            std::string_view suffix(row.key + 1);
            match = key.size() >= suffix.size() &&
                    std::string_view(key).substr(key.size() - suffix.size()) == suffix;
        }
        if (!match) continue;
        switch (row.type) {
            case kRowInt:
            case kRowPrefInt: {
                auto number = ScanUnsigned(value);
                if (!number) return false;
                SetInt(static_cast<setting::Int>(row.number), static_cast<std::int32_t>(*number));
                return true;
            }
            case kRowWide:
            case kRowPrefWide: {
                std::u16string wide = Utf8ToUtf16(value);
                SetWide(static_cast<setting::Wide>(row.number),
                        wide.empty() ? nullptr : wide.c_str());
                return true;
            }
            case kRowNarrow:
            case kRowPrefNarrow:
                SetNarrow(static_cast<setting::Narrow>(row.number),
                          value.empty() ? nullptr : value.c_str());
                return true;
            case kRowList: {
                auto list = ParseList(value);
                if (!list) return false;
                SetList(static_cast<setting::List>(row.number), list->data(),
                        static_cast<int>(list->size()));
                return true;
            }
            default:
                return true;
        }
    }
    return false;
}

namespace {

// "local remote host[:]" as "%d %d %99s" reads it; nothing when a field is missing.
std::optional<PortForward> ParseForward(const std::string& value) {
    std::size_t pos = 0;
    auto local = ScanInt(value, pos);
    if (!local) return std::nullopt;
    auto remote = ScanInt(value, pos);
    if (!remote) return std::nullopt;
    while (pos < value.size() && std::isspace(static_cast<unsigned char>(value[pos])))
        ++pos;
    std::string host;
    while (pos < value.size() && host.size() < 99 &&
           !std::isspace(static_cast<unsigned char>(value[pos]))) {
        host.push_back(value[pos++]);
    }
    if (host.empty()) return std::nullopt;
    PortForward forward;
    forward.local_port = static_cast<std::uint32_t>(*local);
    forward.remote_port = static_cast<std::uint32_t>(*remote);
    if (host.back() == ':') {
        host.pop_back();
        forward.allow_nonlocal = 1;
    }
    forward.remote_host = std::move(host);
    return forward;
}

}  // namespace

bool SessionConfig::LoadFromPath(const std::string& path, bool report_unreadable) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (report_unreadable) {
            Ui().ShowMessage("Notice", FormatMessage("Couldn't read session from '%s'.", path));
        }
        return false;
    }
    SetInt(session_kind, kKindNone);
    LineReader reader(file);
    std::string line;
    if (!reader.Next(line)) {
        std::fclose(file);
        return false;
    }
    const ConnectionKind* kind = FindConnectionKindByLine(line);
    if (kind != nullptr) SetInt(session_kind, kind->kind);
    if (kind == nullptr) {
        std::fclose(file);
        return false;
    }
    bool has_kex_list = false;
    while (reader.Next(line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        if (key == "ssh2_kex_algorithms") has_kex_list = true;
        std::string value = colon + 2 <= line.size() ? line.substr(colon + 2) : std::string();
        if (key == "ssh_forwards") {
            if (auto forward = ParseForward(value)) AddForward(std::move(*forward));
            continue;
        }
        if (!ApplyByKey(key, value)) {
            SetInt(session_kind, kKindNone);
            break;
        }
    }
    if (GetInt(version) != 2) {
        const char* app = GetNarrow(appversion);
        std::string question =
            app != nullptr && *app != '\0'
                ? FormatMessage(
                      "The saved file you are loading was created with Tarnwick version "
                      "%s, and may be incompatible with this version of Tarnwick. Do "
                      "you want to continue loading this file? (Pressing 'No' will use "
                      "default values instead.)",
                      app)
                : std::string(
                      "The saved file you are loading was created with an older version "
                      "of Tarnwick, and may be incompatible with this version of "
                      "Tarnwick. Do you want to continue loading this file? (Pressing "
                      "'No' will use default values instead.)");
        if (!Ui().AskYesNo("Error", question)) {
            std::fclose(file);
            return false;
        }
    }
    std::fclose(file);
    if (GetInt(session_kind) == kKindNone) return false;
    if (!has_kex_list) {
        // Whatever list the record held before is not this file's choice.
        SetList(ssh2_kex_algorithms, nullptr, 0);
        EnableAlgorithmsNewerThanFile();
    }
    DeriveDisabledLists();
    SetInt(loaded_from_file, 1);
    SetInt(setup_accepted, 1);
    return true;
}

bool SessionConfig::LoadKindDefaults(int kind) {
    if (GetInt(from_saved_session) == 1) return false;
    const ConnectionKind* row = FindConnectionKind(kind);
    if (row == nullptr || !LoadFromPath(SettingsFolder() + row->default_file, false)) {
        ResetToDefaults();
        SetInt(session_kind, kind);
        SetInt(portnum, row != nullptr ? row->default_port : 0);
        if (row != nullptr && row->default_listen_port != 0) {
            SetInt(portnum_listener, row->default_listen_port);
        }
        return false;
    }
    // Forwards saved in a default file are never restored, and the terminal geometry and cursor
    // always follow the current preferences.
    ClearForwards();
    SetInt(ssh2_want_interactive, 1);
    const Preferences& prefs = Preferences::Instance();
    SetInt(rows, prefs.GetInt(pref::Rows));
    SetInt(columns, prefs.GetInt(pref::Columns));
    SetInt(scrollback, prefs.GetInt(pref::Scrollback));
    SetInt(cursor_type, prefs.GetInt(pref::CursorType));
    return true;
}

bool SessionConfig::SaveKindDefaults() {
    const ConnectionKind* row = FindConnectionKind(GetInt(session_kind));
    return row != nullptr && SaveToPath(SettingsFolder() + row->default_file, true);
}

std::string SessionConfig::SettingsFolder() {
    return ConfigDirectory() + "/";
}

std::span<const Choice> SessionConfig::ChoiceList(Choices list) {
    switch (list) {
        case Choices::kSerialSpeed:
            return kSerialSpeeds;
        case Choices::kSerialParity:
            return kSerialParity;
        case Choices::kSerialStopBits:
            return kSerialStopBits;
        case Choices::kSerialByteSize:
            return kSerialByteSize;
        case Choices::kSerialFlow:
            return kSerialFlow;
        case Choices::kSsh1Cipher:
            return kSsh1Ciphers;
        case Choices::kSsh2Cipher:
            return kSsh2Ciphers;
        case Choices::kSsh2Mac:
            return kSsh2Macs;
        case Choices::kSsh2HostKey:
            return kSsh2HostKeys;
        case Choices::kTlsProxy:
            return kTlsProxies;
        case Choices::kSsh2Kex:
            return kSsh2Kex;
    }
    return {};
}

int SessionConfig::IndexOfValue(Choices list, int value) {
    auto choices = ChoiceList(list);
    for (std::size_t i = 0; i < choices.size(); ++i) {
        if (choices[i].value == value) return static_cast<int>(i);
    }
    return -1;
}

std::span<const AlgorithmLists> SessionConfig::Ssh2AlgorithmLists() {
    return kSsh2Lists;
}

void SessionConfig::FillSsh2AlgorithmDefaults() {
    for (const AlgorithmLists& list : kSsh2Lists) {
        if (!GetList(list.enabled).empty()) continue;
        SetList(list.enabled, list.default_order.data(),
                static_cast<int>(list.default_order.size()));
        SetList(list.disabled, list.default_disabled.data(),
                static_cast<int>(list.default_disabled.size()));
    }
}

void SessionConfig::EnableAlgorithmsNewerThanFile() {
    // Enabled lists are all such a file records; the choices it left out of them were either
    // turned off by the user (they stay off) or did not exist yet (they are turned on, or every
    // existing user would keep failing against today's servers).
    for (const AlgorithmLists& list : kSsh2Lists) {
        const std::vector<std::int32_t>& chosen = GetList(list.enabled);
        // An empty list already stands for the default order.
        if (chosen.empty()) continue;
        std::vector<std::int32_t> merged;
        for (std::int32_t value : list.default_order) {
            if (value >= list.first_new_value &&
                std::find(chosen.begin(), chosen.end(), value) == chosen.end()) {
                merged.push_back(value);
            }
        }
        merged.insert(merged.end(), chosen.begin(), chosen.end());
        SetList(list.enabled, merged.data(), static_cast<int>(merged.size()));
    }
}

}  // namespace tarnwick
