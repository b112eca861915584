#include "platform/Registry.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Keep in step with the schema in docs/settings-store.md.
constexpr const char* SchemaSql = R"sql(
CREATE TABLE keys (
  id     INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name   TEXT NOT NULL COLLATE NOCASE,
  UNIQUE (parent, name)
);
CREATE TABLE vals (
  key  INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (key, name)
);
INSERT INTO keys (id, parent, name) VALUES (1, NULL, 'HKEY_CURRENT_USER');
PRAGMA user_version = 1;
)sql";

constexpr std::int64_t RootId = 1;

std::chrono::milliseconds g_lockWait{3000};

struct Store {
    sqlite3* db = nullptr;
    std::string path;
    std::chrono::steady_clock::time_point busySince;
    ~Store()
    {
        if (db)
            sqlite3_close_v2(db);
    }
};

// An open key: the database it was opened in and its row. A key of the root
// opened before the database file existed has no store yet and finds it on
// first use.
struct Handle {
    std::shared_ptr<Store> store;
    std::int64_t id = RootId;
};

struct State {
    std::recursive_mutex lock;
    std::shared_ptr<Store> store; // the database of the current path
    std::map<std::uintptr_t, Handle> handles;
    std::uintptr_t next = 0x100;
};

State& state()
{
    static State s;
    return s;
}

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) { rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return rc == SQLITE_OK; }
    void bind(int i, std::int64_t v) { sqlite3_bind_int64(s, i, v); }
    void bind(int i, const std::string& text)
    {
        sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    int step() { return rc = sqlite3_step(s); }
    std::int64_t int64(int col) const { return sqlite3_column_int64(s, col); }
    std::string text(int col) const
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, col))) : std::string();
    }
    // Value data as the registry hands it out: integers (REG_DWORD as the
    // store keeps them) as four little-endian bytes, text and blobs as is. An
    // integer typed in by hand for a string value reads as its digits.
    std::string data(int col, DWORD type) const
    {
        if (sqlite3_column_type(s, col) == SQLITE_INTEGER && type != REG_SZ && type != REG_EXPAND_SZ) {
            const std::int64_t v = sqlite3_column_int64(s, col);
            const int n = (v >= INT32_MIN && v <= static_cast<std::int64_t>(UINT32_MAX)) ? 4 : 8;
            std::string out(static_cast<std::size_t>(n), '\0');
            for (int i = 0; i < n; ++i)
                out[static_cast<std::size_t>(i)] = static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF);
            return out;
        }
        const void* p = sqlite3_column_blob(s, col);
        const int n = sqlite3_column_bytes(s, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    sqlite3_stmt* raw() { return s; }
    int rc = SQLITE_OK;

private:
    sqlite3_stmt* s = nullptr;
};

LONG MapError(int rc, bool writing)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ERROR_BUSY;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR: // no such table or column: a database of another kind
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH:
        return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_CONSTRAINT: // the key's row went away under us
        return ERROR_KEY_DELETED;
    case SQLITE_IOERR:
    case SQLITE_FULL:
        return ERROR_REGISTRY_IO_FAILED;
    default:
        return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

std::string HomeDir()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

std::string ResolvePath()
{
    if (const char* env = std::getenv("PARCELO_REGISTRY"); env && *env)
        return env;
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        base = xdg;
    else if (auto home = HomeDir(); !home.empty())
        base = home + "/.config";
    else
        return {};
    return base + "/parcelo/registry.db";
}

// Creates the missing folders above the file, private to the user.
void MakeParents(const std::string& path)
{
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

int Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Waits for another connection's lock in short, jittered naps. SQLite's own
// handler backs off to 100 ms naps, and a waiter that sleeps that long keeps
// missing the short gaps between another Parcelo's writes.
int OnBusy(void* arg, int count)
{
    auto* store = static_cast<Store*>(arg);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0)
        store->busySince = now;
    else if (now - store->busySince >= g_lockWait)
        return 0;
    thread_local unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u;
    seed = seed * 1103515245u + 12345u;
    ::usleep(200 + (seed >> 16) % 1800);
    return 1;
}

// Makes sure the database holds our tables. An empty database gets them; one
// with other tables is refused and left exactly as it is.
LONG PrepareSchema(sqlite3* db)
{
    int rc;
    {
        Stmt count(db, "SELECT count(*) FROM sqlite_schema");
        if (!count.ok())
            return MapError(count.rc, false);
        if (count.step() != SQLITE_ROW)
            return MapError(count.rc, false);
        if (count.int64(0) != 0) {
            Stmt k(db, "SELECT id, parent, name FROM keys LIMIT 0");
            Stmt v(db, "SELECT key, name, type, data FROM vals LIMIT 0");
            if (!k.ok() || !v.ok())
                return MapError(k.ok() ? v.rc : k.rc, false);
            return ERROR_SUCCESS;
        }
    }
    if ((rc = Exec(db, "BEGIN IMMEDIATE")) != SQLITE_OK)
        return MapError(rc, true);
    // Another process may have set it up while we waited for the lock.
    Stmt again(db, "SELECT count(*) FROM sqlite_schema");
    const bool empty = again.ok() && again.step() == SQLITE_ROW && again.int64(0) == 0;
    if (empty && (rc = Exec(db, SchemaSql)) != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return MapError(rc, true);
    }
    if ((rc = Exec(db, "COMMIT")) != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return MapError(rc, true);
    }
    return ERROR_SUCCESS;
}

// The database of the current path. Without `create`, a store whose file
// does not exist yet is reported as none (an empty registry) and nothing is
// created on disk.
LONG GetStore(bool create, std::shared_ptr<Store>& out)
{
    out.reset();
    State& st = state();
    const std::string path = ResolvePath();
    if (path.empty())
        return ERROR_CANTOPEN;
    if (st.store && st.store->path == path) {
        out = st.store;
        return ERROR_SUCCESS;
    }
    struct stat sb {};
    if (::stat(path.c_str(), &sb) != 0) {
        if (errno != ENOENT)
            return ERROR_CANTOPEN;
        if (!create)
            return ERROR_SUCCESS;
        MakeParents(path);
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return ERROR_CANTOPEN;
        if (fd >= 0) {
            (void)::fchmod(fd, 0600); // whatever the umask says
            ::close(fd);
        }
    } else if (!S_ISREG(sb.st_mode)) {
        return ERROR_CANTOPEN;
    }

    auto store = std::make_shared<Store>();
    store->path = path;
    // Never SQLITE_OPEN_CREATE: the file exists by now, and a file that turns
    // out not to be a database is left untouched.
    if (sqlite3_open_v2(path.c_str(), &store->db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return MapError(store->db ? sqlite3_errcode(store->db) : SQLITE_CANTOPEN, false);
    sqlite3_busy_handler(store->db, OnBusy, store.get());
    Exec(store->db, "PRAGMA foreign_keys = ON");
    if (const LONG r = PrepareSchema(store->db); r != ERROR_SUCCESS)
        return r;
    // Only now that the file is known to be ours: a write-ahead log keeps each
    // write short and lets readers and a writer work side by side. It may fail
    // while another process holds the database; that one switches it then.
    Exec(store->db, "PRAGMA journal_mode = WAL");
    Exec(store->db, "PRAGMA synchronous = NORMAL");
    st.store = store;
    out = store;
    return ERROR_SUCCESS;
}

LONG Resolve(HKEY h, bool create, std::shared_ptr<Store>& store, std::int64_t& id)
{
    store.reset();
    if (h == HKEY_CURRENT_USER) {
        id = RootId;
        return GetStore(create, store);
    }
    auto& handles = state().handles;
    const auto it = handles.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == handles.end())
        return ERROR_INVALID_HANDLE;
    id = it->second.id;
    if (it->second.store) {
        store = it->second.store;
        return ERROR_SUCCESS;
    }
    // A root key opened before the file existed.
    const LONG r = GetStore(create, store);
    if (r == ERROR_SUCCESS && store)
        it->second.store = store;
    return r;
}

HKEY NewHandle(std::shared_ptr<Store> store, std::int64_t id)
{
    State& st = state();
    const std::uintptr_t h = st.next++;
    st.handles[h] = Handle{std::move(store), id};
    return reinterpret_cast<HKEY>(h);
}

std::vector<std::string> SplitPath(const char* path)
{
    std::vector<std::string> parts;
    std::string cur;
    for (const char* p = path ? path : ""; *p; ++p) {
        if (*p == '\\') {
            if (!cur.empty())
                parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty())
        parts.push_back(std::move(cur));
    return parts;
}

// SQLITE_ROW with the child's id, SQLITE_DONE when there is none, else the error.
int FindChild(sqlite3* db, std::int64_t parent, const std::string& name, std::int64_t& child)
{
    Stmt q(db, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    if (!q.ok())
        return q.rc;
    q.bind(1, parent);
    q.bind(2, name);
    const int rc = q.step();
    if (rc == SQLITE_ROW)
        child = q.int64(0);
    return rc;
}

int KeyAlive(sqlite3* db, std::int64_t id, bool& alive)
{
    Stmt q(db, "SELECT 1 FROM keys WHERE id = ?1");
    if (!q.ok())
        return q.rc;
    q.bind(1, id);
    const int rc = q.step();
    alive = rc == SQLITE_ROW;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Follows a path of existing keys.
LONG Walk(sqlite3* db, std::int64_t from, const std::vector<std::string>& parts, std::int64_t& id)
{
    id = from;
    if (parts.empty()) {
        bool alive = false;
        if (const int rc = KeyAlive(db, from, alive); rc != SQLITE_OK)
            return MapError(rc, false);
        return alive || from == RootId ? ERROR_SUCCESS : ERROR_KEY_DELETED;
    }
    for (const auto& part : parts) {
        const int rc = FindChild(db, id, part, id);
        if (rc == SQLITE_DONE)
            return ERROR_FILE_NOT_FOUND;
        if (rc != SQLITE_ROW)
            return MapError(rc, false);
    }
    return ERROR_SUCCESS;
}

// Runs `body` as one write transaction; commits only when it succeeds.
template <typename F>
LONG WriteTransaction(sqlite3* db, F&& body)
{
    int rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return MapError(rc, true);
    const LONG r = body();
    if (r != ERROR_SUCCESS) {
        Exec(db, "ROLLBACK");
        return r;
    }
    if ((rc = Exec(db, "COMMIT")) != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return MapError(rc, true);
    }
    return ERROR_SUCCESS;
}

LONG CopyOut(const std::string& bytes, BYTE* lpData, DWORD* lpcbData)
{
    if (!lpData) {
        if (lpcbData)
            *lpcbData = static_cast<DWORD>(bytes.size());
        return ERROR_SUCCESS;
    }
    if (!lpcbData)
        return ERROR_INVALID_PARAMETER;
    const DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(bytes.size());
    if (room < bytes.size())
        return ERROR_MORE_DATA;
    if (!bytes.empty())
        std::memcpy(lpData, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LONG CopyName(const std::string& name, char* lpName, DWORD* lpcchName)
{
    if (!lpName || !lpcchName)
        return ERROR_INVALID_PARAMETER;
    if (*lpcchName < name.size() + 1) {
        *lpcchName = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name.data(), name.size());
    lpName[name.size()] = '\0';
    *lpcchName = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t from = 0;
    if (const LONG r = Resolve(hKey, false, store, from); r != ERROR_SUCCESS)
        return r;
    const auto parts = SplitPath(lpSubKey);
    if (!store) {
        // No database yet: only the root itself can be opened.
        if (!parts.empty() || from != RootId)
            return ERROR_FILE_NOT_FOUND;
        *phkResult = NewHandle(nullptr, RootId);
        return ERROR_SUCCESS;
    }
    std::int64_t id = 0;
    if (const LONG r = Walk(store->db, from, parts, id); r != ERROR_SUCCESS)
        return r;
    *phkResult = NewHandle(store, id);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD, char*, DWORD, REGSAM, void*, PHKEY phkResult,
                     DWORD* lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t from = 0;
    if (const LONG r = Resolve(hKey, true, store, from); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_CANTOPEN;
    sqlite3* db = store->db;
    const auto parts = SplitPath(lpSubKey);
    std::int64_t id = from;
    bool created = false;
    const LONG r = WriteTransaction(db, [&]() -> LONG {
        if (from == RootId) {
            // A database prepared by hand may lack the root row.
            Stmt root(db, "INSERT OR IGNORE INTO keys (id, parent, name) VALUES (1, NULL, 'HKEY_CURRENT_USER')");
            if (!root.ok() || root.step() != SQLITE_DONE)
                return MapError(root.rc, true);
        } else {
            bool alive = false;
            if (const int rc = KeyAlive(db, from, alive); rc != SQLITE_OK)
                return MapError(rc, true);
            if (!alive)
                return ERROR_KEY_DELETED;
        }
        for (const auto& part : parts) {
            int rc = FindChild(db, id, part, id);
            if (rc == SQLITE_ROW)
                continue;
            if (rc != SQLITE_DONE)
                return MapError(rc, true);
            Stmt ins(db, "INSERT INTO keys (parent, name) VALUES (?1, ?2)");
            if (!ins.ok())
                return MapError(ins.rc, true);
            ins.bind(1, id);
            ins.bind(2, part);
            if ((rc = ins.step()) != SQLITE_DONE)
                return MapError(rc, true);
            id = sqlite3_last_insert_rowid(db);
            created = true;
        }
        return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS)
        return r;
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(store, id);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, true, store, id); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_CANTOPEN;
    sqlite3* db = store->db;
    const std::string name = lpValueName ? lpValueName : "";
    return WriteTransaction(db, [&]() -> LONG {
        bool alive = false;
        if (const int rc = KeyAlive(db, id, alive); rc != SQLITE_OK)
            return MapError(rc, true);
        if (!alive)
            return ERROR_KEY_DELETED;
        // The name keeps the case it was first written with.
        Stmt up(db, "INSERT INTO vals (key, name, type, data) VALUES (?1, ?2, ?3, ?4) "
                    "ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!up.ok())
            return MapError(up.rc, true);
        up.bind(1, id);
        up.bind(2, name);
        up.bind(3, static_cast<std::int64_t>(dwType));
        if (dwType == REG_DWORD && cbData == 4) {
            // Kept as an integer, so that sqlite3 shows it as a number.
            const std::uint32_t v = std::uint32_t(lpData[0]) | std::uint32_t(lpData[1]) << 8 |
                                    std::uint32_t(lpData[2]) << 16 | std::uint32_t(lpData[3]) << 24;
            up.bind(4, static_cast<std::int64_t>(v));
        } else {
            static const BYTE none = 0;
            sqlite3_bind_blob(up.raw(), 4, cbData ? lpData : &none, static_cast<int>(cbData), SQLITE_TRANSIENT);
        }
        const int rc = up.step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : MapError(rc, true);
    });
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD*, DWORD* lpType, BYTE* lpData, DWORD* lpcbData)
{
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, false, store, id); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_FILE_NOT_FOUND;
    Stmt q(store->db, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    if (!q.ok())
        return MapError(q.rc, false);
    q.bind(1, id);
    q.bind(2, std::string(lpValueName ? lpValueName : ""));
    const int rc = q.step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return MapError(rc, false);
    if (lpType)
        *lpType = static_cast<DWORD>(q.int64(0));
    return CopyOut(q.data(1, static_cast<DWORD>(q.int64(0))), lpData, lpcbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD*, DWORD* lpcSubKeys,
                      DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                      DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor,
                      void*)
{
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, false, store, id); r != ERROR_SUCCESS)
        return r;
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    if (store) {
        Stmt k(store->db, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?1");
        Stmt v(store->db, "SELECT count(*), ifnull(max(length(CAST(name AS BLOB))), 0), "
                          "ifnull(max(CASE typeof(data) WHEN 'integer' THEN 4 ELSE length(CAST(data AS BLOB)) END), 0) "
                          "FROM vals WHERE key = ?1");
        if (!k.ok() || !v.ok())
            return MapError(k.ok() ? v.rc : k.rc, false);
        k.bind(1, id);
        v.bind(1, id);
        if (k.step() != SQLITE_ROW)
            return MapError(k.rc, false);
        if (v.step() != SQLITE_ROW)
            return MapError(v.rc, false);
        subKeys = static_cast<DWORD>(k.int64(0));
        maxSubKey = static_cast<DWORD>(k.int64(1));
        values = static_cast<DWORD>(v.int64(0));
        maxValueName = static_cast<DWORD>(v.int64(1));
        maxValue = static_cast<DWORD>(v.int64(2));
    }
    if (lpClass && lpcchClass && *lpcchClass > 0)
        lpClass[0] = '\0';
    if (lpcchClass)
        *lpcchClass = 0;
    if (lpcSubKeys)
        *lpcSubKeys = subKeys;
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = maxSubKey;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = values;
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = maxValueName;
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = maxValue;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD* lpcchName, DWORD*, char* lpClass,
                   DWORD* lpcchClass, void*)
{
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, false, store, id); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_NO_MORE_ITEMS;
    Stmt q(store->db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name, id LIMIT 1 OFFSET ?2");
    if (!q.ok())
        return MapError(q.rc, false);
    q.bind(1, id);
    q.bind(2, static_cast<std::int64_t>(dwIndex));
    const int rc = q.step();
    if (rc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW)
        return MapError(rc, false);
    if (lpClass && lpcchClass && *lpcchClass > 0)
        lpClass[0] = '\0';
    if (lpcchClass)
        *lpcchClass = 0;
    return CopyName(q.text(0), lpName, lpcchName);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD*, DWORD* lpType,
                   BYTE* lpData, DWORD* lpcbData)
{
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, false, store, id); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_NO_MORE_ITEMS;
    Stmt q(store->db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
    if (!q.ok())
        return MapError(q.rc, false);
    q.bind(1, id);
    q.bind(2, static_cast<std::int64_t>(dwIndex));
    const int rc = q.step();
    if (rc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW)
        return MapError(rc, false);
    if (const LONG r = CopyName(q.text(0), lpValueName, lpcchValueName); r != ERROR_SUCCESS)
        return r;
    if (lpType)
        *lpType = static_cast<DWORD>(q.int64(1));
    if (lpData || lpcbData)
        return CopyOut(q.data(2, static_cast<DWORD>(q.int64(1))), lpData, lpcbData);
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey)
{
    std::lock_guard guard(state().lock);
    std::shared_ptr<Store> store;
    std::int64_t from = 0;
    if (const LONG r = Resolve(hKey, false, store, from); r != ERROR_SUCCESS)
        return r;
    if (!store)
        return ERROR_FILE_NOT_FOUND;
    sqlite3* db = store->db;
    const auto parts = SplitPath(lpSubKey);
    return WriteTransaction(db, [&]() -> LONG {
        std::int64_t id = 0;
        if (const LONG r = Walk(db, from, parts, id); r != ERROR_SUCCESS)
            return r;
        if (id == RootId)
            return ERROR_ACCESS_DENIED;
        // Explicitly, so that a database prepared without the cascades is
        // cleaned up just the same.
        static constexpr const char* Subtree =
            "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) ";
        for (const char* tail : {"DELETE FROM vals WHERE key IN sub", "DELETE FROM keys WHERE id IN sub"}) {
            Stmt del(db, (std::string(Subtree) + tail).c_str());
            if (!del.ok())
                return MapError(del.rc, true);
            del.bind(1, id);
            if (const int rc = del.step(); rc != SQLITE_DONE)
                return MapError(rc, true);
        }
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    std::lock_guard guard(state().lock);
    return state().handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string RegistryStorePath()
{
    return ResolvePath();
}

void RegistrySetLockWait(std::chrono::milliseconds wait)
{
    std::lock_guard guard(state().lock);
    g_lockWait = wait;
}

std::string RegistryErrorText(LONG code)
{
    switch (code) {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
        return "The key or value does not exist.";
    case ERROR_ACCESS_DENIED:
        return "The settings file cannot be written (access denied).";
    case ERROR_INVALID_HANDLE:
        return "The key handle is not valid.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_BUSY:
        return "The settings file is locked by another program.";
    case ERROR_MORE_DATA:
        return "More data is available.";
    case ERROR_NO_MORE_ITEMS:
        return "No more data is available.";
    case ERROR_BADDB:
        return "The settings file is not a Parcelo settings database.";
    case ERROR_CANTOPEN:
        return "The settings file cannot be opened.";
    case ERROR_CANTREAD:
        return "The settings file cannot be read.";
    case ERROR_CANTWRITE:
        return "The settings file cannot be written.";
    case ERROR_REGISTRY_IO_FAILED:
        return "An input/output error occurred on the settings file.";
    case ERROR_KEY_DELETED:
        return "The key has been deleted.";
    default:
        return "Error " + std::to_string(code) + ".";
    }
}

bool RegistryStoreFailed(LONG code)
{
    switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BUSY:
    case ERROR_BADDB:
    case ERROR_CANTOPEN:
    case ERROR_CANTREAD:
    case ERROR_CANTWRITE:
    case ERROR_REGISTRY_IO_FAILED:
        return true;
    default:
        return false;
    }
}

// ---- TRegistry ----

namespace {

std::string Quoted(const char* text, const std::string& name)
{
    return std::string(text) + " '" + name + "'";
}

[[noreturn]] void ReadError(const std::string& name)
{
    throw ERegistryException(Quoted("Invalid data type for", name));
}

[[noreturn]] void GetDataError(const std::string& name)
{
    throw ERegistryException(Quoted("Failed to get data for", name));
}

[[noreturn]] void SetDataError(const std::string& name)
{
    throw ERegistryException(Quoted("Failed to set data for", name));
}

} // namespace

TRegistry::TRegistry(HKEY root) : FRootKey(root) {}

TRegistry::~TRegistry()
{
    CloseKey();
}

bool TRegistry::Check(LONG code)
{
    FLastError = code;
    return code == ERROR_SUCCESS;
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate)
{
    HKEY h = nullptr;
    const LONG r = CanCreate ? RegCreateKeyExA(BaseKey(), Key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                               KEY_ALL_ACCESS, nullptr, &h, nullptr)
                             : RegOpenKeyExA(BaseKey(), Key.c_str(), 0, KEY_ALL_ACCESS, &h);
    if (!Check(r))
        return false;
    std::string path = FCurrentKey && !Key.empty() ? FCurrentPath + "\\" + Key : FCurrentKey ? FCurrentPath : Key;
    CloseKey();
    FCurrentKey = h;
    FCurrentPath = std::move(path);
    return true;
}

void TRegistry::CloseKey()
{
    if (FCurrentKey)
        RegCloseKey(FCurrentKey);
    FCurrentKey = nullptr;
    FCurrentPath.clear();
}

bool TRegistry::KeyExists(const std::string& Key)
{
    HKEY h = nullptr;
    if (!Check(RegOpenKeyExA(BaseKey(), Key.c_str(), 0, KEY_READ, &h)))
        return false;
    RegCloseKey(h);
    return true;
}

bool TRegistry::DeleteKey(const std::string& Key)
{
    return Check(RegDeleteKeyA(BaseKey(), Key.c_str()));
}

// Enumerates subkey or value names; a name longer than the buffer makes the
// call report its length, and the same index is asked again.
template <typename Enum, typename CheckFn>
static std::vector<std::string> EnumNames(Enum enumerate, CheckFn check)
{
    std::vector<std::string> names;
    std::vector<char> buf(256);
    for (DWORD i = 0;;) {
        DWORD len = static_cast<DWORD>(buf.size());
        const LONG r = enumerate(i, buf.data(), &len);
        if (r == ERROR_MORE_DATA) {
            buf.resize(len + 1);
            continue;
        }
        if (r != ERROR_SUCCESS) {
            check(r == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : r);
            break;
        }
        names.emplace_back(buf.data(), len);
        ++i;
    }
    return names;
}

std::vector<std::string> TRegistry::GetKeyNames()
{
    return EnumNames(
        [this](DWORD i, char* name, DWORD* len) {
            return RegEnumKeyExA(BaseKey(), i, name, len, nullptr, nullptr, nullptr, nullptr);
        },
        [this](LONG r) { return Check(r); });
}

std::vector<std::string> TRegistry::GetValueNames()
{
    return EnumNames(
        [this](DWORD i, char* name, DWORD* len) {
            return RegEnumValueA(BaseKey(), i, name, len, nullptr, nullptr, nullptr, nullptr);
        },
        [this](LONG r) { return Check(r); });
}

bool TRegistry::ValueExists(const std::string& Name)
{
    DWORD type = 0, size = 0;
    return Check(RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type, nullptr, &size));
}

TRegDataType TRegistry::GetDataType(const std::string& Name)
{
    DWORD type = 0, size = 0;
    if (!Check(RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type, nullptr, &size)))
        return TRegDataType::rdUnknown;
    switch (type) {
    case REG_SZ:
        return TRegDataType::rdString;
    case REG_EXPAND_SZ:
        return TRegDataType::rdExpandString;
    case REG_DWORD:
        return TRegDataType::rdInteger;
    case REG_BINARY:
        return TRegDataType::rdBinary;
    default:
        return TRegDataType::rdUnknown;
    }
}

std::string TRegistry::ReadString(const std::string& Name)
{
    DWORD type = 0, size = 0;
    const LONG r = RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type, nullptr, &size);
    if (r == ERROR_FILE_NOT_FOUND) {
        Check(r);
        return {};
    }
    if (!Check(r))
        GetDataError(Name);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        ReadError(Name);
    std::string data(size, '\0');
    DWORD got = size;
    if (!Check(RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(data.data()), &got)))
        GetDataError(Name);
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        ReadError(Name);
    data.resize(got);
    // A string ends at its first zero byte.
    if (const auto nul = data.find('\0'); nul != std::string::npos)
        data.resize(nul);
    return data;
}

std::int32_t TRegistry::ReadInteger(const std::string& Name)
{
    BYTE buf[4] = {0, 0, 0, 0};
    DWORD type = 0, size = sizeof buf;
    if (!Check(RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type, buf, &size)))
        GetDataError(Name); // longer than four bytes lands here too
    if (type != REG_DWORD)
        ReadError(Name);
    return static_cast<std::int32_t>(std::uint32_t(buf[0]) | std::uint32_t(buf[1]) << 8 |
                                     std::uint32_t(buf[2]) << 16 | std::uint32_t(buf[3]) << 24);
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value)
{
    if (!Check(RegSetValueExA(BaseKey(), Name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(Value.data()),
                              static_cast<DWORD>(Value.size()))))
        SetDataError(Name);
}

void TRegistry::WriteInteger(const std::string& Name, std::int32_t Value)
{
    const auto v = static_cast<std::uint32_t>(Value);
    const BYTE buf[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
    if (!Check(RegSetValueExA(BaseKey(), Name.c_str(), 0, REG_DWORD, buf, sizeof buf)))
        SetDataError(Name);
}
