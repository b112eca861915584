// The data connection and what both directions of a transfer share:
// PASV/PORT and EPSV/EPRT, the passive connect, taking over an accepted
// connection after the peer check, the transfer's state, its end, its
// failures, progress and the statistics line.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <cstdio>
#include <cstring>

void TCustomFtpCli::StartPort()
{
    FEngine->CheckReady();
    if (!FControlUp)
        DoCheckFailed("FTP component not connected");

    FDataSocket->SetProto("tcp");
    // An active data connection listens in the control connection's family.
    FDataSocket->SetAddr(FControlSocket->AddrFamily() == winsock::AF_INET6 ? "::" : "0.0.0.0");
    FDataSocket->SetPort("0");
    FDataSocket->OnSessionClosed = nullptr;
    FDataSocket->OnDataAvailable = nullptr;
    // Some servers connect as soon as they have the PORT command, before
    // the transfer command sets up its accept handler: remember such a
    // connection instead of losing the one notice that announces it.
    FEngine->EarlyAccept = false;
    FDataSocket->OnSessionAvailable = [this](TObject*, std::uint16_t) { FEngine->EarlyAccept = true; };

    FDataSocket->OnSessionConnected = nullptr;
    FDataSocket->OnSslHandshakeDone = nullptr;
    if (FDataSocket->State() == wsClosed)
        FDataSocket->SetSslEnable(false);

    unsigned port = 0;
    if (!FPassive) {
        FDataSocket->SetLingerOnOff(wsLingerOn);
        FDataSocket->SetLingerTimeout(10);
        FDataSocket->Listen();
        winsock::sockaddr_storage bound{};
        int len = sizeof bound;
        FDataSocket->GetSockName(bound, len);
        port = WSocketAddrPort(bound);
    }

    std::string command;
    if (FControlSocket->AddrFamily() == winsock::AF_INET6) {
        // RFC 2428: on IPv6 the data connection is set up by EPSV or EPRT
        // (PASV and PORT carry IPv4 addresses only).
        if (FPassive) {
            FPasvResponse.clear();
            command = "EPSV";
        } else {
            winsock::sockaddr_storage local{};
            int len = sizeof local;
            FControlSocket->GetSockName(local, len);
            command = "EPRT |2|" + WSocketAddrText(local) + "|" + std::to_string(port) + "|";
        }
    } else if (FPassive) {
        // A stale reply must never name the port of this transfer.
        FPasvResponse.clear();
        command = "PASV";
    } else {
        winsock::sockaddr_in local{};
        int len = sizeof local;
        FControlSocket->GetSockName(local, len);
        const unsigned char* a = reinterpret_cast<const unsigned char*>(&local.sin_addr.s_addr);
        winsock::sockaddr_in peer{};
        std::memcpy(&peer, &FControlSocket->RemoteSockAddr(), sizeof peer);
        char text[64];
        if (peer.sin_addr.s_addr == winsock::htonl(0x7F000001u))
            std::snprintf(text, sizeof text, "PORT 127,0,0,1,%u,%u", port / 256, port % 256);
        else
            std::snprintf(text, sizeof text, "PORT %u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port / 256, port % 256);
        command = text;
    }
    FEngine->Transfer.ByteCount = 0;
    FEngine->StartCommand(ftpPortAsync, StepPort, command, {200, 227, 229});
}

// Connects the data socket to the port of the last 227 (PASV) or 229 (EPSV)
// reply. On failure the request is finished with FailCode and false is
// returned.
bool TCustomFtpCli::TEngine::ConnectPassiveData(TSessionConnected OnConnected, std::uint16_t FailCode)
{
    const std::string code = std::to_string(FailCode);
    std::uint16_t port = 0;
    const bool extended = Cli.FControlSocket->AddrFamily() == winsock::AF_INET6;
    if (!(extended ? FtpEpsvPort(Cli.FPasvResponse, port) : FtpPasvPort(Cli.FPasvResponse, port))) {
        // Without a usable port there is nothing sensible to connect to.
        SetLocalFailure(code + " No data port in the " + (extended ? "EPSV" : "PASV") + " reply: " + Cli.FPasvResponse,
                        FailCode);
        if (Display("! " + Cli.FLastResponse) && ReleaseTransfer())
            Cli.FinishRequest(FailCode);
        return false;
    }
    try {
        CloseDataSocket();
        Cli.FDataSocket->SetProto("tcp");
        Cli.FDataSocket->SetPort(std::to_string(port));
        Cli.FDataSocket->SetAddr(Cli.FControlSocket->Addr());
        Cli.FDataSocket->OnSessionConnected = std::move(OnConnected);
        Cli.FDataSocket->SetLingerOnOff(wsLingerOff);
        Cli.FDataSocket->SetLingerTimeout(0);
        PrepareDataTls();
        Cli.FDataSocket->Connect();
    } catch (const std::exception& e) {
        SetLocalFailure(code + " " + FtpExceptionText(e), FailCode);
        if (ReleaseTransfer())
            Cli.FinishRequest(FailCode);
        return false;
    }
    return true;
}

bool TCustomFtpCli::TEngine::IsAcceptablePeer()
{
    // Only the server may make the data connection: anyone else who
    // reaches the port first would otherwise get (or give) the data.
    // Such a connection is closed and the listener keeps waiting.
    const winsock::sockaddr_storage& peer = Cli.FDataSocket->RemoteSockAddr();
    if (Cli.FControlSocket && WSocketSameAddr(peer, Cli.FControlSocket->RemoteSockAddr()))
        return true;
    (void)Display("! Data connection from " + WSocketAddrText(peer) + " refused");
    return false;
}

// The listening data socket has a connection (active mode), in either
// direction: it is taken over when it comes from the server.
void TCustomFtpCli::TEngine::TakeDataConnection(TObject*, std::uint16_t)
{
    winsock::SOCKET accepted = Cli.FDataSocket->Accept();
    if (accepted != winsock::INVALID_SOCKET && !IsAcceptablePeer()) {
        winsock::closesocket(accepted);
        return;
    }
    TFtpTransferState& transfer = Transfer;
    Cli.FDataSocket->Close();
    if (transfer.Storing) {
        Cli.FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { PutDataSessionClosed(s, e); };
        Cli.FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { PutDataDrain(s, e); };
        Cli.FDataSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { SendNextPiece(s, e); };
    } else {
        Cli.FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { GetDataSessionClosed(s, e); };
        Cli.FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { GetDataAvailable(s, e); };
        Cli.FDataSocket->OnDataSent = nullptr;
    }
    PrepareDataTls();
    Cli.FDataSocket->Dup(accepted);
    if (!transfer.Storing) {
        transfer.StartTick = GetTickCount();
        return;
    }
    int sendBufferSize = 0;
    int optionLength = sizeof sendBufferSize;
    if (winsock::getsockopt(Cli.FDataSocket->HSocket(), winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                            reinterpret_cast<char*>(&sendBufferSize), &optionLength) != 0)
        Cli.DoCheckFailed("winsock.getsockopt(SO_SNDBUF) failed");
    Cli.FDataSocket->SetLingerOnOff(wsLingerOff);
    Cli.FDataSocket->SetLingerTimeout(10);
    Cli.FDataSocket->SetLingerOption();
    // Over TLS the connection counts as made once its handshake is done
    // (ActiveDataTlsHandshakeDone).
    if (Cli.FSecurity != TFtpSecurity::None)
        return;
    transfer.DataConnected = true;
    CheckTransferStart();
}

// A connection the server made at PORT time, before the transfer command
// set up its accept handler, is taken over now: in clear before the
// transfer command (Opened false), over TLS once the 125/150 has come
// (Opened true; see TakeOverAfterOpening). False when a handler destroyed
// the client.
bool TCustomFtpCli::TEngine::TakeEarlyDataConnection(bool Opened)
{
    if (Cli.FPassive || !EarlyAccept || Opened != TakeOverAfterOpening())
        return true;
    EarlyAccept = false;
    return Cli.CallOut(&TEngine::TakeDataConnection, this, Cli.FDataSocket, 0);
}

// A passive data connection that failed to connect, or whose TLS is not
// acceptable, fails the request. True when it did.
bool TCustomFtpCli::TEngine::FailedDataConnect(std::uint16_t Error)
{
    const std::string tlsProblem = DataTlsProblem(Error);
    if (Error == 0 && tlsProblem.empty())
        return false;
    if (!tlsProblem.empty() && TransferCommandSent()) {
        // The server has the transfer command (over TLS it goes out with
        // the connect) and answers it once it sees the data connection
        // fail: the request ends with those replies, so that the next
        // command reads its own reply and not this one's.
        if (Transfer.Failure.empty())
            Transfer.Failure = "426 " + tlsProblem;
        if (Display("! 426 " + tlsProblem) && ReleaseTransfer())
            Transfer.DataClosed = true;
        return true;
    }
    if (tlsProblem.empty())
        SetLocalFailure("Unable to establish data connection, error #" + std::to_string(Error), 550);
    else
        SetLocalFailure("426 " + tlsProblem, 426);
    if ((tlsProblem.empty() || Display("! 426 " + tlsProblem)) && ReleaseTransfer())
        Cli.FinishRequest(Cli.FRequestResult);
    return true;
}

void TCustomFtpCli::TEngine::CloseLocalStream()
{
    LocalStream.reset();
}

void TCustomFtpCli::TEngine::CloseDataSocket()
{
    Transfer.Draining = false;
    KillTimer(Cli.FNotifyWindow, ProgressTimerId);
    if (!Cli.FDataSocket)
        return;
    if (Cli.FSecurity != TFtpSecurity::None && Cli.FDataSocket->State() == wsConnected &&
        Cli.FDataSocket->SslActive()) {
        // Reads what the server sent unasked (a TLS 1.3 session ticket
        // after the handshake): a close with unread bytes resets the
        // connection, and the server may then lose the end of an upload.
        char junk[DataReceiveSize];
        int received = 0;
        for (int i = 0; i < 64 && Cli.FDataSocket && Cli.FDataSocket->State() == wsConnected; ++i) {
            if (!Cli.CallOut([&] { received = Cli.FDataSocket->Receive(junk, sizeof junk); }))
                return;
            if (received <= 0)
                break;
        }
        if (!Cli.FDataSocket)
            return;
    }
    try {
        Cli.FDataSocket->Close();
    } catch (const std::exception&) {
        // The socket is closed either way; a failing close has nothing left
        // to tell the transfer.
    }
}

void TCustomFtpCli::TEngine::BeginTransfer(bool Storing)
{
    Transfer = TFtpTransferState{};
    Transfer.Storing = Storing;
}

// Whether the transfer command is out and its replies are awaited.
bool TCustomFtpCli::TEngine::TransferCommandSent() const
{
    return Awaited == TFtpAwaitedReply::StoreStart || Awaited == TFtpAwaitedReply::StoreEnd ||
           Awaited == TFtpAwaitedReply::RetrieveStart || Awaited == TFtpAwaitedReply::RetrieveEnd;
}

// The server refused the transfer command: the request fails with its reply.
void TCustomFtpCli::TEngine::FailTransferStart()
{
    RecordError();
    AwaitReply(TFtpAwaitedReply::None);
    if (!ReleaseTransfer())
        return;
    Cli.FResumePosition = 0;
    Cli.FRequestResult = Cli.FStatusCode;
    Cli.FinishRequest(Cli.FStatusCode);
}

// The final reply of a transfer is not a success: the request fails with
// it, after What ("RETR/LIST/NLST" or "STOR") is shown as failed.
void TCustomFtpCli::TEngine::FailTransferEnd(const char* What)
{
    RecordError();
    if (!ReleaseTransfer() || !Display(std::string("! ") + What + " Failed"))
        return;
    Cli.FRequestResult = Cli.FStatusCode;
    Cli.FinishRequest(Cli.FStatusCode);
}

// Where a store's bytes start to flow: once both the 125/150 and the data
// connection (over TLS: its handshake) are there, whichever comes last.
void TCustomFtpCli::TEngine::CheckTransferStart()
{
    TFtpTransferState& transfer = Transfer;
    if (!transfer.Storing || !transfer.Accepted || !transfer.DataConnected || transfer.Sending)
        return;
    transfer.Sending = true;
    if (transfer.StartTick == 0)
        transfer.StartTick = GetTickCount();
    Cli.FDataSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { SendNextPiece(s, e); };
    BeginSending();
    SendNextPiece(Cli.FDataSocket, 0);
}

// Releases what a transfer holds: the progress timer, the data connection
// (its close can reach the transfer's close handler, which reports) and
// the local file. False when a handler destroyed the client meanwhile.
bool TCustomFtpCli::TEngine::ReleaseTransfer()
{
    Transfer.Draining = false;
    KillTimer(Cli.FNotifyWindow, ProgressTimerId);
    if (Cli.FDataSocket && Cli.FDataSocket->State() != wsClosed && !Cli.CallOut(&TEngine::CloseDataSocket, this))
        return false;
    CloseLocalStream();
    return true;
}

void TCustomFtpCli::TEngine::CheckTransferEnd()
{
    // A transfer ends on two events, the final reply and the close of the
    // data connection, in either order.
    if (!Transfer.ReplyComplete || !Transfer.DataClosed)
        return;
    if (Transfer.Storing && Transfer.EndOfFile && Transfer.DataCloseError == 0 && Transfer.Failure.empty() &&
        Cli.FProgressCount != Transfer.ByteCount + Cli.FResumePosition) {
        // The final reply says the server has the whole file.
        Transfer.TakenCount = Transfer.ByteCount;
        // The store is complete: an abort asked for now changes nothing.
        if (!Cli.CallOut([this] { (void)Cli.DoProgress(); }))
            return;
    }
    if (!Cli.CallOut(&TCustomFtpCli::ShowTransferStats, &Cli))
        return;
    Cli.FResumePosition = 0;
    if (!Transfer.Failure.empty()) {
        SetLocalFailure(Transfer.Failure, 426);
        Cli.FinishRequest(426);
        return;
    }
    Cli.FRequestResult = Transfer.DataCloseError;
    Cli.FinishRequest(Cli.FRequestResult);
}

std::int64_t TCustomFtpCli::ByteCount() const
{
    return FEngine->Transfer.ByteCount;
}

bool TCustomFtpCli::DoProgress()
{
    bool abort = false;
    // A store counts what the peer has taken, a retrieve what has arrived.
    FProgressCount =
        (FEngine->Transfer.Storing ? FEngine->Transfer.TakenCount : FEngine->Transfer.ByteCount) + FResumePosition;
    if (!CallOut(OnProgress, this, FProgressCount, abort))
        return false;
    if (abort) {
        if (!FEngine->Display("! Abort requested"))
            return false;
        if (FEngine->Transfer.Failure.empty())
            FEngine->Transfer.Failure = "426 Transfer aborted";
        FEngine->CloseDataSocket();
    }
    return !abort;
}

void TCustomFtpCli::ShowTransferStats()
{
    FEngine->Transfer.StopTick = GetTickCount();
    DoDisplay("! " + FtpTransferStatsText(FEngine->Transfer.ByteCount,
                                          FEngine->Transfer.StopTick - FEngine->Transfer.StartTick));
}
