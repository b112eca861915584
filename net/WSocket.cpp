// The socket core: object and window, state machine, notifications,
// connect, listen, accept, take-over and close.
#include "net/WSocket.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/WSocketInternal.h"

using namespace winsock;

namespace {

// The timer that starts ConnectAny's next attempt.
constexpr UINT_PTR ConnectAttemptTimer = 0x5741;

int LiveSockets = 0;
bool WinsockLoaded = false;

// A handler that keeps data unread is called again at most this many times
// per notification before the other messages get their turn.
constexpr int ReceiveBudget = 32;

} // namespace

namespace wsocket_internal {

void LoadWinsock()
{
    if (WinsockLoaded)
        return;
    WSAData data;
    int rc = WSAStartup(MAKEWORD(1, 1), &data);
    if (rc != 0) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: WSAStartup error #%d", "wsock32.dll", rc);
        throw ESocketException(text);
    }
    WinsockLoaded = true;
}

void UnloadWinsock()
{
    if (!WinsockLoaded)
        return;
    WSACleanup();
    WinsockLoaded = false;
}

} // namespace wsocket_internal

using wsocket_internal::LoadWinsock;

const char* ToString(TSocketState state)
{
    switch (state) {
    case wsInvalidState: return "wsInvalidState";
    case wsOpened: return "wsOpened";
    case wsBound: return "wsBound";
    case wsConnecting: return "wsConnecting";
    case wsConnected: return "wsConnected";
    case wsAccepting: return "wsAccepting";
    case wsListening: return "wsListening";
    case wsClosed: return "wsClosed";
    }
    return "?";
}

// ---- object and window ---------------------------------------------------------

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner)
{
    FWindowHandle = CreateHiddenWindow(&SocketWindowProc, reinterpret_cast<LONG_PTR>(this));
    TCustomWSocket::AssignDefaultValue();
    ++LiveSockets;
}

TCustomWSocket::~TCustomWSocket()
{
    Destroying();
    try {
        CancelDnsLookup();
    } catch (...) { }
    DropAttempts();
    try {
        if (FState != wsClosed)
            Close();
    } catch (...) { }
    if (FDnsAddrInfo)
        freeaddrinfo(FDnsAddrInfo);
    if (FHSocket != INVALID_SOCKET) {
        // A handle left open by a failed open step.
        closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
    }
    FLifeline.End();
    if (--LiveSockets < 1) {
        LiveSockets = 0;
        wsocket_internal::UnloadWinsock();
    }
    BufList.clear();
    SetWindowLongPtr(FWindowHandle, 0, 0);
    DestroyWindow(FWindowHandle);
}

int TCustomWSocket::InstanceCount()
{
    return LiveSockets;
}

LRESULT TCustomWSocket::SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* obj = reinterpret_cast<TCustomWSocket*>(GetWindowLongPtr(hwnd, 0));
    if (!obj)
        return DefWindowProc(hwnd, msg, wParam, lParam);
    return obj->WndProc(msg, wParam, lParam);
}

LRESULT TCustomWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    const bool ours = Msg == WM_ASYNCSELECT || Msg == WM_ASYNCGETHOSTBYNAME || Msg == WM_CONNECT_ATTEMPT ||
                      (Msg == WM_TIMER && wParam == ConnectAttemptTimer) || Msg == WM_ASYNCGETHOSTBYADDR;
    if (!ours)
        return DefWindowProc(FWindowHandle, Msg, wParam, lParam);
    // An exception aborts the socket (unless OnBgException says otherwise).
    RunHandlers([&] {
        if (Msg == WM_ASYNCSELECT)
            WMAsyncSelect(wParam, lParam);
        else if (Msg == WM_ASYNCGETHOSTBYNAME)
            WMAsyncGetHostByName(wParam, lParam);
        else if (Msg == WM_CONNECT_ATTEMPT)
            WMConnectAttempt(wParam, lParam);
        else if (Msg == WM_TIMER)
            StartNextAttempt();
        // Reverse lookups are never started: WM_ASYNCGETHOSTBYADDR has
        // nothing to do.
    });
    return 0;
}

void TCustomWSocket::AssignDefaultValue()
{
    std::memset(&FRemoteSockAddr, 0, sizeof FRemoteSockAddr);
    FRemoteSockAddr.ss_family = AF_INET;
    AddrFormat = PF_INET;
    PortAssigned = false;
    AddrAssigned = false;
    AddrResolved = false;
    PortResolved = false;
    ProtoResolved = false;
    LocalPortResolved = false;
    ProtoAssigned = true;
    ProtoNum = IPPROTO_TCP;
    ProtoStr = "tcp";
    SocketType = SOCK_STREAM;
    LocalPortStr = "0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FHeldEvents = 0;
    FReadCount = 0;
    CloseInvoked = false;
    FFlushTimeout = 60;
}

void TCustomWSocket::ChangeState(TSocketState NewState)
{
    TSocketState OldState = FState;
    FState = NewState;
    TriggerChangeState(OldState, NewState);
}

// ---- properties ------------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& Value)
{
    if (AddrAssigned && Value == AddrStr)
        return;
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change Addr if not closed");
        return;
    }
    AddrStr = wsocket_internal::Trim(Value);
    AddrAssigned = !AddrStr.empty();
    if (AddrAssigned)
        AddrResolved = false;
}

void TCustomWSocket::SetPort(const std::string& Value)
{
    if (PortAssigned && Value == PortStr)
        return;
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change Port if not closed");
        return;
    }
    PortStr = wsocket_internal::Trim(Value);
    PortAssigned = !PortStr.empty();
    if (PortAssigned)
        PortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& Value)
{
    if (ProtoAssigned && Value == ProtoStr)
        return;
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change Proto if not closed");
        return;
    }
    ProtoStr = wsocket_internal::Trim(Value);
    ProtoAssigned = !ProtoStr.empty();
    if (ProtoAssigned)
        ProtoResolved = false;
}

void TCustomWSocket::SetLocalPort(const std::string& Value)
{
    if (FState != wsClosed) {
        RaiseSocketException("Cannot change LocalPort if not closed");
        return;
    }
    LocalPortStr = Value;
    LocalPortResolved = false;
}

TSocketSendFlags TCustomWSocket::SendFlags()
{
    switch (FSendFlags) {
    case 0: return wsSendNormal;
    case MSG_OOB: return wsSendUrgent;
    default: RaiseSocketException("Invalid internal SendFlags"); return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = MSG_OOB; break;
    default: RaiseSocketException("Invalid SendFlags"); break;
    }
}

// ---- notifications -----------------------------------------------------------------

void TCustomWSocket::WMAsyncSelect(WPARAM wParam, LPARAM lParam)
{
    // A late message for a handle closed since.
    if (static_cast<SOCKET>(wParam) != FHSocket)
        return;
    WORD events = LOWORD(lParam);
    WORD error = HIWORD(lParam);
    if (FPaused) {
        // Reads and writes come back when Resume selects again; a connect
        // outcome or a close would not, so they wait for Resume.
        if (events & FD_CONNECT) {
            FHeldEvents |= FD_CONNECT;
            FHeldConnectError = error;
        }
        if (events & FD_CLOSE) {
            FHeldEvents |= FD_CLOSE;
            FHeldCloseError = error;
        }
        return;
    }
    if ((events & FD_CONNECT) && !CallOut(&TCustomWSocket::Do_FD_CONNECT, this, error))
        return;
    if ((events & FD_READ) && !CallOut(&TCustomWSocket::Do_FD_READ, this, error))
        return;
    if ((events & FD_WRITE) && !CallOut(&TCustomWSocket::Do_FD_WRITE, this, error))
        return;
    if ((events & FD_ACCEPT) && !CallOut(&TCustomWSocket::Do_FD_ACCEPT, this, error))
        return;
    if (events & FD_CLOSE)
        Do_FD_CLOSE(error);
}

void TCustomWSocket::Do_FD_CONNECT(WORD Error)
{
    std::uint64_t closes = FCloseCount;
    if (!CallOut(&TCustomWSocket::ChangeState, this, wsConnected) ||
        !CallOut(&TCustomWSocket::TriggerSessionConnected, this, Error))
        return;
    // A failed connect is closed here, unless a handler did it already
    // (and may have started a new connection, which stays).
    if (Error != 0 && FCloseCount == closes && FState != wsClosed)
        Close();
}

void TCustomWSocket::Do_FD_READ(WORD Error)
{
    ASyncReceive(Error);
}

void TCustomWSocket::Do_FD_WRITE(WORD Error)
{
    if (!CallOut(&TCustomWSocket::TryToSend, this))
        return;
    if (FAllSent)
        TriggerDataSent(Error);
}

void TCustomWSocket::Do_FD_ACCEPT(WORD Error)
{
    TriggerSessionAvailable(Error);
}

void TCustomWSocket::Do_FD_CLOSE(WORD Error)
{
    if (FState == wsConnecting)
        return;
    std::uint64_t closes = FCloseCount;
    // Data that arrived before the close is delivered first.
    if (!CallOut(&TCustomWSocket::ASyncReceive, this, 0, true))
        return;
    // A handler that closed the connection meanwhile has had its closed
    // event from that close; whatever it opened since is not this notice's.
    if (FCloseCount != closes)
        return;
    if (OnSessionClosed && !CloseInvoked) {
        CloseInvoked = true;
        if (!CallOut(&TCustomWSocket::TriggerSessionClosed, this, Error))
            return;
    }
    if (FCloseCount == closes && FState != wsClosed)
        Close();
}

// The receive loop of one read notification. The handler is called again
// while bytes stay readable. On a read notification a budget bounds that,
// so one busy connection cannot hold up the window; before a close
// (draining) it goes on as long as the handler keeps reading.
void TCustomWSocket::ASyncReceive(WORD Error, bool Draining)
{
    // Taken by hand: the guard spans the handler of an exception.
    const auto live = Alive();
    for (int round = 1;; ++round) {
        std::uint64_t recvBefore = RecvCalls;
        FLastError = 0;
        try {
            if (!TriggerDataAvailable(Error)) {
                // Nobody takes the data: drain and discard it.
                char junk[1024];
                if (DoRecv(junk, sizeof junk, 0) < 0) {
                    FLastError = WSAGetLastError();
                    if (FLastError == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                }
            }
            if (!live)
                return;
            if (FLastError != 0 || FHSocket == INVALID_SOCKET)
                break;
            winsock::u_long n = 0;
            if (ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR) {
                FLastError = WSAGetLastError();
                break;
            }
            // A layer may hold payload the system no longer counts.
            if (n == 0 && !LayerHasData())
                break;
        } catch (...) {
            // A handler's exception ends the loop; it is not a background
            // exception.
            if (!live)
                return;
            break;
        }
        if (Draining) {
            if (RecvCalls == recvBefore)
                break; // the handler will not read: do not spin
            continue;
        }
        if (round >= ReceiveBudget) {
            // A handler that read has re-enabled the notification already;
            // one that did not gets called again after the other messages,
            // and so does payload a layer holds (the system will not
            // announce it again).
            if (RecvCalls == recvBefore || LayerHasData())
                PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), MAKELPARAM(FD_READ, 0));
            break;
        }
    }
}

// ---- triggers -------------------------------------------------------------------------

bool TCustomWSocket::TriggerDataAvailable(WORD Error)
{
    if (!OnDataAvailable)
        return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(WORD Error)
{
    if (OnSessionAvailable)
        OnSessionAvailable(this, Error);
}

void TCustomWSocket::TriggerSessionConnected(WORD Error)
{
    if (OnSessionConnected)
        OnSessionConnected(this, Error);
}

void TCustomWSocket::TriggerSessionClosed(WORD Error)
{
    if (OnSessionClosed)
        OnSessionClosed(this, Error);
}

void TCustomWSocket::TriggerDataSent(WORD Error)
{
    if (OnDataSent)
        OnDataSent(this, Error);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState)
{
    if (OnChangeState)
        OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerDnsLookupDone(WORD Error)
{
    if (OnDnsLookupDone)
        OnDnsLookupDone(this, Error);
}

void TCustomWSocket::TriggerError()
{
    if (OnError)
        OnError(this);
}

void TCustomWSocket::HandleBackgroundException(const std::exception& E)
{
    bool CanClose = true;
    if (OnBgException && !CallOut([&] {
            try {
                OnBgException(this, E, CanClose);
            } catch (...) { }
        }))
        return;
    if (CanClose) {
        try {
            Abort();
        } catch (...) { }
    }
}

// ---- opening ------------------------------------------------------------------------------

bool TCustomWSocket::ResolveForOpen(const char* Prefix, bool WithLocalPort)
{
    try {
        if (!ProtoResolved) {
            ProtoNum = WSocketResolveProto(ProtoStr);
            SocketType = ProtoNum == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            ProtoResolved = true;
        }
        if (!PortResolved) {
            PortNum = WSocketResolvePort(PortStr, ProtoStr);
            PortResolved = true;
        }
        if (WithLocalPort && !LocalPortResolved) {
            LocalPortNum = WSocketResolvePort(LocalPortStr, ProtoStr);
            LocalPortResolved = true;
        }
        if (!AddrResolved) {
            FRemoteSockAddr = WSocketResolveHostAddr(AddrStr);
            AddrResolved = true;
        }
        // The connection's family follows its address.
        AddrFormat = FRemoteSockAddr.ss_family == AF_INET6 ? PF_INET6 : PF_INET;
        wsocket_internal::SetAddrPort(FRemoteSockAddr, static_cast<std::uint16_t>(PortNum));
    } catch (const std::exception& E) {
        RaiseSocketException(std::string(Prefix) + E.what());
        return false;
    }
    if (SocketType == SOCK_DGRAM) {
        // Parcelo only speaks TCP; datagram sockets are not built.
        RaiseSocketException(std::string(Prefix) + "datagram sockets are not supported");
        return false;
    }
    return true;
}

// ConnectAny brings its own addresses: it needs no Addr.
bool TCustomWSocket::ReadyToConnect(bool NeedAddr)
{
    if ((FHSocket != INVALID_SOCKET && FState != wsClosed) || !FAttempts.empty()) {
        RaiseSocketException("Connect: Socket already in use");
        return false;
    }
    if (!PortAssigned) {
        RaiseSocketException("Connect: No Port Specified");
        return false;
    }
    if (NeedAddr && !AddrAssigned) {
        RaiseSocketException("Connect: No IP Address Specified");
        return false;
    }
    if (!ProtoAssigned) {
        RaiseSocketException("Connect: No Protocol Specified");
        return false;
    }
    LoadWinsock();
    return true;
}

void TCustomWSocket::Connect()
{
    if (!ReadyToConnect(true))
        return;
    if (!ResolveForOpen("connect: ", true))
        return;

    DeleteBufferedData();
    FHSocket = socket(AddrFormat, SocketType, ProtoNum);
    if (FHSocket == INVALID_SOCKET) {
        SocketError("Connect (socket)");
        return;
    }
    if (!CallOut(&TCustomWSocket::ChangeState, this, wsOpened))
        return;

    if (!PrepareConnectHandle(FHSocket))
        return;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT,
                       FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR) {
        SocketError("WSAAsyncSelect");
        return;
    }
    if (connect(FHSocket, reinterpret_cast<const sockaddr*>(&FRemoteSockAddr), WSocketAddrLen(FRemoteSockAddr)) ==
        SOCKET_ERROR) {
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            FLastError = err;
            SocketError("Connect");
            return;
        }
    }
    // The outcome arrives as FD_CONNECT.
    ChangeState(wsConnecting);
}

void TCustomWSocket::ConnectAny(const std::vector<std::string>& Addresses)
{
    if (Addresses.size() <= 1) {
        SetAddr(Addresses.empty() ? std::string() : Addresses.front());
        Connect();
        return;
    }
    if (!ReadyToConnect(false))
        return;
    // The first address stands for the connection until one is made (a
    // text that is no address is reported here, as by Connect).
    SetAddr(Addresses.front());
    if (!ResolveForOpen("connect: ", true))
        return;
    DeleteBufferedData();
    FAttemptAddrs = Addresses;
    FNextAttempt = 0;
    FAttemptError = 0;
    if (!CallOut(&TCustomWSocket::ChangeState, this, wsOpened) ||
        !CallOut(&TCustomWSocket::ChangeState, this, wsConnecting))
        return;
    StartNextAttempt();
}

// Starts the next address's attempt (skipping those that fail at once);
// when none is left and none is in flight, the connect has failed.
void TCustomWSocket::StartNextAttempt()
{
    KillTimer(FWindowHandle, ConnectAttemptTimer);
    if (FState != wsConnecting || FHSocket != INVALID_SOCKET)
        return;
    while (FNextAttempt < FAttemptAddrs.size()) {
        const std::string text = FAttemptAddrs[FNextAttempt++];
        const THostText host = WSocketReadHost(text);
        if (host.form != THostForm::IPv4 && host.form != THostForm::IPv6) {
            FAttemptError = WSAEINVAL;
            continue;
        }
        sockaddr_storage addr = wsocket_internal::AddrOf(host);
        wsocket_internal::SetAddrPort(addr, static_cast<std::uint16_t>(PortNum));
        const int family = host.form == THostForm::IPv6 ? AF_INET6 : AF_INET;
        SOCKET handle = socket(family, SocketType, ProtoNum);
        if (handle == INVALID_SOCKET) {
            FAttemptError = static_cast<WORD>(WSAGetLastError());
            continue;
        }
        const int savedFormat = AddrFormat;
        AddrFormat = family == AF_INET6 ? PF_INET6 : PF_INET;
        bool prepared = false;
        if (!CallOut([&] { prepared = PrepareConnectHandle(handle); })) {
            // Destroyed by a handler: nothing of it may be touched.
            closesocket(handle);
            return;
        }
        AddrFormat = savedFormat;
        int err = 0;
        if (!prepared || WSAAsyncSelect(handle, FWindowHandle, WM_CONNECT_ATTEMPT, FD_CONNECT) == SOCKET_ERROR)
            err = prepared ? WSAGetLastError() : FLastError;
        else if (connect(handle, reinterpret_cast<const sockaddr*>(&addr), WSocketAddrLen(addr)) == SOCKET_ERROR &&
                 WSAGetLastError() != WSAEWOULDBLOCK)
            err = WSAGetLastError();
        if (err != 0) {
            closesocket(handle);
            FAttemptError = static_cast<WORD>(err);
            continue;
        }
        FAttempts.push_back(TConnectAttempt{handle, host.text, addr});
        // The next address gets its turn when this one has not answered
        // within the head start (or at once, when it fails).
        if (FNextAttempt < FAttemptAddrs.size())
            SetTimer(FWindowHandle, ConnectAttemptTimer, ConnectAttemptDelayMs);
        return;
    }
    if (!FAttempts.empty())
        return;
    // Every address failed: the outcome is the last failure's, reported as
    // a failed connect on a handle of its own.
    FAttemptAddrs.clear();
    const WORD error = FAttemptError != 0 ? FAttemptError : static_cast<WORD>(WSAECONNREFUSED);
    FLastError = error;
    FHSocket = socket(AddrFormat, SocketType, ProtoNum);
    Do_FD_CONNECT(error);
}

void TCustomWSocket::WMConnectAttempt(WPARAM wParam, LPARAM lParam)
{
    const auto handle = static_cast<SOCKET>(wParam);
    auto it = std::find_if(FAttempts.begin(), FAttempts.end(),
                           [handle](const TConnectAttempt& a) { return a.handle == handle; });
    if (it == FAttempts.end() || !(LOWORD(lParam) & FD_CONNECT))
        return;
    const WORD error = HIWORD(lParam);
    if (error != 0) {
        closesocket(handle);
        FAttempts.erase(it);
        FAttemptError = error;
        StartNextAttempt();
        return;
    }
    // This one won: the others go, and the socket carries on with it.
    TConnectAttempt won = *it;
    FAttempts.erase(it);
    DropAttempts();
    FHSocket = won.handle;
    AddrStr = won.text;
    AddrResolved = true;
    FRemoteSockAddr = won.addr;
    AddrFormat = won.addr.ss_family == AF_INET6 ? PF_INET6 : PF_INET;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT,
                       FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR) {
        SocketError("WSAAsyncSelect");
        return;
    }
    WMAsyncSelect(static_cast<WPARAM>(FHSocket), MAKELPARAM(static_cast<WORD>(FD_CONNECT), 0));
}

void TCustomWSocket::DropAttempts()
{
    if (FAttempts.empty() && FAttemptAddrs.empty())
        return;
    KillTimer(FWindowHandle, ConnectAttemptTimer);
    for (const TConnectAttempt& a : FAttempts)
        closesocket(a.handle);
    FAttempts.clear();
    FAttemptAddrs.clear();
    FNextAttempt = 0;
}

bool TCustomWSocket::PrepareConnectHandle(SOCKET Handle)
{
    // The option calls work on FHSocket: it is the handle for their span
    // (a ConnectAny attempt's handle is not FHSocket otherwise).
    const SOCKET own = FHSocket;
    FHSocket = Handle;
    if ((LocalPortNum != 0 && !CallOut(&TCustomWSocket::BindSocket, this)) ||
        !CallOut(&TCustomWSocket::SetLingerOption, this))
        return false;
    const char* failed = nullptr;
    int optval = -1;
    if (setsockopt(Handle, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&optval), sizeof optval) ==
        SOCKET_ERROR)
        failed = "setsockopt(SO_KEEPALIVE)";
    else if (setsockopt(Handle, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&optval), sizeof optval) ==
             SOCKET_ERROR)
        failed = "setsockopt(SO_REUSEADDR)";
    FHSocket = own;
    if (failed)
        SocketError(failed);
    return failed == nullptr;
}

void TCustomWSocket::BindSocket()
{
    // The local address of the connection's family, any interface.
    sockaddr_storage local{};
    local.ss_family = static_cast<std::int16_t>(AddrFormat == PF_INET6 ? AF_INET6 : AF_INET);
    wsocket_internal::SetAddrPort(local, static_cast<std::uint16_t>(LocalPortNum));
    if (bind(FHSocket, reinterpret_cast<const sockaddr*>(&local), WSocketAddrLen(local)) == SOCKET_ERROR) {
        RaiseSocketExceptionFmt("winsock.bind failed, error #%d", WSAGetLastError());
        return;
    }
    int len = sizeof local;
    if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&local), &len) == SOCKET_ERROR) {
        RaiseSocketExceptionFmt("winsock.getsockname failed, error #%d", WSAGetLastError());
        return;
    }
    LocalPortNum = WSocketAddrPort(local);
    LocalPortStr = std::to_string(LocalPortNum);
}

void TCustomWSocket::SetLingerOption()
{
    if (FLingerOnOff == wsLingerNoSet)
        return;
    if (FHSocket == INVALID_SOCKET) {
        RaiseSocketException("Cannot set linger option at this time");
        return;
    }
    linger l{static_cast<winsock::u_short>(FLingerOnOff == wsLingerOn ? 1 : 0),
             static_cast<winsock::u_short>(FLingerTimeout & 0xFFFF)};
    if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == SOCKET_ERROR)
        SocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Listen()
{
    if (!PortAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: port not assigned");
        return;
    }
    if (!ProtoAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: protocol not assigned");
        return;
    }
    if (!AddrAssigned) {
        WSASetLastError(WSAEINVAL);
        SocketError("listen: address not assigned");
        return;
    }
    if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        // Opening another handle would lose this one.
        RaiseSocketException("listen: Socket already in use");
        return;
    }
    LoadWinsock();
    if (!ResolveForOpen("listen: ", false))
        return;

    DeleteBufferedData();
    FHSocket = socket(AddrFormat, SocketType, ProtoNum);
    if (FHSocket == INVALID_SOCKET) {
        SocketError("socket");
        return;
    }
    if (bind(FHSocket, reinterpret_cast<const sockaddr*>(&FRemoteSockAddr), WSocketAddrLen(FRemoteSockAddr)) ==
        SOCKET_ERROR) {
        // Close the new handle before reporting: the state is still
        // wsClosed, so no later Close would ever free it.
        int err = WSAGetLastError();
        closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        WSASetLastError(err);
        SocketError("Bind");
        Close();
        return;
    }
    if (!CallOut(&TCustomWSocket::ChangeState, this, wsBound))
        return;
    if (listen(FHSocket, 5) == SOCKET_ERROR) {
        ReportAndClose("Listen");
        return;
    }
    if (!CallOut(&TCustomWSocket::ChangeState, this, wsListening))
        return;
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE) ==
        SOCKET_ERROR)
        ReportAndClose("WSAASyncSelect");
}

// A failed step of Listen or Dup: the handle is this object's, so it is
// closed (quietly, as nothing was ever connected on it) before the report,
// whether the report returns or throws.
void TCustomWSocket::ReportAndClose(const char* Sockfunc)
{
    int err = WSAGetLastError();
    if (FHSocket != INVALID_SOCKET) {
        closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        ++FCloseCount;
    }
    if (FState != wsClosed && !CallOut(&TCustomWSocket::ChangeState, this, wsClosed))
        return;
    WSASetLastError(err);
    SocketError(Sockfunc);
}

SOCKET TCustomWSocket::Accept()
{
    if (FState != wsListening) {
        WSASetLastError(WSAEINVAL);
        SocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int len = sizeof FRemoteSockAddr;
    FAcceptedSocket = accept(FHSocket, reinterpret_cast<sockaddr*>(&FRemoteSockAddr), &len);
    if (FAcceptedSocket == INVALID_SOCKET) {
        SocketError("Accept");
        return INVALID_SOCKET;
    }
    return FAcceptedSocket;
}

void TCustomWSocket::Dup(SOCKET NewHSocket)
{
    if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        SocketError("Dup");
        return;
    }
    LoadWinsock();
    if (FState != wsClosed) {
        int rc = FHSocket == INVALID_SOCKET ? 0 : closesocket(FHSocket);
        FHSocket = INVALID_SOCKET;
        ++FCloseCount;
        if (rc != 0) {
            SocketError("Dup (closesocket)");
            return;
        }
        if (!CallOut(&TCustomWSocket::ChangeState, this, wsClosed))
            return;
    }
    FHSocket = NewHSocket;
    if (FLingerOnOff != wsLingerNoSet) {
        linger l{static_cast<winsock::u_short>(FLingerOnOff == wsLingerOn ? 1 : 0),
                 static_cast<winsock::u_short>(FLingerTimeout & 0xFFFF)};
        if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == SOCKET_ERROR) {
            ReportAndClose("setsockopt(SO_LINGER)");
            return;
        }
    }
    if (WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) ==
        SOCKET_ERROR) {
        ReportAndClose("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

// ---- closing -------------------------------------------------------------------------------

void TCustomWSocket::Close()
{
    InternalClose(true, 0);
}

void TCustomWSocket::InternalClose(bool bShut, WORD Error)
{
    DropAttempts();
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            if (!CallOut(&TCustomWSocket::ChangeState, this, wsClosed))
                return;
            AssignDefaultValue();
        }
        return;
    }
    if (FState == wsClosed)
        return;

    if (bShut) {
        ShutDown(SD_SEND);
        // A zero-second linger would reset the connection and throw away
        // what is still in the system's send buffer; a graceful close must
        // deliver it.
        if (FLingerOnOff == wsLingerOn && (FLingerTimeout & 0xFFFF) == 0) {
            linger l{0, 0};
            setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        }
    }

    for (;;) {
        if (FHSocket == INVALID_SOCKET)
            break; // closed meanwhile, by a handler run from the pump
        if (closesocket(FHSocket) == 0)
            break;
        int err = WSAGetLastError();
        FLastError = err;
        if (err == WSAEWOULDBLOCK) {
            if (!CallOut(&TCustomWSocket::MessagePump, this))
                return;
            continue;
        }
        if (err == WSANOTINITIALISED)
            break;
        FHSocket = INVALID_SOCKET;
        ++FCloseCount;
        SocketError("Disconnect (closesocket)");
        return;
    }
    FHSocket = INVALID_SOCKET;
    ++FCloseCount;

    if (!CallOut(&TCustomWSocket::ChangeState, this, wsClosed))
        return;
    bool ownerDestroying = IsDestroying() || (Owner() && Owner()->IsDestroying());
    if (!ownerDestroying && !CloseInvoked && OnSessionClosed) {
        CloseInvoked = true;
        if (!CallOut(&TCustomWSocket::TriggerSessionClosed, this, Error))
            return;
    }
    try {
        AssignDefaultValue();
    } catch (...) { }
}

void TCustomWSocket::Abort()
{
    if (!CallOut(&TCustomWSocket::CancelDnsLookup, this))
        return;
    DeleteBufferedData();
    if (FState == wsConnected && ProtoNum == IPPROTO_TCP) {
        FLingerOnOff = wsLingerOff;
        SetLingerOption();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::ShutDown(int How)
{
    if (FHSocket != INVALID_SOCKET)
        shutdown(FHSocket, How);
}

// ---- receiving -------------------------------------------------------------------------------

int TCustomWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    if (BufferSize <= 0)
        return 0;
    ++RecvCalls;
    return recv(FHSocket, static_cast<char*>(Buffer), BufferSize, Flags);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int r = DoRecv(Buffer, BufferSize, 0);
    if (r < 0)
        FLastError = WSAGetLastError();
    else
        FReadCount += r;
    return r;
}

std::string TCustomWSocket::ReceiveStr()
{
    int n = GetRcvdCount();
    if (n <= 0)
        return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    int r = DoRecv(s.data(), n, 0);
    if (r < 1)
        return {};
    s.resize(static_cast<std::size_t>(r));
    return s;
}

int TCustomWSocket::GetRcvdCount()
{
    winsock::u_long n = 0;
    if (ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR) {
        SocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(n);
}

// ---- pausing, queries, message pumps ------------------------------------------------------

int TCustomWSocket::Pause()
{
    FPaused = true;
    return WSAAsyncSelect(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::Resume()
{
    FPaused = false;
    int result = WSAAsyncSelect(FHSocket, FWindowHandle, WM_ASYNCSELECT, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    // The notices held while paused, in their order: the connect outcome
    // before anything else, the close after the reads it follows.
    if (FHeldEvents & FD_CONNECT)
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                    MAKELPARAM(static_cast<WORD>(FD_CONNECT), FHeldConnectError));
    if (FHeldEvents & FD_CLOSE)
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                    MAKELPARAM(static_cast<WORD>(FD_CLOSE), FHeldCloseError));
    FHeldEvents = 0;
    return result;
}

int TCustomWSocket::GetSockName(sockaddr_in& saddr, int& saddrlen)
{
    return getsockname(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &saddrlen);
}

int TCustomWSocket::GetSockName(sockaddr_storage& saddr, int& saddrlen)
{
    return getsockname(FHSocket, reinterpret_cast<sockaddr*>(&saddr), &saddrlen);
}

void TCustomWSocket::MessagePump()
{
    if (!FMultiThreaded)
        ::ProcessMessages();
    else
        ProcessMessages();
}

void TCustomWSocket::ProcessMessages()
{
    // Everything queued now, and what it posts, up to a bound, so that the
    // caller's loop regains control.
    MSG msg;
    for (int i = 0; i < 1024 && PeekMessage(msg, PM_REMOVE); ++i) {
        if (msg.message == WM_QUIT && msg.hwnd == 0) {
            FTerminated = true;
            SetTerminating(true);
            continue;
        }
        TranslateMessage(msg);
        DispatchMessage(msg);
    }
}
