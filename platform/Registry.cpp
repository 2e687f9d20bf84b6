#include "Registry.h"

#include "MessageBox.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBusyTimeoutMs = 5000;

struct Database {
    std::mutex guard;
    sqlite3* db = nullptr; // null: the store could not be opened
    LONG openError = ERROR_SUCCESS;
    ~Database() {
        if (db != nullptr) {
            sqlite3_close_v2(db);
        }
    }
};

std::string foldCase(const char* name) {
    std::string folded(name != nullptr ? name : "");
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

LONG fromSqlite(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
        return ERROR_CANTWRITE;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return ERROR_BADDB;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

bool isDamage(int rc) {
    return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int error() const { return rc_; }
    Statement& bind(int index, sqlite3_int64 value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bindBlob(int index, const void* data, int size) {
        sqlite3_bind_blob(stmt_, index, size > 0 ? data : "", size, SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() {
        if (rc_ != SQLITE_OK) {
            return rc_;
        }
        return sqlite3_step(stmt_);
    }
    sqlite3_stmt* get() { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

int execute(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL, folded TEXT NOT NULL, UNIQUE(parent, folded));"
    "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL,"
    " folded TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY(key, folded)) WITHOUT ROWID;";

std::string configFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

// Opens path and checks it. Returns SQLITE_OK, or the code that stopped it; *db is set only on
// success.
int openAndCheck(const std::string& path, sqlite3** result) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        rc = execute(db, "PRAGMA journal_mode=WAL");
    }
    if (rc == SQLITE_OK) {
        // A committed transaction survives the process however it ends; only a power cut may
        // lose the last ones, and then the store is still consistent.
        rc = execute(db, "PRAGMA synchronous=NORMAL");
    }
    if (rc == SQLITE_OK) {
        Statement check(db, "PRAGMA quick_check");
        rc = check.step();
        if (rc == SQLITE_ROW) {
            const auto* verdict =
                reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
            rc = verdict != nullptr && std::strcmp(verdict, "ok") == 0 ? SQLITE_OK : SQLITE_CORRUPT;
        }
    }
    if (rc == SQLITE_OK) {
        rc = execute(db, kSchema);
    }
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return rc;
    }
    *result = db;
    return SQLITE_OK;
}

void moveAsideAndReport(const std::string& path, int rc) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string aside = path + ".damaged-" + stamp;
    ::rename(path.c_str(), aside.c_str());
    ::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    const std::string text = "The settings store \"" + path + "\" is damaged (" +
                             sqlite3_errstr(rc) + ").\n\nIt has been moved aside to \"" + aside +
                             "\" and a new store was started: settings are back at their "
                             "defaults.";
    MessageBoxA(0, text.c_str(), "A program error occurred", 0x10);
}

std::shared_ptr<Database> openDatabase(const std::string& path) {
    auto database = std::make_shared<Database>();
    const std::string folder = path.substr(0, path.rfind('/'));
    ::mkdir(configFolder().c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    // Made by us first, so that SQLite (and its -wal and -shm files) get mode 0600.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
    }
    sqlite3* db = nullptr;
    int rc = openAndCheck(path, &db);
    // Two processes opening a new store at the same moment can meet while one of them switches
    // it to WAL: SQLite gives up at once there instead of waiting, so wait here.
    for (int attempt = 0;
         attempt < 250 && ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED); ++attempt) {
        ::usleep(20000);
        rc = openAndCheck(path, &db);
    }
    if (isDamage(rc)) {
        moveAsideAndReport(path, rc);
        const int fresh = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fresh >= 0) {
            ::close(fresh);
        }
        rc = openAndCheck(path, &db);
    }
    if (rc != SQLITE_OK) {
        database->openError = fromSqlite(rc);
        return database;
    }
    database->db = db;
    return database;
}

std::mutex databasesGuard;

std::shared_ptr<Database> currentDatabase() {
    static std::string currentPath;
    static std::shared_ptr<Database> current;
    const std::string path = platform::RegistryDatabasePath();
    std::lock_guard lock(databasesGuard);
    if (!current || path != currentPath) {
        current = openDatabase(path);
        currentPath = path;
    }
    return current;
}

} // namespace

struct RegistryKey {
    std::shared_ptr<Database> database;
    sqlite3_int64 id;
    REGSAM access;
};

namespace {

std::mutex openKeysGuard;
std::set<const RegistryKey*> openKeys;

bool isRoot(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

// The database, key id and access of a handle; false for a handle that is not open.
bool resolve(HKEY key, std::shared_ptr<Database>& database, sqlite3_int64& id, REGSAM& access) {
    if (isRoot(key)) {
        database = currentDatabase();
        id = static_cast<sqlite3_int64>(reinterpret_cast<std::uintptr_t>(key));
        access = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard lock(openKeysGuard);
    if (openKeys.count(key) == 0) {
        return false;
    }
    database = key->database;
    id = key->id;
    access = key->access;
    return true;
}

std::vector<std::string> splitPath(const char* path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* c = path != nullptr ? path : ""; *c != '\0'; ++c) {
        if (*c == '\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += *c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

// The id of parent's child name, 0 when there is none, -1 on failure (rc set).
sqlite3_int64 findChild(sqlite3* db, sqlite3_int64 parent, const std::string& name, int& rc) {
    Statement find(db, "SELECT id FROM keys WHERE parent=?1 AND folded=?2");
    find.bind(1, parent).bind(2, foldCase(name.c_str()));
    rc = find.step();
    if (rc == SQLITE_ROW) {
        rc = SQLITE_OK;
        return sqlite3_column_int64(find.get(), 0);
    }
    if (rc == SQLITE_DONE) {
        rc = SQLITE_OK;
        return 0;
    }
    return -1;
}

bool keyStillExists(sqlite3* db, sqlite3_int64 id) {
    if (id >= 0x80000000LL && id <= 0x80000002LL) {
        return true;
    }
    Statement find(db, "SELECT 1 FROM keys WHERE id=?1");
    find.bind(1, id);
    return find.step() == SQLITE_ROW;
}

HKEY newHandle(const std::shared_ptr<Database>& database, sqlite3_int64 id, REGSAM access) {
    auto* key = new RegistryKey{database, id, access};
    std::lock_guard lock(openKeysGuard);
    openKeys.insert(key);
    return key;
}

LONG openOrCreate(HKEY key, const char* subKey, REGSAM access, bool create, HKEY* result,
                  DWORD* disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    std::shared_ptr<Database> database;
    sqlite3_int64 id = 0;
    REGSAM parentAccess = 0;
    if (!resolve(key, database, id, parentAccess)) {
        return ERROR_INVALID_HANDLE;
    }
    std::lock_guard lock(database->guard);
    if (database->db == nullptr) {
        return create ? database->openError : ERROR_FILE_NOT_FOUND;
    }
    sqlite3* db = database->db;
    const std::vector<std::string> parts = splitPath(subKey);
    int rc = SQLITE_OK;
    bool created = false;
    if (create && !parts.empty()) {
        rc = execute(db, "BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            return fromSqlite(rc);
        }
    }
    if (!keyStillExists(db, id)) {
        if (create && !parts.empty()) {
            execute(db, "ROLLBACK");
        }
        return ERROR_KEY_DELETED;
    }
    for (const std::string& part : parts) {
        const sqlite3_int64 child = findChild(db, id, part, rc);
        if (child < 0) {
            break;
        }
        if (child > 0) {
            id = child;
            continue;
        }
        if (!create) {
            return ERROR_FILE_NOT_FOUND;
        }
        Statement insert(db, "INSERT INTO keys(parent, name, folded) VALUES(?1, ?2, ?3)");
        insert.bind(1, id).bind(2, part).bind(3, foldCase(part.c_str()));
        rc = insert.step();
        if (rc != SQLITE_DONE) {
            break;
        }
        rc = SQLITE_OK;
        id = sqlite3_last_insert_rowid(db);
        created = true;
    }
    if (create && !parts.empty()) {
        if (rc == SQLITE_OK) {
            rc = execute(db, "COMMIT");
        }
        if (rc != SQLITE_OK) {
            execute(db, "ROLLBACK");
        }
    }
    if (rc != SQLITE_OK) {
        return fromSqlite(rc);
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = newHandle(database, id, access);
    return ERROR_SUCCESS;
}

// Runs body with the key's database locked, after the handle, the access and the key's
// existence have been checked.
template <typename Body> LONG withKey(HKEY key, REGSAM needed, Body body) {
    std::shared_ptr<Database> database;
    sqlite3_int64 id = 0;
    REGSAM access = 0;
    if (!resolve(key, database, id, access)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((access & needed) != needed) {
        return ERROR_ACCESS_DENIED;
    }
    std::lock_guard lock(database->guard);
    if (database->db == nullptr) {
        return (needed & KEY_SET_VALUE) ? database->openError : ERROR_FILE_NOT_FOUND;
    }
    if (!keyStillExists(database->db, id)) {
        return ERROR_KEY_DELETED;
    }
    return body(database->db, id);
}

LONG copyOut(const void* source, DWORD length, BYTE* data, DWORD* size) {
    if (size == nullptr) {
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD room = *size;
    *size = length;
    if (data == nullptr) {
        return ERROR_SUCCESS;
    }
    if (room < length) {
        return ERROR_MORE_DATA;
    }
    if (length > 0) {
        std::memcpy(data, source, length);
    }
    return ERROR_SUCCESS;
}

LONG copyName(const char* text, int length, char* name, DWORD* nameSize) {
    if (name == nullptr || nameSize == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*nameSize < static_cast<DWORD>(length) + 1) {
        *nameSize = static_cast<DWORD>(length) + 1;
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, text, static_cast<std::size_t>(length));
    name[length] = '\0';
    *nameSize = static_cast<DWORD>(length);
    return ERROR_SUCCESS;
}

} // namespace

namespace platform {
std::string RegistryDatabasePath() {
    return configFolder() + "/orvalen/registry.sqlite";
}
} // namespace platform

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, REGSAM access, HKEY* result) {
    return openOrCreate(key, subKey, access, false, result, nullptr);
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD, char*, DWORD, REGSAM access, void*,
                     HKEY* result, DWORD* disposition) {
    return openOrCreate(key, subKey, access, true, result, disposition);
}

LONG RegCloseKey(HKEY key) {
    if (isRoot(key)) {
        return ERROR_SUCCESS;
    }
    {
        std::lock_guard lock(openKeysGuard);
        if (openKeys.erase(key) == 0) {
            return ERROR_INVALID_HANDLE;
        }
    }
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    return withKey(key, KEY_QUERY_VALUE, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement query(db, "SELECT type, data FROM vals WHERE key=?1 AND folded=?2");
        query.bind(1, id).bind(2, foldCase(name));
        const int rc = query.step();
        if (rc == SQLITE_DONE) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (rc != SQLITE_ROW) {
            return fromSqlite(rc);
        }
        if (type != nullptr) {
            *type = static_cast<DWORD>(sqlite3_column_int64(query.get(), 0));
        }
        const void* bytes = sqlite3_column_blob(query.get(), 1);
        const auto length = static_cast<DWORD>(sqlite3_column_bytes(query.get(), 1));
        return copyOut(bytes, length, data, size);
    });
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    return withKey(key, KEY_SET_VALUE, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement set(db, "INSERT INTO vals(key, name, folded, type, data) VALUES(?1,?2,?3,?4,?5)"
                          " ON CONFLICT(key, folded) DO UPDATE SET name=?2, type=?4, data=?5");
        set.bind(1, id)
            .bind(2, std::string(name != nullptr ? name : ""))
            .bind(3, foldCase(name))
            .bind(4, static_cast<sqlite3_int64>(type))
            .bindBlob(5, data, static_cast<int>(data != nullptr ? size : 0));
        const int rc = set.step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : fromSqlite(rc);
    });
}

LONG RegDeleteValueA(HKEY key, const char* name) {
    return withKey(key, KEY_SET_VALUE, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement remove(db, "DELETE FROM vals WHERE key=?1 AND folded=?2");
        remove.bind(1, id).bind(2, foldCase(name));
        const int rc = remove.step();
        if (rc != SQLITE_DONE) {
            return fromSqlite(rc);
        }
        return sqlite3_changes(db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
    HKEY target = nullptr;
    LONG result = RegOpenKeyExA(key, subKey, 0, KEY_ALL_ACCESS, &target);
    if (result != ERROR_SUCCESS) {
        return result;
    }
    const sqlite3_int64 id = target->id;
    RegCloseKey(target);
    if (splitPath(subKey).empty()) {
        return ERROR_ACCESS_DENIED; // a key deletes its subkeys, never itself or a root
    }
    return withKey(key, 0, [&](sqlite3* db, sqlite3_int64) -> LONG {
        Statement children(db, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1");
        children.bind(1, id);
        if (children.step() == SQLITE_ROW) {
            return ERROR_ACCESS_DENIED;
        }
        int rc = execute(db, "BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            return fromSqlite(rc);
        }
        Statement values(db, "DELETE FROM vals WHERE key=?1");
        values.bind(1, id);
        Statement self(db, "DELETE FROM keys WHERE id=?1");
        self.bind(1, id);
        rc = values.step() == SQLITE_DONE && self.step() == SQLITE_DONE ? execute(db, "COMMIT")
                                                                        : SQLITE_ERROR;
        if (rc != SQLITE_OK) {
            execute(db, "ROLLBACK");
        }
        return fromSqlite(rc);
    });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, char*, DWORD*,
                   void*) {
    return withKey(key, KEY_ENUMERATE_SUB_KEYS, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement list(db,
                       "SELECT name FROM keys WHERE parent=?1 ORDER BY folded LIMIT 1 OFFSET ?2");
        list.bind(1, id).bind(2, static_cast<sqlite3_int64>(index));
        const int rc = list.step();
        if (rc == SQLITE_DONE) {
            return ERROR_NO_MORE_ITEMS;
        }
        if (rc != SQLITE_ROW) {
            return fromSqlite(rc);
        }
        return copyName(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)),
                        sqlite3_column_bytes(list.get(), 0), name, nameSize);
    });
}

LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, DWORD* type,
                   BYTE* data, DWORD* dataSize) {
    return withKey(key, KEY_QUERY_VALUE, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement list(db, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY folded"
                           " LIMIT 1 OFFSET ?2");
        list.bind(1, id).bind(2, static_cast<sqlite3_int64>(index));
        const int rc = list.step();
        if (rc == SQLITE_DONE) {
            return ERROR_NO_MORE_ITEMS;
        }
        if (rc != SQLITE_ROW) {
            return fromSqlite(rc);
        }
        const LONG named =
            copyName(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)),
                     sqlite3_column_bytes(list.get(), 0), name, nameSize);
        if (named != ERROR_SUCCESS) {
            return named;
        }
        if (type != nullptr) {
            *type = static_cast<DWORD>(sqlite3_column_int64(list.get(), 1));
        }
        return copyOut(sqlite3_column_blob(list.get(), 2),
                       static_cast<DWORD>(sqlite3_column_bytes(list.get(), 2)), data, dataSize);
    });
}

LONG RegQueryInfoKeyCounts(HKEY key, DWORD* subKeys, DWORD* values) {
    return withKey(key, 0, [&](sqlite3* db, sqlite3_int64 id) -> LONG {
        Statement keys(db, "SELECT count(*) FROM keys WHERE parent=?1");
        keys.bind(1, id);
        Statement vals(db, "SELECT count(*) FROM vals WHERE key=?1");
        vals.bind(1, id);
        const int rcKeys = keys.step();
        const int rcVals = vals.step();
        if (rcKeys != SQLITE_ROW || rcVals != SQLITE_ROW) {
            return fromSqlite(rcKeys != SQLITE_ROW ? rcKeys : rcVals);
        }
        if (subKeys != nullptr) {
            *subKeys = static_cast<DWORD>(sqlite3_column_int64(keys.get(), 0));
        }
        if (values != nullptr) {
            *values = static_cast<DWORD>(sqlite3_column_int64(vals.get(), 0));
        }
        return ERROR_SUCCESS;
    });
}
