#include "upload/WebLinks.h"

#include <vector>

namespace {

const char HexDigits[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char byte)
{
    out += '%';
    out += HexDigits[byte >> 4];
    out += HexDigits[byte & 0x0F];
}

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool IsAsciiLetter(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Bytes that no part of a link holds as they are.
bool NeedsEscapeInTypedAddress(unsigned char c)
{
    static const std::string unsafe = "\"<>\\^`{|}";
    return c <= 0x20 || c >= 0x7F || unsafe.find(static_cast<char>(c)) != std::string::npos;
}

// Whether the address starts with a scheme and "://": letters, then
// letters, digits, + - or ".
bool HasScheme(const std::string& address)
{
    const std::size_t colon = address.find("://");
    if (colon == std::string::npos || colon == 0 || !IsAsciiLetter(static_cast<unsigned char>(address[0])))
        return false;
    for (std::size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(address[i]);
        if (!IsAsciiLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

std::string Trimmed(const std::string& text)
{
    const char* blanks = " \t\r\n\f\v";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace

std::string WebLinkBase(const std::string& webAddress)
{
    std::string address = Trimmed(webAddress);
    if (address.empty())
        return {};
    if (address.starts_with("//"))
        address = "https:" + address;
    else if (!HasScheme(address))
        address = "https://" + address;
    std::string base;
    for (char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (NeedsEscapeInTypedAddress(byte))
            AppendEscaped(base, byte);
        else
            base += c;
    }
    if (!base.ends_with('/'))
        base += '/';
    return base;
}

std::string PercentEncodeSegment(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(byte))
            out += c;
        else
            AppendEscaped(out, byte);
    }
    return out;
}

std::string WebLink(const std::string& base, const std::string& directory, const std::string& fileName)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= directory.size()) {
        std::size_t end = directory.find('/', start);
        if (end == std::string::npos)
            end = directory.size();
        const std::string part = directory.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string link = base;
    for (const std::string& part : parts)
        link += PercentEncodeSegment(part) + '/';
    return link + PercentEncodeSegment(fileName);
}
