// Data connections and transfers: the PORT/PASV step, retrieving into a
// local file or the display event, storing from a local file, progress and
// the statistics line.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

bool FtpPasvPort(const std::string& reply, std::uint16_t& port)
{
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the four address
    // numbers are skipped, the data connection goes to the control
    // connection's server.
    auto open = reply.find('(');
    if (open == std::string::npos)
        return false;
    size_t pos = open + 1;
    for (int i = 0; i < 4; ++i) {
        pos = reply.find(',', pos);
        if (pos == std::string::npos)
            return false;
        ++pos;
    }
    auto comma = reply.find(',', pos);
    auto close = comma == std::string::npos ? std::string::npos : reply.find(')', comma + 1);
    if (close == std::string::npos)
        return false;
    auto number = [](const std::string& text, int& value) {
        size_t i = 0;
        while (i < text.size() && text[i] == ' ')
            ++i;
        size_t digits = 0;
        value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        while (i < text.size() && text[i] == ' ')
            ++i;
        return digits > 0 && i == text.size() && value <= 255;
    };
    int high = 0, low = 0;
    if (!number(reply.substr(pos, comma - pos), high) || !number(reply.substr(comma + 1, close - comma - 1), low))
        return false;
    int value = high * 256 + low;
    if (value == 0)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool FtpEpsvPort(const std::string& reply, std::uint16_t& port)
{
    // "229 Entering Extended Passive Mode (|||port|)": the delimiter is
    // any printable character but a digit (usually '|'), the address and
    // protocol fields stay empty, and the data connection goes to the
    // control connection's server.
    auto open = reply.find('(');
    if (open == std::string::npos || reply.size() < open + 7)
        return false;
    const char d = reply[open + 1];
    if (d < 33 || d > 126 || (d >= '0' && d <= '9'))
        return false;
    if (reply[open + 2] != d || reply[open + 3] != d)
        return false;
    std::size_t i = open + 4;
    int value = 0;
    std::size_t digits = 0;
    while (i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && digits < 5) {
        value = value * 10 + (reply[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || i + 1 >= reply.size() || reply[i] != d || reply[i + 1] != ')')
        return false;
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::string FtpTransferStatsText(std::int64_t ByteCount, std::uint32_t ElapsedMs)
{
    std::string text =
        std::to_string(ByteCount) + " bytes received/sent in " + std::to_string(ElapsedMs / 1000) + " seconds";
    if (ElapsedMs != 0) {
        std::int64_t rate = ByteCount <= 32767 ? ByteCount * 1000 / ElapsedMs : (ByteCount / ElapsedMs) * 1000;
        text += " (" + std::to_string(rate) + " Bytes/sec)";
    }
    return text;
}

void TCustomFtpCli::CloseLocalStream()
{
    FLocalStream.reset();
}

void TCustomFtpCli::CloseDataSocket()
{
    FTransfer.Draining = false;
    KillTimer(FNotifyWindow, ProgressTimerId);
    if (!FDataSocket)
        return;
    if (FSecurity != TFtpSecurity::None && FDataSocket->State() == wsConnected && FDataSocket->SslActive()) {
        // Reads what the server sent unasked (a TLS 1.3 session ticket
        // after the handshake): a close with unread bytes resets the
        // connection, and the server may then lose the end of an upload.
        auto alive = Alive();
        char junk[DataReceiveSize];
        for (int i = 0; i < 64 && FDataSocket && FDataSocket->State() == wsConnected; ++i)
            if (FDataSocket->Receive(junk, sizeof junk) <= 0 || !alive)
                break;
        if (!alive || !FDataSocket)
            return;
    }
    try {
        FDataSocket->Close();
    } catch (const std::exception&) {
        // The socket is closed either way; a failing close has nothing left
        // to tell the transfer.
    }
}

// --- PORT / PASV -----------------------------------------------------------

void TCustomFtpCli::StartPort()
{
    CheckReady();
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
    FEarlyAccept = false;
    FDataSocket->OnSessionAvailable = [this](TObject*, std::uint16_t) { FEarlyAccept = true; };

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
    FTransfer.ByteCount = 0;
    StartCommand(ftpPortAsync, StepPort, command, {200, 227, 229});
}

// --- retrieve ----------------------------------------------------------------

// Connects the data socket to the port of the last 227 (PASV) or 229 (EPSV)
// reply. On failure the request is finished with FailCode and false is
// returned.
bool TCustomFtpCli::ConnectPassiveData(TSessionConnected OnConnected, std::uint16_t FailCode)
{
    const std::string code = std::to_string(FailCode);
    std::uint16_t port = 0;
    const bool extended = FControlSocket->AddrFamily() == winsock::AF_INET6;
    if (!(extended ? FtpEpsvPort(FPasvResponse, port) : FtpPasvPort(FPasvResponse, port))) {
        // Without a usable port there is nothing sensible to connect to.
        SetLocalFailure(code + " No data port in the " + (extended ? "EPSV" : "PASV") + " reply: " + FPasvResponse,
                        FailCode);
        auto alive = Alive();
        DoDisplay("! " + FLastResponse);
        if (!alive)
            return false;
        CloseLocalStream();
        CloseDataSocket();
        FinishRequest(FailCode);
        return false;
    }
    try {
        CloseDataSocket();
        FDataSocket->SetProto("tcp");
        FDataSocket->SetPort(std::to_string(port));
        FDataSocket->SetAddr(FControlSocket->Addr());
        FDataSocket->OnSessionConnected = std::move(OnConnected);
        FDataSocket->SetLingerOnOff(wsLingerOff);
        FDataSocket->SetLingerTimeout(0);
        PrepareDataTls();
        FDataSocket->Connect();
    } catch (const std::exception& e) {
        SetLocalFailure(code + " " + FtpExceptionText(e), FailCode);
        CloseLocalStream();
        CloseDataSocket();
        FinishRequest(FailCode);
        return false;
    }
    return true;
}

void TCustomFtpCli::BeginTransfer(bool Storing)
{
    FTransfer = TransferState{};
    FTransfer.Storing = Storing;
}

void TCustomFtpCli::StartRetr()
{
    StartGetData("RETR");
}
void TCustomFtpCli::StartList()
{
    StartGetData("LIST");
}
void TCustomFtpCli::StartNlst()
{
    StartGetData("NLST");
}

void TCustomFtpCli::StartGetData(const std::string& Command)
{
    CheckReady();
    if (!FControlUp)
        DoCheckFailed(Command + ": not connected");
    if (FLocalFileName.empty() && !FDisplayFileFlag)
        DoCheckFailed("LocalFileName empty");
    CheckNoLineBreak(FHostFileName, "HostFileName");

    FCurrentStep = Command == "LIST" ? StepList : Command == "NLST" ? StepNlst : StepRetr;
    if (!FInCompound)
        FRequestType = Command == "LIST" ? ftpDirAsync : Command == "NLST" ? ftpLsAsync : ftpGetAsync;
    BeginTransfer(false);
    FTransfer.DataCommand = Command;
    FDoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);
    FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { GetDataSessionAvailable(s, e); };

    if (!FDisplayFileFlag) {
        FLocalStream = LocalFile::OpenWrite(FLocalFileName, ShareMode());
        bool ok = FLocalStream != nullptr;
        if (ok)
            ok = FResumePosition > 0 ? FLocalStream->Seek(FResumePosition) : FLocalStream->Truncate();
        if (!ok) {
            CloseLocalStream();
            SetLocalFailure("Unable to open local file " + FLocalFileName, 550);
            CloseDataSocket();
            FinishRequest(550);
            return;
        }
    }

    if (FPassive && !ConnectPassiveData([this](TObject* s, std::uint16_t e) { GetDataSessionConnected(s, e); }, 550))
        return;

    auto alive = Alive();
    if (!FPassive && FEarlyAccept && !TakeOverAfterOpening()) {
        FEarlyAccept = false;
        GetDataSessionAvailable(FDataSocket, 0);
        if (!alive)
            return;
    }
    SetState(ftpStAwaitingReply);
    if (!alive)
        return;
    AwaitReply(TFtpAwaitedReply::RetrieveStart);
    SendCommand(FHostFileName.empty() ? Command : Command + " " + FHostFileName);
}

bool TCustomFtpCli::IsAcceptablePeer()
{
    // Only the server may make the data connection: anyone else who
    // reaches the port first would otherwise get (or give) the data.
    // Such a connection is closed and the listener keeps waiting.
    const winsock::sockaddr_storage& peer = FDataSocket->RemoteSockAddr();
    if (FControlSocket && WSocketSameAddr(peer, FControlSocket->RemoteSockAddr()))
        return true;
    DoDisplay("! Data connection from " + WSocketAddrText(peer) + " refused");
    return false;
}

void TCustomFtpCli::GetDataSessionAvailable(TObject*, std::uint16_t)
{
    winsock::SOCKET accepted = FDataSocket->Accept();
    if (accepted != winsock::INVALID_SOCKET && !IsAcceptablePeer()) {
        winsock::closesocket(accepted);
        return;
    }
    FDataSocket->Close();
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { GetDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { GetDataAvailable(s, e); };
    FDataSocket->OnDataSent = nullptr;
    PrepareDataTls();
    FDataSocket->Dup(accepted);
    FTransfer.StartTick = GetTickCount();
}

void TCustomFtpCli::GetDataSessionConnected(TObject*, std::uint16_t Error)
{
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { GetDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { GetDataAvailable(s, e); };
    FDataSocket->OnDataSent = nullptr;
    FTransfer.StartTick = GetTickCount();
    (void)FailedDataConnect(Error);
}

// A passive data connection that failed to connect, or whose TLS is not
// acceptable, fails the request. True when it did.
bool TCustomFtpCli::FailedDataConnect(std::uint16_t Error)
{
    const std::string tlsProblem = DataTlsProblem(Error);
    if (Error == 0 && tlsProblem.empty())
        return false;
    if (!tlsProblem.empty() && TransferCommandSent()) {
        // The server has the transfer command (over TLS it goes out with
        // the connect) and answers it once it sees the data connection
        // fail: the request ends with those replies, so that the next
        // command reads its own reply and not this one's.
        if (FTransfer.Failure.empty())
            FTransfer.Failure = "426 " + tlsProblem;
        auto alive = Alive();
        DoDisplay("! 426 " + tlsProblem);
        if (!alive)
            return true;
        CloseDataSocket();
        if (!alive)
            return true;
        CloseLocalStream();
        FTransfer.DataClosed = true;
        return true;
    }
    if (tlsProblem.empty())
        SetLocalFailure("Unable to establish data connection, error #" + std::to_string(Error), 550);
    else
        SetLocalFailure("426 " + tlsProblem, 426);
    auto alive = Alive();
    if (!tlsProblem.empty()) {
        DoDisplay("! 426 " + tlsProblem);
        if (!alive)
            return true;
    }
    CloseDataSocket();
    if (!alive)
        return true;
    CloseLocalStream();
    FinishRequest(FRequestResult);
    return true;
}

void TCustomFtpCli::GetDataAvailable(TObject*, std::uint16_t)
{
    auto alive = Alive();
    if (!DoProgress() || !alive)
        return;
    char buffer[DataReceiveSize];
    int len = FDataSocket->Receive(buffer, sizeof buffer);
    if (len == 0) {
        if (PeerAwaitsCloseNotify()) {
            // The end of the data: the server sent close_notify and waits
            // for ours before it closes (and before it sends its final
            // reply). The close sends it.
            CloseDataSocket();
        }
        return;
    }
    if (len < 0) {
        if (FDataSocket->State() == wsConnected && FDataSocket->LastError() == WSocketSslProtocolError) {
            // A record that does not decrypt, or an alert: nothing after it
            // can be trusted, and the data so far may be short.
            if (FTransfer.Failure.empty())
                FTransfer.Failure = "426 TLS error on the data connection: " + FDataSocket->SslErrorText() + "; " +
                                    FTransfer.DataCommand + " data may be incomplete";
            DoDisplay("! " + FTransfer.Failure);
            if (!alive)
                return;
            CloseDataSocket();
            return;
        }
        if (FDataSocket->State() == wsConnected && FDataSocket->LastError() != winsock::WSAEWOULDBLOCK) {
            DoDisplay("! Data: Receive error " + std::to_string(FDataSocket->LastError()));
            if (!alive)
                return;
            FDataSocket->ShutDown(2);
        }
        return;
    }
    FTransfer.ByteCount += len;
    if (FLocalStream && !FLocalStream->Write(buffer, len)) {
        DoDisplay("! Error writing local file");
        if (!alive)
            return;
        FDataSocket->ShutDown(2);
        if (!alive)
            return;
    }
    if (FDisplayFileFlag) {
        // Lines are cut within this chunk only.
        int i = 0;
        while (i < len) {
            int start = i;
            while (i < len && buffer[i] != '\r' && buffer[i] != '\n')
                ++i;
            DoDisplayFile(std::string(buffer + start, i - start));
            if (!alive)
                return;
            while (i < len && (buffer[i] == '\r' || buffer[i] == '\n'))
                ++i;
        }
    }
}

void TCustomFtpCli::DoDisplayFile(std::string Msg)
{
    if (OnDisplayFile)
        OnDisplayFile(this, Msg);
}

void TCustomFtpCli::GetDataReply()
{
    if (FtpClassOfReply(FAwaited, FStatusCode) == FtpReplyClass::Preliminary) {
        AwaitReply(TFtpAwaitedReply::RetrieveEnd);
        if (!FPassive && FEarlyAccept) {
            FEarlyAccept = false;
            GetDataSessionAvailable(FDataSocket, 0);
        }
        return;
    }
    FailTransferStart();
}

// The server refused the transfer command: the request fails with its reply.
void TCustomFtpCli::FailTransferStart()
{
    RecordError();
    AwaitReply(TFtpAwaitedReply::None);
    CloseDataSocket();
    CloseLocalStream();
    FResumePosition = 0;
    FRequestResult = FStatusCode;
    FinishRequest(FStatusCode);
}

// The final reply of a transfer is not a success: the request fails with
// it, after What ("RETR/LIST/NLST" or "STOR") is shown as failed.
void TCustomFtpCli::FailTransferEnd(const char* What)
{
    RecordError();
    CloseLocalStream();
    auto alive = Alive();
    CloseDataSocket();
    if (!alive)
        return;
    DoDisplay(std::string("! ") + What + " Failed");
    if (!alive)
        return;
    FRequestResult = FStatusCode;
    FinishRequest(FStatusCode);
}

void TCustomFtpCli::GetDataEnd()
{
    // A repeated 125 ends a retrieve like a 226.
    const FtpReplyClass reply = FtpClassOfReply(FAwaited, FStatusCode);
    if (reply == FtpReplyClass::Completion || reply == FtpReplyClass::Preliminary) {
        FTransfer.ReplyComplete = true;
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("RETR/LIST/NLST");
}

void TCustomFtpCli::GetDataSessionClosed(TObject*, std::uint16_t Error)
{
    CloseLocalStream();
    FTransfer.DataClosed = true;
    FTransfer.DataCloseError = Error;
    if (FSecurity != TFtpSecurity::None && FDataSocket && !FDataSocket->SslPeerClosed() && FTransfer.Failure.empty()) {
        // Without close_notify nothing tells the end of the data from a
        // connection cut by someone else, whatever came before the close:
        // the listing or file may be short.
        FTransfer.Failure =
            "426 Data connection closed without TLS close_notify: " + FTransfer.DataCommand + " data may be incomplete";
        auto alive = Alive();
        DoDisplay("! " + FTransfer.Failure);
        if (!alive)
            return;
    }
    CheckTransferEnd();
}

// --- store -------------------------------------------------------------------

void TCustomFtpCli::StartStor()
{
    FRequestType = ftpPutAsync;
    StartPutData(false);
}

void TCustomFtpCli::StartAppe()
{
    FRequestType = ftpAppendAsync;
    StartPutData(true);
}

void TCustomFtpCli::StartPutData(bool Append)
{
    CheckReady();
    if (!FControlUp)
        DoCheckFailed("STOR/APPE: not connected");
    if (FLocalFileName.empty())
        DoCheckFailed("LocalFileName empty");
    CheckNoLineBreak(FHostFileName, "HostFileName");

    FCurrentStep = Append ? StepAppe : StepStor;
    BeginTransfer(true);
    FTransfer.AppendMode = Append;
    FDoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);

    bool cancel = false;
    auto alive = Alive();
    DoReadyToTransmit(cancel);
    if (!alive)
        return;
    if (cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FStatusCode = 426;
        DoDisplay("! " + FErrorMessage);
        if (!alive)
            return;
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }

    FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { PutDataSessionAvailable(s, e); };

    FLocalStream = LocalFile::OpenRead(FLocalFileName, ShareMode());
    if (!FLocalStream || (FResumePosition > 0 && !FLocalStream->Seek(FResumePosition))) {
        CloseLocalStream();
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FStatusCode = 426;
        DoDisplay("! " + FErrorMessage);
        if (!alive)
            return;
        CloseDataSocket();
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }

    if (FPassive) {
        // STOR waits for the data connection. A failure has finished the
        // request already. Over TLS it cannot wait: servers answer the data
        // connection's handshake only once they have the transfer command.
        if (ConnectPassiveData([this](TObject* s, std::uint16_t e) { PutDataSessionConnected(s, e); }, 426) && alive &&
            FSecurity != TFtpSecurity::None)
            SendStorCommand();
        return;
    }
    if (FEarlyAccept && !TakeOverAfterOpening()) {
        FEarlyAccept = false;
        PutDataSessionAvailable(FDataSocket, 0);
        if (!alive)
            return;
    }
    SendStorCommand();
}

void TCustomFtpCli::DoReadyToTransmit(bool& bCancel)
{
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, bCancel);
}

void TCustomFtpCli::SendStorCommand()
{
    auto alive = Alive();
    SetState(ftpStAwaitingReply);
    if (!alive)
        return;
    AwaitReply(TFtpAwaitedReply::StoreStart);
    SendCommand((FTransfer.AppendMode ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::PutDataSessionConnected(TObject*, std::uint16_t Error)
{
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { PutDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { PutDataDrain(s, e); };
    FDataSocket->OnDataSent = nullptr;
    FTransfer.DataConnected = true;
    FTransfer.StartTick = GetTickCount();
    if (FailedDataConnect(Error))
        return;
    if (FSecurity == TFtpSecurity::None) {
        SendStorCommand();
        return;
    }
    // STOR went out with the connect; sending starts when the 125/150 is
    // there too.
    if (FTransfer.Accepted) {
        FDataSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { SendNextPiece(s, e); };
        SendNextPiece(FDataSocket, 0);
    }
}

void TCustomFtpCli::PutDataSessionAvailable(TObject*, std::uint16_t)
{
    winsock::SOCKET accepted = FDataSocket->Accept();
    if (accepted != winsock::INVALID_SOCKET && !IsAcceptablePeer()) {
        winsock::closesocket(accepted);
        return;
    }
    FDataSocket->Close();
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { PutDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { PutDataDrain(s, e); };
    FDataSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { SendNextPiece(s, e); };
    PrepareDataTls();
    FDataSocket->Dup(accepted);

    int sendBufferSize = 0;
    int optionLength = sizeof sendBufferSize;
    if (winsock::getsockopt(FDataSocket->HSocket(), winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                            reinterpret_cast<char*>(&sendBufferSize), &optionLength) != 0)
        DoCheckFailed("winsock.getsockopt(SO_SNDBUF) failed");
    FDataSocket->SetLingerOnOff(wsLingerOff);
    FDataSocket->SetLingerTimeout(10);
    FDataSocket->SetLingerOption();
    // Over TLS the connection counts as made once its handshake is done
    // (ActiveDataTlsHandshakeDone).
    if (FSecurity != TFtpSecurity::None)
        return;
    FTransfer.DataConnected = true;
    // Sending starts once both the connection and the 125/150 are there.
    if (FTransfer.Accepted && FTransfer.StartTick == 0)
        PostMessage(FNotifyWindow, MsgStartSend, 0, 0);
}

void TCustomFtpCli::PutDataDrain(TObject*, std::uint16_t)
{
    // The server sends nothing on a store's data connection but TLS
    // messages (a session ticket, close_notify); a record that does not
    // decrypt means someone else is writing into the connection.
    char buffer[DataReceiveSize];
    if (FDataSocket->Receive(buffer, sizeof buffer) >= 0 || FDataSocket->LastError() != WSocketSslProtocolError)
        return;
    if (FTransfer.Failure.empty())
        FTransfer.Failure = "426 TLS error on the data connection: " + FDataSocket->SslErrorText();
    auto alive = Alive();
    DoDisplay("! " + FTransfer.Failure);
    if (!alive)
        return;
    CloseDataSocket();
}

void TCustomFtpCli::PutDataReply()
{
    if (FtpClassOfReply(FAwaited, FStatusCode) == FtpReplyClass::Preliminary) {
        FTransfer.Accepted = true;
        AwaitReply(TFtpAwaitedReply::StoreEnd);
        if (!FPassive && FEarlyAccept) {
            FEarlyAccept = false;
            auto alive = Alive();
            PutDataSessionAvailable(FDataSocket, 0);
            if (!alive)
                return;
        }
        if (FPassive) {
            FDataSocket->OnDataSent = [this](TObject* s, std::uint16_t e) { SendNextPiece(s, e); };
            BeginSending();
            SendNextPiece(FDataSocket, 0);
        } else if (FTransfer.DataConnected && FTransfer.StartTick == 0) {
            PostMessage(FNotifyWindow, MsgStartSend, 0, 0);
        }
        return;
    }
    FailTransferStart();
}

void TCustomFtpCli::BeginSending()
{
    // While the system's buffer is full, or once the whole file has been
    // handed over, no piece is sent for a while; the timer keeps following
    // what the peer takes meanwhile.
    SetTimer(FNotifyWindow, ProgressTimerId, ProgressTimerMs);
}

// How much of the store the peer has acknowledged: the bytes handed to the
// data socket minus the payload it reports as not yet acknowledged (its own
// queue and the system's; over TLS it counts payload, not records).
// Progress follows this, not the bytes handed over: the system's send
// buffer grows to megabytes, which a slow link needs many seconds to carry.
// True when the count moved.
bool TCustomFtpCli::MeasureTaken()
{
    if (!FDataSocket || FDataSocket->HSocket() == winsock::INVALID_SOCKET)
        return false;
    FTransfer.MeasuredAt = FTransfer.ByteCount;
    const std::int64_t unacked = FDataSocket->UnackedSendBytes();
    // Should the system not tell (a socket other than TCP), what was handed
    // over is all there is to go by; a piece still in the socket's own
    // queue is left out, which can only make the count lower than true.
    const std::int64_t taken =
        unacked >= 0 ? FTransfer.ByteCount - unacked
                     : (FDataSocket->AllSent() ? FTransfer.ByteCount : FTransfer.ByteCount - FTransfer.LastPiece);
    if (taken <= FTransfer.TakenCount)
        return false;
    FTransfer.TakenCount = std::min(taken, FTransfer.ByteCount);
    return true;
}

void TCustomFtpCli::ProgressTimer()
{
    if (!FTransfer.Storing || !FDataSocket || FDataSocket->State() != wsConnected) {
        KillTimer(FNotifyWindow, ProgressTimerId);
        return;
    }
    auto alive = Alive();
    if (MeasureTaken() && (!DoProgress() || !alive))
        return;
    FinishDrainWhenTaken();
}

void TCustomFtpCli::StartDrain()
{
    // The end of the file: the server learns it from the close, but the
    // connection stays open (shut for sending) until the peer has taken
    // what the system still queues, so that progress can follow the last
    // megabytes too. The peer's close or the final reply end it as well.
    FTransfer.Draining = true;
    FDataSocket->ShutDown(1);
    auto alive = Alive();
    if (MeasureTaken() && (!DoProgress() || !alive))
        return;
    FinishDrainWhenTaken();
}

void TCustomFtpCli::FinishDrainWhenTaken()
{
    // Over TLS the server answers our close_notify with its own, and a
    // TLS 1.3 server may still send a session ticket: a close before
    // those arrive would reset the connection, and a server that has not
    // read everything yet could lose the end of the file. So a TLS store
    // waits for the server's end (or the final reply) instead.
    if (FTransfer.Draining && FTransfer.TakenCount >= FTransfer.ByteCount && !FDataSocket->SslActive())
        CloseDataSocket();
}

void TCustomFtpCli::SendNextPiece(TObject*, std::uint16_t Error)
{
    if (!FLocalStream || FTransfer.EndOfFile)
        return;
    auto alive = Alive();
    // Everything handed over so far is in the system's queue. A look at it
    // every 64 KiB keeps the count close without a system call per piece.
    FTransfer.LastPiece = 0;
    if (FTransfer.ByteCount - FTransfer.MeasuredAt >= 65536)
        (void)MeasureTaken();
    if (!DoProgress() || !alive || !FLocalStream)
        return;
    if (Error != 0) {
        DoDisplay("! Error #" + std::to_string(Error) + " sending data");
        if (!alive)
            return;
        if (FTransfer.Failure.empty())
            FTransfer.Failure = "426 Error #" + std::to_string(Error) + " sending data";
        CloseDataSocket();
        return;
    }
    if (!FTransfer.Accepted || !FTransfer.DataConnected)
        return;
    int count =
        FLocalStream->Read(FSendBuffer.data(), FSecurity == TFtpSecurity::None ? SendBufferSize : TlsSendPieceSize);
    if (count < 0) {
        DoDisplay("! Error reading file");
        if (!alive)
            return;
        // The server sees the close like the end of the file and may
        // answer 226 for what it got; the store has failed all the same.
        if (FTransfer.Failure.empty())
            FTransfer.Failure = "426 Error reading file " + FLocalFileName;
        CloseDataSocket();
    } else if (count < 1) {
        FTransfer.EndOfFile = true;
        StartDrain();
    } else {
        FTransfer.ByteCount += count;
        FTransfer.LastPiece = count;
        FDataSocket->Send(FSendBuffer.data(), count);
    }
}

void TCustomFtpCli::PutDataSessionClosed(TObject*, std::uint16_t Error)
{
    // A close by the peer after the end of the file: what it took before
    // is measured while the handle is still there.
    if (FTransfer.Draining)
        (void)MeasureTaken();
    FTransfer.Draining = false;
    KillTimer(FNotifyWindow, ProgressTimerId);
    CloseLocalStream();
    // The server sends no payload on a store: once the whole file and this
    // side's close_notify are out, a server that closes without its own
    // close_notify has cut nothing short. Its final reply, on the secured
    // control connection, says whether it has the file.
    if (Error == WSocketSslTruncated && FTransfer.EndOfFile)
        Error = 0;
    FTransfer.DataClosed = true;
    FTransfer.DataCloseError = Error;
    if (FTransfer.Failure.empty() && (!FTransfer.EndOfFile || Error != 0)) {
        // Every close of this side before the end of the file has said
        // why; this one is the server's (or the network's), and the file
        // may not be all there whatever the final reply says.
        FTransfer.Failure = !FTransfer.EndOfFile ? "426 Data connection closed before the transfer completed"
                                                 : "426 Data connection failed: " + WSocketErrorDesc(Error);
        auto alive = Alive();
        DoDisplay("! " + FTransfer.Failure);
        if (!alive)
            return;
    }
    CheckTransferEnd();
}

void TCustomFtpCli::PutDataEnd()
{
    if (FtpClassOfReply(FAwaited, FStatusCode) == FtpReplyClass::Completion) {
        FTransfer.ReplyComplete = true;
        if (FTransfer.Draining) {
            // The server has it all: nothing is left to wait for. The close
            // handler ends the store.
            auto alive = Alive();
            CloseDataSocket();
            if (!alive || FTransfer.DataClosed)
                return;
            FTransfer.DataClosed = true;
        }
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("STOR");
}

void TCustomFtpCli::CheckTransferEnd()
{
    // A transfer ends on two events, the final reply and the close of the
    // data connection, in either order.
    if (!FTransfer.ReplyComplete || !FTransfer.DataClosed)
        return;
    if (FTransfer.Storing && FTransfer.EndOfFile && FTransfer.DataCloseError == 0 && FTransfer.Failure.empty() &&
        FProgressCount != FTransfer.ByteCount + FResumePosition) {
        // The final reply says the server has the whole file.
        FTransfer.TakenCount = FTransfer.ByteCount;
        auto alive = Alive();
        // The store is complete: an abort asked for now changes nothing.
        (void)DoProgress();
        if (!alive)
            return;
    }
    auto shown = Alive();
    ShowTransferStats();
    if (!shown)
        return;
    FResumePosition = 0;
    if (!FTransfer.Failure.empty()) {
        SetLocalFailure(FTransfer.Failure, 426);
        FinishRequest(426);
        return;
    }
    FRequestResult = FTransfer.DataCloseError;
    FinishRequest(FRequestResult);
}

// --- progress and statistics -------------------------------------------------

bool TCustomFtpCli::DoProgress()
{
    bool abort = false;
    // A store counts what the peer has taken, a retrieve what has arrived.
    FProgressCount = (FTransfer.Storing ? FTransfer.TakenCount : FTransfer.ByteCount) + FResumePosition;
    if (OnProgress) {
        auto alive = Alive();
        OnProgress(this, FProgressCount, abort);
        if (!alive)
            return false;
    }
    if (abort) {
        auto alive = Alive();
        DoDisplay("! Abort requested");
        if (!alive)
            return false;
        if (FTransfer.Failure.empty())
            FTransfer.Failure = "426 Transfer aborted";
        CloseDataSocket();
    }
    return !abort;
}

void TCustomFtpCli::ShowTransferStats()
{
    FTransfer.StopTick = GetTickCount();
    DoDisplay("! " + FtpTransferStatsText(FTransfer.ByteCount, FTransfer.StopTick - FTransfer.StartTick));
}

// --- TLS on data connections -------------------------------------------------

void TCustomFtpCli::PrepareDataTls()
{
    if (FSecurity == TFtpSecurity::None) {
        FDataSocket->SetSslEnable(false);
        return;
    }
    // This side is the TLS client in both modes (RFC 4217 7), and the data
    // connection resumes a session of this log-in (TlsSessionPool).
    FDataSocket->SetSslEnable(true);
    FDataSocket->SetSslContext(FSslContext);
    FDataSocket->SetSslServerName(FControlSocket->SslServerName());
    TSslSession session = FTlsSessions.Next();
    FDataSocket->SetSslResumeSession(session ? std::move(session) : FControlSocket->SslSession());
    // A taken-over connection has no connect event: its handshake reports
    // alone. A connected one reports through the connect event that follows.
    if (FPassive)
        FDataSocket->OnSslHandshakeDone = nullptr;
    else
        FDataSocket->OnSslHandshakeDone = [this](TObject* s, std::uint16_t e) { ActiveDataTlsHandshakeDone(s, e); };
}

std::string TCustomFtpCli::DataTlsProblem(std::uint16_t Error)
{
    if (FSecurity == TFtpSecurity::None || !FDataSocket)
        return {};
    if (Error >= WSocketSslHandshakeFailed && Error <= WSocketSslTruncated) {
        std::string why = FDataSocket->SslErrorText();
        if (why.empty())
            why = WSocketErrorDesc(Error);
        return "TLS handshake on the data connection failed: " + why;
    }
    if (Error != 0)
        return {};
    // The control connection's certificate was the one trusted; a data
    // connection must come from the same server.
    if (!FControlSocket || FDataSocket->SslPeer().fingerprint != FControlSocket->SslPeer().fingerprint)
        return "The data connection's certificate differs from the control connection's";
    return {};
}

// Active mode over TLS: the handshake that follows the accepted connection
// is done.
void TCustomFtpCli::ActiveDataTlsHandshakeDone(TObject*, std::uint16_t Error)
{
    const std::string problem = DataTlsProblem(Error);
    auto alive = Alive();
    if (!problem.empty() || Error != 0) {
        const std::string failure =
            "426 " + (problem.empty() ? "Data connection failed, error #" + std::to_string(Error) : problem);
        if (FTransfer.Failure.empty())
            FTransfer.Failure = failure;
        if (FErrorMessage.empty())
            FErrorMessage = failure;
        DoDisplay("! " + failure);
        if (!alive)
            return;
        // The close ends the transfer with the final reply, which the
        // server sends once it sees the connection fail.
        CloseDataSocket();
        return;
    }
    if (!FTransfer.Storing)
        return;
    FTransfer.DataConnected = true;
    if (FTransfer.Accepted && FTransfer.StartTick == 0)
        PostMessage(FNotifyWindow, MsgStartSend, 0, 0);
}

bool TCustomFtpCli::TransferCommandSent() const
{
    return FAwaited == TFtpAwaitedReply::StoreStart || FAwaited == TFtpAwaitedReply::StoreEnd ||
           FAwaited == TFtpAwaitedReply::RetrieveStart || FAwaited == TFtpAwaitedReply::RetrieveEnd;
}

bool TCustomFtpCli::PeerAwaitsCloseNotify()
{
    // A receive that ends the payload over TLS is either the peer's
    // close_notify or the end of the stream. After close_notify the
    // connection is still open: the peer waits for ours. The end of the
    // stream is left to the close event, which tells a truncated transfer.
    return FSecurity != TFtpSecurity::None && FDataSocket && FDataSocket->SslPeerClosed() &&
           FDataSocket->State() == wsConnected;
}

void TCustomFtpCli::KeepTlsSession(const TSslSession& Session)
{
    // Only a session made with the certificate trusted for this log-in: a
    // data connection whose certificate is refused may still have issued
    // tickets, and resuming one would skip the check.
    if (FSecurity == TFtpSecurity::None || !FControlSocket || FControlSocket->SslPeer().fingerprint.empty() ||
        SslSessionFingerprint(Session) != FControlSocket->SslPeer().fingerprint)
        return;
    FTlsSessions.Add(Session);
}

void TlsSessionPool::Clear()
{
    FUnused.clear();
    FOffered.reset();
}

void TlsSessionPool::Add(TSslSession Session)
{
    if (!Session)
        return;
    if (FUnused.size() == Limit)
        FUnused.erase(FUnused.begin());
    FUnused.push_back(std::move(Session));
}

TSslSession TlsSessionPool::Next()
{
    if (!FUnused.empty()) {
        FOffered = std::move(FUnused.back());
        FUnused.pop_back();
    }
    return SslSessionCopy(FOffered);
}

bool TCustomFtpCli::TakeOverAfterOpening() const
{
    // A server that connected at PORT time may not take part in a TLS
    // handshake before it has the transfer command (pyftpdlib closes such
    // a connection): over TLS the connection is taken over once the
    // reply 125 or 150 says the transfer is open.
    return FSecurity != TFtpSecurity::None;
}
