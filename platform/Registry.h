// The per-user registry: the Win32 registry calls Parcelo needs, kept in one
// SQLite database ($PARCELO_REGISTRY, else
// ${XDG_CONFIG_HOME:-~/.config}/parcelo/registry.db), plus the accessor
// TRegistry that the settings load and save use.
//
// Key and value names compare without regard to ASCII case and keep the case
// they were created with; the empty value name is the key's unnamed value.
// REG_SZ data are byte strings that may hold any byte 1-255. Every write is
// its own transaction, so several Parcelo processes can share the store.
// The database schema is described in docs/settings-store.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using BYTE = unsigned char;
using REGSAM = DWORD;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));

// Result codes, with the Win32 values.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_BUSY = 170;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// Access rights and options: accepted for the shape of the calls; the store
// itself has one user and grants everything.
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// A path is split at backslashes; empty components are skipped, so an empty
// sub-key names the key itself.
[[nodiscard]] LONG RegOpenKeyExA(HKEY hKey, const char* lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
[[nodiscard]] LONG RegCreateKeyExA(HKEY hKey, const char* lpSubKey, DWORD Reserved, char* lpClass, DWORD dwOptions,
                                   REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                                   DWORD* lpdwDisposition);
// Stores cbData bytes exactly as given (no terminating zero is added or
// required).
[[nodiscard]] LONG RegSetValueExA(HKEY hKey, const char* lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData);
// With lpData null only the type and size are returned. A buffer that is too
// small gives ERROR_MORE_DATA with the size needed in *lpcbData.
[[nodiscard]] LONG RegQueryValueExA(HKEY hKey, const char* lpValueName, DWORD* lpReserved, DWORD* lpType, BYTE* lpData,
                                    DWORD* lpcbData);
[[nodiscard]] LONG RegQueryInfoKeyA(HKEY hKey, char* lpClass, DWORD* lpcchClass, DWORD* lpReserved, DWORD* lpcSubKeys,
                                    DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen, DWORD* lpcValues,
                                    DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen, DWORD* lpcbSecurityDescriptor,
                                    void* lpftLastWriteTime);
// Sub-keys enumerate in name order (ignoring case), values in the order they
// were first written.
[[nodiscard]] LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, char* lpName, DWORD* lpcchName, DWORD* lpReserved,
                                 char* lpClass, DWORD* lpcchClass, void* lpftLastWriteTime);
[[nodiscard]] LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, char* lpValueName, DWORD* lpcchValueName, DWORD* lpReserved,
                                 DWORD* lpType, BYTE* lpData, DWORD* lpcbData);
// Deletes the key together with everything below it, in one transaction.
[[nodiscard]] LONG RegDeleteKeyA(HKEY hKey, const char* lpSubKey);
LONG RegCloseKey(HKEY hKey);

// The database file the store uses now (follows $PARCELO_REGISTRY).
std::string RegistryStorePath();
// How long a call waits for another program's lock on the database before it
// fails with ERROR_BUSY (a few seconds by default).
void RegistrySetLockWait(std::chrono::milliseconds wait);
// A short English text for a result code, for messages.
std::string RegistryErrorText(LONG code);
// True for the codes that mean the database itself could not be used (as
// opposed to a key or value that is not there).
bool RegistryStoreFailed(LONG code);

// A read or write of a value failed; the text names the value.
class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

// The accessor used by the settings load and save: one current key at a
// time, values read and written by name. Value reads and writes that fail
// throw ERegistryException with "Invalid data type for '%s'", "Failed to get
// data for '%s'" or "Failed to set data for '%s'". Closes its key when it
// goes away.
class TRegistry {
public:
    explicit TRegistry(HKEY root = HKEY_CURRENT_USER);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return FRootKey; }
    HKEY CurrentKey() const { return FCurrentKey; }
    const std::string& CurrentPath() const { return FCurrentPath; }
    // Result code of the last call that failed (ERROR_SUCCESS when none did).
    LONG LastError() const { return FLastError; }

    // Opens Key below the current key (or below the root when none is open)
    // and makes it the current key.
    bool OpenKey(const std::string& Key, bool CanCreate);
    void CloseKey();
    bool KeyExists(const std::string& Key);
    bool DeleteKey(const std::string& Key);
    std::vector<std::string> GetKeyNames();
    std::vector<std::string> GetValueNames();

    bool ValueExists(const std::string& Name);
    TRegDataType GetDataType(const std::string& Name);
    // Reads up to the first zero byte of the data.
    std::string ReadString(const std::string& Name);
    std::int32_t ReadInteger(const std::string& Name);
    bool ReadBool(const std::string& Name) { return ReadInteger(Name) != 0; }
    void WriteString(const std::string& Name, const std::string& Value);
    void WriteInteger(const std::string& Name, std::int32_t Value);
    void WriteBool(const std::string& Name, bool Value) { WriteInteger(Name, Value ? 1 : 0); }

private:
    HKEY BaseKey() const { return FCurrentKey ? FCurrentKey : FRootKey; }
    bool Check(LONG code);

    HKEY FRootKey;
    HKEY FCurrentKey = nullptr;
    std::string FCurrentPath;
    LONG FLastError = ERROR_SUCCESS;
};
