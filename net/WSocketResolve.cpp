// Name resolution, name lookups, peer queries and error reporting.
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

} // namespace

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

winsock::u_long WSocketResolveHost(const std::string& InAddr)
{
    if (InAddr.empty() || InAddr.size() >= 257)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    std::string host = Trim(InAddr);
    if (!host.empty() && IsDigit(host[0])) {
        // A text starting with a digit is an address, never a name.
        winsock::u_long a = inet_addr(host.c_str());
        if (a == INADDR_NONE) {
            if (host == "255.255.255.255")
                return INADDR_BROADCAST;
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        }
        return a;
    }
    hostent* phe = gethostbyname(host.c_str());
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
        auto live = Alive();
        if (FHSocket != INVALID_SOCKET) {
            closesocket(FHSocket);
            ++FCloseCount;
        }
        FHSocket = INVALID_SOCKET;
        ChangeState(wsClosed);
        if (!live)
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

    winsock::u_long a = inet_addr(HostName.c_str());
    if (a != INADDR_NONE) {
        FDnsResult = inet_ntoa(in_addr{a});
        TriggerDnsLookupDone(0);
        return;
    }
    DnsLookupHandle = WSAAsyncGetHostByName(FWindowHandle, WM_ASYNCGETHOSTBYNAME, HostName.c_str(), DnsLookupBuffer,
                                            sizeof DnsLookupBuffer);
    if (DnsLookupHandle == 0)
        RaiseSocketExceptionFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(), WSAGetLastError());
}

void TCustomWSocket::WMAsyncGetHostByName(WPARAM wParam, LPARAM lParam)
{
    if (DnsLookupHandle == 0 || static_cast<HANDLE>(wParam) != DnsLookupHandle)
        return;
    DnsLookupHandle = 0;
    WORD error = HIWORD(lParam);
    if (error == 0) {
        const auto* phe = reinterpret_cast<const hostent*>(DnsLookupBuffer);
        for (char** p = phe->h_addr_list; p && *p; ++p) {
            in_addr a;
            std::memcpy(&a.s_addr, *p, sizeof a.s_addr);
            FDnsResultList.push_back(inet_ntoa(a));
        }
        if (!FDnsResultList.empty())
            FDnsResult = FDnsResultList.front();
    }
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
    sockaddr_in saddr{};
    int len = sizeof saddr;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &len) != 0) {
        SocketError("GetPeerName");
        return "error";
    }
    return inet_ntoa(saddr.sin_addr);
}

std::string TCustomWSocket::GetPeerPort()
{
    if (FState != wsConnected)
        return "error";
    sockaddr_in saddr{};
    int len = sizeof saddr;
    if (getpeername(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &len) != 0) {
        SocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(ntohs(saddr.sin_port));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen)
{
    if (FState != wsConnected)
        return -1;
    return getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}
