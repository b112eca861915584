// Retrieving: RETR, LIST and NLST into a local file or the display event.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

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

    FEngine->CurrentStep = Command == "LIST" ? StepList : Command == "NLST" ? StepNlst : StepRetr;
    if (!FEngine->InCompound)
        FRequestType = Command == "LIST" ? ftpDirAsync : Command == "NLST" ? ftpLsAsync : ftpGetAsync;
    BeginTransfer(false);
    FEngine->Transfer.DataCommand = Command;
    FEngine->DoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);
    FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { TakeDataConnection(s, e); };

    if (!FDisplayFileFlag) {
        FEngine->LocalStream = LocalFile::OpenWrite(FLocalFileName, ShareMode());
        bool ok = FEngine->LocalStream != nullptr;
        if (ok)
            ok = FResumePosition > 0 ? FEngine->LocalStream->Seek(FResumePosition) : FEngine->LocalStream->Truncate();
        if (!ok) {
            SetLocalFailure("Unable to open local file " + FLocalFileName, 550);
            if (ReleaseTransfer())
                FinishRequest(550);
            return;
        }
    }

    if (FPassive && !ConnectPassiveData([this](TObject* s, std::uint16_t e) { GetDataSessionConnected(s, e); }, 550))
        return;

    if (!TakeEarlyDataConnection(false) || !CallOut(&TCustomFtpCli::SetState, this, ftpStAwaitingReply))
        return;
    AwaitReply(TFtpAwaitedReply::RetrieveStart);
    SendCommand(FHostFileName.empty() ? Command : Command + " " + FHostFileName);
}

void TCustomFtpCli::GetDataSessionConnected(TObject*, std::uint16_t Error)
{
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { GetDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { GetDataAvailable(s, e); };
    FDataSocket->OnDataSent = nullptr;
    FEngine->Transfer.StartTick = GetTickCount();
    (void)FailedDataConnect(Error);
}

void TCustomFtpCli::GetDataAvailable(TObject*, std::uint16_t)
{
    // False also when a handler destroyed the client.
    if (!DoProgress())
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
            if (FEngine->Transfer.Failure.empty())
                FEngine->Transfer.Failure = "426 TLS error on the data connection: " + FDataSocket->SslErrorText() +
                                            "; " + FEngine->Transfer.DataCommand + " data may be incomplete";
            if (Display("! " + FEngine->Transfer.Failure))
                CloseDataSocket();
            return;
        }
        if (FDataSocket->State() == wsConnected && FDataSocket->LastError() != winsock::WSAEWOULDBLOCK) {
            if (Display("! Data: Receive error " + std::to_string(FDataSocket->LastError())))
                FDataSocket->ShutDown(2);
        }
        return;
    }
    FEngine->Transfer.ByteCount += len;
    if (FEngine->LocalStream && !FEngine->LocalStream->Write(buffer, len)) {
        if (!Display("! Error writing local file") || !CallOut([this] { FDataSocket->ShutDown(2); }))
            return;
    }
    if (FDisplayFileFlag) {
        // Lines are cut within this chunk only.
        int i = 0;
        while (i < len) {
            int start = i;
            while (i < len && buffer[i] != '\r' && buffer[i] != '\n')
                ++i;
            if (!CallOut(&TCustomFtpCli::DoDisplayFile, this, std::string(buffer + start, i - start)))
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
    if (FtpClassOfReply(FEngine->Awaited, FStatusCode) == FtpReplyClass::Preliminary) {
        AwaitReply(TFtpAwaitedReply::RetrieveEnd);
        (void)TakeEarlyDataConnection(true);
        return;
    }
    FailTransferStart();
}

void TCustomFtpCli::GetDataEnd()
{
    // A repeated 125 ends a retrieve like a 226.
    const FtpReplyClass reply = FtpClassOfReply(FEngine->Awaited, FStatusCode);
    if (reply == FtpReplyClass::Completion || reply == FtpReplyClass::Preliminary) {
        FEngine->Transfer.ReplyComplete = true;
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("RETR/LIST/NLST");
}

void TCustomFtpCli::GetDataSessionClosed(TObject*, std::uint16_t Error)
{
    CloseLocalStream();
    FEngine->Transfer.DataClosed = true;
    FEngine->Transfer.DataCloseError = Error;
    if (FSecurity != TFtpSecurity::None && FDataSocket && !FDataSocket->SslPeerClosed() &&
        FEngine->Transfer.Failure.empty()) {
        // Without close_notify nothing tells the end of the data from a
        // connection cut by someone else, whatever came before the close:
        // the listing or file may be short.
        FEngine->Transfer.Failure =
            "426 Data connection closed without TLS close_notify: " + FEngine->Transfer.DataCommand +
            " data may be incomplete";
        if (!Display("! " + FEngine->Transfer.Failure))
            return;
    }
    CheckTransferEnd();
}
