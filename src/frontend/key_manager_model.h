// The key manager: what the "Key Manager" dialog shows and does, without a toolkit. The dialog
// draws Rows(), enables its buttons from the selection, and calls these operations; questions,
// file choices and errors go through the user-interface services.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/known_hosts.h"
#include "ssh/private_keys.h"

namespace tarnwick {

// One of the user's own keys (public-key login and the agent), as the key list shows it.
struct OwnKeyRow {
    std::string type;         // "RSA", "DSA", "Ed25519", "ECDSA"
    int bits = 0;             // modulus, group or curve size
    std::string sha256;       // "SHA256:..." as ssh-keygen -l prints it
    std::string md5;          // "MD5:xx:xx:...", for servers that still show these
    std::string file;         // the key file, or "" for a key added through the agent
    std::string comment;      // the file's comment, or the file when it has none
    std::string public_blob;  // identifies the key (for removal)
};

struct KeyType {
    const char* caption;  // "SSH1 RSA", "SSH2 RSA", "SSH2 DSA", "SSH2 Ed25519", ..., "SSL"
    int space;
    const char* algorithm;
};

class KeyManagerModel {
  public:
    // The rows of the "Key type:" box in their order.
    static std::span<const KeyType> KeyTypes();
    // "SSL", the type selected when the dialog opens.
    static constexpr int kInitialKeyType = 7;

    KeyManagerModel();

    // Selects a key type and refills the rows for it.
    void SelectKeyType(int index);
    int key_type() const { return key_type_; }
    void Refill();
    const std::vector<KnownHostEntry>& Rows() const { return rows_; }

    // Sorts by column 0 (host name) or 1 (fingerprint); sorting by the same column again
    // reverses the order.
    void SortByColumn(int column);
    // The column the rows are sorted by (-1: as stored) and whether the order is reversed.
    int sort_column() const { return sort_column_; }
    bool sort_reversed() const { return sort_reversed_; }

    // "Delete": asks for confirmation, then removes the stored key and its row.
    bool Delete(int row);
    // "&Export": asks for a file and writes the stored key to it.
    bool Export(int row);
    // "&Import": asks for a file and a host name and stores the file's content as a key of the
    // selected type.
    bool Import();

    // ---- The user's own keys: the process-wide key list ----
    // The loaded keys in the order they were added, read afresh.
    static std::vector<OwnKeyRow> OwnKeys();
    // "Add Key File...": asks for a file (starting in ~/.ssh), loads it and lists it. The
    // passphrase is asked again after a wrong one, up to three times; the loader tells the user
    // why a file cannot be used. A KeyLoadStatus.
    static int AddKeyFile();
    static int AddKeyFile(const std::string& path);
    // "Remove Key": asks for confirmation, then takes the key off the list (its file stays).
    static bool RemoveOwnKey(const OwnKeyRow& row);

  private:
    void SortRows();

    int key_type_ = kInitialKeyType;
    std::vector<KnownHostEntry> rows_;
    int sort_column_ = -1;
    bool sort_reversed_ = false;
};

}  // namespace tarnwick
