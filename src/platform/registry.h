// The per-user registry: keys are backslash-separated paths ("Software\Halvek\Tarnwick"), values
// are typed DWORD, string or binary. Stored in one SQLite database, registry.sqlite3 in the
// configuration folder; every write is a transaction, so a crash never leaves a half-written store.
//
// A store that cannot be opened or is damaged is never deleted or overwritten: the file is kept
// aside under a new name, the program runs on defaults, and the user is told once where the old
// file was kept. The store and its journals are readable by their owner only (0600).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tarnwick {

class RegistryStore {
  public:
    enum class Type : int { kString = 1, kBinary = 3, kDword = 4 };

    struct Value {
        std::string name;
        Type type = Type::kBinary;
        std::vector<std::uint8_t> data;  // DWORD: 4 bytes little-endian; string: UTF-8 bytes
    };

    RegistryStore() = default;
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // The store of the configuration folder, opened on first use.
    static RegistryStore& Instance();

    // Opens (creating when missing) the database at path. A damaged or unopenable file is moved
    // aside and a fresh store is created; when even that fails, an in-memory store is used.
    // Returns false only when no store at all could be set up.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    const std::string& path() const { return path_; }

    // A notice for the user about a damaged store, or about settings that others could read and
    // that were made private, given out once (empty when there is none).
    std::string TakeNotice();

    bool KeyExists(const std::string& key);
    bool CreateKey(const std::string& key);  // creates its parents too
    // Deletes the key, its values and every key below it.
    bool DeleteKey(const std::string& key);
    std::vector<std::string> SubKeys(const std::string& key);  // names, not full paths

    std::optional<std::uint32_t> GetDword(const std::string& key, const std::string& name);
    std::optional<std::u16string> GetString(const std::string& key, const std::string& name);
    std::optional<std::vector<std::uint8_t>> GetBinary(const std::string& key,
                                                       const std::string& name);
    std::optional<Value> GetValue(const std::string& key, const std::string& name);
    // Setting a value creates its key.
    bool SetDword(const std::string& key, const std::string& name, std::uint32_t value);
    bool SetString(const std::string& key, const std::string& name, const std::u16string& value);
    bool SetBinary(const std::string& key, const std::string& name,
                   const std::vector<std::uint8_t>& value);
    bool SetValue(const std::string& key, const Value& value);
    bool DeleteValue(const std::string& key, const std::string& name);
    bool ValueExists(const std::string& key, const std::string& name);
    // Every value of the key in the order they were first written.
    std::vector<Value> Values(const std::string& key);

    // Groups writes into one transaction: all of them land, or none. Nests.
    class Batch {
      public:
        explicit Batch(RegistryStore& store);
        ~Batch();  // rolls back unless committed
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
        bool Commit();

      private:
        RegistryStore& store_;
        bool done_ = false;
    };

  private:
    bool Begin();
    bool End(bool commit);
    bool OpenDatabase(const std::string& path);
    bool SetUpSchema();
    bool Healthy();
    void KeepAside(const std::string& path, const std::string& reason);

    std::recursive_mutex mutex_;
    sqlite3* db_ = nullptr;
    int depth_ = 0;        // nesting of open transactions
    bool doomed_ = false;  // an inner transaction failed: the outer one must roll back
    std::string path_;
    std::string notice_;
};

}  // namespace tarnwick
