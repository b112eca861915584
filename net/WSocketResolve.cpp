// Name resolution, name lookups, peer queries and error reporting.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>

#include "net/WSocket.h"
#include "net/WSocketInternal.h"

using namespace winsock;

namespace wsocket_internal {

std::string Trim(const std::string& s)
{
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

} // namespace wsocket_internal

using wsocket_internal::Trim;

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A text counts as a number when it starts with a digit; its value is the
// run of digits after any leading spaces ("21abc" is 21).
std::uint32_t ScanNumber(const std::string& s)
{
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::uint32_t v = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i)
        v = v * 10u + static_cast<std::uint32_t>(s[i] - '0');
    return v;
}

std::string Format(const char* fmt, const std::string& arg)
{
    char text[600];
    std::snprintf(text, sizeof text, fmt, arg.c_str());
    return text;
}

bool AllDigits(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!IsDigit(c))
            return false;
    return true;
}

bool IsHexDigit(char c)
{
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A number as inet_aton reads one part of an address: decimal, octal with
// a leading 0, hexadecimal with 0x.
bool IsNumberPart(const std::string& part)
{
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
        for (std::size_t i = 2; i < part.size(); ++i)
            if (!IsHexDigit(part[i]))
                return false;
        return true;
    }
    return AllDigits(part);
}

std::vector<std::string> Labels(const std::string& text)
{
    std::vector<std::string> labels;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = text.find('.', start);
        labels.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            return labels;
        start = dot + 1;
    }
}

// Texts that inet_aton, getaddrinfo and the like take for an IPv4 address
// although inet_pton does not: one to four numbers, decimal, octal or
// hexadecimal, separated by dots ("127.1", "2130706433", "0177.0.0.1").
bool IsOtherIPv4Form(const std::string& text)
{
    const std::vector<std::string> parts = Labels(text);
    if (parts.size() > 4)
        return false;
    for (const std::string& part : parts)
        if (!IsNumberPart(part))
            return false;
    return true;
}

} // namespace

THostText WSocketReadHost(const std::string& Text)
{
    THostText host;
    if (Text.empty()) {
        host.why = "no host name or address given";
        return host;
    }
    for (char c : Text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) {
            host.why = "the host name or address contains a blank or a control character";
            return host;
        }
    }
    char shown[64];
    if (inet_pton(AF_INET, Text.c_str(), host.bytes) == 1 &&
        inet_ntop(AF_INET, host.bytes, shown, sizeof shown) != nullptr) {
        host.form = THostForm::IPv4;
        host.length = 4;
        host.text = shown;
        return host;
    }
    // An IPv6 address bare or in brackets (as in URLs, where the brackets
    // keep its colons apart from a port).
    const bool bracketed = Text.size() > 2 && Text.front() == '[' && Text.back() == ']';
    const std::string inner = bracketed ? Text.substr(1, Text.size() - 2) : Text;
    if (inet_pton(AF_INET6, inner.c_str(), host.bytes) == 1 &&
        inet_ntop(AF_INET6, host.bytes, shown, sizeof shown) != nullptr) {
        host.form = THostForm::IPv6;
        host.length = 16;
        host.text = shown;
        return host;
    }
    std::fill(std::begin(host.bytes), std::end(host.bytes), 0);
    const std::string quoted = "'" + Text + "'";
    if (bracketed) {
        host.why = quoted + " is refused: only an IPv6 address goes in brackets, such as [2001:db8::1] (without a "
                            "zone such as %eth0)";
        return host;
    }
    if (Text.find(':') != std::string::npos || Text.find('[') != std::string::npos ||
        Text.find(']') != std::string::npos) {
        host.why = quoted + " is neither an IPv6 address in the usual form (such as 2001:db8::1 or [2001:db8::1], "
                            "without a zone such as %eth0 or a port) nor a host name (a name has no ':' or brackets)";
        return host;
    }
    if (IsOtherIPv4Form(Text)) {
        host.why = quoted + " is not an IPv4 address in the usual form: write four decimal numbers from 0 to 255 "
                            "without leading zeros, such as 192.0.2.1 (short, octal and hexadecimal forms are "
                            "refused because programs read them differently)";
        return host;
    }
    std::string name = Text;
    if (name.size() > 1 && name.back() == '.')
        name.pop_back();
    const std::vector<std::string> labels = Labels(name);
    if (AllDigits(labels.back())) {
        host.why = quoted + " is neither an IPv4 address (four decimal numbers from 0 to 255, such as 192.0.2.1) "
                            "nor a host name (its last part is a number)";
        return host;
    }
    host.form = THostForm::Name;
    host.text = Text;
    return host;
}

std::string WSocketErrorDesc(int ErrCode)
{
    switch (ErrCode) {
    case 0: return "No Error";
    case WSAEINTR: return "Interrupted system call";
    case WSAEBADF: return "Bad file number";
    case WSAEACCES: return "Permission denied";
    case WSAEFAULT: return "Bad address";
    case WSAEINVAL: return "Invalid argument";
    case WSAEMFILE: return "Too many open files";
    case WSAEWOULDBLOCK: return "Operation would block";
    case WSAEINPROGRESS: return "Operation now in progress";
    case WSAEALREADY: return "Operation already in progress";
    case WSAENOTSOCK: return "Socket operation on non-socket";
    case WSAEDESTADDRREQ: return "Destination address required";
    case WSAEMSGSIZE: return "Message too long";
    case WSAEPROTOTYPE: return "Protocol wrong type for socket";
    case WSAENOPROTOOPT: return "Protocol not available";
    case WSAEPROTONOSUPPORT: return "Protocol not supported";
    case WSAESOCKTNOSUPPORT: return "Socket type not supported";
    case WSAEOPNOTSUPP: return "Operation not supported on socket";
    case WSAEPFNOSUPPORT: return "Protocol family not supported";
    case WSAEAFNOSUPPORT: return "Address family not supported by protocol family";
    case WSAEADDRINUSE: return "Address already in use";
    case WSAEADDRNOTAVAIL: return "Address not available";
    case WSAENETDOWN: return "Network is down";
    case WSAENETUNREACH: return "Network is unreachable";
    case WSAENETRESET: return "Network dropped connection on reset";
    case WSAECONNABORTED: return "Connection aborted";
    case WSAECONNRESET: return "Connection reset by peer";
    case WSAENOBUFS: return "No buffer space available";
    case WSAEISCONN: return "Socket is already connected";
    case WSAENOTCONN: return "Socket is not connected";
    case WSAESHUTDOWN: return "Can't send after socket shutdown";
    case WSAETOOMANYREFS: return "Too many references: can't splice";
    case WSAETIMEDOUT: return "Connection timed out";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAELOOP: return "Too many levels of symbolic links";
    case WSAENAMETOOLONG: return "File name too long";
    case WSAEHOSTDOWN: return "Host is down";
    case WSAEHOSTUNREACH: return "No route to host";
    case WSAENOTEMPTY: return "Directory not empty";
    case WSAEPROCLIM: return "Too many processes";
    case WSAEUSERS: return "Too many users";
    case WSAEDQUOT: return "Disc quota exceeded";
    case WSAESTALE: return "Stale NFS file handle";
    case WSAEREMOTE: return "Too many levels of remote in path";
    case WSASYSNOTREADY: return "Network sub-system is unusable";
    case WSAVERNOTSUPPORTED: return "WinSock DLL cannot support this application";
    case WSANOTINITIALISED: return "WinSock not initialized";
    case WSAHOST_NOT_FOUND: return "Host not found";
    case WSATRY_AGAIN: return "Non-authoritative host not found";
    case WSANO_RECOVERY: return "Non-recoverable error";
    case WSANO_DATA: return "No Data";
    case WSocketSslHandshakeFailed: return "TLS handshake failed";
    case WSocketSslProtocolError: return "TLS protocol error";
    case WSocketSslTruncated: return "TLS connection closed without close_notify";
    default: return "Not a WinSock error";
    }
}

std::string WSocketLookupErrorText(const std::string& Name, int Error)
{
    std::string what;
    switch (Error) {
    case WSAHOST_NOT_FOUND: what = "Host name not found"; break;
    case WSANO_DATA: what = "Host name has no address"; break;
    case WSATRY_AGAIN: what = "Host name lookup failed for now (no answer from the name server)"; break;
    case WSANO_RECOVERY: what = "Host name lookup failed"; break;
    default: what = "Host name lookup failed: " + WSocketErrorDesc(Error); break;
    }
    return what + ": " + Name + " (error #" + std::to_string(Error) + ")";
}

std::string WSocketAddrText(const sockaddr_storage& Addr)
{
    char text[64];
    if (Addr.ss_family == AF_INET) {
        sockaddr_in sin;
        std::memcpy(&sin, &Addr, sizeof sin);
        return inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) ? text : "";
    }
    if (Addr.ss_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &Addr, sizeof sin6);
        return inet_ntop(AF_INET6, sin6.sin6_addr.s6_addr, text, sizeof text) ? text : "";
    }
    return "";
}

bool WSocketSameAddr(const sockaddr_storage& A, const sockaddr_storage& B)
{
    if (A.ss_family != B.ss_family)
        return false;
    if (A.ss_family == AF_INET) {
        sockaddr_in a, b;
        std::memcpy(&a, &A, sizeof a);
        std::memcpy(&b, &B, sizeof b);
        return a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (A.ss_family == AF_INET6) {
        sockaddr_in6 a, b;
        std::memcpy(&a, &A, sizeof a);
        std::memcpy(&b, &B, sizeof b);
        return std::memcmp(a.sin6_addr.s6_addr, b.sin6_addr.s6_addr, 16) == 0;
    }
    return false;
}

std::uint16_t WSocketAddrPort(const sockaddr_storage& Addr)
{
    if (Addr.ss_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &Addr, sizeof sin6);
        return ntohs(sin6.sin6_port);
    }
    sockaddr_in sin;
    std::memcpy(&sin, &Addr, sizeof sin);
    return ntohs(sin.sin_port);
}

int WSocketAddrLen(const sockaddr_storage& Addr)
{
    return Addr.ss_family == AF_INET6 ? static_cast<int>(sizeof(sockaddr_in6)) : static_cast<int>(sizeof(sockaddr_in));
}

namespace wsocket_internal {

sockaddr_storage AddrOf(const THostText& Host)
{
    sockaddr_storage sa{};
    if (Host.form == THostForm::IPv6) {
        sockaddr_in6 sin6{};
        sin6.sin6_family = AF_INET6;
        std::memcpy(sin6.sin6_addr.s6_addr, Host.bytes, 16);
        std::memcpy(&sa, &sin6, sizeof sin6);
    } else {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        std::memcpy(&sin.sin_addr.s_addr, Host.bytes, 4);
        std::memcpy(&sa, &sin, sizeof sin);
    }
    return sa;
}

void SetAddrPort(sockaddr_storage& Addr, std::uint16_t Port)
{
    if (Addr.ss_family == AF_INET6) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, &Addr, sizeof sin6);
        sin6.sin6_port = htons(Port);
        std::memcpy(&Addr, &sin6, sizeof sin6);
    } else {
        sockaddr_in sin;
        std::memcpy(&sin, &Addr, sizeof sin);
        sin.sin_port = htons(Port);
        std::memcpy(&Addr, &sin, sizeof sin);
    }
}

} // namespace wsocket_internal

sockaddr_storage WSocketResolveHostAddr(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() >= 257)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    const THostText host = WSocketReadHost(Trim(InAddr));
    switch (host.form) {
    case THostForm::Refused: throw ESocketException("WSocketResolveHost: " + host.why);
    case THostForm::IPv4:
    case THostForm::IPv6: return wsocket_internal::AddrOf(host);
    case THostForm::Name: break;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int err = getaddrinfo(host.text.c_str(), nullptr, &hints, &res);
    if (err != 0 || !res)
        throw ESocketException("WSocketResolveHost: " + WSocketLookupErrorText(host.text, err));
    sockaddr_storage sa{};
    std::memcpy(&sa, res->ai_addr, std::min(res->ai_addrlen, sizeof sa));
    freeaddrinfo(res);
    wsocket_internal::SetAddrPort(sa, 0);
    return sa;
}

winsock::u_long WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() >= 257)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    // The one reading of host texts: an address only in inet_pton's form,
    // other numeric forms refused, never looked up as names.
    const THostText host = WSocketReadHost(Trim(InAddr));
    switch (host.form) {
    case THostForm::Refused: throw ESocketException("WSocketResolveHost: " + host.why);
    case THostForm::IPv6:
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' is an IPv6 address; this call gives IPv4 only");
    case THostForm::IPv4: {
        winsock::u_long a;
        std::memcpy(&a, host.bytes, sizeof a);
        return a;
    }
    case THostForm::Name: break;
    }
    hostent* phe = gethostbyname(host.text.c_str());
    if (!phe || !phe->h_addr_list || !phe->h_addr_list[0])
        throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s'", InAddr));
    winsock::u_long a;
    std::memcpy(&a, phe->h_addr_list[0], sizeof a);
    return a;
}

std::uint32_t WSocketResolvePort(const std::string& Port, const std::string& Proto)
{
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (IsDigit(Port[0]))
        return ScanNumber(Port);
    std::string proto = Trim(Proto);
    servent* pse = getservbyname(Trim(Port).c_str(), proto.empty() ? nullptr : proto.c_str());
    if (!pse)
        throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s'", Port));
    return ntohs(static_cast<winsock::u_short>(pse->s_port));
}

int WSocketResolveProto(const std::string& Proto)
{
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string proto = Trim(Proto);
    if (!proto.empty() && IsDigit(proto[0]))
        return static_cast<int>(ScanNumber(proto));
    // The two protocols every socket here uses have fixed numbers: asking
    // the protocols database for them would read a file per connection.
    if (::strcasecmp(proto.c_str(), "tcp") == 0)
        return winsock::IPPROTO_TCP;
    if (::strcasecmp(proto.c_str(), "udp") == 0)
        return winsock::IPPROTO_UDP;
    protoent* ppe = getprotobyname(proto.c_str());
    if (!ppe)
        throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s'", proto));
    return ppe->p_proto;
}

// ---- reporting -----------------------------------------------------------------------

void TCustomWSocket::RaiseSocketException(const std::string& Msg)
{
    if (OnError) {
        TriggerError();
        return;
    }
    throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketExceptionFmt(const char* Fmt, ...)
{
    char text[1024];
    va_list args;
    va_start(args, Fmt);
    std::vsnprintf(text, sizeof text, Fmt, args);
    va_end(args);
    RaiseSocketException(text);
}

void TCustomWSocket::SocketError(const std::string& Sockfunc)
{
    int ErrCode = WSAGetLastError();
    std::string Line =
        "Error " + std::to_string(ErrCode) + " in function " + Sockfunc + "\r\n" + WSocketErrorDesc(ErrCode);
    if (ErrCode == WSAECONNRESET || ErrCode == WSAENOTCONN) {
        if (FHSocket != INVALID_SOCKET) {
            closesocket(FHSocket);
            ++FCloseCount;
        }
        FHSocket = INVALID_SOCKET;
        if (!CallOut(&TCustomWSocket::ChangeState, this, wsClosed))
            throw ESocketException(Line); // destroyed by its own handler
    }
    FLastError = ErrCode;
    RaiseSocketException(Line);
}

// ---- name lookup ------------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName)
{
    if (HostName.empty()) {
        RaiseSocketException("DNS lookup: invalid host name.");
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    wsocket_internal::LoadWinsock();
    if (DnsLookupHandle != 0) {
        // A new lookup replaces the pending one, silently.
        WSACancelAsyncRequest(DnsLookupHandle);
        DnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();

    // The same reading as the connect's and the certificate check's: an
    // address is the result at once, a text that is neither an address in
    // the usual form nor a name is refused, and only a name is looked up.
    const THostText host = WSocketReadHost(HostName);
    if (host.form == THostForm::Refused) {
        RaiseSocketException("DNS lookup: " + host.why);
        TriggerDnsLookupDone(WSAEINVAL);
        return;
    }
    if (host.form != THostForm::Name) {
        FDnsResult = host.text;
        TriggerDnsLookupDone(0);
        return;
    }
    if (FDnsAddrInfo) {
        freeaddrinfo(FDnsAddrInfo);
        FDnsAddrInfo = nullptr;
    }
    DnsLookupHandle = WSAAsyncGetAddrInfo(FWindowHandle, WM_ASYNCGETHOSTBYNAME, host.text.c_str(), &FDnsAddrInfo);
    if (DnsLookupHandle == 0)
        RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSAGetLastError());
}

void TCustomWSocket::WMAsyncGetHostByName(WPARAM wParam, LPARAM lParam)
{
    if (DnsLookupHandle == 0 || static_cast<HANDLE>(wParam) != DnsLookupHandle)
        return;
    DnsLookupHandle = 0;
    WORD error = HIWORD(lParam);
    // Both families, in the order the system prefers.
    for (const addrinfo* ai = FDnsAddrInfo; error == 0 && ai; ai = ai->ai_next) {
        sockaddr_storage sa{};
        std::memcpy(&sa, ai->ai_addr, std::min(ai->ai_addrlen, sizeof sa));
        const std::string text = WSocketAddrText(sa);
        if (!text.empty())
            FDnsResultList.push_back(text);
    }
    if (FDnsAddrInfo) {
        freeaddrinfo(FDnsAddrInfo);
        FDnsAddrInfo = nullptr;
    }
    if (!FDnsResultList.empty())
        FDnsResult = FDnsResultList.front();
    TriggerDnsLookupDone(error);
}

void TCustomWSocket::CancelDnsLookup()
{
    if (DnsLookupHandle == 0)
        return;
    if (WSACancelAsyncRequest(DnsLookupHandle) != 0) {
        DnsLookupHandle = 0;
        SocketError("WSACancelAsyncRequest");
        return;
    }
    DnsLookupHandle = 0;
    bool ownerDestroying = IsDestroying() || (Owner() && Owner()->IsDestroying());
    if (!ownerDestroying)
        TriggerDnsLookupDone(WSAEINTR);
}

// ---- peer queries -----------------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr()
{
    if (FState != wsConnected)
        return "error";
    sockaddr_storage saddr{};
    int len = sizeof saddr;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &len) != 0) {
        SocketError("GetPeerName");
        return "error";
    }
    return WSocketAddrText(saddr);
}

std::string TCustomWSocket::GetPeerPort()
{
    if (FState != wsConnected)
        return "error";
    sockaddr_storage saddr{};
    int len = sizeof saddr;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &len) != 0) {
        SocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocketAddrPort(saddr));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen)
{
    if (FState != wsConnected)
        return -1;
    return getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}
