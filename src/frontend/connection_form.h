// The connection set-up without a toolkit: the "New Connection" chooser and one parameter form
// per connection kind, with its fields, checks, defaults and fall-back values. The console asks
// the fields on the tty and the GUI shows them in dialogs; both go through these models, so the
// two faces share one set of rules.
//
//   ConnectionForm form(config, kKindTelnet);   // default file loaded, values shown
//   form.SetText(0, "router.lan");               // field by field, as the user edits
//   if (form.Accept()) ...                       // stored, saved as the kind's default file
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/session_config.h"
#include "session/connection_setup.h"

namespace tarnwick {

// A port field: one unsigned decimal number from 1 to 65535 (blanks before it and anything after
// it are ignored), otherwise the fall-back.
int ParsePort(const std::string& text, int fallback);

enum class FieldType {
    kText,     // a line of text
    kPort,     // a port; an invalid one stores the kind's fall-back port
    kCheck,    // a check box: 1 or 0
    kChoice,   // one of a choice list's names; stores its value
    kKeyFile,  // a path chosen with a file dialog ("...")
    kDevice,   // a serial device: a path, or one of the devices the machine lists
};

// Which setting a field edits.
struct SettingRef {
    enum Family { kInt, kNarrow, kWide } family;
    int number;
};

struct FormField {
    const char* label;  // the dialog's text, with "&" before the mnemonic letter
    FieldType type;
    SettingRef setting;
    bool required = false;  // OK does nothing while it is empty (a choice: while none is chosen)
    Choices choices = Choices::kSerialSpeed;  // kChoice only
    // A check box that gives something away: the face shows this (captioned "Warning") when
    // the user turns it on.
    const char* warning = nullptr;
};

// The buttons of a parameter dialog that open further dialogs.
enum FormButton : unsigned {
    kButtonAdvanced = 1,  // "&Advanced...": SSH2 Advanced
    kButtonForwards = 2,  // "Forwar&d...": the port-forward list
    kButtonTerminal = 4,  // "&Terminal...": Terminal Parameters
};

struct FormDefinition {
    int kind;
    const char* title;  // "SSH2 Parameters", ...
    std::span<const FormField> fields;
    unsigned buttons;
    // What the dialog does to the record before it shows it (the SSH2 algorithm defaults).
    void (*prepare)(SessionConfig& config);
};

// The form of a kind, or nullptr for a kind without a dialog.
const FormDefinition* FindForm(int kind);

class ConnectionForm {
  public:
    // Runs the default-file procedure for the kind (unless the record came from a chosen session
    // file), prepares the record, and shows its values. The record must outlive the form.
    ConnectionForm(SessionConfig& config, int kind);

    const FormDefinition& definition() const { return *definition_; }
    SessionConfig& config() { return config_; }
    std::size_t FieldCount() const { return values_.size(); }
    const FormField& Field(std::size_t i) const { return definition_->fields[i]; }

    // Text, port, key-file and device fields.
    const std::string& Text(std::size_t i) const { return values_[i].text; }
    void SetText(std::size_t i, std::string text);
    // Check boxes.
    bool Checked(std::size_t i) const { return values_[i].index != 0; }
    void SetChecked(std::size_t i, bool checked) { values_[i].index = checked ? 1 : 0; }
    // Choice fields: the names offered and the selected one (-1: none).
    std::vector<std::string> ChoiceNames(std::size_t i) const;
    int ChoiceIndex(std::size_t i) const { return values_[i].index; }
    void SetChoiceIndex(std::size_t i, int index);

    // The key-file field's "...": the open dialog; a chosen path is shown, Cancel empties it.
    void ChooseKeyFile(std::size_t i);

    // Every required field is filled.
    bool CanAccept() const;
    // OK: nothing happens (false) unless CanAccept; otherwise every field is stored (ports that
    // are not valid become the kind's fall-back port), the record is marked accepted and saved as
    // the kind's default file.
    bool Accept();
    // Cancel: the record is left unaccepted and nothing is saved.
    void Cancel();

    // The text fields hold at most this many characters.
    static constexpr std::size_t kMaxText = 1023;

  private:
    struct Value {
        std::string text;
        int index = 0;
    };
    void Load();

    SessionConfig& config_;
    const FormDefinition* definition_;
    std::vector<Value> values_;
};

// The "New Connection" chooser: the seven kinds, then the saved sessions after a separator.
class ConnectionChooser {
  public:
    struct Entry {
        enum Type { kKind, kSeparator, kSaved } type = kKind;
        int kind = kKindNone;   // kKind
        std::string text;       // what the list shows
        SavedSession file;      // kSaved
        bool available = true;  // a kind this build cannot connect yet is shown, not offered
    };
    // The state of the chooser's buttons for a selected entry.
    struct Buttons {
        const char* first_text;  // "&Connect" or "&Configure"
        bool first = false;
        bool edit = false;
        bool remove = false;
    };

    // Fills the list: the kinds (a kind is available when its chain can be built), then the
    // saved sessions found in folders.
    explicit ConnectionChooser(const std::vector<std::string>& folders = SavedSessionFolders());

    const std::vector<Entry>& Entries() const { return entries_; }
    Buttons ButtonsFor(int index) const;

    // "&Configure" on a kind: the kind whose dialog follows, or nothing when the entry does not
    // offer it.
    std::optional<int> Configure(int index) const;
    // "&Connect" on a saved session: its path, for the open-file request.
    std::optional<std::string> Connect(int index) const;
    // "&Edit...": loads the saved session into the record (from_saved_session 1, not accepted);
    // the kind whose dialog follows, or nothing.
    std::optional<int> Edit(int index, SessionConfig& config) const;
    // "&Delete...": asks, deletes the file and drops the entry; false when it stays.
    bool Delete(int index);

  private:
    const Entry* At(int index) const;
    std::vector<Entry> entries_;
};

}  // namespace tarnwick
