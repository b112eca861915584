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
// -> TCustomLineWSocket (line mode) -> TCustomSyncWSocket (flag wait)
// -> TWSocket.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"
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

// ---- messages of the socket's window ------------------------------------

inline constexpr UINT WM_ASYNCSELECT = WM_USER + 1;             // 1025
inline constexpr UINT WM_ASYNCGETHOSTBYNAME = WM_USER + 2;      // 1026
inline constexpr UINT WM_ASYNCGETHOSTBYADDR = WM_USER + 3;      // 1027
inline constexpr UINT WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20; // 1044

// ---- errors ---------------------------------------------------------------

class ESocketException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ESocketException"; }
};

// Fixed English text of a Winsock error code ("Not a WinSock error" for
// any code without one).
std::string WSocketErrorDesc(int ErrCode);

// Resolution; each raises ESocketException with its own message.
// Host text -> IPv4 address in network order.
winsock::u_long WSocketResolveHost(const std::string& InAddr);
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

// ---- noticing a destruction from inside a call-out --------------------------

// Lets an object that calls out (an event handler may destroy it) find out
// afterwards whether it still exists. The object owns a TLifeline and takes
// a token before calling out; the token reads false once the lifeline has
// ended, by End() or by its destruction. Counted without atomics: these
// objects live on the thread of the message queue.
class TLifeline {
    struct Flag {
        bool alive = true;
        int refs = 1;
    };

public:
    class Token {
    public:
        Token(const Token& o) : flag_(o.flag_) { ++flag_->refs; }
        Token& operator=(const Token&) = delete;
        ~Token() { Release(flag_); }
        explicit operator bool() const { return flag_->alive; }

    private:
        friend class TLifeline;
        explicit Token(Flag* flag) : flag_(flag) { ++flag_->refs; }
        Flag* flag_;
    };

    TLifeline() = default;
    ~TLifeline()
    {
        End();
        Release(flag_);
    }
    TLifeline(const TLifeline&) = delete;
    TLifeline& operator=(const TLifeline&) = delete;

    // Tokens taken before read false from now on.
    void End() { flag_->alive = false; }
    [[nodiscard]] Token Take() const { return Token(flag_); }

private:
    static void Release(Flag* flag)
    {
        if (--flag->refs == 0)
            delete flag;
    }
    Flag* flag_ = new Flag();
};

// ---- the socket core ------------------------------------------------------

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner = nullptr);
    ~TCustomWSocket() override;

    // Operations.
    virtual void Connect();
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
    const winsock::sockaddr_in& RemoteSockAddr() const { return FRemoteSockAddr; }
    HWND WindowHandle() const { return FWindowHandle; }
    bool AllSent() const { return FAllSent; }
    bool Paused() const { return FPaused; }
    bool Terminated() const { return FTerminated; }
    int BufSize() const { return FBufSize; }
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
    // gone.
    using Liveness = TLifeline::Token;
    [[nodiscard]] Liveness Alive() const { return FLifeline.Take(); }

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
    winsock::sockaddr_in FRemoteSockAddr{};
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
    alignas(8) char DnsLookupBuffer[1025] = {};
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
class TCustomLineWSocket : public TCustomSocksWSocket {
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
