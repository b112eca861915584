// The port of a 227 reply. Any text must parse without reading outside it,
// and a port found must be the one a plain reading of "(h1,h2,h3,h4,p1,p2)"
// gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/FtpInternal.h"

namespace {

// A second, independent reading: after the first "(", skip four
// comma-terminated fields; p1 runs to the next comma and p2 to the first ")"
// after it. Each must be 1 to 4 digits (blanks around them allowed), <= 255.
bool ReferencePort(const std::string& reply, int& port)
{
    auto open = reply.find('(');
    if (open == std::string::npos)
        return false;
    std::size_t pos = open + 1;
    for (int i = 0; i < 4; ++i) {
        pos = reply.find(',', pos);
        if (pos == std::string::npos)
            return false;
        ++pos;
    }
    auto comma = reply.find(',', pos);
    if (comma == std::string::npos)
        return false;
    auto close = reply.find(')', comma + 1);
    if (close == std::string::npos)
        return false;
    auto field = [](std::string s, int& v) {
        while (!s.empty() && s.front() == ' ')
            s.erase(s.begin());
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        // Up to four digits (leading zeros count too).
        if (s.empty() || s.size() > 4)
            return false;
        v = 0;
        for (char c : s) {
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + (c - '0');
        }
        return v <= 255;
    };
    int hi = 0, lo = 0;
    if (!field(reply.substr(pos, comma - pos), hi) || !field(reply.substr(comma + 1, close - comma - 1), lo))
        return false;
    port = hi * 256 + lo;
    return port != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::uint16_t port = 0;
    const bool ok = FtpPasvPort(reply, port);
    int expected = 0;
    const bool refOk = ReferencePort(reply, expected);
    if (ok != refOk || (ok && port != expected))
        std::abort();
    return 0;
}
