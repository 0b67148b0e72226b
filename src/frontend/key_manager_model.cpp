#include "frontend/key_manager_model.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <string_view>

#include "platform/folders.h"
#include "platform/text.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

// Every type of key a server may present. RSA keys are one type whatever their signatures
// ("rsa-sha2-256", "rsa-sha2-512"): they are stored as "ssh-rsa".
constexpr std::array<KeyType, 8> kKeyTypes{{
    {"SSH1 RSA", kSpaceSSH1, "ssh-rsa"},
    {"SSH2 RSA", kSpaceSSH2, "ssh-rsa"},
    {"SSH2 DSA", kSpaceSSH2, "ssh-dss"},
    {"SSH2 Ed25519", kSpaceSSH2, "ssh-ed25519"},
    {"SSH2 ECDSA P-256", kSpaceSSH2, "ecdsa-sha2-nistp256"},
    {"SSH2 ECDSA P-384", kSpaceSSH2, "ecdsa-sha2-nistp384"},
    {"SSH2 ECDSA P-521", kSpaceSSH2, "ecdsa-sha2-nistp521"},
    {"SSL", kSpaceSSL, "ssl-rsa"},
}};
static_assert(std::string_view(kKeyTypes[KeyManagerModel::kInitialKeyType].caption) == "SSL");

// A key file larger than this is not a public key.
constexpr std::streamoff kMaxKeyFile = 1 << 20;

std::string BaseName(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::span<const KeyType> KeyManagerModel::KeyTypes() {
    return kKeyTypes;
}

KeyManagerModel::KeyManagerModel() {
    Refill();
}

void KeyManagerModel::SelectKeyType(int index) {
    if (index < 0 || index >= static_cast<int>(kKeyTypes.size())) return;
    key_type_ = index;
    sort_column_ = -1;
    sort_reversed_ = false;
    Refill();
}

void KeyManagerModel::Refill() {
    const KeyType& type = kKeyTypes[static_cast<std::size_t>(key_type_)];
    CKnownHosts store(type.space, type.algorithm);
    rows_ = store.List();
    // The list stays in the order its header shows (an imported key takes its place in it).
    SortRows();
}

void KeyManagerModel::SortByColumn(int column) {
    if (column != 0 && column != 1) return;
    sort_reversed_ = column == sort_column_ ? !sort_reversed_ : false;
    sort_column_ = column;
    SortRows();
}

void KeyManagerModel::SortRows() {
    if (sort_column_ < 0) return;
    const int column = sort_column_;
    // The rows compare as UTF-16 text, as the list shows them.
    auto key = [column](const KnownHostEntry& e) {
        return Utf8ToUtf16(column == 0 ? e.name : e.fingerprint);
    };
    std::stable_sort(rows_.begin(), rows_.end(),
                     [&](const KnownHostEntry& a, const KnownHostEntry& b) {
                         return sort_reversed_ ? key(b) < key(a) : key(a) < key(b);
                     });
}

bool KeyManagerModel::Delete(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return false;
    const std::string name = rows_[static_cast<std::size_t>(row)].name;
    if (!Ui().AskYesNo("Confirm key delete",
                       "Are you sure you want to delete the key for '" + name + "'?")) {
        return false;
    }
    const KeyType& type = kKeyTypes[static_cast<std::size_t>(key_type_)];
    CKnownHosts store(type.space, type.algorithm, name, nullptr, 0);
    if (!store.Remove()) return false;
    rows_.erase(rows_.begin() + row);
    return true;
}

bool KeyManagerModel::Export(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return false;
    const std::string name = rows_[static_cast<std::size_t>(row)].name;
    FileDialogRequest request;
    request.initial_path = DocumentsDirectory() + "/" + name;
    request.default_extension = "pub";
    request.filters = {{"SSH Public Key (*.pub)", "*.pub"}};
    std::optional<std::string> path = Ui().SaveFileDialog(request);
    if (!path) return false;
    const KeyType& type = kKeyTypes[static_cast<std::size_t>(key_type_)];
    CKnownHosts store(type.space, type.algorithm);
    std::vector<std::uint8_t> data = store.Data(name);
    if (data.empty()) {
        Ui().ShowMessage("Error", "Could not read key from registry.");
        return false;
    }
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    if (!out) {
        Ui().ShowMessage("Error", "Could not create " + *path + ".");
        return false;
    }
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) {
        Ui().ShowMessage("Error", "Could not write the key to the file.");
        return false;
    }
    return true;
}

bool KeyManagerModel::Import() {
    FileDialogRequest request;
    request.title = "Select file to open";
    request.initial_path = DocumentsDirectory();
    request.filters = {{"SSH Public Keys (*.pub)", "*.pub"}};
    std::optional<std::string> path = Ui().OpenFileDialog(request);
    if (!path) return false;
    std::ifstream in(*path, std::ios::binary);
    if (!in) {
        Ui().ShowMessage("Error", "Could not open " + *path + ".");
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
        Ui().ShowMessage("Error", "Internal error. (GetFileSize failed)");
        return false;
    }
    if (size > kMaxKeyFile) {
        Ui().ShowMessage("Error", "Out of memory error.");
        return false;
    }
    std::vector<std::uint8_t> blob(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(blob.data()), size)) {
        Ui().ShowMessage("Error", "Error reading " + *path + ".");
        return false;
    }
    std::string proposed = BaseName(*path);
    proposed = proposed.size() > 4 ? proposed.substr(0, proposed.size() - 4) : std::string();
    std::optional<std::string> host =
        Ui().Prompt("What is the hostname for this key file?", proposed, false);
    if (!host || host->empty()) return false;
    const KeyType& type = kKeyTypes[static_cast<std::size_t>(key_type_)];
    CKnownHosts store(type.space, type.algorithm, *host, blob.data(), blob.size());
    if (!store.IsOpen()) {
        Ui().ShowMessage("Error", "Internal error. (GetKnownHosts failed.)");
        return false;
    }
    // A key that is already stored for the host is not stored twice.
    if (store.Check() != CKnownHosts::kKnown && !store.Add()) return false;
    Refill();
    return true;
}

}  // namespace tarnwick
