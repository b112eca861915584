// Retrieving: RETR, LIST and NLST into a local file or the display event.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

void TCustomFtpCli::StartRetr()
{
    FEngine->StartGetData("RETR");
}

void TCustomFtpCli::StartList()
{
    FEngine->StartGetData("LIST");
}

void TCustomFtpCli::StartNlst()
{
    FEngine->StartGetData("NLST");
}

void TCustomFtpCli::TEngine::StartGetData(const std::string& Command)
{
    CheckReady();
    if (!Cli.FControlUp)
        Cli.DoCheckFailed(Command + ": not connected");
    if (Cli.FLocalFileName.empty() && !Cli.FDisplayFileFlag)
        Cli.DoCheckFailed("LocalFileName empty");
    CheckNoLineBreak(Cli.FHostFileName, "HostFileName");

    CurrentStep = Command == "LIST" ? StepList : Command == "NLST" ? StepNlst : StepRetr;
    if (!InCompound)
        Cli.FRequestType = Command == "LIST" ? ftpDirAsync : Command == "NLST" ? ftpLsAsync : ftpGetAsync;
    BeginTransfer(false);
    Transfer.DataCommand = Command;
    DoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);
    Cli.FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { TakeDataConnection(s, e); };

    if (!Cli.FDisplayFileFlag) {
        LocalStream = LocalFile::OpenWrite(Cli.FLocalFileName, Cli.ShareMode());
        bool ok = LocalStream != nullptr;
        if (ok)
            ok = Cli.FResumePosition > 0 ? LocalStream->Seek(Cli.FResumePosition) : LocalStream->Truncate();
        if (!ok) {
            SetLocalFailure("Unable to open local file " + Cli.FLocalFileName, 550);
            if (ReleaseTransfer())
                Cli.FinishRequest(550);
            return;
        }
    }

    if (Cli.FPassive &&
        !ConnectPassiveData([this](TObject* s, std::uint16_t e) { GetDataSessionConnected(s, e); }, 550))
        return;

    if (!TakeEarlyDataConnection(false) || !Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStAwaitingReply))
        return;
    AwaitReply(TFtpAwaitedReply::RetrieveStart);
    Cli.SendCommand(Cli.FHostFileName.empty() ? Command : Command + " " + Cli.FHostFileName);
}

void TCustomFtpCli::TEngine::GetDataSessionConnected(TObject*, std::uint16_t Error)
{
    Cli.FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { GetDataSessionClosed(s, e); };
    Cli.FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { GetDataAvailable(s, e); };
    Cli.FDataSocket->OnDataSent = nullptr;
    Transfer.StartTick = GetTickCount();
    (void)FailedDataConnect(Error);
}

void TCustomFtpCli::TEngine::GetDataAvailable(TObject*, std::uint16_t)
{
    // False also when a handler destroyed the client.
    if (!Cli.DoProgress())
        return;
    char buffer[DataReceiveSize];
    int len = Cli.FDataSocket->Receive(buffer, sizeof buffer);
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
        if (Cli.FDataSocket->State() == wsConnected && Cli.FDataSocket->LastError() == WSocketSslProtocolError) {
            // A record that does not decrypt, or an alert: nothing after it
            // can be trusted, and the data so far may be short.
            if (Transfer.Failure.empty())
                Transfer.Failure = "426 TLS error on the data connection: " + Cli.FDataSocket->SslErrorText() + "; " +
                                   Transfer.DataCommand + " data may be incomplete";
            if (Display("! " + Transfer.Failure))
                CloseDataSocket();
            return;
        }
        if (Cli.FDataSocket->State() == wsConnected && Cli.FDataSocket->LastError() != winsock::WSAEWOULDBLOCK) {
            if (Display("! Data: Receive error " + std::to_string(Cli.FDataSocket->LastError())))
                Cli.FDataSocket->ShutDown(2);
        }
        return;
    }
    Transfer.ByteCount += len;
    if (LocalStream && !LocalStream->Write(buffer, len)) {
        if (!Display("! Error writing local file") || !Cli.CallOut([this] { Cli.FDataSocket->ShutDown(2); }))
            return;
    }
    if (Cli.FDisplayFileFlag) {
        // Lines are cut within this chunk only.
        int i = 0;
        while (i < len) {
            int start = i;
            while (i < len && buffer[i] != '\r' && buffer[i] != '\n')
                ++i;
            if (!Cli.CallOut(&TCustomFtpCli::DoDisplayFile, &Cli, std::string(buffer + start, i - start)))
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

void TCustomFtpCli::TEngine::GetDataReply()
{
    if (FtpClassOfReply(Awaited, Cli.FStatusCode) == FtpReplyClass::Preliminary) {
        AwaitReply(TFtpAwaitedReply::RetrieveEnd);
        (void)TakeEarlyDataConnection(true);
        return;
    }
    FailTransferStart();
}

void TCustomFtpCli::TEngine::GetDataEnd()
{
    // A repeated 125 ends a retrieve like a 226.
    const FtpReplyClass reply = FtpClassOfReply(Awaited, Cli.FStatusCode);
    if (reply == FtpReplyClass::Completion || reply == FtpReplyClass::Preliminary) {
        Transfer.ReplyComplete = true;
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("RETR/LIST/NLST");
}

void TCustomFtpCli::TEngine::GetDataSessionClosed(TObject*, std::uint16_t Error)
{
    CloseLocalStream();
    Transfer.DataClosed = true;
    Transfer.DataCloseError = Error;
    if (Cli.FSecurity != TFtpSecurity::None && Cli.FDataSocket && !Cli.FDataSocket->SslPeerClosed() &&
        Transfer.Failure.empty()) {
        // Without close_notify nothing tells the end of the data from a
        // connection cut by someone else, whatever came before the close:
        // the listing or file may be short.
        Transfer.Failure =
            "426 Data connection closed without TLS close_notify: " + Transfer.DataCommand + " data may be incomplete";
        if (!Display("! " + Transfer.Failure))
            return;
    }
    CheckTransferEnd();
}
