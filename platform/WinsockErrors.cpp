// Winsock's error codes over errno, the thread's last error, and the
// counted start-up and clean-up.
#include "platform/WinsockInternal.h"

#include <cerrno>
#include <cstring>

namespace winsock {
using namespace internal;

namespace {

thread_local int tLastError = 0;
int Startups = 0;

} // namespace

namespace internal {

int MapErrno(int e)
{
    switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
    }
}

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno()
{
    return Fail(MapErrno(errno));
}

bool EndsConnection(int wsaError)
{
    switch (wsaError) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAETIMEDOUT:
    case WSAENETRESET:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN: return true;
    default: return false;
    }
}

} // namespace internal

// ---- start-up and errors -------------------------------------------------------

int WSAStartup(std::uint16_t versionRequested, WSAData* data)
{
    if ((versionRequested & 0xFF) < 1)
        return WSAVERNOTSUPPORTED;
    EnsureReactor();
    ++Startups;
    if (data) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = MAKEWORD(1, 1);
        data->wHighVersion = MAKEWORD(1, 1);
        std::strcpy(data->szDescription, "Parcelo sockets");
        std::strcpy(data->szSystemStatus, "Running");
        data->iMaxSockets = 32767;
        data->iMaxUdpDg = 65467;
    }
    return 0;
}

int WSACleanup()
{
    if (Startups == 0)
        return Fail(WSANOTINITIALISED);
    --Startups;
    return 0;
}

bool WSAIsStarted()
{
    return Startups > 0;
}

int WSAGetLastError()
{
    return tLastError;
}

void WSASetLastError(int error)
{
    tLastError = error;
}

} // namespace winsock
