// The SQLite store behind the registry calls: where the database file lives,
// creating it and its tables, waiting for other programs' locks, and mapping
// SQLite's result codes to the registry's.
#include "platform/RegistryInternal.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace registry_internal {

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

std::chrono::milliseconds g_lockWait{3000};

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

} // namespace

State& state()
{
    static State s;
    return s;
}

LONG MapError(int rc, bool writing)
{
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR: // no such table or column: a database of another kind
    case SQLITE_SCHEMA:
    case SQLITE_MISMATCH: return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_CONSTRAINT: // the key's row went away under us
        return ERROR_KEY_DELETED;
    case SQLITE_IOERR:
    case SQLITE_FULL: return ERROR_REGISTRY_IO_FAILED;
    default: return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
    }
}

int Exec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

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
    struct stat sb { };
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

} // namespace registry_internal

std::string RegistryStorePath()
{
    return registry_internal::ResolvePath();
}

void RegistrySetLockWait(std::chrono::milliseconds wait)
{
    std::lock_guard guard(registry_internal::state().lock);
    registry_internal::g_lockWait = wait;
}
