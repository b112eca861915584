// TWSocket: a non-blocking TCP socket component for the single GUI thread.
//
// No operation waits for the network. Everything that completes later
// (connection made, data arrived, send queue drained, peer closed, incoming
// connection, name lookup done) arrives as a message on the socket's hidden
// window and fires an event. Events are assignable callbacks; an event fires
// only when assigned. After any event the handler may have closed or even
// destroyed the socket; the component never touches a destroyed socket.
//
// Class chain: TCustomWSocket -> TCustomSocksWSocket (dormant SOCKS layer)
// -> TCustomSslWSocket (TLS) -> TCustomLineWSocket (line mode)
// -> TCustomSyncWSocket (flag wait) -> TWSocket.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Component.h"
#include "platform/Lifeline.h"
#include "platform/Messages.h"
#include "platform/Winsock.h"

using winsock::INVALID_SOCKET;
using winsock::SOCKET;
using winsock::SOCKET_ERROR;

// ---- enumerations and event types ---------------------------------------

enum TSocketState : int {
    wsInvalidState,
    wsOpened,
    wsBound,
    wsConnecting,
    wsConnected,
    wsAccepting,
    wsListening,
    wsClosed,
};
const char* ToString(TSocketState state);

enum TSocketSendFlags : int { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : int { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Error is the Winsock error code of the notification, 0 for success.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TDataAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TDataSent = std::function<void(TObject* Sender, WORD Error)>;
using TSessionClosed = std::function<void(TObject* Sender, WORD Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, WORD Error)>;
using TSessionConnected = std::function<void(TObject* Sender, WORD Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, WORD Error)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, const std::exception& E, bool& CanClose)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, int AuthState)>;
using TSslHandshakeDone = std::function<void(TObject* Sender, WORD Error)>;

// ---- messages of the socket's window ------------------------------------

inline constexpr UINT WM_ASYNCSELECT = WM_USER + 1;             // 1025
inline constexpr UINT WM_ASYNCGETHOSTBYNAME = WM_USER + 2;      // 1026
inline constexpr UINT WM_ASYNCGETHOSTBYADDR = WM_USER + 3;      // 1027
inline constexpr UINT WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20; // 1044
// The peer's close_notify: wParam is the connection it came on (the
// socket's close count then), so a later connection never takes it.
inline constexpr UINT WM_SSL_PEER_CLOSED = WM_USER + 21; // 1045
// The outcome of one connect attempt of ConnectAny (wParam its handle).
inline constexpr UINT WM_CONNECT_ATTEMPT = WM_USER + 22; // 1046

// ---- errors ---------------------------------------------------------------

// Error codes of the TLS layer, beside the Winsock ones (WSocketErrorDesc
// knows their texts; SslErrorText() has the detail of the last one).
inline constexpr WORD WSocketSslHandshakeFailed = 12101; // "TLS handshake failed"
inline constexpr WORD WSocketSslProtocolError = 12102;   // "TLS protocol error"
inline constexpr WORD WSocketSslTruncated = 12103;       // "TLS connection closed without close_notify"

class ESocketException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ESocketException"; }
};

// Fixed English text of a Winsock error code ("Not a WinSock error" for
// any code without one).
std::string WSocketErrorDesc(int ErrCode);

// How a host text is read. One reading serves the lookup, the connect
// and the certificate check, so that the address connected to is the
// address checked:
//   IPv4  inet_pton's form only: four decimal numbers 0-255, no leading
//         zeros ("192.0.2.1");
//   IPv6  inet_pton's form, bare or in brackets ("2001:db8::1",
//         "[2001:db8::1]"); no zone;
//   Name  anything else that can be a host name;
//   Refused  a text that some programs would read as an address and others
//         not, or differently: the short, octal and hexadecimal IPv4 forms
//         ("127.1", "2130706433", "0177.0.0.1", "0x7f.0.0.1"), a name whose
//         last label is a number ("1.2.3.4.5", "256.1.1.1"), a text with
//         ':' that is no IPv6 address ("fe80::1%eth0", "host:21",
//         "[::1]:21"), brackets around anything but an IPv6 address
//         ("[192.0.2.1]", "[host]"), a text with a blank or a control
//         character, and the empty text. `why` says so, for the user.
enum class THostForm : std::uint8_t { Refused, Name, IPv4, IPv6 };
struct THostText {
    THostForm form = THostForm::Refused;
    std::string text;             // the address in inet_ntop's form, or the name as given
    unsigned char bytes[16] = {}; // the address in network order
    std::size_t length = 0;       // 4 (IPv4), 16 (IPv6), 0 otherwise
    std::string why;              // Refused: why
};
[[nodiscard]] THostText WSocketReadHost(const std::string& Text);

// What a name lookup's error means, in words, with the number after:
// "Host name not found: ftp.example.invalid (error #11001)". The one place
// that words lookup errors.
std::string WSocketLookupErrorText(const std::string& Name, int Error);

// Address helpers for either family (IPv4 or IPv6, in Winsock's form).
// The address in inet_ntop's form ("192.0.2.1", "2001:db8::1"), "" for
// another family.
std::string WSocketAddrText(const winsock::sockaddr_storage& Addr);
// Whether two socket addresses hold the same address (ports ignored).
bool WSocketSameAddr(const winsock::sockaddr_storage& A, const winsock::sockaddr_storage& B);
// The port, in host order.
std::uint16_t WSocketAddrPort(const winsock::sockaddr_storage& Addr);
// The size of the family's socket address (sockaddr_in or sockaddr_in6).
int WSocketAddrLen(const winsock::sockaddr_storage& Addr);

// Resolution; each raises ESocketException with its own message.
// Host text -> IPv4 address in network order (the text read by
// WSocketReadHost after trimming blanks; a name is looked up for its IPv4
// addresses; an IPv6 address is refused).
winsock::u_long WSocketResolveHost(const std::string& InAddr);
// Host text -> socket address of either family, port 0 (as above; a name
// gives the first address the system prefers, IPv6 or IPv4).
winsock::sockaddr_storage WSocketResolveHostAddr(const std::string& InAddr);
// Port text (number or service name) -> port number in host order.
std::uint32_t WSocketResolvePort(const std::string& Port, const std::string& Proto);
// Protocol text (number or name) -> protocol number.
int WSocketResolveProto(const std::string& Proto);

// ---- the send queue's block -----------------------------------------------

class TBuffer {
public:
    explicit TBuffer(int Size);
    ~TBuffer() = default;
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Copies what fits behind the written bytes; returns the count.
    int Write(const void* Data, int Len);
    // The unsent bytes: their address and count (nullptr and 0 when none).
    const char* Peek(int& Len) const;
    // Takes up to Len bytes off the front; an emptied block restarts at 0.
    int Remove(int Len);
    void SetBufSize(int NewSize);

    int Size() const { return FSize; }
    int WrCount() const { return FWrCount; }
    int RdCount() const { return FRdCount; }

private:
    std::unique_ptr<char[]> FBuf;
    int FSize = 0;
    int FWrCount = 0;
    int FRdCount = 0;
};

// ---- the socket core ------------------------------------------------------

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;

    // Operations.
    virtual void Connect();
    // Connects to the first of Addresses (address texts, as DnsResultList
    // gives them) that answers on Port. The attempts start in their order:
    // each gets a head start of ConnectAttemptDelayMs before the next one
    // starts beside it, and one that fails (refused, unreachable) makes
    // way for the next at once. The first connection made wins, the other
    // attempts are closed, and Addr becomes the address connected to; one
    // OnSessionConnected reports the outcome (the last attempt's error
    // when none connected). One address is an ordinary Connect.
    virtual void ConnectAny(const std::vector<std::string>& Addresses);
    static constexpr int ConnectAttemptDelayMs = 250;
    virtual void Listen();
    virtual SOCKET Accept();
    virtual void Dup(SOCKET NewHSocket);
    virtual void Close();
    virtual void Abort();
    virtual void ShutDown(int How);
    virtual int Send(const void* Data, int Len);
    // A string longer than one Send can take (2 GiB) is not sent: the call
    // reports "SendStr: ..." (error 10040) and returns -1.
    virtual int SendStr(const std::string& Str);
    virtual void Flush();
    virtual int Receive(void* Buffer, int BufferSize);
    virtual std::string ReceiveStr();
    virtual int GetRcvdCount();
    virtual int Pause();
    virtual int Resume();
    virtual int GetSockName(winsock::sockaddr_in& saddr, int& saddrlen);
    // The local address of either family.
    int GetSockName(winsock::sockaddr_storage& saddr, int& saddrlen);
    virtual int GetPeerName(winsock::sockaddr_in& Name, int NameLen);
    virtual std::string GetPeerAddr();
    virtual std::string GetPeerPort();
    virtual void DnsLookup(const std::string& HostName);
    virtual void CancelDnsLookup();
    virtual void MessagePump();
    // The socket's own loop: dispatches everything queued; WM_QUIT sets
    // Terminated instead of being dispatched.
    void ProcessMessages();
    void SetLingerOption();

    // Properties.
    const std::string& Addr() const { return AddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return PortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return ProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalPort() const { return LocalPortStr; }
    void SetLocalPort(const std::string& Value);
    std::string PeerAddr() { return GetPeerAddr(); }
    std::string PeerPort() { return GetPeerPort(); }
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    // Payload bytes given to Send that the peer has not acknowledged yet:
    // those still in the socket's queue plus those the system still holds
    // (-1 when the system cannot tell). A TLS layer counts payload, not
    // the records it made of it.
    virtual std::int64_t UnackedSendBytes();
    // Bytes taken by Receive since the connection was opened (64-bit: a
    // long transfer passes 2 GiB).
    std::int64_t ReadCount() const { return FReadCount; }
    int RcvdCount() { return GetRcvdCount(); }
    int LastError() const { return FLastError; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
    int FlushTimeout() const { return FFlushTimeout; }
    void SetFlushTimeout(int Value) { FFlushTimeout = Value; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags Value);
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
    int LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int Value) { FLingerTimeout = Value; }

    // Read-only state other components look at.
    SOCKET HSocket() const { return FHSocket; }
    SOCKET AcceptedSocket() const { return FAcceptedSocket; }
    // The peer's address (IPv4 or IPv6): the address connected to, or the
    // peer of the last connection Accept took.
    const winsock::sockaddr_storage& RemoteSockAddr() const { return FRemoteSockAddr; }
    // The address family of the connection (AF_INET or AF_INET6).
    int AddrFamily() const { return FRemoteSockAddr.ss_family; }
    HWND WindowHandle() const { return FWindowHandle; }
    bool AllSent() const { return FAllSent; }
    bool Paused() const { return FPaused; }
    bool Terminated() const { return FTerminated; }
    int BufSize() const { return FBufSize; }
    // The size of the send queue's blocks made from now on: a block goes
    // out in one send, so a bulk sender wants blocks as large as its pieces.
    void SetBufSize(int Value) { FBufSize = Value > 0 ? Value : FBufSize; }
    // Blocks queued for sending (for tests of the queue).
    std::size_t BufferCount() const { return BufList.size(); }
    // Live socket objects.
    static int InstanceCount();

    // Events.
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TChangeState OnChangeState;
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    // A token taken before calling out; reads false once the socket is
    // gone. Taken by hand only where the guard spans an exception's handler.
    using Liveness = TLifeline::Token;
    [[nodiscard]] Liveness Alive() const { return FLifeline.Take(); }
    // Every call-out (an event handler, or a step that may reach one) goes
    // through here: false when a handler destroyed the socket, which may
    // then not be touched any more.
    template <class... Args> [[nodiscard]] bool CallOut(Args&&... args) const
    {
        return FLifeline.CallOut(std::forward<Args>(args)...);
    }

    // Runs the handlers of one message. An exception one of them throws is
    // caught here, the one place: it aborts the socket through
    // HandleBackgroundException, unless the handler destroyed the socket.
    template <class Body> void RunHandlers(Body&& body)
    {
        const auto live = Alive();
        try {
            body();
        } catch (const std::exception& E) {
            if (live)
                HandleBackgroundException(E);
        } catch (...) {
            if (live)
                HandleBackgroundException(Exception("Unknown exception in a socket event handler"));
        }
    }

    virtual LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);
    virtual void AssignDefaultValue();
    virtual void InternalClose(bool bShut, WORD Error);
    virtual void BindSocket();
    virtual int RealSend(const void* Data, int Len);
    virtual void RaiseSocketException(const std::string& Msg);
    void RaiseSocketExceptionFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual void HandleBackgroundException(const std::exception& E);
    virtual bool TriggerDataAvailable(WORD Error);
    virtual void TriggerSessionAvailable(WORD Error);
    virtual void TriggerSessionConnected(WORD Error);
    virtual void TriggerSessionClosed(WORD Error);
    virtual void TriggerDataSent(WORD Error);
    virtual void TriggerChangeState(TSocketState OldState, TSocketState NewState);
    virtual void TriggerDnsLookupDone(WORD Error);
    virtual void TriggerError();
    virtual int DoRecv(void* Buffer, int BufferSize, int Flags);
    // Whether a layer holds received payload the system's count does not
    // show (the receive loop calls the handler again for it).
    virtual bool LayerHasData() { return false; }

    void ChangeState(TSocketState NewState);
    void SocketError(const std::string& Sockfunc);
    void ReportAndClose(const char* Sockfunc);
    void TryToSend();
    void PutDataInSendBuffer(const void* Data, int Len);
    void DeleteBufferedData();
    void ASyncReceive(WORD Error, bool Draining = false);
    void Do_FD_CONNECT(WORD Error);
    void Do_FD_READ(WORD Error);
    void Do_FD_WRITE(WORD Error);
    void Do_FD_ACCEPT(WORD Error);
    void Do_FD_CLOSE(WORD Error);
    void WMAsyncSelect(WPARAM wParam, LPARAM lParam);
    void WMAsyncGetHostByName(WPARAM wParam, LPARAM lParam);
    // Resolves what Connect and Listen need; false when it reported an error.
    bool ResolveForOpen(const char* Prefix, bool WithLocalPort);
    // Sets the options of a new handle to connect with; false (reported)
    // when one fails.
    bool PrepareConnectHandle(SOCKET Handle);
    // What a connect needs before it starts; false (and the exception
    // raised) when something is missing.
    bool ReadyToConnect(bool NeedAddr);
    // ConnectAny's attempts.
    void StartNextAttempt();
    void WMConnectAttempt(WPARAM wParam, LPARAM lParam);
    void DropAttempts();

    // The socket handle, its addresses and its state.
    SOCKET FHSocket = INVALID_SOCKET;
    SOCKET FAcceptedSocket = INVALID_SOCKET;
    std::string AddrStr;
    std::string PortStr;
    std::string ProtoStr;
    std::string LocalPortStr;
    bool AddrAssigned = false;
    bool PortAssigned = false;
    bool ProtoAssigned = false;
    bool AddrResolved = false;
    bool PortResolved = false;
    bool ProtoResolved = false;
    bool LocalPortResolved = false;
    winsock::sockaddr_storage FRemoteSockAddr{};
    // ConnectAny: the connects in flight, the addresses not tried yet and
    // the error of the last attempt that failed.
    struct TConnectAttempt {
        SOCKET handle;
        std::string text;
        winsock::sockaddr_storage addr;
    };
    std::vector<TConnectAttempt> FAttempts;
    std::vector<std::string> FAttemptAddrs;
    std::size_t FNextAttempt = 0;
    WORD FAttemptError = 0;
    std::uint32_t PortNum = 0;
    std::uint32_t LocalPortNum = 0;
    int ProtoNum = 6;
    int SocketType = winsock::SOCK_STREAM;
    int AddrFormat = winsock::PF_INET;
    std::list<std::unique_ptr<TBuffer>> BufList;
    int FBufSize = 1514;
    int FSendFlags = 0;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int FLingerTimeout = 0;
    bool FAllSent = true;
    bool FPaused = false;
    bool CloseInvoked = false;
    // Counts the handles closed by this object: a notice that calls out can
    // tell whether a handler closed its connection (and perhaps opened
    // another) meanwhile.
    std::uint64_t FCloseCount = 0;
    std::int64_t FReadCount = 0;
    // Close and connect notices that arrived while paused: selecting again
    // on Resume brings back reads and writes, but these come only once.
    WORD FHeldEvents = 0;
    WORD FHeldConnectError = 0;
    WORD FHeldCloseError = 0;
    int FLastError = 0;
    HWND FWindowHandle = 0;
    bool FMultiThreaded = false;
    bool FTerminated = false;
    int FFlushTimeout = 60;
    TSocketState FState = wsClosed;
    winsock::HANDLE DnsLookupHandle = 0;
    winsock::addrinfo* FDnsAddrInfo = nullptr; // written when the lookup completes
    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    // Platform receives made (to tell whether an FD_READ handler read).
    std::uint64_t RecvCalls = 0;

private:
    static LRESULT SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    TLifeline FLifeline; // ended by the destructor
};

// ---- SOCKS layer (dormant) ------------------------------------------------

// Holds the SOCKS settings; with SocksServer empty (always, in Parcelo)
// every operation passes straight through. The SOCKS protocol itself is not
// built: Connect with a SOCKS server set reports an error.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* AOwner = nullptr);

    void Connect() override;

    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value) { FSocksLevel = Value; }
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& Value) { FSocksUsercode = Value; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value) { FSocksPassword = Value; }
    bool SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(bool Value) { FSocksAuthentication = Value; }

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void AssignDefaultValue() override;
    virtual void TriggerSocksConnected(WORD Error);
    virtual void TriggerSocksError(int Error, const std::string& Msg);

    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
    std::string FSocksUsercode;
    std::string FSocksPassword;
    bool FSocksAuthentication = false;
};

// ---- TLS layer ----------------------------------------------------------------

struct ssl_st;
struct ssl_session_st;
struct bio_st;
class TSslContext;

// What a finished handshake tells about the peer and the connection.
struct TSslPeerInfo {
    bool verified = false;   // chain trusted and the name matches
    std::string verifyError; // why not, when not verified
    std::string subject;     // one-line distinguished names, escaped (SslVisibleText)
    std::string issuer;
    std::string notBefore; // "2026-12-10 07:45:57 UTC"
    std::string notAfter;
    std::string fingerprint; // SHA-256 of the DER certificate, 64 lowercase hex digits
    std::string protocol;    // "TLSv1.3"
    std::string cipher;      // "TLS_AES_256_GCM_SHA384"
    bool resumed = false;    // the handshake resumed an earlier session
};

// A TLS session another connection may resume (shared, freed with its
// last holder).
using TSslSession = std::shared_ptr<ssl_session_st>;
// A session (a TLS 1.2 session or a TLS 1.3 ticket) the peer has just
// issued on this connection.
using TSslNewSession = std::function<void(TObject* Sender, const TSslSession& Session)>;

// TLS client on top of the socket, through OpenSSL memory buffers: the
// handle still carries the bytes, this layer turns them into records and
// back, and the events keep their meaning for the payload.
//
// With SslEnable off (the default) every call passes straight through.
// With SslEnable set before Connect or Dup, the handshake starts as soon as
// the connection is made and OnSessionConnected fires when it is complete
// (or failed: then with the TLS error code). StartSslHandshake starts it on
// a connection that is already made (a protocol's upgrade command).
// OnSslHandshakeDone fires first, in both cases, with 0 or the error; while
// it runs the socket holds its other notices back, so a handler may ask the
// user before anything is read. The peer's certificate is checked against
// the context's authorities and SslServerName (a connection without that
// identity check fails its handshake), but a failed check does not stop
// the handshake: SslPeer() says so and the handler decides (Close to
// refuse). A server's request to renegotiate is refused. The subject and
// issuer of SslPeer() come with every control and line or paragraph
// separator escaped (SslVisibleText).
//
// Send before the handshake is complete queues the payload; it goes out
// encrypted once the handshake is done. OnDataSent fires when every record
// made so far has been handed to the system. ShutDown(1) sends close_notify
// before shutting the sending half; Close sends it too (best effort).
// The peer's close_notify ends the connection like the end of the stream:
// Receive returns 0, then OnSessionClosed fires (0) and the socket closes,
// which answers with this side's close_notify. A peer that closes without
// close_notify, while this side has not sent its own, reaches
// OnSessionClosed with WSocketSslTruncated.
class TCustomSslWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomSslWSocket(TComponent* AOwner = nullptr);
    ~TCustomSslWSocket() override;

    bool SslEnable() const { return FSslEnable; }
    // Only while closed.
    void SetSslEnable(bool Value);
    const std::shared_ptr<TSslContext>& SslContext() const { return FSslContext; }
    void SetSslContext(std::shared_ptr<TSslContext> Value) { FSslContext = std::move(Value); }
    // The name sent as SNI and checked against the certificate, read by
    // WSocketReadHost: an IPv4 or IPv6 address is checked as an address
    // (and not sent as SNI). Empty or refused: the handshake fails, as it
    // does when the check cannot be set up.
    const std::string& SslServerName() const { return FSslServerName; }
    void SetSslServerName(const std::string& Value) { FSslServerName = Value; }
    // A session to resume on the next handshake (from SslSession() of
    // another connection to the same server).
    void SetSslResumeSession(TSslSession Value) { FSslResume = std::move(Value); }
    // The session of this connection (the latest ticket), or null. Kept
    // after the close, until the next handshake begins.
    TSslSession SslSession() const;
    // Starts the handshake on a connected socket.
    void StartSslHandshake();
    // The handshake is complete and records carry the data.
    bool SslActive() const { return FSslState == SslState::Active || FSslState == SslState::ShutSent; }
    const TSslPeerInfo& SslPeer() const { return FSslPeer; }
    // Detail of the last TLS failure (OpenSSL's reason).
    const std::string& SslErrorText() const { return FSslErrorText; }
    // The peer of the last TLS connection sent close_notify: its payload
    // is complete (kept after the close, until the next handshake).
    bool SslPeerClosed() const { return FPeerCloseNotify; }

    void Dup(SOCKET NewHSocket) override;
    int Send(const void* Data, int Len) override;
    void ShutDown(int How) override;
    int Resume() override;
    int GetRcvdCount() override;
    std::int64_t UnackedSendBytes() override;

    TSslHandshakeDone OnSslHandshakeDone;
    // Fires for every resumable session the peer issues, the moment the
    // engine reads it (a TLS 1.3 ticket can come at any time after the
    // handshake, even in the last records before the close). The handler
    // must not close or destroy the socket.
    TSslNewSession OnSslNewSession;

protected:
    enum class SslState : std::uint8_t { Off, Handshaking, Active, ShutSent, Failed };

    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    void InternalClose(bool bShut, WORD Error) override;
    int RealSend(const void* Data, int Len) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;
    bool LayerHasData() override;
    bool TriggerDataAvailable(WORD Error) override;
    void TriggerSessionConnected(WORD Error) override;
    void TriggerSessionClosed(WORD Error) override;
    void TriggerDataSent(WORD Error) override;
    virtual void TriggerSslHandshakeDone(WORD Error);

    bool FSslEnable = false;
    std::shared_ptr<TSslContext> FSslContext;
    std::string FSslServerName;
    TSslSession FSslResume;
    SslState FSslState = SslState::Off;
    TSslPeerInfo FSslPeer;
    std::string FSslErrorText;

private:
    void BeginSsl(bool DeferConnected);
    void FreeSsl();
    // Reads what the system holds into the TLS engine; false on a receive
    // error (its code is the socket's last error then).
    bool ReadRecords();
    // Moves the records the engine made into the socket's send queue.
    void FlushRecords();
    void PumpHandshake();
    void HandshakeComplete();
    void HandshakeFailed(const std::string& Why, bool FromClose);
    // Calls OnSslHandshakeDone with the socket's other notices held back.
    void CallHandshakeDone(WORD Error);
    bool WritePayload(const char* Data, int Len);
    std::string TakeErrorText(const char* Otherwise);
    // Reads what is still readable before the engine goes, so that a
    // session ticket among it is not lost; payload there is dropped.
    void TakeLateTickets();
    static int NewSessionCallback(ssl_st* Ssl, ssl_session_st* Session);

    ssl_st* FSsl = nullptr;
    bio_st* FSslIn = nullptr;     // records received, not yet read by the engine
    bio_st* FSslOut = nullptr;    // records made, not yet in the send queue
    TSslSession FSslLatest;       // the newest session the peer issued
    bool FDeferConnected = false; // OnSessionConnected waits for the handshake
    bool FPeerCloseNotify = false;
    bool FSentCloseNotify = false;
    int FPlainBufSize = 0;       // the queue's block size before TLS began (0: none saved)
    bool FRawEof = false;        // the system reported the end of the stream
    bool FReadStalled = false;   // the engine waits for more of a record
    int FShutPending = -1;       // ShutDown(How) waits for the queue to drain
    std::string FPendingPayload; // sent before the handshake was complete
    // Payload accounting: bytes given to Send, and records made and handed
    // to the system, so that what the peer acknowledged of the records can
    // be told in payload.
    std::int64_t FPayloadWritten = 0;
    std::int64_t FPayloadAcked = 0;
    std::int64_t FRecordBytesMade = 0;
    std::int64_t FRecordBytesHanded = 0;
    struct RecordMark {
        std::int64_t recordEnd;  // record bytes made up to here
        std::int64_t payloadEnd; // payload they carry
    };
    std::vector<RecordMark> FMarks; // not yet acknowledged, oldest first
    std::size_t FMarksHead = 0;
};

// ---- line layer -------------------------------------------------------------

// With LineMode on, incoming bytes are cut at LineEnd and OnDataAvailable
// fires once per line; Receive and GetRcvdCount then serve that line. With
// LineMode off (Parcelo's case) the layer passes everything through.
//
// A stream that brings LineLimit bytes without a line end does not make the
// layer grow without bound: OnLineTooLong fires, then the bytes held are
// delivered as a piece of their own (like a line, without a line end),
// except for a tail shorter than LineEnd that may begin one. Nothing is
// lost; the handler sees a long line in pieces.
class TCustomLineWSocket : public TCustomSslWSocket {
public:
    static constexpr int DefaultLineLimit = 65536;

    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    int GetRcvdCount() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }
    int LineLimit() const { return FLineLimit; }
    // Values below 1 restore the default.
    void SetLineLimit(int Value) { FLineLimit = Value > 0 ? Value : DefaultLineLimit; }
    // Bytes held by the line layer.
    int HeldCount() const { return FRcvdCnt; }

    TNotifyEvent OnLineTooLong;

protected:
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override;
    bool TriggerDataAvailable(WORD Error) override;
    void TriggerSessionClosed(WORD Error) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;
    // Applies backspace and tab editing (and echo) to the held bytes from
    // offset `from` (the bytes just received); returns the new held count.
    virtual int EditLine(int from);
    // Delivers every complete line held, starting the search at `from`;
    // false when the socket was destroyed meanwhile.
    bool DeliverLines(int from, WORD Error);
    // Offers the first `len` held bytes to the handler as one line; the
    // part it does not read is dropped. False when the socket was destroyed.
    bool DeliverPiece(int len, WORD Error);
    void DeliverHeld(WORD Error);
    virtual void TriggerLineTooLong();

    char* Held() { return FRcvBuf.data() + FRcvStart; }
    void DropHeld(int n);

    bool FLineMode = false;
    std::string FLineEnd = "\r\n";
    bool FLineEcho = false;
    bool FLineEdit = false;
    int FLineLimit = DefaultLineLimit;
    // The held bytes are FRcvBuf[FRcvStart, FRcvStart + FRcvdCnt): lines are
    // taken off the front by moving FRcvStart, so a read of many lines costs
    // no copying per line.
    std::vector<char> FRcvBuf;
    int FRcvStart = 0;
    int FRcvdCnt = 0;
    int FLineLength = 0;
    // The lowest offset the last edit changed (backspaces reach back).
    int FEditLow = 0;
};

// ---- wait layer ---------------------------------------------------------------

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TComponent* AOwner = nullptr);

    // Clears Flag, runs Proc (when given), then waits for Flag.
    virtual int Synchronize(const std::function<void()>& Proc, bool& Flag);
    // Pumps messages until Flag is set (0), the timeout passes, or the
    // application terminates (12001). Idles between messages.
    virtual int WaitUntilDone(bool& Flag);

    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }

protected:
    int FTimeout = 0; // milliseconds, 0 = none
    DWORD FTimeStop = 0;
};

inline constexpr int WSOCKET_WAIT_TIMEOUT = 12001;

// ---- the published component ----------------------------------------------

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* AOwner = nullptr) : TCustomSyncWSocket(AOwner) { }
};
