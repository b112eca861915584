// The control connection: opening it, sending commands, cutting the input
// into reply lines and parsing them, and its close.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <cstring>
#include <typeinfo>

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

std::string FtpExceptionText(const std::exception& e)
{
    auto* known = dynamic_cast<const Exception*>(&e);
    return std::string(known ? known->ClassName() : "Exception") + ": " + e.what();
}

std::string FtpSocketErrorText(int error)
{
    return WSocketErrorDesc(error) + " (Winsock error #" + std::to_string(error) + ")";
}

TCustomFtpCli::TCustomFtpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FNotifyWindow = AllocateHWnd([this](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg == MsgRequestDone || msg == MsgStartSend || (msg == WM_TIMER && w == ProgressTimerId)) {
            WndProc(msg, w, l);
            return 0;
        }
        return DefWindowProc(hwnd, msg, w, l);
    });

    FControlSocket = new TWSocket(this);
    FControlSocket->OnSessionConnected = [this](TObject* s, std::uint16_t e) { ControlSocketSessionConnected(s, e); };
    FControlSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { ControlSocketDataAvailable(s, e); };
    FControlSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { ControlSocketSessionClosed(s, e); };
    FControlSocket->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) { ControlSocketDnsLookupDone(s, e); };
    FControlSocket->OnSslHandshakeDone = [this](TObject* s, std::uint16_t e) { ControlSocketSslHandshakeDone(s, e); };
    FDataSocket = new TWSocket(this);
    // A store's pieces go out whole, one send each.
    FDataSocket->SetBufSize(SendBufferSize);
    // Sessions the server issues on either connection serve the data
    // connections to come.
    for (TWSocket* socket : {FControlSocket, FDataSocket})
        socket->OnSslNewSession = [this](TObject*, const TSslSession& session) { KeepTlsSession(session); };
}

TCustomFtpCli::~TCustomFtpCli()
{
    // The sockets go with the base destructor: they must not call back
    // into this half-destroyed object.
    Destroying();
    FLifeline.End();
    for (TWSocket* socket : {FControlSocket, FDataSocket}) {
        if (!socket)
            continue;
        socket->OnSessionConnected = nullptr;
        socket->OnSessionAvailable = nullptr;
        socket->OnDataAvailable = nullptr;
        socket->OnDataSent = nullptr;
        socket->OnSessionClosed = nullptr;
        socket->OnDnsLookupDone = nullptr;
        socket->OnSslHandshakeDone = nullptr;
        socket->OnSslNewSession = nullptr;
    }
    FLocalStream.reset();
    DestroyWindow(FNotifyWindow);
    FNotifyWindow = 0;
}

void TCustomFtpCli::Notification(TComponent* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove) {
        if (AComponent == FControlSocket)
            FControlSocket = nullptr;
        else if (AComponent == FDataSocket)
            FDataSocket = nullptr;
    }
}

bool TCustomFtpCli::Connected() const
{
    return FControlSocket && FControlSocket->State() != wsClosed;
}

TFtpShareMode TCustomFtpCli::ShareMode() const
{
    switch (FShareMode) {
    case ftpShareCompat:
    case ftpShareExclusive:
    case ftpShareDenyWrite:
    case ftpShareDenyRead:
    case ftpShareDenyNone: return static_cast<TFtpShareMode>(FShareMode);
    default: return ftpShareExclusive;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode v)
{
    switch (v) {
    case ftpShareCompat:
    case ftpShareExclusive:
    case ftpShareDenyWrite:
    case ftpShareDenyRead:
    case ftpShareDenyNone: FShareMode = v; break;
    default: FShareMode = ftpShareExclusive;
    }
}

void TCustomFtpCli::SetState(TFtpClientState NewState)
{
    if (FState == NewState)
        return;
    FState = NewState;
    if (OnStateChange)
        OnStateChange(this);
}

void TCustomFtpCli::DoDisplay(std::string Msg)
{
    if (OnDisplay)
        OnDisplay(this, Msg);
}

void TCustomFtpCli::SendCommand(std::string Cmd)
{
    auto alive = Alive();
    if (OnCommand) {
        OnCommand(this, Cmd);
        if (!alive)
            return;
    }
    DoDisplay("> " + Cmd);
    if (!alive)
        return;
    // A command while the socket is not connected is only displayed; the
    // request then waits for a reply that does not come.
    if (FControlSocket && FControlSocket->State() == wsConnected)
        FControlSocket->SendStr(Cmd + "\r\n");
}

void TCustomFtpCli::RecordError()
{
    if (FErrorMessage.empty())
        FErrorMessage = FLastResponse;
}

void TCustomFtpCli::SetLocalFailure(const std::string& Line, int Code)
{
    FLastResponse = Line;
    FStatusCode = Code;
    FRequestResult = Code;
    RecordError();
}

void TCustomFtpCli::ControlSocketDnsLookupDone(TObject*, std::uint16_t Error)
{
    if (FState != ftpStResolving)
        return;
    if (Error != 0) {
        SetLocalFailure("500 " + WSocketLookupErrorText(FtpSplitAddress(FHostName).host, Error), 500);
        FinishRequest(Error);
        return;
    }
    try {
        // Every address the name has, IPv6 and IPv4, in the system's order:
        // the first that answers carries the session.
        const std::vector<std::string> addresses = FControlSocket->DnsResultList().empty()
                                                       ? std::vector<std::string>{FControlSocket->DnsResult()}
                                                       : FControlSocket->DnsResultList();
        FControlSocket->SetProto("tcp");
        FControlSocket->SetPort(FPort);
        AwaitReply(TFtpAwaitedReply::Greeting);
        auto alive = Alive();
        SetState(ftpStConnecting);
        if (!alive)
            return;
        FControlSocket->ConnectAny(addresses);
    } catch (const std::exception& e) {
        SetLocalFailure("500 " + FtpExceptionText(e), 500);
        FinishRequest(500);
    }
}

void TCustomFtpCli::ControlSocketSessionConnected(TObject*, std::uint16_t Error)
{
    // Only a connect in progress is reported: a log-in that refused the
    // certificate of an implicit TLS connection has ended already.
    if (FState != ftpStConnecting)
        return;
    if (Error != 0) {
        // A refused or failed connect fails the request: its result follows
        // the error it reports, so the synchronous Connect returns false.
        // A failed TLS handshake (implicit TLS) has said why already.
        if (FTlsFailure.empty()) {
            SetLocalFailure("500 " + FtpSocketErrorText(Error), Error);
            FStatusCode = 500;
        } else {
            SetLocalFailure(FTlsFailure, Error);
            FStatusCode = 534;
        }
        FNextStepHandler = nullptr;
        FPendingSteps = 0;
        auto alive = Alive();
        FinishRequest(Error);
        if (!alive)
            return;
        if (FControlSocket)
            FControlSocket->Close();
        if (!alive)
            return;
        SetState(ftpStReady);
        return;
    }
    FControlUp = true;
}

void TCustomFtpCli::ControlSocketDataAvailable(TObject*, std::uint16_t Error)
{
    auto alive = Alive();
    if (!FControlSocket)
        return;
    int len = FControlSocket->Receive(FReceiveBuffer + FReceiveLength, ReceiveBufferSize - FReceiveLength);
    if (len == 0) {
        // The server closed (or a line filled the whole buffer without an end).
        FControlSocket->Close();
        return;
    }
    if (len < 0) {
        if (FControlSocket->LastError() == WSocketSslProtocolError)
            FailOnTlsError();
        return;
    }
    FReceiveLength += len;
    FReceiveBuffer[FReceiveLength] = '\0';

    while (FReceiveLength > 0) {
        int consumed = 0;
        if (!FtpCutReplyLine(FReceiveBuffer, FReceiveLength, (FOptions & ftpAcceptLF) != 0, FLastResponse, consumed))
            break;

        if (OnResponse) {
            OnResponse(this);
            if (!alive)
                return;
        }

        FReceiveLength -= consumed;
        if (FReceiveLength < 0)
            FReceiveLength = 0;
        std::memmove(FReceiveBuffer, FReceiveBuffer + consumed, FReceiveLength + 1);

        const TFtpClientState state = FState;
        DoDisplay("< " + FLastResponse);
        if (!alive)
            return;
        if (state != ftpStConnecting && state != ftpStAwaitingReply)
            continue; // nothing awaited: shown and otherwise ignored
        // Every handler gets whole replies: the lines of a multi-line reply
        // before its last one are only shown.
        if (!ParseReplyLine())
            continue;
        if (FState == ftpStConnecting) {
            if (!HandleGreetingLine(Error))
                return;
        } else if (FState == ftpStAwaitingReply) {
            HandleReply();
        }
        if (!alive)
            return;
    }
}

void TCustomFtpCli::HandleReply()
{
    switch (FAwaited) {
    case TFtpAwaitedReply::Command:
    case TFtpAwaitedReply::Quit: GenericReply(); return;
    case TFtpAwaitedReply::RetrieveStart: GetDataReply(); return;
    case TFtpAwaitedReply::RetrieveEnd: GetDataEnd(); return;
    case TFtpAwaitedReply::StoreStart: PutDataReply(); return;
    case TFtpAwaitedReply::StoreEnd: PutDataEnd(); return;
    case TFtpAwaitedReply::AuthTls: AuthTlsReply(); return;
    case TFtpAwaitedReply::None:
    case TFtpAwaitedReply::Greeting: break;
    }
    try {
        DoCheckFailed(std::string("Program error: no handler for the awaited reply ") + ToString(FAwaited));
    } catch (const FtpException&) {
        // Reported through the check path; the input goes on.
    }
}

bool TCustomFtpCli::HandleGreetingLine(std::uint16_t Error)
{
    if (FtpClassOfReply(TFtpAwaitedReply::Greeting, FStatusCode) != FtpReplyClass::Completion) {
        RecordError();
        FRequestResult = FStatusCode;
        // The close completes the request.
        FControlSocket->Close();
        return false;
    }
    auto alive = Alive();
    SetState(ftpStGreeted);
    if (!alive)
        return false;
    if (OnSessionConnected) {
        OnSessionConnected(this, Error);
        if (!alive)
            return false;
    }
    FinishRequest(0);
    return true;
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

bool TCustomFtpCli::ParseReplyLine()
{
    int code = FStatusCode;
    const bool ends = FtpReplyLineEnds(FLastResponse, code);
    FStatusCode = code;
    return ends;
}

void TCustomFtpCli::GenericReply()
{
    if (FAcceptedCodes[0] == 0) {
        if (FtpClassOfReply(FAwaited, FStatusCode) == FtpReplyClass::PermanentFailure) {
            FRequestResult = FStatusCode;
            RecordError();
        } else {
            FRequestResult = 0;
        }
    } else {
        bool accepted = false;
        for (int i = 0; i < 16 && FAcceptedCodes[i] != 0; ++i) {
            if (FAcceptedCodes[i] == FStatusCode) {
                accepted = true;
                break;
            }
        }
        if (accepted) {
            FRequestResult = 0;
        } else {
            FRequestResult = FStatusCode;
            RecordError();
        }
    }

    if (FPassive && (FStatusCode == 227 || FStatusCode == 229))
        FPasvResponse = FLastResponse;

    if (FRequestResult == 0)
        ReadStepResults();

    if (FAwaited == TFtpAwaitedReply::Quit) {
        // Whatever the reply, the session is over; the close completes the
        // request with the reply's result.
        if (FControlSocket)
            FControlSocket->Close();
    } else {
        FinishRequest(FRequestResult);
    }
}

void TCustomFtpCli::ReadStepResults()
{
    const char* p = FLastResponse.c_str();
    int code = 0;
    switch (FCurrentStep) {
    case StepSize:
        p = FtpParseNumber(p, code);
        (void)FtpParseNumber(p, FSizeResult);
        break;
    case StepCwd:
    case StepMkd:
    case StepPwd:
    case StepCdup:
        p = FtpParseNumber(p, code);
        FDirResult = FtpQuotedString(p);
        break;
    default: break;
    }
}

void TCustomFtpCli::ControlSocketSessionClosed(TObject*, std::uint16_t Error)
{
    auto alive = Alive();
    // Whether the last request had completed before the close: then the
    // connection was idle and nothing is left to report.
    const bool idle = FDoneReported;
    // A reply that was still awaited will not come, and a step that has not
    // sent its command yet (a transfer whose passive data connection is
    // still being made) cannot send it: the request fails rather than
    // completing with the result of its earlier replies. Only QUIT expects
    // the close.
    if (FState == ftpStConnecting || (FState == ftpStAwaitingReply && FAwaited != TFtpAwaitedReply::Quit) ||
        (FState == ftpStStepReady && !idle))
        FailOnLostControl();
    const bool wasUp = FControlUp;
    if (wasUp) {
        FControlUp = false;
        if (FState != ftpStAborting) {
            SetState(ftpStClosed);
            if (!alive)
                return;
        }
        if (OnSessionClosed) {
            OnSessionClosed(this, Error);
            if (!alive)
                return;
        }
    }
    // The close of an idle connection (the server's idle time-out, or a
    // close right behind the last reply) leaves the component ready: a
    // blocking call that has not yet looked at the state must find
    // ftpStReady, not wait for its time-out.
    if (FState != ftpStAborting) {
        if (!idle)
            SetState(ftpStStepReady);
        else if (FState != ftpStReady)
            SetState(ftpStReady);
        if (!alive)
            return;
    }
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::FailOnTlsError()
{
    // A record that does not decrypt (or an alert) ends the session: no
    // reply after it can be trusted, and none will be read.
    const std::string failure = "426 TLS error on the control connection: " + FControlSocket->SslErrorText();
    if (!FDoneReported && FRequestResult == 0)
        SetLocalFailure(failure, 426);
    auto alive = Alive();
    DoDisplay("! " + failure);
    if (!alive || !FControlSocket)
        return;
    FControlSocket->Close();
}

void TCustomFtpCli::FailOnLostControl()
{
    if (FDoneReported || FRequestResult != 0)
        return;
    SetLocalFailure("426 Connection closed by the server", 426);
}

// --- TLS ---------------------------------------------------------------------

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

void TCustomFtpCli::SetTlsCaFile(const std::string& v)
{
    FTlsCaFile = v;
    FSslContext.reset();
}

const TSslPeerInfo& TCustomFtpCli::TlsPeer() const
{
    static const TSslPeerInfo none;
    return FControlSocket ? FControlSocket->SslPeer() : none;
}

const std::shared_ptr<TSslContext>& TCustomFtpCli::SslContextForUse()
{
    if (!FSslContext)
        FSslContext = std::make_shared<TSslContext>(FTlsCaFile);
    return FSslContext;
}

void TCustomFtpCli::StartAuthTls()
{
    StartCommand(ftpConnectAsync, StepAuth, "AUTH TLS", {234}, TFtpAwaitedReply::AuthTls);
}

void TCustomFtpCli::StartPbsz()
{
    // RFC 4217 8: PBSZ 0 must come before PROT, whatever the protection.
    StartCommand(ftpConnectAsync, StepPbsz, "PBSZ 0", {200});
}

void TCustomFtpCli::StartProt()
{
    // Private: the data connections are encrypted too.
    StartCommand(ftpConnectAsync, StepProt, "PROT P", {200});
}

// Ends a log-in that TLS cannot secure: nothing more is sent (above all no
// USER) and the control connection is closed, whose close completes the
// request with the failure.
void TCustomFtpCli::FailTlsLogIn(const std::string& Line, int Code, bool ShowLine)
{
    auto alive = Alive();
    SetLocalFailure(Line, Code);
    FNextStepHandler = nullptr;
    FPendingSteps = 0;
    if (ShowLine) {
        DoDisplay("! " + Line);
        if (!alive)
            return;
    }
    if (FControlSocket && FControlSocket->State() != wsClosed) {
        FControlSocket->Close();
        if (!alive)
            return;
    }
    FinishRequest(Code);
}

void TCustomFtpCli::AuthTlsReply()
{
    if (FStatusCode != 234) {
        // No fallback to clear text: the user asked for TLS.
        RecordError();
        auto alive = Alive();
        DoDisplay("! The server does not offer TLS (AUTH TLS refused); nothing was sent in clear");
        if (!alive)
            return;
        FailTlsLogIn(FLastResponse, FStatusCode, false);
        return;
    }
    if (FReceiveLength > 0) {
        // RFC 4217 and plain sense: whatever follows the 234 in clear could
        // be a forged reply that would be read as coming through TLS.
        FailTlsLogIn("534 Data in clear after the 234 reply to AUTH TLS; connection closed", 534);
        return;
    }
    // The next step (USER) runs once the handshake is done and the
    // certificate is trusted.
    AwaitReply(TFtpAwaitedReply::None);
    try {
        FControlSocket->StartSslHandshake();
    } catch (const std::exception& e) {
        FailTlsLogIn("534 TLS handshake failed: " + FtpExceptionText(e), 534);
    }
}

TCustomFtpCli::TlsTrust TCustomFtpCli::DecideTrust(std::string& how)
{
    const TSslPeerInfo& peer = FControlSocket->SslPeer();
    std::string remembered, presented;
    const bool sameFingerprint = SslParseFingerprint(FTlsFingerprint, remembered) &&
                                 SslParseFingerprint(peer.fingerprint, presented) && remembered == presented;
    if (FTlsFingerprintPinned && !FTlsFingerprint.empty()) {
        // Pinned: the fingerprint decides alone, whoever vouches for the
        // certificate, and nobody is asked.
        if (sameFingerprint) {
            how = peer.verified ? "certificate verified and matches the pinned fingerprint"
                                : "certificate matches the pinned fingerprint";
            return TlsTrust::Accepted;
        }
        how = "its SHA-256 fingerprint is not the pinned one";
        return TlsTrust::Refused;
    }
    if (peer.verified) {
        how = "certificate verified";
        return TlsTrust::Accepted;
    }
    if (sameFingerprint) {
        how = "certificate trusted by its remembered fingerprint";
        return TlsTrust::Accepted;
    }
    how = peer.verifyError;
    if (!OnVerifyCertificate)
        return TlsTrust::Refused;
    TFtpCertificateQuestion question;
    question.host = FControlSocket->SslServerName();
    question.peer = peer;
    question.rememberedFingerprint = FTlsFingerprint;
    bool trust = false;
    auto alive = Alive();
    const TFtpClientState state = FState;
    OnVerifyCertificate(this, question, trust);
    if (!alive)
        return TlsTrust::Gone;
    UserAnswered();
    // The handler may have run the message loop and the request ended
    // meanwhile (an abort): then there is nothing left to decide.
    if (FState != state || !FControlSocket || FControlSocket->State() != wsConnected)
        return TlsTrust::Gone;
    if (!trust)
        return TlsTrust::Refused;
    FTlsFingerprint = question.peer.fingerprint;
    how = "certificate trusted by the user";
    return TlsTrust::Accepted;
}

void TCustomFtpCli::ControlSocketSslHandshakeDone(TObject*, std::uint16_t Error)
{
    // Explicit TLS: the handshake that follows the 234 to AUTH TLS.
    // Implicit TLS: the one that opens the connection, before the greeting.
    const bool upgrading = FState == ftpStAwaitingReply && FCurrentStep == StepAuth;
    const bool opening = FState == ftpStConnecting && FSecurity == TFtpSecurity::Implicit;
    if (!upgrading && !opening)
        return;
    auto alive = Alive();
    if (Error != 0) {
        std::string why = FControlSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        FTlsFailure = "534 TLS handshake failed: " + why;
        DoDisplay("! " + FTlsFailure);
        if (!alive)
            return;
        // Implicit TLS: the connect event that follows reports the failure.
        if (upgrading)
            FailTlsLogIn(FTlsFailure, 534, false);
        return;
    }
    std::string how;
    const TlsTrust trust = DecideTrust(how);
    if (trust == TlsTrust::Gone)
        return;
    if (trust == TlsTrust::Refused) {
        const TSslPeerInfo& peer = FControlSocket->SslPeer();
        DoDisplay("! Certificate of " + FControlSocket->SslServerName() + " not trusted: " + how +
                  " (SHA-256 fingerprint " + SslFingerprintDisplay(peer.fingerprint) + ")");
        if (!alive)
            return;
        FTlsFailure = "534 Certificate not trusted: " + how;
        FailTlsLogIn(FTlsFailure, 534, false);
        return;
    }
    const TSslPeerInfo& peer = FControlSocket->SslPeer();
    DoDisplay("! TLS: " + peer.protocol + ", " + peer.cipher + ", " + how);
    if (!alive)
        return;
    // Implicit TLS: the greeting comes next, after the connect event.
    if (upgrading)
        FinishRequest(0);
}
