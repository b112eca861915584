// Storing: STOR and APPE from a local file, piece by piece, with progress
// that follows what the server has taken.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <algorithm>

void TCustomFtpCli::StartStor()
{
    FRequestType = ftpPutAsync;
    FEngine->StartPutData(false);
}

void TCustomFtpCli::StartAppe()
{
    FRequestType = ftpAppendAsync;
    FEngine->StartPutData(true);
}

void TCustomFtpCli::TEngine::StartPutData(bool Append)
{
    CheckReady();
    if (!Cli.FControlUp)
        Cli.DoCheckFailed("STOR/APPE: not connected");
    if (Cli.FLocalFileName.empty())
        Cli.DoCheckFailed("LocalFileName empty");
    CheckNoLineBreak(Cli.FHostFileName, "HostFileName");

    CurrentStep = Append ? StepAppe : StepStor;
    BeginTransfer(true);
    Transfer.AppendMode = Append;
    DoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);

    bool cancel = false;
    if (!Cli.CallOut(&TCustomFtpCli::DoReadyToTransmit, &Cli, cancel))
        return;
    if (cancel) {
        Cli.FErrorMessage = "426 Transmit cancelled by application";
        Cli.FStatusCode = 426;
        if (!Display("! " + Cli.FErrorMessage))
            return;
        Cli.FRequestResult = 426;
        Cli.FinishRequest(426);
        return;
    }

    Cli.FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { TakeDataConnection(s, e); };

    LocalStream = LocalFile::OpenRead(Cli.FLocalFileName, Cli.ShareMode());
    if (!LocalStream || (Cli.FResumePosition > 0 && !LocalStream->Seek(Cli.FResumePosition))) {
        CloseLocalStream();
        Cli.FErrorMessage = "426 Unable to open local file " + Cli.FLocalFileName;
        Cli.FStatusCode = 426;
        if (!Display("! " + Cli.FErrorMessage) || !ReleaseTransfer())
            return;
        Cli.FRequestResult = 426;
        Cli.FinishRequest(426);
        return;
    }

    if (Cli.FPassive) {
        // A failure has finished the request already.
        bool connecting = false;
        if (!Cli.CallOut([&] {
                connecting =
                    ConnectPassiveData([this](TObject* s, std::uint16_t e) { PutDataSessionConnected(s, e); }, 426);
            }) ||
            !connecting)
            return;
    } else if (!TakeEarlyDataConnection(false)) {
        return;
    }
    (void)SendStorWhenDue();
}

void TCustomFtpCli::DoReadyToTransmit(bool& bCancel)
{
    if (OnReadyToTransmit)
        OnReadyToTransmit(this, bCancel);
}

// The one rule for when STOR (or APPE) leaves: at once, except in passive
// mode in clear, where it waits for the data connection. Over TLS it cannot
// wait: servers take part in the data connection's handshake only once
// they have the transfer command. In active mode the server connects once
// it has the command.
bool TCustomFtpCli::TEngine::StorWaitsForDataConnection() const
{
    return Cli.FPassive && Cli.FSecurity == TFtpSecurity::None;
}

// Sends STOR (APPE) once, when the rule above says it is due. False when a
// handler destroyed the client.
bool TCustomFtpCli::TEngine::SendStorWhenDue()
{
    if (TransferCommandSent() || (StorWaitsForDataConnection() && !Transfer.DataConnected))
        return true;
    if (!Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStAwaitingReply))
        return false;
    AwaitReply(TFtpAwaitedReply::StoreStart);
    return Cli.CallOut(&TCustomFtpCli::SendCommand, &Cli,
                       (Transfer.AppendMode ? "APPE " : "STOR ") + Cli.FHostFileName);
}

void TCustomFtpCli::TEngine::PutDataSessionConnected(TObject*, std::uint16_t Error)
{
    Cli.FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { PutDataSessionClosed(s, e); };
    Cli.FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { PutDataDrain(s, e); };
    Cli.FDataSocket->OnDataSent = nullptr;
    Transfer.DataConnected = true;
    Transfer.StartTick = GetTickCount();
    if (FailedDataConnect(Error))
        return;
    if (SendStorWhenDue())
        CheckTransferStart();
}

void TCustomFtpCli::TEngine::PutDataDrain(TObject*, std::uint16_t)
{
    // The server sends nothing on a store's data connection but TLS
    // messages (a session ticket, close_notify); a record that does not
    // decrypt means someone else is writing into the connection.
    char buffer[DataReceiveSize];
    if (Cli.FDataSocket->Receive(buffer, sizeof buffer) >= 0 || Cli.FDataSocket->LastError() != WSocketSslProtocolError)
        return;
    if (Transfer.Failure.empty())
        Transfer.Failure = "426 TLS error on the data connection: " + Cli.FDataSocket->SslErrorText();
    if (Display("! " + Transfer.Failure))
        CloseDataSocket();
}

void TCustomFtpCli::TEngine::PutDataReply()
{
    if (FtpClassOfReply(Awaited, Cli.FStatusCode) == FtpReplyClass::Preliminary) {
        Transfer.Accepted = true;
        AwaitReply(TFtpAwaitedReply::StoreEnd);
        if (TakeEarlyDataConnection(true))
            CheckTransferStart();
        return;
    }
    FailTransferStart();
}

void TCustomFtpCli::TEngine::BeginSending()
{
    // While the system's buffer is full, or once the whole file has been
    // handed over, no piece is sent for a while; the timer keeps following
    // what the peer takes meanwhile.
    SetTimer(Cli.FNotifyWindow, ProgressTimerId, ProgressTimerMs);
}

// How much of the store the peer has acknowledged: the bytes handed to the
// data socket minus the payload it reports as not yet acknowledged (its own
// queue and the system's; over TLS it counts payload, not records).
// Progress follows this, not the bytes handed over: the system's send
// buffer grows to megabytes, which a slow link needs many seconds to carry.
// True when the count moved.
bool TCustomFtpCli::TEngine::MeasureTaken()
{
    if (!Cli.FDataSocket || Cli.FDataSocket->HSocket() == winsock::INVALID_SOCKET)
        return false;
    Transfer.MeasuredAt = Transfer.ByteCount;
    const std::int64_t unacked = Cli.FDataSocket->UnackedSendBytes();
    // Should the system not tell (a socket other than TCP), what was handed
    // over is all there is to go by; a piece still in the socket's own
    // queue is left out, which can only make the count lower than true.
    const std::int64_t taken =
        unacked >= 0 ? Transfer.ByteCount - unacked
                     : (Cli.FDataSocket->AllSent() ? Transfer.ByteCount : Transfer.ByteCount - Transfer.LastPiece);
    if (taken <= Transfer.TakenCount)
        return false;
    Transfer.TakenCount = std::min(taken, Transfer.ByteCount);
    return true;
}

void TCustomFtpCli::TEngine::ProgressTimer()
{
    if (!Transfer.Storing || !Cli.FDataSocket || Cli.FDataSocket->State() != wsConnected) {
        KillTimer(Cli.FNotifyWindow, ProgressTimerId);
        return;
    }
    // DoProgress is false also when a handler destroyed the client.
    if (MeasureTaken() && !Cli.DoProgress())
        return;
    FinishDrainWhenTaken();
}

void TCustomFtpCli::TEngine::StartDrain()
{
    // The end of the file: the server learns it from the close, but the
    // connection stays open (shut for sending) until the peer has taken
    // what the system still queues, so that progress can follow the last
    // megabytes too. The peer's close or the final reply end it as well.
    Transfer.Draining = true;
    Cli.FDataSocket->ShutDown(1);
    if (MeasureTaken() && !Cli.DoProgress())
        return;
    FinishDrainWhenTaken();
}

void TCustomFtpCli::TEngine::FinishDrainWhenTaken()
{
    // Over TLS the server answers our close_notify with its own, and a
    // TLS 1.3 server may still send a session ticket: a close before
    // those arrive would reset the connection, and a server that has not
    // read everything yet could lose the end of the file. So a TLS store
    // waits for the server's end (or the final reply) instead.
    if (Transfer.Draining && Transfer.TakenCount >= Transfer.ByteCount && !Cli.FDataSocket->SslActive())
        CloseDataSocket();
}

void TCustomFtpCli::TEngine::SendNextPiece(TObject*, std::uint16_t Error)
{
    if (!LocalStream || Transfer.EndOfFile)
        return;
    // Everything handed over so far is in the system's queue. A look at it
    // every 64 KiB keeps the count close without a system call per piece.
    Transfer.LastPiece = 0;
    if (Transfer.ByteCount - Transfer.MeasuredAt >= 65536)
        (void)MeasureTaken();
    // DoProgress is false also when a handler destroyed the client.
    if (!Cli.DoProgress() || !LocalStream)
        return;
    if (Error != 0) {
        if (!Display("! Error #" + std::to_string(Error) + " sending data"))
            return;
        if (Transfer.Failure.empty())
            Transfer.Failure = "426 Error #" + std::to_string(Error) + " sending data";
        CloseDataSocket();
        return;
    }
    if (!Transfer.Sending)
        return;
    int count =
        LocalStream->Read(SendBuffer.data(), Cli.FSecurity == TFtpSecurity::None ? SendBufferSize : TlsSendPieceSize);
    if (count < 0) {
        if (!Display("! Error reading file"))
            return;
        // The server sees the close like the end of the file and may
        // answer 226 for what it got; the store has failed all the same.
        if (Transfer.Failure.empty())
            Transfer.Failure = "426 Error reading file " + Cli.FLocalFileName;
        CloseDataSocket();
    } else if (count < 1) {
        Transfer.EndOfFile = true;
        StartDrain();
    } else {
        Transfer.ByteCount += count;
        Transfer.LastPiece = count;
        Cli.FDataSocket->Send(SendBuffer.data(), count);
    }
}

void TCustomFtpCli::TEngine::PutDataSessionClosed(TObject*, std::uint16_t Error)
{
    // A close by the peer after the end of the file: what it took before
    // is measured while the handle is still there.
    if (Transfer.Draining)
        (void)MeasureTaken();
    Transfer.Draining = false;
    KillTimer(Cli.FNotifyWindow, ProgressTimerId);
    CloseLocalStream();
    // The server sends no payload on a store: once the whole file and this
    // side's close_notify are out, a server that closes without its own
    // close_notify has cut nothing short. Its final reply, on the secured
    // control connection, says whether it has the file.
    if (Error == WSocketSslTruncated && Transfer.EndOfFile)
        Error = 0;
    Transfer.DataClosed = true;
    Transfer.DataCloseError = Error;
    if (Transfer.Failure.empty() && (!Transfer.EndOfFile || Error != 0)) {
        // Every close of this side before the end of the file has said
        // why; this one is the server's (or the network's), and the file
        // may not be all there whatever the final reply says.
        Transfer.Failure = !Transfer.EndOfFile ? "426 Data connection closed before the transfer completed"
                                               : "426 Data connection failed: " + WSocketErrorDesc(Error);
        if (!Display("! " + Transfer.Failure))
            return;
    }
    CheckTransferEnd();
}

void TCustomFtpCli::TEngine::PutDataEnd()
{
    if (FtpClassOfReply(Awaited, Cli.FStatusCode) == FtpReplyClass::Completion) {
        Transfer.ReplyComplete = true;
        if (Transfer.Draining) {
            // The server has it all: nothing is left to wait for. The close
            // handler ends the store.
            if (!Cli.CallOut(&TEngine::CloseDataSocket, this) || Transfer.DataClosed)
                return;
            Transfer.DataClosed = true;
        }
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("STOR");
}
