// Reading stored settings values. The store may have been filled by another
// program, so a value row can hold any SQLite storage class and any type
// number. The first input byte picks the storage class of the data column,
// the second the registry type, the rest is the data. The value is then read
// the ways a settings load reads values (string, flag, type) and through
// the raw query with buffers of every interesting size; none may fail
// other than with the documented errors, and a string read is a text the
// settings load can show without losing a byte.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/Registry.h"
#include "settings/Encode.h"
#include "settings/Settings.h"

namespace {

sqlite3* Db = nullptr;
std::int64_t KeyId = 0;
const char Key[] = "Software\\Parcelo\\Fuzz";

void Fail(const char* what)
{
    (void)what;
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A private store in a fresh folder (tmpfs when there is one).
    std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    auto dir = base / ("parcelo-fuzz-registry-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "registry.db").string();
    ::setenv("PARCELO_REGISTRY", path.c_str(), 1);
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, Key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) !=
        ERROR_SUCCESS)
        Fail("create key");
    RegCloseKey(key);
    if (sqlite3_open(path.c_str(), &Db) != SQLITE_OK)
        Fail("open store");
    sqlite3_busy_timeout(Db, 5000);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(Db, "SELECT id FROM keys WHERE name = 'Fuzz'", -1, &q, nullptr);
    if (sqlite3_step(q) != SQLITE_ROW)
        Fail("key row");
    KeyId = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int storage = data[0] % 4;
    // Mostly the types the settings use, sometimes any number.
    static const std::int64_t commonTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_NONE, 11,
                                               -1,     0x100000001LL};
    const std::int64_t type = data[1] < 224 ? commonTypes[data[1] % 8] : static_cast<std::int64_t>(data[1]) - 224;
    const std::string payload(reinterpret_cast<const char*>(data + 2), size - 2);

    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(Db, "INSERT OR REPLACE INTO vals (key, name, type, data) VALUES (?1, 'v', ?2, ?3)", -1, &ins,
                       nullptr);
    sqlite3_bind_int64(ins, 1, KeyId);
    sqlite3_bind_int64(ins, 2, type);
    switch (storage) {
    case 0: {
        std::uint64_t v = 0;
        std::memcpy(&v, payload.data(), std::min<std::size_t>(payload.size(), sizeof v));
        sqlite3_bind_int64(ins, 3, static_cast<std::int64_t>(v));
        break;
    }
    case 1: {
        double d = 0;
        std::memcpy(&d, payload.data(), std::min<std::size_t>(payload.size(), sizeof d));
        sqlite3_bind_double(ins, 3, d);
        break;
    }
    case 2: sqlite3_bind_text(ins, 3, payload.data(), static_cast<int>(payload.size()), SQLITE_TRANSIENT); break;
    default: sqlite3_bind_blob(ins, 3, payload.data(), static_cast<int>(payload.size()), SQLITE_TRANSIENT); break;
    }
    const int stepped = sqlite3_step(ins);
    sqlite3_finalize(ins);
    if (stepped != SQLITE_DONE)
        return 0; // not a row a store can hold (a NaN is stored as NULL)

    TRegistry reg;
    if (!reg.OpenKey(Key, false) || !reg.ValueExists("v"))
        Fail("open value");

    // The raw query: the size asked for first is the size a full read gets,
    // a buffer one byte short says so, and every read gives the same bytes.
    DWORD t = 0, need = 0;
    if (RegQueryValueExA(reg.CurrentKey(), "v", nullptr, &t, nullptr, &need) != ERROR_SUCCESS)
        Fail("size query");
    std::string full(need + 8, '\x55');
    DWORD got = need + 8;
    if (RegQueryValueExA(reg.CurrentKey(), "v", nullptr, &t, reinterpret_cast<BYTE*>(full.data()), &got) !=
            ERROR_SUCCESS ||
        got != need)
        Fail("full read");
    if (need > 0) {
        std::string shortBuf(need - 1, '\0');
        DWORD room = need - 1;
        if (RegQueryValueExA(reg.CurrentKey(), "v", nullptr, &t, reinterpret_cast<BYTE*>(shortBuf.data()), &room) !=
                ERROR_MORE_DATA ||
            room != need)
            Fail("short read");
    }
    full.resize(got);

    const TRegDataType kind = reg.GetDataType("v");
    const bool isString = t == REG_SZ || t == REG_EXPAND_SZ;
    if ((kind == TRegDataType::rdString || kind == TRegDataType::rdExpandString) != isString)
        Fail("data type");

    try {
        const std::string s = reg.ReadString("v");
        if (!isString)
            Fail("string read of a non-string");
        if (s.find('\0') != std::string::npos || full.compare(0, s.size(), s) != 0)
            Fail("string read");
        // As the settings load shows it: no byte lost.
        const QString shown = FromStore(s);
        if (ToStore(shown) != s && shown.toLatin1().toStdString() != s)
            Fail("text shown");
        // A saved password's way back.
        Tencode e;
        e.SetKey("QZRW");
        e.SetDecimalOut(false);
        e.SetSequence("321");
        e.SetMoveNumber(-6);
        e.SetTextInOut(s);
        if (e.TextInOut().size() != s.size())
            Fail("unscramble");
    } catch (const ERegistryException&) {
        if (isString)
            Fail("string read failed");
    }

    try {
        const std::int32_t v = reg.ReadInteger("v");
        if (t != REG_DWORD || full.size() > 4)
            Fail("flag read of a non-flag");
        std::uint8_t b[4] = {0, 0, 0, 0};
        std::memcpy(b, full.data(), full.size());
        if (v != static_cast<std::int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24))
            Fail("flag value");
    } catch (const ERegistryException&) {
        if (t == REG_DWORD && full.size() <= 4)
            Fail("flag read failed");
    }
    return 0;
}
