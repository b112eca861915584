// The control connection: opening it, sending commands, reading the input
// into whole replies and handing each to the handler that awaits it, and
// its close.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <cstring>

TCustomFtpCli::TCustomFtpCli(TComponent* AOwner) : TComponent(AOwner), FEngine(std::make_unique<TEngine>(*this))
{
    FNotifyWindow = AllocateHWnd([this](HWND hwnd, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg == MsgRequestDone || (msg == WM_TIMER && w == ProgressTimerId)) {
            FEngine->WndProc(msg, w, l);
            return 0;
        }
        return DefWindowProc(hwnd, msg, w, l);
    });

    FControlSocket = new TWSocket(this);
    FControlSocket->OnSessionConnected = [this](TObject* s, std::uint16_t e) {
        FEngine->ControlSocketSessionConnected(s, e);
    };
    FControlSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) {
        FEngine->ControlSocketDataAvailable(s, e);
    };
    FControlSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) {
        FEngine->ControlSocketSessionClosed(s, e);
    };
    FControlSocket->OnDnsLookupDone = [this](TObject* s, std::uint16_t e) {
        FEngine->ControlSocketDnsLookupDone(s, e);
    };
    FControlSocket->OnSslHandshakeDone = [this](TObject* s, std::uint16_t e) {
        FEngine->ControlSocketSslHandshakeDone(s, e);
    };
    FDataSocket = new TWSocket(this);
    // A store's pieces go out whole, one send each.
    FDataSocket->SetBufSize(SendBufferSize);
    // Sessions the server issues on either connection serve the data
    // connections to come.
    for (TWSocket* socket : {FControlSocket, FDataSocket})
        socket->OnSslNewSession = [this](TObject*, const TSslSession& session) { FEngine->KeepTlsSession(session); };
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

bool TCustomFtpCli::TEngine::Display(std::string Msg)
{
    return Cli.CallOut(&TCustomFtpCli::DoDisplay, &Cli, std::move(Msg));
}

void TCustomFtpCli::TEngine::AwaitReply(TFtpAwaitedReply Reply)
{
    // The one place that says which reply comes next.
    Awaited = Reply;
}

void TCustomFtpCli::SendCommand(std::string Cmd)
{
    if (!CallOut(OnCommand, this, Cmd) || !FEngine->Display("> " + Cmd))
        return;
    // A command while the socket is not connected is only displayed; the
    // request then waits for a reply that does not come.
    if (FControlSocket && FControlSocket->State() == wsConnected)
        FControlSocket->SendStr(Cmd + "\r\n");
}

void TCustomFtpCli::TEngine::RecordError()
{
    if (Cli.FErrorMessage.empty())
        Cli.FErrorMessage = Cli.FLastResponse;
}

void TCustomFtpCli::TEngine::SetLocalFailure(const std::string& Line, int Code)
{
    Cli.FLastResponse = Line;
    Cli.FStatusCode = Code;
    Cli.FRequestResult = Code;
    RecordError();
}

void TCustomFtpCli::StartOpen()
{
    FEngine->CheckReady();
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
            FControlSocket->SetSslContext(FSecurity == TFtpSecurity::None ? nullptr : FEngine->SslContextForUse());
        }
    } catch (const std::exception& e) {
        // No TLS context (say an unreadable CA file): nothing is sent.
        FEngine->SetLocalFailure("500 " + FtpExceptionText(e), 500);
        if (FEngine->Display("! " + FLastResponse))
            FinishRequest(500);
        return;
    }
    try {
        FControlSocket->DnsLookup(address.host);
    } catch (const std::exception& e) {
        // Say so in the dialogue too: an address written in a form that is
        // refused (say "127.1") must not look like a network failure.
        FEngine->SetLocalFailure("500 " + FtpExceptionText(e), 500);
        if (FEngine->Display("! " + FLastResponse))
            FinishRequest(500);
    }
}

void TCustomFtpCli::TEngine::ControlSocketDnsLookupDone(TObject*, std::uint16_t Error)
{
    if (Cli.FState != ftpStResolving)
        return;
    if (Error != 0) {
        SetLocalFailure("500 " + WSocketLookupErrorText(FtpSplitAddress(Cli.FHostName).host, Error), 500);
        Cli.FinishRequest(Error);
        return;
    }
    try {
        // Every address the name has, IPv6 and IPv4, in the system's order:
        // the first that answers carries the session.
        const std::vector<std::string> addresses = Cli.FControlSocket->DnsResultList().empty()
                                                       ? std::vector<std::string>{Cli.FControlSocket->DnsResult()}
                                                       : Cli.FControlSocket->DnsResultList();
        Cli.FControlSocket->SetProto("tcp");
        Cli.FControlSocket->SetPort(Cli.FPort);
        AwaitReply(TFtpAwaitedReply::Greeting);
        if (!Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStConnecting))
            return;
        Cli.FControlSocket->ConnectAny(addresses);
    } catch (const std::exception& e) {
        SetLocalFailure("500 " + FtpExceptionText(e), 500);
        Cli.FinishRequest(500);
    }
}

void TCustomFtpCli::TEngine::ControlSocketSessionConnected(TObject*, std::uint16_t Error)
{
    // Only a connect in progress is reported: a log-in that refused the
    // certificate of an implicit TLS connection has ended already.
    if (Cli.FState != ftpStConnecting)
        return;
    if (Error != 0) {
        // A refused or failed connect fails the request: its result follows
        // the error it reports, so the synchronous Connect returns false.
        // A failed TLS handshake (implicit TLS) has said why already.
        if (TlsFailure.empty()) {
            SetLocalFailure("500 " + FtpSocketErrorText(Error), Error);
            Cli.FStatusCode = 500;
        } else {
            SetLocalFailure(TlsFailure, Error);
            Cli.FStatusCode = 534;
        }
        DropRemainingSteps();
        if (!Cli.CallOut(&TCustomFtpCli::FinishRequest, &Cli, Error))
            return;
        if (Cli.FControlSocket && !Cli.CallOut(&TWSocket::Close, Cli.FControlSocket))
            return;
        Cli.SetState(ftpStReady);
        return;
    }
    Cli.FControlUp = true;
}

void TCustomFtpCli::TEngine::ControlSocketDataAvailable(TObject*, std::uint16_t Error)
{
    if (!Cli.FControlSocket)
        return;
    int len = Cli.FControlSocket->Receive(ReceiveBuffer + ReceiveLength, ReceiveBufferSize - ReceiveLength);
    if (len == 0) {
        // The server closed (or a line filled the whole buffer without an end).
        Cli.FControlSocket->Close();
        return;
    }
    if (len < 0) {
        if (Cli.FControlSocket->LastError() == WSocketSslProtocolError)
            FailOnTlsError();
        return;
    }
    ReceiveLength += len;
    ReceiveBuffer[ReceiveLength] = '\0';

    while (ReceiveLength > 0) {
        int consumed = 0;
        if (!FtpCutReplyLine(ReceiveBuffer, ReceiveLength, (Cli.FOptions & ftpAcceptLF) != 0, Cli.FLastResponse,
                             consumed))
            break;

        if (!Cli.CallOut(Cli.OnResponse, &Cli))
            return;

        ReceiveLength -= consumed;
        if (ReceiveLength < 0)
            ReceiveLength = 0;
        std::memmove(ReceiveBuffer, ReceiveBuffer + consumed, ReceiveLength + 1);

        const TFtpClientState state = Cli.FState;
        if (!Display("< " + Cli.FLastResponse))
            return;
        if (state != ftpStConnecting && state != ftpStAwaitingReply)
            continue; // nothing awaited: shown and otherwise ignored
        // Every handler gets whole replies: the lines of a multi-line reply
        // before its last one are only shown.
        if (!ParseReplyLine())
            continue;
        if (Cli.FState == ftpStConnecting) {
            bool greeted = false;
            if (!Cli.CallOut([&] { greeted = HandleGreetingLine(Error); }) || !greeted)
                return;
        } else if (Cli.FState == ftpStAwaitingReply && !Cli.CallOut(&TEngine::HandleReply, this)) {
            return;
        }
    }
}

void TCustomFtpCli::TEngine::HandleReply()
{
    switch (Awaited) {
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
        Cli.DoCheckFailed(std::string("Program error: no handler for the awaited reply ") + ToString(Awaited));
    } catch (const FtpException&) {
        // Reported through the check path; the input goes on.
    }
}

bool TCustomFtpCli::TEngine::HandleGreetingLine(std::uint16_t Error)
{
    if (FtpClassOfReply(TFtpAwaitedReply::Greeting, Cli.FStatusCode) != FtpReplyClass::Completion) {
        RecordError();
        Cli.FRequestResult = Cli.FStatusCode;
        // The close completes the request.
        Cli.FControlSocket->Close();
        return false;
    }
    if (!Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStGreeted) || !Cli.CallOut(Cli.OnSessionConnected, &Cli, Error))
        return false;
    Cli.FinishRequest(0);
    return true;
}

// Reads the code of the line just cut; false when the line does not end a
// reply (not numeric, or a continuation line).
bool TCustomFtpCli::TEngine::ParseReplyLine()
{
    int code = Cli.FStatusCode;
    const bool ends = FtpReplyLineEnds(Cli.FLastResponse, code);
    Cli.FStatusCode = code;
    return ends;
}

void TCustomFtpCli::TEngine::GenericReply()
{
    if (AcceptedCodes[0] == 0) {
        if (FtpClassOfReply(Awaited, Cli.FStatusCode) == FtpReplyClass::PermanentFailure) {
            Cli.FRequestResult = Cli.FStatusCode;
            RecordError();
        } else {
            Cli.FRequestResult = 0;
        }
    } else {
        bool accepted = false;
        for (int i = 0; i < 16 && AcceptedCodes[i] != 0; ++i) {
            if (AcceptedCodes[i] == Cli.FStatusCode) {
                accepted = true;
                break;
            }
        }
        if (accepted) {
            Cli.FRequestResult = 0;
        } else {
            Cli.FRequestResult = Cli.FStatusCode;
            RecordError();
        }
    }

    if (Cli.FPassive && (Cli.FStatusCode == 227 || Cli.FStatusCode == 229))
        Cli.FPasvResponse = Cli.FLastResponse;

    if (Cli.FRequestResult == 0)
        ReadStepResults();

    if (Awaited == TFtpAwaitedReply::Quit) {
        // Whatever the reply, the session is over; the close completes the
        // request with the reply's result.
        if (Cli.FControlSocket)
            Cli.FControlSocket->Close();
    } else {
        Cli.FinishRequest(Cli.FRequestResult);
    }
}

void TCustomFtpCli::TEngine::ReadStepResults()
{
    const char* p = Cli.FLastResponse.c_str();
    int code = 0;
    switch (CurrentStep) {
    case StepSize:
        p = FtpParseNumber(p, code);
        (void)FtpParseNumber(p, Cli.FSizeResult);
        break;
    case StepCwd:
    case StepMkd:
    case StepPwd:
    case StepCdup:
        p = FtpParseNumber(p, code);
        Cli.FDirResult = FtpQuotedString(p);
        break;
    default: break;
    }
}

void TCustomFtpCli::TEngine::ControlSocketSessionClosed(TObject*, std::uint16_t Error)
{
    // Whether the last request had completed before the close: then the
    // connection was idle and nothing is left to report.
    const bool idle = DoneReported;
    // A reply that was still awaited will not come, and a step that has not
    // sent its command yet (a transfer whose passive data connection is
    // still being made) cannot send it: the request fails rather than
    // completing with the result of its earlier replies. Only QUIT expects
    // the close.
    if (Cli.FState == ftpStConnecting || (Cli.FState == ftpStAwaitingReply && Awaited != TFtpAwaitedReply::Quit) ||
        (Cli.FState == ftpStStepReady && !idle))
        FailOnLostControl();
    const bool wasUp = Cli.FControlUp;
    if (wasUp) {
        Cli.FControlUp = false;
        if (Cli.FState != ftpStAborting && !Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStClosed))
            return;
        if (!Cli.CallOut(Cli.OnSessionClosed, &Cli, Error))
            return;
    }
    // The close of an idle connection (the server's idle time-out, or a
    // close right behind the last reply) leaves the component ready: a
    // blocking call that has not yet looked at the state must find
    // ftpStReady, not wait for its time-out.
    if (Cli.FState != ftpStAborting) {
        const TFtpClientState next = !idle ? ftpStStepReady : ftpStReady;
        if (!Cli.CallOut(&TCustomFtpCli::SetState, &Cli, next))
            return;
    }
    Cli.FinishRequest(Cli.FRequestResult);
}

void TCustomFtpCli::TEngine::FailOnTlsError()
{
    // A record that does not decrypt (or an alert) ends the session: no
    // reply after it can be trusted, and none will be read.
    const std::string failure = "426 TLS error on the control connection: " + Cli.FControlSocket->SslErrorText();
    if (!DoneReported && Cli.FRequestResult == 0)
        SetLocalFailure(failure, 426);
    if (!Display("! " + failure) || !Cli.FControlSocket)
        return;
    Cli.FControlSocket->Close();
}

void TCustomFtpCli::TEngine::FailOnLostControl()
{
    if (DoneReported || Cli.FRequestResult != 0)
        return;
    SetLocalFailure("426 Connection closed by the server", 426);
}
