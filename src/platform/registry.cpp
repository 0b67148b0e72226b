#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/folders.h"
#include "platform/text.h"

namespace tarnwick {

namespace {

// Keys are compared without regard to case and without leading or trailing separators.
std::string NormaliseKey(const std::string& key) {
    std::size_t begin = key.find_first_not_of('\\');
    if (begin == std::string::npos) return {};
    std::size_t end = key.find_last_not_of('\\');
    std::string result;
    bool previous_separator = false;
    for (std::size_t i = begin; i <= end; ++i) {
        if (key[i] == '\\') {
            if (!previous_separator) result.push_back('\\');
            previous_separator = true;
        } else {
            result.push_back(key[i]);
            previous_separator = false;
        }
    }
    return result;
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& Bind(int index, const std::string& text) {
        if (stmt_)
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int index, int value) {
        if (stmt_) sqlite3_bind_int(stmt_, index, value);
        return *this;
    }
    Statement& BindBlob(int index, const std::vector<std::uint8_t>& data) {
        // A zero-length blob must still be a blob, not NULL.
        static const std::uint8_t kEmpty = 0;
        if (stmt_) {
            sqlite3_bind_blob(stmt_, index, data.empty() ? &kEmpty : data.data(),
                              static_cast<int>(data.size()), SQLITE_TRANSIENT);
        }
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    int Int(int column) { return sqlite3_column_int(stmt_, column); }
    std::vector<std::uint8_t> Blob(int column) {
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::vector<std::uint8_t>(data, data + size) : std::vector<std::uint8_t>();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool Exec(sqlite3* db, const char* sql) {
    return db != nullptr && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS registry_keys("
    "  path TEXT PRIMARY KEY COLLATE NOCASE);"
    "CREATE TABLE IF NOT EXISTS registry_values("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  path TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(path, name));";

}  // namespace

RegistryStore::~RegistryStore() {
    Close();
}

bool RegistryStore::Begin() {
    if (db_ == nullptr) return false;
    if (depth_ == 0) {
        if (!Exec(db_, "BEGIN IMMEDIATE;")) return false;
        doomed_ = false;
    }
    ++depth_;
    return true;
}

bool RegistryStore::End(bool commit) {
    if (depth_ == 0) return false;
    if (!commit) doomed_ = true;
    if (--depth_ > 0) return commit;
    if (doomed_) {
        Exec(db_, "ROLLBACK;");
        return false;
    }
    if (Exec(db_, "COMMIT;")) return true;
    Exec(db_, "ROLLBACK;");
    return false;
}

RegistryStore::Batch::Batch(RegistryStore& store) : store_(store) {
    store_.mutex_.lock();
    if (!store_.Begin()) done_ = true;
}

RegistryStore::Batch::~Batch() {
    if (!done_) store_.End(false);
    store_.mutex_.unlock();
}

bool RegistryStore::Batch::Commit() {
    if (done_) return false;
    done_ = true;
    return store_.End(true);
}

RegistryStore& RegistryStore::Instance() {
    static RegistryStore store;
    std::lock_guard<std::recursive_mutex> guard(store.mutex_);
    if (!store.IsOpen()) store.Open(ConfigDirectory() + "/registry.sqlite3");
    return store;
}

void RegistryStore::Close() {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
    depth_ = 0;
}

bool RegistryStore::OpenDatabase(const std::string& path) {
    Close();
    if (path != ":memory:") {
        // The store holds host keys and imported keys: private from its first byte. An empty
        // file is an empty database to SQLite, and its journals take the file's permissions.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        } else {
            for (const char* suffix : {"", "-journal", "-wal", "-shm"})
                RestrictToOwner(path + suffix);
        }
    }
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    db_ = db;
    sqlite3_busy_timeout(db_, 2000);
    return true;
}

bool RegistryStore::SetUpSchema() {
    return Exec(db_, "PRAGMA synchronous=FULL;") && Exec(db_, kSchema);
}

bool RegistryStore::Healthy() {
    Statement check(db_, "PRAGMA quick_check;");
    if (!check.ok()) {
        // Another instance writing at this moment is not damage.
        int code = sqlite3_errcode(db_) & 0xFF;
        return code == SQLITE_BUSY || code == SQLITE_LOCKED;
    }
    int step = check.Step();
    if (step == SQLITE_BUSY || step == SQLITE_LOCKED) return true;
    return step == SQLITE_ROW && check.Text(0) == "ok";
}

void RegistryStore::KeepAside(const std::string& path, const std::string& reason) {
    Close();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string aside = path + ".damaged-" + stamp;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(aside, ec); ++n) {
        aside = path + ".damaged-" + stamp + "-" + std::to_string(n);
    }
    std::filesystem::rename(path, aside, ec);
    if (ec) {
        notice_ = "The settings store '" + path + "' " + reason +
                  " and could not be moved aside (" + ec.message() +
                  "). It was left untouched; Tarnwick is using default settings that will not "
                  "be saved.";
        return;
    }
    // Journal files belong to the damaged database and go with it.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        if (std::filesystem::exists(path + suffix, ec)) {
            std::filesystem::rename(path + suffix, aside + suffix, ec);
        }
    }
    notice_ = "The settings store '" + path + "' " + reason + ". It has been kept as '" + aside +
              "', and Tarnwick has started with default settings.";
}

bool RegistryStore::Open(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    path_ = path;
    if (OpenDatabase(path) && Healthy() && SetUpSchema()) return true;

    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        KeepAside(path, db_ == nullptr ? "could not be opened" : "was damaged");
        if (!std::filesystem::exists(path, ec) && OpenDatabase(path) && SetUpSchema()) {
            return true;
        }
    } else if (notice_.empty()) {
        notice_ = "The settings store '" + path +
                  "' could not be created. Tarnwick is using default settings that will not "
                  "be saved.";
    }
    // Last resort: settings for this run only, never written over anybody's file.
    if (OpenDatabase(":memory:") && SetUpSchema()) return true;
    Close();
    return false;
}

std::string RegistryStore::TakeNotice() {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    std::string notice;
    notice.swap(notice_);
    const std::string privacy = TakePrivacyNotice();
    if (!privacy.empty()) notice += (notice.empty() ? "" : "\n\n") + privacy;
    return notice;
}

bool RegistryStore::KeyExists(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    Statement s(db_, "SELECT 1 FROM registry_keys WHERE path = ?1;");
    s.Bind(1, NormaliseKey(key));
    return s.Step() == SQLITE_ROW;
}

bool RegistryStore::CreateKey(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    const std::string path = NormaliseKey(key);
    if (path.empty() || !Begin()) return false;
    bool ok = true;
    std::size_t at = 0;
    for (;;) {
        at = path.find('\\', at);
        std::string part = at == std::string::npos ? path : path.substr(0, at);
        Statement s(db_, "INSERT OR IGNORE INTO registry_keys(path) VALUES(?1);");
        s.Bind(1, part);
        ok = ok && s.Step() == SQLITE_DONE;
        if (at == std::string::npos) break;
        ++at;
    }
    return End(ok) && ok;
}

bool RegistryStore::DeleteKey(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    const std::string path = NormaliseKey(key);
    if (path.empty() || !Begin()) return false;
    // Sub-keys are those whose path starts with "path\"; LIKE would treat '_' and '%' in names as
    // wildcards, so compare the prefix directly.
    Statement keys(db_,
                   "DELETE FROM registry_keys WHERE path = ?1 OR "
                   "(length(path) > length(?1) AND substr(path, 1, length(?1) + 1) = ?1 || '\\');");
    keys.Bind(1, path);
    Statement values(db_,
                     "DELETE FROM registry_values WHERE path = ?1 OR "
                     "(length(path) > length(?1) AND "
                     "substr(path, 1, length(?1) + 1) = ?1 || '\\');");
    values.Bind(1, path);
    bool ok = keys.Step() == SQLITE_DONE && values.Step() == SQLITE_DONE;
    return End(ok) && ok;
}

std::vector<std::string> RegistryStore::SubKeys(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    const std::string path = NormaliseKey(key);
    std::vector<std::string> names;
    Statement s(db_, "SELECT path FROM registry_keys ORDER BY path;");
    while (s.Step() == SQLITE_ROW) {
        std::string child = s.Text(0);
        if (child.size() <= path.size() + 1) continue;
        if (sqlite3_strnicmp(child.c_str(), path.c_str(), static_cast<int>(path.size())) != 0 ||
            child[path.size()] != '\\') {
            continue;
        }
        std::string rest = child.substr(path.size() + 1);
        if (rest.find('\\') == std::string::npos) names.push_back(rest);
    }
    return names;
}

std::optional<RegistryStore::Value> RegistryStore::GetValue(const std::string& key,
                                                            const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    Statement s(db_, "SELECT name, type, data FROM registry_values WHERE path = ?1 AND name = ?2;");
    s.Bind(1, NormaliseKey(key)).Bind(2, name);
    if (s.Step() != SQLITE_ROW) return std::nullopt;
    Value value;
    value.name = s.Text(0);
    value.type = static_cast<Type>(s.Int(1));
    value.data = s.Blob(2);
    return value;
}

std::optional<std::uint32_t> RegistryStore::GetDword(const std::string& key,
                                                     const std::string& name) {
    auto value = GetValue(key, name);
    if (!value || value->type != Type::kDword || value->data.size() != 4) return std::nullopt;
    const auto& d = value->data;
    return static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
           static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

std::optional<std::u16string> RegistryStore::GetString(const std::string& key,
                                                       const std::string& name) {
    auto value = GetValue(key, name);
    if (!value || value->type != Type::kString) return std::nullopt;
    return Utf8ToUtf16(std::string(value->data.begin(), value->data.end()));
}

std::optional<std::vector<std::uint8_t>> RegistryStore::GetBinary(const std::string& key,
                                                                  const std::string& name) {
    auto value = GetValue(key, name);
    if (!value || value->type != Type::kBinary) return std::nullopt;
    return value->data;
}

bool RegistryStore::SetValue(const std::string& key, const Value& value) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    if (!Begin()) return false;
    bool ok = CreateKey(key);
    if (ok) {
        Statement s(db_,
                    "INSERT INTO registry_values(path, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                    "ON CONFLICT(path, name) DO UPDATE SET type = excluded.type, "
                    "data = excluded.data;");
        s.Bind(1, NormaliseKey(key)).Bind(2, value.name).Bind(3, static_cast<int>(value.type));
        s.BindBlob(4, value.data);
        ok = s.Step() == SQLITE_DONE;
    }
    return End(ok) && ok;
}

bool RegistryStore::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
    Value v{name,
            Type::kDword,
            {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
    return SetValue(key, v);
}

bool RegistryStore::SetString(const std::string& key, const std::string& name,
                              const std::u16string& value) {
    std::string utf8 = Utf16ToUtf8(value);
    return SetValue(key, Value{name, Type::kString, {utf8.begin(), utf8.end()}});
}

bool RegistryStore::SetBinary(const std::string& key, const std::string& name,
                              const std::vector<std::uint8_t>& value) {
    return SetValue(key, Value{name, Type::kBinary, value});
}

bool RegistryStore::DeleteValue(const std::string& key, const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    Statement s(db_, "DELETE FROM registry_values WHERE path = ?1 AND name = ?2;");
    s.Bind(1, NormaliseKey(key)).Bind(2, name);
    return s.Step() == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

bool RegistryStore::ValueExists(const std::string& key, const std::string& name) {
    return GetValue(key, name).has_value();
}

std::vector<RegistryStore::Value> RegistryStore::Values(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    std::vector<Value> values;
    Statement s(db_, "SELECT name, type, data FROM registry_values WHERE path = ?1 ORDER BY id;");
    s.Bind(1, NormaliseKey(key));
    while (s.Step() == SQLITE_ROW) {
        values.push_back(Value{s.Text(0), static_cast<Type>(s.Int(1)), s.Blob(2)});
    }
    return values;
}

}  // namespace tarnwick
