#include "frontend/connection_form.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/text.h"
#include "platform/user_interface.h"
#include "session/session_builder.h"
#include "ssh/ssh2_algorithms.h"

namespace tarnwick {

namespace {

using setting::debug;

constexpr SettingRef Narrow(setting::Narrow n) {
    return {SettingRef::kNarrow, n};
}
constexpr SettingRef Wide(setting::Wide w) {
    return {SettingRef::kWide, w};
}
constexpr SettingRef Int(setting::Int i) {
    return {SettingRef::kInt, i};
}

constexpr FormField kHost{"Hostname", FieldType::kText, Narrow(setting::hostname), true};
constexpr FormField kUser{"Username", FieldType::kText, Narrow(setting::username), true};
constexpr FormField kPort{"Port", FieldType::kPort, Int(setting::portnum), true};
constexpr FormField kDebug{"Enable Debug Messages", FieldType::kCheck, Int(debug)};

constexpr const char* kAgentForwardingWarning =
    "With agent forwarding, the server (and anyone who controls it) can use the keys you hold to "
    "log in to other computers as you for as long as the session lasts. Allow it only for "
    "servers you trust.";

constexpr FormField kSsh2Fields[] = {
    kHost,
    kUser,
    kPort,
    {"Cert", FieldType::kKeyFile, Wide(setting::certificate_path)},
    {"Allow a&gent forwarding", FieldType::kCheck, Int(setting::ssh2_agent_forwarding), false,
     Choices::kSerialSpeed, kAgentForwardingWarning},
    {"Debug Messages", FieldType::kCheck, Int(debug)},
};
constexpr FormField kSsh1Fields[] = {
    kHost,
    kUser,
    kPort,
    {"Cipher", FieldType::kChoice, Int(setting::ssh_cipher), true, Choices::kSsh1Cipher},
    {"&Add random line fill", FieldType::kCheck, Int(setting::ssh_streamFill)},
    {"Chec&k CRC", FieldType::kCheck, Int(setting::ssh1_check_CRC)},
    {"Enable debug messages", FieldType::kCheck, Int(debug)},
};
constexpr FormField kSerialFields[] = {
    {"Device", FieldType::kDevice, Wide(setting::serial_device)},
    {"Speed", FieldType::kChoice, Int(setting::serial_speed), false, Choices::kSerialSpeed},
    {"Byte size", FieldType::kChoice, Int(setting::serial_bytesize), false,
     Choices::kSerialByteSize},
    {"Parity", FieldType::kChoice, Int(setting::serial_parity), false, Choices::kSerialParity},
    {"Stop bits", FieldType::kChoice, Int(setting::serial_stopbits), false,
     Choices::kSerialStopBits},
    {"Flow control", FieldType::kChoice, Int(setting::serial_flowcontrol), false,
     Choices::kSerialFlow},
    kDebug,
};
constexpr FormField kTelnetFields[] = {
    kHost,
    kPort,
    {"Tunnel through SSL", FieldType::kCheck, Int(setting::enable_ssl)},
    kDebug,
};
constexpr FormField kSslFields[] = {kHost, kPort, kDebug};
constexpr FormField kListenPort{"Forward from port:", FieldType::kPort,
                                Int(setting::portnum_listener), true};
constexpr FormField kSslForwardFields[] = {
    kListenPort,
    {"Forward to:", FieldType::kText, Narrow(setting::hostname), true},
    kPort,
    kDebug,
};
constexpr FormField kStartTlsFields[] = {
    kListenPort,
    {"Forward to:", FieldType::kText, Narrow(setting::hostname), true},
    kPort,
    {"Protocol", FieldType::kChoice, Int(setting::tls_proxy_type), false, Choices::kTlsProxy},
    kDebug,
};

constexpr FormDefinition kForms[] = {
    {kKindSSH2, "SSH2 Parameters", kSsh2Fields, kButtonAdvanced | kButtonForwards | kButtonTerminal,
     FillSsh2AlgorithmDefaults},
    {kKindSSH1, "SSH1 Parameters", kSsh1Fields, kButtonForwards | kButtonTerminal, nullptr},
    {kKindSerial, "Serial Parameters", kSerialFields, kButtonTerminal, nullptr},
    {kKindTelnet, "Telnet Parameters", kTelnetFields, kButtonTerminal, nullptr},
    {kKindSSL, "SSL Parameters", kSslFields, kButtonTerminal, nullptr},
    {kKindSSLPortForward, "SSL Forwarding Parameters", kSslForwardFields, 0, nullptr},
    {kKindSTARTTLSProxy, "STARTTLS Forwarding Params", kStartTlsFields, 0, nullptr},
};

}  // namespace

int ParsePort(const std::string& text, int fallback) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && text[i] == '+') ++i;
    unsigned long long value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(text[i] - '0'),
                                             1000000);
        ++digits;
        ++i;
    }
    if (digits == 0 || value < 1 || value > 65535) return fallback;
    return static_cast<int>(value);
}

const FormDefinition* FindForm(int kind) {
    for (const FormDefinition& form : kForms) {
        if (form.kind == kind) return &form;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// ConnectionForm

ConnectionForm::ConnectionForm(SessionConfig& config, int kind)
    : config_(config), definition_(FindForm(kind)) {
    if (definition_ == nullptr) definition_ = &kForms[0];
    config_.LoadKindDefaults(definition_->kind);
    config_.SetInt(setting::session_kind, definition_->kind);
    if (definition_->prepare != nullptr) definition_->prepare(config_);
    values_.resize(definition_->fields.size());
    Load();
}

void ConnectionForm::Load() {
    for (std::size_t i = 0; i < values_.size(); ++i) {
        const FormField& field = Field(i);
        Value& value = values_[i];
        const SettingRef& ref = field.setting;
        switch (ref.family) {
            case SettingRef::kNarrow: {
                const char* text = config_.GetNarrow(static_cast<setting::Narrow>(ref.number));
                value.text = text != nullptr ? text : "";
                break;
            }
            case SettingRef::kWide: {
                const char16_t* text = config_.GetWide(static_cast<setting::Wide>(ref.number));
                value.text = text != nullptr ? Utf16ToUtf8(text) : "";
                break;
            }
            case SettingRef::kInt: {
                const int number = config_.GetInt(static_cast<setting::Int>(ref.number));
                if (field.type == FieldType::kPort) {
                    value.text = number > 0 ? std::to_string(number) : "";
                } else if (field.type == FieldType::kChoice) {
                    value.index = SessionConfig::IndexOfValue(field.choices, number);
                } else {
                    value.index = number != 0 ? 1 : 0;
                }
                break;
            }
        }
    }
}

void ConnectionForm::SetText(std::size_t i, std::string text) {
    if (i >= values_.size()) return;
    // Cut at a character boundary, never inside a UTF-8 sequence.
    if (text.size() > kMaxText) {
        std::size_t cut = kMaxText;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    values_[i].text = std::move(text);
}

std::vector<std::string> ConnectionForm::ChoiceNames(std::size_t i) const {
    std::vector<std::string> names;
    for (const Choice& choice : SessionConfig::ChoiceList(Field(i).choices))
        names.emplace_back(choice.name);
    return names;
}

void ConnectionForm::SetChoiceIndex(std::size_t i, int index) {
    if (i >= values_.size()) return;
    const int count = static_cast<int>(SessionConfig::ChoiceList(Field(i).choices).size());
    values_[i].index = index >= 0 && index < count ? index : -1;
}

void ConnectionForm::ChooseKeyFile(std::size_t i) {
    FileDialogRequest request;
    request.title = "Select key";
    request.initial_path = values_[i].text;
    // Keys that other programs write often have no extension at all.
    request.filters = {{"SSH Private Keys (*.pky)", "*.pky"}, {"All files (*.*)", "*"}};
    std::optional<std::string> chosen = Ui().OpenFileDialog(request);
    values_[i].text = chosen ? *chosen : std::string();
}

bool ConnectionForm::CanAccept() const {
    for (std::size_t i = 0; i < values_.size(); ++i) {
        const FormField& field = Field(i);
        if (!field.required) continue;
        if (field.type == FieldType::kChoice ? values_[i].index < 0
                                             : TrimBlanks(values_[i].text).empty()) {
            return false;
        }
    }
    return true;
}

bool ConnectionForm::Accept() {
    if (!CanAccept()) return false;
    const ConnectionKind* kind = FindConnectionKind(definition_->kind);
    const int fallback = kind != nullptr ? kind->fallback_port : 0;
    for (std::size_t i = 0; i < values_.size(); ++i) {
        const FormField& field = Field(i);
        const Value& value = values_[i];
        const SettingRef& ref = field.setting;
        // Host and user names are kept as typed, apart from surrounding blanks.
        const std::string text = TrimBlanks(value.text);
        switch (ref.family) {
            case SettingRef::kNarrow:
                config_.SetNarrow(static_cast<setting::Narrow>(ref.number),
                                  text.empty() ? nullptr : text.c_str());
                break;
            case SettingRef::kWide:
                config_.SetWide(static_cast<setting::Wide>(ref.number),
                                text.empty() ? nullptr : Utf8ToUtf16(text).c_str());
                break;
            case SettingRef::kInt: {
                int number = value.index;
                if (field.type == FieldType::kPort) {
                    number = ParsePort(text, fallback);
                } else if (field.type == FieldType::kChoice) {
                    auto choices = SessionConfig::ChoiceList(field.choices);
                    if (value.index < 0) continue;  // nothing chosen: the setting stays
                    number = choices[static_cast<std::size_t>(value.index)].value;
                }
                config_.SetInt(static_cast<setting::Int>(ref.number), number);
                break;
            }
        }
    }
    config_.SetInt(setting::setup_accepted, 1);
    config_.SaveKindDefaults();
    return true;
}

void ConnectionForm::Cancel() {
    config_.SetInt(setting::setup_accepted, 0);
}

// ---------------------------------------------------------------------------------------------
// ConnectionChooser

ConnectionChooser::ConnectionChooser(const std::vector<std::string>& folders) {
    for (const ConnectionKind& kind : ConnectionKinds()) {
        Entry entry;
        entry.kind = kind.kind;
        entry.text = kind.chooser_text;
        entry.available = CanBuildChain(kind.kind);
        entries_.push_back(std::move(entry));
    }
    std::vector<SavedSession> saved = FindSavedSessions(folders);
    if (saved.empty()) return;
    Entry separator;
    separator.type = Entry::kSeparator;
    separator.text = "------------------------------------------";
    entries_.push_back(std::move(separator));
    for (SavedSession& file : saved) {
        Entry entry;
        entry.type = Entry::kSaved;
        entry.text = file.name;
        entry.file = std::move(file);
        entries_.push_back(std::move(entry));
    }
}

const ConnectionChooser::Entry* ConnectionChooser::At(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size()) return nullptr;
    return &entries_[static_cast<std::size_t>(index)];
}

ConnectionChooser::Buttons ConnectionChooser::ButtonsFor(int index) const {
    const Entry* entry = At(index);
    if (entry == nullptr || entry->type == Entry::kSeparator) return {"&Connect"};
    if (entry->type == Entry::kKind) return {"&Configure", entry->available, false, false};
    return {"&Connect", true, true, true};
}

std::optional<int> ConnectionChooser::Configure(int index) const {
    const Entry* entry = At(index);
    if (entry == nullptr || entry->type != Entry::kKind || !entry->available) return std::nullopt;
    return entry->kind;
}

std::optional<std::string> ConnectionChooser::Connect(int index) const {
    const Entry* entry = At(index);
    if (entry == nullptr || entry->type != Entry::kSaved) return std::nullopt;
    return entry->file.path;
}

std::optional<int> ConnectionChooser::Edit(int index, SessionConfig& config) const {
    const Entry* entry = At(index);
    if (entry == nullptr || entry->type != Entry::kSaved) return std::nullopt;
    if (!config.LoadFromPath(entry->file.path, false)) return std::nullopt;
    config.SetInt(setting::setup_accepted, 0);
    config.SetInt(setting::from_saved_session, 1);
    const int kind = config.GetInt(setting::session_kind);
    if (FindForm(kind) == nullptr) return std::nullopt;
    return kind;
}

bool ConnectionChooser::Delete(int index) {
    const Entry* entry = At(index);
    if (entry == nullptr || entry->type != Entry::kSaved) return false;
    const std::string path = entry->file.path;
    if (!Ui().AskYesNo("Confirm file delete",
                       "Are you sure you want to delete the settings file\n'" + path + "'?")) {
        return false;
    }
    std::error_code ec;
    if (!std::filesystem::remove(path, ec)) {
        Ui().ShowMessage("Failed to delete file.",
                         ec ? SystemErrorText(ec.value()) : SystemErrorText(ENOENT));
        return false;
    }
    entries_.erase(entries_.begin() + index);
    // A separator with nothing after it goes too.
    if (!entries_.empty() && entries_.back().type == Entry::kSeparator) entries_.pop_back();
    return true;
}

}  // namespace tarnwick
