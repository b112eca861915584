// The control connection: opening it, sending commands, reading the input
// into whole replies and handing each to the handler that awaits it, and
// its close.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <cstring>

TCustomFtpCli::TCustomFtpCli(TComponent* AOwner) : TComponent(AOwner), FEngine(std::make_unique<TEngine>())
{
    FNotifyWindow = AllocateHWnd([this](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg == MsgRequestDone || (msg == WM_TIMER && w == ProgressTimerId)) {
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
    FEngine->LocalStream.reset();
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

bool TCustomFtpCli::Display(std::string Msg)
{
    return CallOut(&TCustomFtpCli::DoDisplay, this, std::move(Msg));
}

void TCustomFtpCli::AwaitReply(TFtpAwaitedReply Awaited)
{
    // The one place that says which reply comes next.
    FEngine->Awaited = Awaited;
}

void TCustomFtpCli::SendCommand(std::string Cmd)
{
    if (!CallOut(OnCommand, this, Cmd) || !Display("> " + Cmd))
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

void TCustomFtpCli::StartOpen()
{
    CheckReady();
    if (FControlUp)
        DoCheckFailed("FTP component already connected");
    if (!FEngine->InCompound)
        FRequestType = ftpOpenAsync;
    FEngine->DoneReported = false;
    FEngine->ReceiveLength = 0;
    FRequestResult = 0;
    FEngine->TlsFailure.clear();
    FEngine->TlsSessions.Clear();
    // The prefix of the address says how the session is secured; the name
    // looked up, sent as SNI and checked against the certificate is the
    // bare host.
    const TFtpAddress address = FtpSplitAddress(FHostName);
    FSecurity = address.security;
    FEngine->OpenedFor = SettingsIdentity();
    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStResolving))
        return;
    try {
        if (FControlSocket->State() == wsClosed) {
            // Implicit TLS starts with the connection; explicit TLS only
            // after AUTH TLS.
            FControlSocket->SetSslEnable(FSecurity == TFtpSecurity::Implicit);
            FControlSocket->SetSslServerName(address.host);
            FControlSocket->SetSslContext(FSecurity == TFtpSecurity::None ? nullptr : SslContextForUse());
        }
    } catch (const std::exception& e) {
        // No TLS context (say an unreadable CA file): nothing is sent.
        SetLocalFailure("500 " + FtpExceptionText(e), 500);
        if (Display("! " + FLastResponse))
            FinishRequest(500);
        return;
    }
    try {
        FControlSocket->DnsLookup(address.host);
    } catch (const std::exception& e) {
        // Say so in the dialogue too: an address written in a form that is
        // refused (say "127.1") must not look like a network failure.
        SetLocalFailure("500 " + FtpExceptionText(e), 500);
        if (Display("! " + FLastResponse))
            FinishRequest(500);
    }
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
        if (!CallOut(&TCustomFtpCli::SetState, this, ftpStConnecting))
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
        if (FEngine->TlsFailure.empty()) {
            SetLocalFailure("500 " + FtpSocketErrorText(Error), Error);
            FStatusCode = 500;
        } else {
            SetLocalFailure(FEngine->TlsFailure, Error);
            FStatusCode = 534;
        }
        DropRemainingSteps();
        if (!CallOut(&TCustomFtpCli::FinishRequest, this, Error))
            return;
        if (FControlSocket && !CallOut(&TWSocket::Close, FControlSocket))
            return;
        SetState(ftpStReady);
        return;
    }
    FControlUp = true;
}

void TCustomFtpCli::ControlSocketDataAvailable(TObject*, std::uint16_t Error)
{
    if (!FControlSocket)
        return;
    int len = FControlSocket->Receive(FEngine->ReceiveBuffer + FEngine->ReceiveLength,
                                      ReceiveBufferSize - FEngine->ReceiveLength);
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
    FEngine->ReceiveLength += len;
    FEngine->ReceiveBuffer[FEngine->ReceiveLength] = '\0';

    while (FEngine->ReceiveLength > 0) {
        int consumed = 0;
        if (!FtpCutReplyLine(FEngine->ReceiveBuffer, FEngine->ReceiveLength, (FOptions & ftpAcceptLF) != 0,
                             FLastResponse, consumed))
            break;

        if (!CallOut(OnResponse, this))
            return;

        FEngine->ReceiveLength -= consumed;
        if (FEngine->ReceiveLength < 0)
            FEngine->ReceiveLength = 0;
        std::memmove(FEngine->ReceiveBuffer, FEngine->ReceiveBuffer + consumed, FEngine->ReceiveLength + 1);

        const TFtpClientState state = FState;
        if (!Display("< " + FLastResponse))
            return;
        if (state != ftpStConnecting && state != ftpStAwaitingReply)
            continue; // nothing awaited: shown and otherwise ignored
        // Every handler gets whole replies: the lines of a multi-line reply
        // before its last one are only shown.
        if (!ParseReplyLine())
            continue;
        if (FState == ftpStConnecting) {
            bool greeted = false;
            if (!CallOut([&] { greeted = HandleGreetingLine(Error); }) || !greeted)
                return;
        } else if (FState == ftpStAwaitingReply && !CallOut(&TCustomFtpCli::HandleReply, this)) {
            return;
        }
    }
}

void TCustomFtpCli::HandleReply()
{
    switch (FEngine->Awaited) {
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
        DoCheckFailed(std::string("Program error: no handler for the awaited reply ") + ToString(FEngine->Awaited));
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
    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStGreeted) || !CallOut(OnSessionConnected, this, Error))
        return false;
    FinishRequest(0);
    return true;
}

// Reads the code of the line just cut; false when the line does not end a
// reply (not numeric, or a continuation line).
bool TCustomFtpCli::ParseReplyLine()
{
    int code = FStatusCode;
    const bool ends = FtpReplyLineEnds(FLastResponse, code);
    FStatusCode = code;
    return ends;
}

void TCustomFtpCli::GenericReply()
{
    if (FEngine->AcceptedCodes[0] == 0) {
        if (FtpClassOfReply(FEngine->Awaited, FStatusCode) == FtpReplyClass::PermanentFailure) {
            FRequestResult = FStatusCode;
            RecordError();
        } else {
            FRequestResult = 0;
        }
    } else {
        bool accepted = false;
        for (int i = 0; i < 16 && FEngine->AcceptedCodes[i] != 0; ++i) {
            if (FEngine->AcceptedCodes[i] == FStatusCode) {
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

    if (FEngine->Awaited == TFtpAwaitedReply::Quit) {
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
    switch (FEngine->CurrentStep) {
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
    // Whether the last request had completed before the close: then the
    // connection was idle and nothing is left to report.
    const bool idle = FEngine->DoneReported;
    // A reply that was still awaited will not come, and a step that has not
    // sent its command yet (a transfer whose passive data connection is
    // still being made) cannot send it: the request fails rather than
    // completing with the result of its earlier replies. Only QUIT expects
    // the close.
    if (FState == ftpStConnecting || (FState == ftpStAwaitingReply && FEngine->Awaited != TFtpAwaitedReply::Quit) ||
        (FState == ftpStStepReady && !idle))
        FailOnLostControl();
    const bool wasUp = FControlUp;
    if (wasUp) {
        FControlUp = false;
        if (FState != ftpStAborting && !CallOut(&TCustomFtpCli::SetState, this, ftpStClosed))
            return;
        if (!CallOut(OnSessionClosed, this, Error))
            return;
    }
    // The close of an idle connection (the server's idle time-out, or a
    // close right behind the last reply) leaves the component ready: a
    // blocking call that has not yet looked at the state must find
    // ftpStReady, not wait for its time-out.
    if (FState != ftpStAborting) {
        const TFtpClientState next = !idle ? ftpStStepReady : ftpStReady;
        if (!CallOut(&TCustomFtpCli::SetState, this, next))
            return;
    }
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::FailOnTlsError()
{
    // A record that does not decrypt (or an alert) ends the session: no
    // reply after it can be trusted, and none will be read.
    const std::string failure = "426 TLS error on the control connection: " + FControlSocket->SslErrorText();
    if (!FEngine->DoneReported && FRequestResult == 0)
        SetLocalFailure(failure, 426);
    if (!Display("! " + failure) || !FControlSocket)
        return;
    FControlSocket->Close();
}

void TCustomFtpCli::FailOnLostControl()
{
    if (FEngine->DoneReported || FRequestResult != 0)
        return;
    SetLocalFailure("426 Connection closed by the server", 426);
}
