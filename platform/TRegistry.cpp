// TRegistry: the accessor the settings load and save use, on top of the
// registry calls.
#include "platform/Registry.h"

#include <cstdint>
#include <string>
#include <vector>

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

TRegistry::TRegistry(HKEY root) : FRootKey(root) { }

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
template <typename Enum, typename CheckFn> static std::vector<std::string> EnumNames(Enum enumerate, CheckFn check)
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
    case REG_SZ: return TRegDataType::rdString;
    case REG_EXPAND_SZ: return TRegDataType::rdExpandString;
    case REG_DWORD: return TRegDataType::rdInteger;
    case REG_BINARY: return TRegDataType::rdBinary;
    default: return TRegDataType::rdUnknown;
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
    if (!Check(RegQueryValueExA(BaseKey(), Name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got)))
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
    return static_cast<std::int32_t>(std::uint32_t(buf[0]) | std::uint32_t(buf[1]) << 8 | std::uint32_t(buf[2]) << 16 |
                                     std::uint32_t(buf[3]) << 24);
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
