// The FTP client component (RFC 959, client side).
//
// TCustomFtpCli runs one request at a time, asynchronously: a Start* method
// checks the state, sends a command (or opens the connection) and returns;
// replies arrive through the control socket's events and the end of the
// request is announced by a posted message that fires OnRequestDone. A
// compound request chains steps (open, USER, PASS, CWD, TYPE, PORT/PASV,
// STOR, QUIT, ...) and runs each when the previous one has succeeded.
// TFtpClient adds blocking calls that pump the message loop while they wait.
//
// Everything runs on the thread that owns the message queue.
#pragma once

#include "ftp/FtpTypes.h"
#include "net/SslContext.h"
#include "net/WSocket.h"
#include "platform/Lifeline.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

// The reply the control connection waits for (ftp/FtpReply.h).
enum class TFtpAwaitedReply : std::uint8_t;

class TCustomFtpCli : public TComponent {
public:
    // Window messages of the notification window.
    static constexpr unsigned MsgRequestDone = 1025;
    // Timer of the notification window that follows what the peer of a
    // store has taken while the sender waits (milliseconds between looks).
    static constexpr unsigned ProgressTimerId = 1;
    static constexpr unsigned ProgressTimerMs = 200;
    static constexpr int ReceiveBufferSize = 4096;
    // A plain store reads and sends 64 KiB at a time: a system call per
    // 1514-byte piece held loopback and 10 Gbit/s links to a fraction of
    // their rate and cost twice the CPU time per byte.
    static constexpr int SendBufferSize = 65536;
    // A store over TLS sends pieces of one full TLS record: the server
    // decrypts and writes per record, and 1514-byte records cost it ten
    // times the system calls of full ones.
    static constexpr int TlsSendPieceSize = 16384;
    static constexpr int DataReceiveSize = 2048;

    explicit TCustomFtpCli(TComponent* AOwner = nullptr);
    ~TCustomFtpCli() override;
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // --- properties -------------------------------------------------------
    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& v) { FHostName = v; }
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& v) { FPort = v; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& v) { FUserName = v; }
    const std::string& PassWord() const { return FPassWord; }
    void SetPassWord(const std::string& v) { FPassWord = v; }
    const std::string& HostDirName() const { return FHostDirName; }
    void SetHostDirName(const std::string& v) { FHostDirName = v; }
    const std::string& HostFileName() const { return FHostFileName; }
    void SetHostFileName(const std::string& v) { FHostFileName = v; }
    const std::string& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& v) { FLocalFileName = v; }
    bool DisplayFileFlag() const { return FDisplayFileFlag; }
    void SetDisplayFileFlag(bool v) { FDisplayFileFlag = v; }
    // Kept as the type character: 'I' for binary, 'A' for ascii.
    bool Binary() const { return FType == 'I'; }
    void SetBinary(bool v) { FType = v ? 'I' : 'A'; }
    bool Passive() const { return FPassive; }
    void SetPassive(bool v) { FPassive = v; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode v);
    TFtpOptions Options() const { return FOptions; }
    void SetOptions(TFtpOptions v) { FOptions = v; }
    std::int64_t ResumePosition() const { return FResumePosition; }
    void SetResumePosition(std::int64_t v) { FResumePosition = v; }
    // TLS: a PEM file of the only authorities to trust (empty: the
    // system's), and the SHA-256 fingerprint (64 hex digits) of a
    // certificate to accept although it fails verification. TlsFingerprint
    // is updated when OnVerifyCertificate trusts a certificate.
    const std::string& TlsCaFile() const { return FTlsCaFile; }
    void SetTlsCaFile(const std::string& v);
    const std::string& TlsFingerprint() const { return FTlsFingerprint; }
    void SetTlsFingerprint(const std::string& v) { FTlsFingerprint = v; }
    // Pinned (ftpput's --tls-fingerprint): with a TlsFingerprint set, the
    // certificate must have that fingerprint, also when it verifies; any
    // other is refused without asking. Not pinned (the window's remembered
    // certificate): a verified certificate is accepted as well.
    bool TlsFingerprintPinned() const { return FTlsFingerprintPinned; }
    void SetTlsFingerprintPinned(bool v) { FTlsFingerprintPinned = v; }

    // --- read-only results ------------------------------------------------
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::string& LastResponse() const { return FLastResponse; }
    int StatusCode() const { return FStatusCode; }
    int RequestResult() const { return FRequestResult; }
    const std::string& DirResult() const { return FDirResult; }
    std::int64_t SizeResult() const { return FSizeResult; }
    const std::string& PasvResponse() const { return FPasvResponse; }
    std::int64_t ByteCount() const;
    TFtpClientState State() const { return FState; }
    // The security of the session being opened or open (from HostName's
    // prefix when it was opened).
    TFtpSecurity Security() const { return FSecurity; }
    // The control connection's TLS details once its handshake is done.
    const TSslPeerInfo& TlsPeer() const;
    // The identity a session opened now would have, from the properties.
    [[nodiscard]] TFtpSessionIdentity SettingsIdentity() const;
    // The identity of the session open (or opened last), recorded when its
    // connection was opened. A certificate that failed verification was
    // accepted by its fingerprint (remembered, or trusted during the
    // log-in): the session is trusted by that fingerprint.
    [[nodiscard]] TFtpSessionIdentity SessionIdentity() const;
    // A session is open and was made for exactly the current settings.
    [[nodiscard]] bool SessionServesSettings() const;
    TFtpRequest RequestType() const { return FRequestType; }
    bool ControlUp() const { return FControlUp; }
    // True while the control socket is anything but closed (also while it
    // is still connecting).
    bool Connected() const;

    // The count the last OnProgress reported (position in the file).
    std::int64_t ProgressCount() const { return FProgressCount; }

    TWSocket* ControlSocket() const { return FControlSocket; }
    TWSocket* DataSocket() const { return FDataSocket; }

    // --- requests -----------------------------------------------------------
    // clang-format off
    virtual void StartOpen(); virtual void StartUser(); virtual void StartPass(); virtual void StartConnect();
    virtual void StartQuit(); virtual void StartAbort(); virtual void StartGet(); virtual void StartRetr();
    virtual void StartReceive(); virtual void StartStoreFile(); virtual void StartStor();
    virtual void StartTransmit(); virtual void StartAppend(); virtual void StartAppe();
    virtual void StartAppendFile(); virtual void StartList(); virtual void StartListDir(); virtual void StartNlst();
    virtual void StartListNames(); virtual void StartSetType(); virtual void StartSetBinaryType();
    virtual void StartSetAsciiType(); virtual void StartPrintDir(); virtual void StartChangeDir();
    virtual void StartParentDir(); virtual void StartFullListDir(); virtual void StartFullListNames();
    virtual void StartSystem(); virtual void StartFullSystem(); virtual void StartSize();
    virtual void StartFullSize(); virtual void StartMakeDir(); virtual void StartFullMakeDir();
    virtual void StartRemoveDir(); virtual void StartFullRemoveDir(); virtual void StartDelete();
    virtual void StartFullDelete(); virtual void StartRenameFrom(); virtual void StartRenameTo();
    virtual void StartRename(); virtual void StartFullRename(); virtual void StartQuote();
    virtual void StartFullQuote(); virtual void StartRestart(); virtual void StartRestartGet();
    virtual void StartRestartReceive(); virtual void StartPort();
    // clang-format on

    // --- events -----------------------------------------------------------
    TFtpDisplay OnDisplay;
    TFtpDisplay OnDisplayFile;
    TFtpCommand OnCommand;
    TNotifyEvent OnResponse;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TFtpRequestDone OnRequestDone;
    TNotifyEvent OnStateChange;
    TFtpProgress OnProgress;
    TFtpReadyToTransmit OnReadyToTransmit;
    // Asked when a server's certificate fails verification and its
    // fingerprint is not TlsFingerprint. Unset: the log-in fails.
    TFtpVerifyCertificate OnVerifyCertificate;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    virtual void SendCommand(std::string Cmd);
    virtual void DoDisplay(std::string Msg);
    virtual void DoReadyToTransmit(bool& bCancel);
    virtual void DoDisplayFile(std::string Msg);
    virtual void DoCheckFailed(const std::string& Msg);
    [[nodiscard]] virtual bool DoProgress();
    // The user has answered a question (it may have taken long): a waiting
    // blocking call counts its time-out from now.
    virtual void UserAnswered() { }
    virtual void ShowTransferStats();

    void SetState(TFtpClientState NewState);
    // Completes the request in progress with Error (once per request).
    void FinishRequest(int Error);
    // Every call to an event handler, or to a step that may reach one, goes
    // through here: false when the handler destroyed this object, which
    // may then not be touched any more.
    template <class... Args> [[nodiscard]] bool CallOut(Args&&... args) const
    {
        return FLifeline.CallOut(std::forward<Args>(args)...);
    }

    // Fields the synchronous layer reads and writes.
    std::string FErrorMessage;
    int FStatusCode = 0;
    int FRequestResult = 0;
    std::int64_t FProgressCount = 0;

private:
    // The request engine: the control connection, the steps of a request,
    // the data connection and TLS, with their state (ftp/FtpInternal.h).
    struct TEngine;
    class LocalFile;

    // properties
    std::string FHostName;
    std::string FPort = "ftp";
    std::string FUserName;
    std::string FPassWord;
    std::string FHostDirName;
    std::string FHostFileName;
    std::string FLocalFileName;
    bool FDisplayFileFlag = false;
    char FType = 'I';
    bool FPassive = false;
    std::uint8_t FShareMode = ftpShareExclusive;
    TFtpOptions FOptions = ftpAcceptLF;
    std::int64_t FResumePosition = 0;
    std::string FTlsCaFile;
    std::string FTlsFingerprint;
    bool FTlsFingerprintPinned = false;

    // results and state read through the properties
    TFtpSecurity FSecurity = TFtpSecurity::None;
    TFtpClientState FState = ftpStReady;
    TFtpRequest FRequestType = ftpNone;
    bool FControlUp = false;
    std::string FLastResponse;
    std::string FPasvResponse;
    std::int64_t FSizeResult = 0;
    std::string FDirResult;

    TWSocket* FControlSocket = nullptr;
    TWSocket* FDataSocket = nullptr;
    HWND FNotifyWindow = 0;
    std::unique_ptr<TEngine> FEngine;
    // Ended by the destructor (see CallOut).
    TLifeline FLifeline;
};

// The statistics line of a finished transfer (without the "! " prefix).
std::string FtpTransferStatsText(std::int64_t ByteCount, std::uint32_t ElapsedMs);

class TFtpClient : public TCustomFtpCli {
public:
    explicit TFtpClient(TComponent* AOwner = nullptr);

    int Timeout() const { return FTimeout; }
    void SetTimeout(int v) { FTimeout = v; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v) { FMultiThreaded = v; }

    // Blocking calls: each runs one request and pumps messages until it has
    // finished, the timeout has passed or the application is terminating.
    // True on success.
    [[nodiscard]] bool Connect();
    [[nodiscard]] bool ChangeDir();
    [[nodiscard]] bool ParentDir();
    [[nodiscard]] bool MakeDir();
    [[nodiscard]] bool SetBinaryType();
    [[nodiscard]] bool SetAsciiType();
    [[nodiscard]] bool StoreFile();
    [[nodiscard]] bool ListDir();
    // APPE of LocalFileName to HostFileName (from ResumePosition in the
    // local file).
    [[nodiscard]] bool Append();
    // SIZE of HostFileName (SizeResult).
    [[nodiscard]] bool Size();
    // DELE HostFileName.
    [[nodiscard]] bool Delete();
    // LocalFileName sent as a command; any reply but a permanent failure
    // (5xx) succeeds (StatusCode and LastResponse tell which).
    [[nodiscard]] bool Quote();
    [[nodiscard]] bool Quit();
    bool Abort();

protected:
    [[nodiscard]] bool DoProgress() override;
    void UserAnswered() override { FProgressed = true; }
    [[nodiscard]] bool RunSynchronously(void (TCustomFtpCli::*Request)());
    [[nodiscard]] bool WaitUntilReady();

private:
    int FTimeout = 15;
    // Milliseconds of the monotonic clock; 64-bit, so any Timeout fits.
    std::int64_t FTimeoutDeadline = 0;
    bool FProgressed = false; // a piece moved since the wait loop last looked
    bool FMultiThreaded = false;
};
