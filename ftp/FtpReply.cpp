// Reply handling that needs no connection: the class of a reply code,
// numbers and quoted strings in replies, cutting input into reply lines,
// the ports of PASV and EPSV replies, and the texts built from them.
#include "ftp/FtpReply.h"
#include "ftp/Ftpcli.h"

#include "net/WSocket.h"

#include <cstdint>
#include <cstring>

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

const char* ToString(TFtpClientState state)
{
    switch (state) {
    case ftpStClosed: return "ftpStClosed";
    case ftpStReady: return "ftpStReady";
    case ftpStStepReady: return "ftpStStepReady";
    case ftpStResolving: return "ftpStResolving";
    case ftpStGreeted: return "ftpStGreeted";
    case ftpStAborting: return "ftpStAborting";
    case ftpStConnecting: return "ftpStConnecting";
    case ftpStAwaitingReply: return "ftpStAwaitingReply";
    }
    return "ftpSt?";
}

const char* ToString(TFtpAwaitedReply awaited)
{
    switch (awaited) {
    case TFtpAwaitedReply::None: return "None";
    case TFtpAwaitedReply::Greeting: return "Greeting";
    case TFtpAwaitedReply::Command: return "Command";
    case TFtpAwaitedReply::Quit: return "Quit";
    case TFtpAwaitedReply::RetrieveStart: return "RetrieveStart";
    case TFtpAwaitedReply::RetrieveEnd: return "RetrieveEnd";
    case TFtpAwaitedReply::StoreStart: return "StoreStart";
    case TFtpAwaitedReply::StoreEnd: return "StoreEnd";
    case TFtpAwaitedReply::AuthTls: return "AuthTls";
    }
    return "?";
}

const char* ToString(TFtpRequest request)
{
    switch (request) {
    case ftpNone: return "ftpNone";
    case ftpOpenAsync: return "ftpOpenAsync";
    case ftpUserAsync: return "ftpUserAsync";
    case ftpPassAsync: return "ftpPassAsync";
    case ftpCwdAsync: return "ftpCwdAsync";
    case ftpConnectAsync: return "ftpConnectAsync";
    case ftpReceiveAsync: return "ftpReceiveAsync";
    case ftpDirAsync: return "ftpDirAsync";
    case ftpLsAsync: return "ftpLsAsync";
    case ftpPortAsync: return "ftpPortAsync";
    case ftpGetAsync: return "ftpGetAsync";
    case ftpDirectoryAsync: return "ftpDirectoryAsync";
    case ftpListAsync: return "ftpListAsync";
    case ftpSystemAsync: return "ftpSystemAsync";
    case ftpSystAsync: return "ftpSystAsync";
    case ftpQuitAsync: return "ftpQuitAsync";
    case ftpSizeAsync: return "ftpSizeAsync";
    case ftpPutAsync: return "ftpPutAsync";
    case ftpAppendAsync: return "ftpAppendAsync";
    case ftpMkdAsync: return "ftpMkdAsync";
    case ftpRmdAsync: return "ftpRmdAsync";
    case ftpRenameAsync: return "ftpRenameAsync";
    case ftpDeleAsync: return "ftpDeleAsync";
    case ftpRenAsync: return "ftpRenAsync";
    case ftpRenToAsync: return "ftpRenToAsync";
    case ftpRenFromAsync: return "ftpRenFromAsync";
    case ftpDeleteAsync: return "ftpDeleteAsync";
    case ftpMkdirAsync: return "ftpMkdirAsync";
    case ftpRmdirAsync: return "ftpRmdirAsync";
    case ftpPwdAsync: return "ftpPwdAsync";
    case ftpQuoteAsync: return "ftpQuoteAsync";
    case ftpCDupAsync: return "ftpCDupAsync";
    case ftpDoQuoteAsync: return "ftpDoQuoteAsync";
    case ftpTransmitAsync: return "ftpTransmitAsync";
    case ftpTypeSetAsync: return "ftpTypeSetAsync";
    case ftpRestAsync: return "ftpRestAsync";
    case ftpRestartGetAsync: return "ftpRestartGetAsync";
    case ftpRestartReceiveAsync: return "ftpRestartReceiveAsync";
    }
    return "ftp?";
}

FtpReplyClass FtpClassOfReply(TFtpAwaitedReply awaited, int code)
{
    bool taken = true;
    switch (awaited) {
    case TFtpAwaitedReply::Greeting: taken = code == 220; break;
    case TFtpAwaitedReply::RetrieveStart:
    case TFtpAwaitedReply::StoreStart: taken = code == 125 || code == 150; break;
    case TFtpAwaitedReply::RetrieveEnd: taken = code == 125 || code == 226 || code == 250; break;
    case TFtpAwaitedReply::StoreEnd: taken = code == 226 || code == 250; break;
    default: break;
    }
    if (!taken || code < 100)
        return FtpReplyClass::Unknown;
    switch (code / 100) {
    case 1: return FtpReplyClass::Preliminary;
    case 2: return FtpReplyClass::Completion;
    case 3: return FtpReplyClass::Intermediate;
    case 4: return FtpReplyClass::TransientFailure;
    default: return FtpReplyClass::PermanentFailure;
    }
}

const char* FtpParseNumber(const char* p, std::int64_t& value)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    std::int64_t v = 0;
    while (IsDigit(*p)) {
        // Saturate rather than overflow on an absurdly long number.
        if (v < (INT64_MAX - 9) / 10)
            v = v * 10 + (*p - '0');
        ++p;
    }
    value = negative ? -v : v;
    return p;
}

const char* FtpParseNumber(const char* p, int& value)
{
    std::int64_t v = 0;
    p = FtpParseNumber(p, v);
    value = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
    return p;
}

std::string FtpQuotedString(const char* p)
{
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    std::string result;
    if (*p != '"')
        return result;
    ++p;
    while (*p) {
        if (*p == '"') {
            // RFC 959 appendix II: a doubled quote stands for one.
            if (p[1] != '"')
                break;
            ++p;
        }
        result += *p++;
    }
    return result;
}

bool FtpCutReplyLine(const char* buf, int len, bool acceptLF, std::string& line, int& consumed)
{
    const char* end = nullptr;
    if (acceptLF) {
        end = static_cast<const char*>(std::memchr(buf, '\n', static_cast<size_t>(len > 0 ? len : 0)));
        if (end)
            consumed = static_cast<int>(end - buf) + 1;
    } else {
        for (int i = 0; i + 1 < len; ++i) {
            if (buf[i] == '\r' && buf[i + 1] == '\n') {
                end = buf + i;
                consumed = i + 2;
                break;
            }
        }
    }
    if (!end)
        return false;
    line.assign(buf, static_cast<size_t>(end - buf));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return true;
}

bool FtpReplyLineEnds(const std::string& line, int& code)
{
    const char* p = line.c_str();
    if (!IsDigit(*p))
        return false;
    p = FtpParseNumber(p, code);
    return *p != '-';
}

bool FtpPasvPort(const std::string& reply, std::uint16_t& port)
{
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the four address
    // numbers are skipped, the data connection goes to the control
    // connection's server.
    auto open = reply.find('(');
    if (open == std::string::npos)
        return false;
    size_t pos = open + 1;
    for (int i = 0; i < 4; ++i) {
        pos = reply.find(',', pos);
        if (pos == std::string::npos)
            return false;
        ++pos;
    }
    auto comma = reply.find(',', pos);
    auto close = comma == std::string::npos ? std::string::npos : reply.find(')', comma + 1);
    if (close == std::string::npos)
        return false;
    auto number = [](const std::string& text, int& value) {
        size_t i = 0;
        while (i < text.size() && text[i] == ' ')
            ++i;
        size_t digits = 0;
        value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        while (i < text.size() && text[i] == ' ')
            ++i;
        return digits > 0 && i == text.size() && value <= 255;
    };
    int high = 0, low = 0;
    if (!number(reply.substr(pos, comma - pos), high) || !number(reply.substr(comma + 1, close - comma - 1), low))
        return false;
    int value = high * 256 + low;
    if (value == 0)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool FtpEpsvPort(const std::string& reply, std::uint16_t& port)
{
    // "229 Entering Extended Passive Mode (|||port|)": the delimiter is
    // any printable character but a digit (usually '|'), the address and
    // protocol fields stay empty, and the data connection goes to the
    // control connection's server.
    auto open = reply.find('(');
    if (open == std::string::npos || reply.size() < open + 7)
        return false;
    const char d = reply[open + 1];
    if (d < 33 || d > 126 || (d >= '0' && d <= '9'))
        return false;
    if (reply[open + 2] != d || reply[open + 3] != d)
        return false;
    std::size_t i = open + 4;
    int value = 0;
    std::size_t digits = 0;
    while (i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && digits < 5) {
        value = value * 10 + (reply[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || i + 1 >= reply.size() || reply[i] != d || reply[i + 1] != ')')
        return false;
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::string FtpExceptionText(const std::exception& e)
{
    auto* known = dynamic_cast<const Exception*>(&e);
    return std::string(known ? known->ClassName() : "Exception") + ": " + e.what();
}

std::string FtpSocketErrorText(int error)
{
    return WSocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
}

std::string FtpTransferStatsText(std::int64_t ByteCount, std::uint32_t ElapsedMs)
{
    std::string text =
        std::to_string(ByteCount) + " bytes received/sent in " + std::to_string(ElapsedMs / 1000) + " seconds";
    if (ElapsedMs != 0) {
        std::int64_t rate = ByteCount <= 32767 ? ByteCount * 1000 / ElapsedMs : (ByteCount / ElapsedMs) * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    return text;
}

TFtpAddress FtpSplitAddress(const std::string& Text)
{
    static constexpr struct {
        const char* prefix;
        TFtpSecurity security;
    } prefixes[] = {
        {"ftpes://", TFtpSecurity::Explicit},
        {"ftps://", TFtpSecurity::Implicit},
        {"ftp://", TFtpSecurity::None},
    };
    auto startsWith = [&Text](const char* prefix) {
        const std::size_t n = std::strlen(prefix);
        if (Text.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            char c = Text[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != prefix[i])
                return false;
        }
        return true;
    };
    TFtpAddress result;
    result.host = Text;
    for (const auto& p : prefixes) {
        if (startsWith(p.prefix)) {
            result.security = p.security;
            result.host = Text.substr(std::strlen(p.prefix));
            break;
        }
    }
    if (!result.host.empty() && result.host.back() == '/')
        result.host.pop_back();
    return result;
}
