// The Win32-shaped registry calls on the SQLite store: key handles, paths of
// key names, and copying names and data out to the caller's buffers.
#include "platform/RegistryInternal.h"

#include <cstring>
#include <type_traits>
#include <vector>

using namespace registry_internal;

namespace {

using StorePtr = std::shared_ptr<Store>;

// Finds the database and row of the key `h` names. `store` stays null while
// the database file does not exist and `create` is not set.
LONG Resolve(HKEY h, bool create, StorePtr& store, std::int64_t& id)
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

// What a call does when the database file does not exist yet.
enum class MissingFile {
    Empty,  // the registry is empty; nothing is created on disk
    Create, // the file and its tables are created
};

// Runs a registry call on the key `hKey` names, holding the registry's lock
// throughout: finds the key's database and row and passes them to `body`.
// A handle that is not open gives ERROR_INVALID_HANDLE, a database that
// cannot be opened or created its error. When there is no database file and
// none is to be created, the call answers `ifEmpty` instead of running
// `body`: a result code, or a function of the key's row that gives one.
template <typename IfEmpty, typename Body> LONG OnKey(HKEY hKey, MissingFile missing, IfEmpty&& ifEmpty, Body&& body)
{
    std::lock_guard guard(state().lock);
    StorePtr store;
    std::int64_t id = 0;
    if (const LONG r = Resolve(hKey, missing == MissingFile::Create, store, id); r != ERROR_SUCCESS)
        return r;
    if (!store) {
        if constexpr (std::is_invocable_r_v<LONG, IfEmpty, std::int64_t>)
            return ifEmpty(id);
        else
            return ifEmpty;
    }
    return body(store, id);
}

HKEY NewHandle(StorePtr store, std::int64_t id)
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
    const auto parts = SplitPath(lpSubKey);
    // No database yet: only the root itself can be opened.
    const auto openWithoutStore = [&](std::int64_t from) -> LONG {
        if (!parts.empty() || from != RootId)
            return ERROR_FILE_NOT_FOUND;
        *phkResult = NewHandle(nullptr, RootId);
        return ERROR_SUCCESS;
    };
    return OnKey(hKey, MissingFile::Empty, openWithoutStore, [&](const StorePtr& store, std::int64_t from) -> LONG {
        std::int64_t id = 0;
        if (const LONG r = Walk(store->db, from, parts, id); r != ERROR_SUCCESS)
            return r;
        *phkResult = NewHandle(store, id);
        return ERROR_SUCCESS;
    });
}

LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD, char*, DWORD, REGSAM, void*, PHKEY phkResult,
                     DWORD* lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return OnKey(hKey, MissingFile::Create, ERROR_CANTOPEN, [&](const StorePtr& store, std::int64_t from) -> LONG {
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
    });
}

LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    return OnKey(hKey, MissingFile::Create, ERROR_CANTOPEN, [&](const StorePtr& store, std::int64_t id) -> LONG {
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
    });
}

LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD*, DWORD* lpType, BYTE* lpData, DWORD* lpcbData)
{
    return OnKey(hKey, MissingFile::Empty, ERROR_FILE_NOT_FOUND, [&](const StorePtr& store, std::int64_t id) -> LONG {
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
    });
}

LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD*, DWORD* lpcSubKeys, DWORD* lpcbMaxSubKeyLen,
                      DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen,
                      DWORD* lpcbSecurityDescriptor, void*)
{
    // Without a database file the key has no sub-keys and no values.
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    const LONG r = OnKey(hKey, MissingFile::Empty, ERROR_SUCCESS, [&](const StorePtr& store, std::int64_t id) -> LONG {
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
        return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS)
        return r;
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

namespace {

// Runs an enumeration query (`?1` the key, `?2` the index) to its row:
// ERROR_NO_MORE_ITEMS past the last entry.
LONG StepToEntry(Stmt& q, std::int64_t key, DWORD index)
{
    if (!q.ok())
        return MapError(q.rc, false);
    q.bind(1, key);
    q.bind(2, static_cast<std::int64_t>(index));
    const int rc = q.step();
    if (rc == SQLITE_DONE)
        return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW)
        return MapError(rc, false);
    return ERROR_SUCCESS;
}

} // namespace

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD* lpcchName, DWORD*, char* lpClass, DWORD* lpcchClass,
                   void*)
{
    return OnKey(hKey, MissingFile::Empty, ERROR_NO_MORE_ITEMS, [&](const StorePtr& store, std::int64_t id) -> LONG {
        Stmt q(store->db, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name, id LIMIT 1 OFFSET ?2");
        if (const LONG r = StepToEntry(q, id, dwIndex); r != ERROR_SUCCESS)
            return r;
        if (lpClass && lpcchClass && *lpcchClass > 0)
            lpClass[0] = '\0';
        if (lpcchClass)
            *lpcchClass = 0;
        return CopyName(q.text(0), lpName, lpcchName);
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD*, DWORD* lpType,
                   BYTE* lpData, DWORD* lpcbData)
{
    return OnKey(hKey, MissingFile::Empty, ERROR_NO_MORE_ITEMS, [&](const StorePtr& store, std::int64_t id) -> LONG {
        Stmt q(store->db, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        if (const LONG r = StepToEntry(q, id, dwIndex); r != ERROR_SUCCESS)
            return r;
        if (const LONG r = CopyName(q.text(0), lpValueName, lpcchValueName); r != ERROR_SUCCESS)
            return r;
        if (lpType)
            *lpType = static_cast<DWORD>(q.int64(1));
        if (lpData || lpcbData)
            return CopyOut(q.data(2, static_cast<DWORD>(q.int64(1))), lpData, lpcbData);
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey)
{
    return OnKey(hKey, MissingFile::Empty, ERROR_FILE_NOT_FOUND, [&](const StorePtr& store, std::int64_t from) -> LONG {
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
            static constexpr const char* Subtree = "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
                                                   "SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) ";
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
    });
}

LONG RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    std::lock_guard guard(state().lock);
    return state().handles.erase(reinterpret_cast<std::uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::string RegistryErrorText(LONG code)
{
    switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return "The key or value does not exist.";
    case ERROR_ACCESS_DENIED: return "The settings file cannot be written (access denied).";
    case ERROR_INVALID_HANDLE: return "The key handle is not valid.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_BUSY: return "The settings file is locked by another program.";
    case ERROR_MORE_DATA: return "More data is available.";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.";
    case ERROR_BADDB: return "The settings file is not a Parcelo settings database.";
    case ERROR_CANTOPEN: return "The settings file cannot be opened.";
    case ERROR_CANTREAD: return "The settings file cannot be read.";
    case ERROR_CANTWRITE: return "The settings file cannot be written.";
    case ERROR_REGISTRY_IO_FAILED: return "An input/output error occurred on the settings file.";
    case ERROR_KEY_DELETED: return "The key has been deleted.";
    default: return "Error " + std::to_string(code) + ".";
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
    case ERROR_REGISTRY_IO_FAILED: return true;
    default: return false;
    }
}
