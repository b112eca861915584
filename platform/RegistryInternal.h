// What the registry's source files share: the SQLite store behind the
// registry calls, the table of open key handles and the lock over both. Only
// platform/Registry*.cpp include this.
#pragma once

#include "platform/Registry.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace registry_internal {

// The row of HKEY_CURRENT_USER, the root of every path.
inline constexpr std::int64_t RootId = 1;

// One open database file.
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

// The registry's state for the whole process; every call holds its lock.
State& state();

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

// The registry result code for an SQLite result code; `writing` chooses
// between ERROR_CANTWRITE and ERROR_CANTREAD for failures without a closer
// match.
LONG MapError(int rc, bool writing);

// Runs SQL that returns no rows; the SQLite result code.
int Exec(sqlite3* db, const char* sql);

// The database of the current path. Without `create`, a store whose file
// does not exist yet is reported as none (an empty registry) and nothing is
// created on disk.
LONG GetStore(bool create, std::shared_ptr<Store>& out);

// Runs `body` as one write transaction; commits only when it succeeds.
template <typename F> LONG WriteTransaction(sqlite3* db, F&& body)
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

} // namespace registry_internal
