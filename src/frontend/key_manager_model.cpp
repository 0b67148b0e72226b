#include "frontend/key_manager_model.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

#include "crypto/bignum.h"
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

constexpr const char* kNotFromFilesystem = "not_from_filesystem";
constexpr int kPassphraseTries = 3;

int BitsOf(const SecureBytes& number) {
    BigNum n;
    return n.SetBytes(number.data(), number.size()) ? n.BitLength() : 0;
}

OwnKeyRow RowOf(const PrivateKey& key) {
    OwnKeyRow row;
    row.public_blob = key.PublicBlob();
    const auto* blob = reinterpret_cast<const std::uint8_t*>(row.public_blob.data());
    row.sha256 = FingerprintSha256(blob, row.public_blob.size());
    row.md5 = "MD5:" + Fingerprint(blob, row.public_blob.size());
    switch (key.type) {
        case kKeyRSA:
            row.type = "RSA";
            row.bits = BitsOf(key.rsa_n);
            break;
        case kKeyDSA:
            row.type = "DSA";
            row.bits = BitsOf(key.dsa_p);
            break;
        case kKeyEd25519:
            row.type = "Ed25519";
            row.bits = 256;
            break;
        case kKeyECDSA:
            row.type = "ECDSA";
            row.bits = key.ecdsa_curve == EcCurve::kP521   ? 521
                       : key.ecdsa_curve == EcCurve::kP384 ? 384
                                                           : 256;
            break;
        default:
            row.type = "unknown";
    }
    if (key.source != kNotFromFilesystem) row.file = key.source;
    row.comment = key.comment;
    return row;
}

}  // namespace

std::vector<OwnKeyRow> KeyManagerModel::OwnKeys() {
    std::vector<OwnKeyRow> rows;
    PrivateKeyList& list = PrivateKeyList::Instance();
    for (auto key = list.First(); key; key = list.Next())
        rows.push_back(RowOf(*key));
    list.End();
    return rows;
}

int KeyManagerModel::AddKeyFile() {
    FileDialogRequest request;
    request.title = "Add Key File";
    const char* home = std::getenv("HOME");
    request.initial_path = home != nullptr ? std::string(home) + "/.ssh/" : DocumentsDirectory();
    request.filters = {{"All files (*)", "*"}};
    std::optional<std::string> path = Ui().OpenFileDialog(request);
    if (!path) return kKeyCancelled;
    return AddKeyFile(*path);
}

int KeyManagerModel::AddKeyFile(const std::string& path) {
    PrivateKeyList& list = PrivateKeyList::Instance();
    if (list.Holds(path)) return kKeyLoaded;  // listed and unchanged: no passphrase again
    int result = list.Load(path);
    for (int tries = 1; result == kKeyInvalid && tries < kPassphraseTries; ++tries)
        result = list.Load(path);
    if (result == kKeyInvalid) {
        Ui().ShowMessage("Error",
                         "The key file " + path + " was not added: the passphrase is wrong.");
    }
    return result;
}

bool KeyManagerModel::RemoveOwnKey(const OwnKeyRow& row) {
    const std::string what = row.type + " " + std::to_string(row.bits) + " " + row.sha256 +
                             (row.file.empty() ? std::string() : " (" + row.file + ")");
    if (!Ui().AskYesNo("Remove Key", "Remove the key " + what +
                                         " from the keys used for logging in? Its file is "
                                         "not deleted.")) {
        return false;
    }
    return PrivateKeyList::Instance().Remove(row.public_blob);
}

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
