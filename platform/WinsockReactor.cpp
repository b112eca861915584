// The readiness reactor: turns the message queue's epoll readiness into
// WSAAsyncSelect notifications, re-enabled the way Winsock re-enables them;
// and host look-ups on a helper thread whose result comes back as a message.
#include "platform/WinsockInternal.h"

#include <fcntl.h>
#include <sys/epoll.h>

#include <cerrno>
#include <exception>
#include <thread>
#include <unordered_map>

namespace winsock {
using namespace internal;

namespace {

std::uint32_t Desired(const SockRec& r)
{
    if (r.mask == 0 || r.hwnd == 0)
        return 0;
    if (r.listening)
        return ((r.mask & FD_ACCEPT) && r.acceptArmed) ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
    if (r.connecting)
        return EPOLLOUT;
    if (!r.connected)
        return 0;
    std::uint32_t ev = 0;
    if ((r.mask & FD_READ) && r.readArmed && !r.eof)
        ev |= EPOLLIN;
    if ((r.mask & FD_WRITE) && r.writeArmed)
        ev |= EPOLLOUT;
    if ((r.mask & FD_CLOSE) && !r.closeReported)
        ev |= EPOLLRDHUP;
    return ev;
}

void SetInterest(int fd, SockRec& r, std::uint32_t events)
{
    if (events == r.registered)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    int ep = MessageQueueFd();
    if (events == 0)
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    else if (r.registered == 0)
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    else
        epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
    r.registered = events;
}

int SocketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, px::SolSocket, px::SoError, &err, &len) != 0)
        return MapErrno(errno);
    return MapErrno(err);
}

int Readable(int fd)
{
    int n = 0;
    if (::ioctl(fd, px::Fionread, &n) != 0)
        return 0;
    return n;
}

// Readiness of one descriptor, from the message queue's poll. Turns it into
// at most one message of each kind; runs no program code.
void OnReady(int fd, std::uint32_t events)
{
    SockRec* rp = Find(fd);
    if (!rp) {
        epoll_ctl(MessageQueueFd(), EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    SockRec& r = *rp;
    std::uint32_t wanted = Desired(r);
    bool hangup = events & (EPOLLHUP | EPOLLRDHUP);

    if (r.listening) {
        if ((events & EPOLLIN) && (wanted & EPOLLIN)) {
            r.acceptArmed = false;
            Notify(fd, r, FD_ACCEPT, 0);
        }
    } else if (r.connecting) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
            int err = SocketError(fd);
            r.connecting = false;
            if (err == 0) {
                r.connected = true;
                if (r.mask & FD_CONNECT)
                    Notify(fd, r, FD_CONNECT, 0);
                // The connection is up and writable: FD_WRITE follows.
                if (r.mask & FD_WRITE)
                    Notify(fd, r, FD_WRITE, 0);
                r.writeArmed = false;
            } else {
                r.closeReported = true;
                if (r.mask & FD_CONNECT)
                    Notify(fd, r, FD_CONNECT, err);
            }
        }
    } else if (r.connected) {
        if (events & EPOLLERR) {
            // Reading the error clears it in the system: keep what an
            // earlier receive already took when there is nothing new.
            if (int err = SocketError(fd))
                r.pendingError = err;
        }
        if ((events & EPOLLIN) && (wanted & EPOLLIN)) {
            // At end of stream, EPOLLIN stays set; only real data is news.
            if (hangup || (events & EPOLLERR) || r.closeReported) {
                if (Readable(fd) > 0) {
                    r.readArmed = false;
                    Notify(fd, r, FD_READ, 0);
                } else {
                    r.eof = true;
                }
            } else {
                r.readArmed = false;
                Notify(fd, r, FD_READ, 0);
            }
        }
        if ((events & EPOLLOUT) && (wanted & EPOLLOUT)) {
            r.writeArmed = false;
            Notify(fd, r, FD_WRITE, 0);
        }
        if ((hangup || (events & EPOLLERR)) && !r.closeReported && (r.mask & FD_CLOSE)) {
            r.closeReported = true;
            Notify(fd, r, FD_CLOSE, (events & EPOLLERR) || r.pendingError ? r.pendingError : 0);
        }
    }

    std::uint32_t after = Desired(r);
    std::uint32_t unwanted = events & (EPOLLIN | EPOLLOUT | EPOLLRDHUP) & ~wanted;
    std::uint32_t next = (r.registered & ~unwanted) | after;
    if (hangup || (events & EPOLLERR)) {
        // Hang-up and error stay reported while registered: keep only what
        // is still wanted, so the poll does not spin.
        next = after & ~EPOLLRDHUP;
        if (!(after & EPOLLIN) && !(after & EPOLLOUT))
            next = 0;
    }
    if (r.connecting)
        next = after;
    SetInterest(fd, r, next);
}

struct ReactorHook {
    ReactorHook() { SetReadinessHandler(&OnReady); }
};

} // namespace

namespace internal {

void EnsureReactor()
{
    static ReactorHook hook;
}

void Rearm(int fd, SockRec& r)
{
    std::uint32_t want = Desired(r);
    if (want & ~r.registered)
        SetInterest(fd, r, r.registered | want);
}

void Notify(int fd, const SockRec& r, long event, int error)
{
    PostMessage(r.hwnd, r.msg, static_cast<WPARAM>(fd), MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(error)));
}

void StopNotifying(SOCKET s, const SockRec& r)
{
    if (r.registered)
        epoll_ctl(MessageQueueFd(), EPOLL_CTL_DEL, s, nullptr);
    // The handle number is reused by the next socket: its notifications
    // still queued must not reach whoever gets it.
    if (r.hwnd)
        PurgeMessages(r.hwnd, r.msg, static_cast<WPARAM>(s));
}

} // namespace internal

// ---- asynchronous notification ---------------------------------------------

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long event)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (event != 0 && !IsWindow(hwnd))
        return Fail(WSAEINVAL);
    int fl = ::fcntl(s, F_GETFL);
    if (::fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0)
        return FailErrno();
    r->nonBlocking = true;
    if (!r->connected && !r->listening && !r->connecting) {
        // A descriptor connected elsewhere (blocking connect, or taken over).
        px::SockAddrIn sin{};
        socklen_t len = sizeof sin;
        if (::getpeername(s, reinterpret_cast<::sockaddr*>(&sin), &len) == 0)
            r->connected = true;
    }
    r->hwnd = hwnd;
    r->msg = msg;
    r->mask = event;
    // A new selection re-enables every event (as Winsock: FD_WRITE at once
    // for a connected socket, FD_READ if data waits).
    r->readArmed = true;
    r->acceptArmed = true;
    r->writeArmed = r->connected;
    SetInterest(s, *r, Desired(*r));
    return 0;
}

// ---- asynchronous host look-up ---------------------------------------------

namespace {

struct Lookup {
    HWND hwnd;
    UINT msg;
    char* buf; // a host entry goes here (WSAAsyncGetHostByName)
    int buflen;
    addrinfo** list; // or an address list here (WSAAsyncGetAddrInfo)
};

std::unordered_map<HANDLE, Lookup>& Lookups()
{
    static auto* lookups = new std::unordered_map<HANDLE, Lookup>();
    return *lookups;
}

HANDLE NextLookup = 1;

// What a helper thread found for a name: its canonical form and addresses.
template <class Addr> struct Found {
    int error = 0;
    std::string name;
    std::vector<Addr> addrs;
};

// On the GUI thread: the helper finished lookup `id`. The completion
// message is posted; right before it is dispatched `deliver` writes the
// result where the caller asked for it (false: it did not, and has posted
// a message of its own).
template <class Addr, class Deliver> void LookupFinished(HANDLE id, const Found<Addr>& found, Deliver deliver)
{
    auto it = Lookups().find(id);
    if (it == Lookups().end())
        return; // cancelled
    const Lookup lk = it->second;
    const bool posted = PostConditionalMessage(lk.hwnd, lk.msg, static_cast<WPARAM>(id),
                                               MAKELPARAM(0, static_cast<WORD>(found.error)), [id, found, deliver] {
                                                   auto entry = Lookups().find(id);
                                                   if (entry == Lookups().end())
                                                       return false; // cancelled while queued
                                                   const Lookup l = entry->second;
                                                   Lookups().erase(entry);
                                                   return deliver(id, l, found);
                                               });
    if (!posted)
        Lookups().erase(id);
}

// Starts lookup `lookup`: `resolve` runs on a helper thread, which only
// resolves and hands the result back to the GUI thread; it never touches
// the caller's objects. 0 (with the error set) when no thread can start.
template <class Addr, class Resolve, class Deliver>
HANDLE StartLookup(const Lookup& lookup, Resolve resolve, Deliver deliver)
{
    HANDLE id = NextLookup++;
    Lookups()[id] = lookup;
    try {
        std::thread([id, resolve, deliver] {
            Found<Addr> found;
            found.error = resolve(found.name, found.addrs);
            RunOnLoopThread([id, found, deliver] { LookupFinished(id, found, deliver); });
        }).detach();
    } catch (const std::exception&) {
        Lookups().erase(id);
        Fail(WSAENOBUFS);
        return 0;
    }
    return id;
}

// Why a lookup cannot start, or 0.
int LookupArgumentError(HWND hwnd, bool argumentsGiven)
{
    if (!argumentsGiven)
        return WSAEFAULT;
    if (!IsWindow(hwnd))
        return WSAEINVAL;
    return 0;
}

} // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen)
{
    EnsureReactor();
    if (const int error = LookupArgumentError(hwnd, name && buf && buflen > 0)) {
        Fail(error);
        return 0;
    }
    const std::string host = name;
    return StartLookup<std::uint32_t>(
        Lookup{hwnd, msg, buf, buflen, nullptr},
        [host](std::string& canonical, std::vector<std::uint32_t>& addrs) {
            return ResolveName(host, canonical, addrs);
        },
        [](HANDLE id, const Lookup& l, const Found<std::uint32_t>& found) {
            if (found.error == 0 && WriteHostEntry(l.buf, l.buflen, found.name, found.addrs) != 0) {
                // Too small a buffer; the caller sees it through the
                // message it gets next. Rare: a name with many addresses.
                PostMessage(l.hwnd, l.msg, static_cast<WPARAM>(id), MAKELPARAM(0, static_cast<WORD>(WSAENOBUFS)));
                return false;
            }
            return true;
        });
}

HANDLE WSAAsyncGetAddrInfo(HWND hwnd, UINT msg, const char* name, addrinfo** result)
{
    EnsureReactor();
    if (const int error = LookupArgumentError(hwnd, name && result)) {
        Fail(error);
        return 0;
    }
    const std::string host = name;
    // The list is made on the GUI thread right before the completion is
    // dispatched.
    return StartLookup<FoundAddr>(
        Lookup{hwnd, msg, nullptr, 0, result},
        [host](std::string& canonical, std::vector<FoundAddr>& addrs) {
            return ResolveAddrs(host, px::AfUnspec, canonical, addrs);
        },
        [](HANDLE, const Lookup& l, const Found<FoundAddr>& found) {
            *l.list = found.error == 0 ? MakeAddrInfo(found.name, found.addrs, SOCK_STREAM, IPPROTO_TCP, 0) : nullptr;
            return true;
        });
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle)
{
    if (Lookups().erase(asyncTaskHandle) == 0)
        return Fail(WSAEINVAL);
    return 0;
}

} // namespace winsock
