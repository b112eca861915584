// Storing: STOR and APPE from a local file, piece by piece, with progress
// that follows what the server has taken.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <algorithm>

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

    FEngine->CurrentStep = Append ? StepAppe : StepStor;
    BeginTransfer(true);
    FEngine->Transfer.AppendMode = Append;
    FEngine->DoneReported = false;
    AwaitReply(TFtpAwaitedReply::None);

    bool cancel = false;
    if (!CallOut(&TCustomFtpCli::DoReadyToTransmit, this, cancel))
        return;
    if (cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FStatusCode = 426;
        if (!Display("! " + FErrorMessage))
            return;
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }

    FDataSocket->OnSessionAvailable = [this](TObject* s, std::uint16_t e) { TakeDataConnection(s, e); };

    FEngine->LocalStream = LocalFile::OpenRead(FLocalFileName, ShareMode());
    if (!FEngine->LocalStream || (FResumePosition > 0 && !FEngine->LocalStream->Seek(FResumePosition))) {
        CloseLocalStream();
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FStatusCode = 426;
        if (!Display("! " + FErrorMessage) || !ReleaseTransfer())
            return;
        FRequestResult = 426;
        FinishRequest(426);
        return;
    }

    if (FPassive) {
        // A failure has finished the request already.
        bool connecting = false;
        if (!CallOut([&] {
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
bool TCustomFtpCli::StorWaitsForDataConnection() const
{
    return FPassive && FSecurity == TFtpSecurity::None;
}

// Sends STOR (APPE) once, when the rule above says it is due. False when a
// handler destroyed the client.
bool TCustomFtpCli::SendStorWhenDue()
{
    if (TransferCommandSent() || (StorWaitsForDataConnection() && !FEngine->Transfer.DataConnected))
        return true;
    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStAwaitingReply))
        return false;
    AwaitReply(TFtpAwaitedReply::StoreStart);
    return CallOut(&TCustomFtpCli::SendCommand, this,
                   (FEngine->Transfer.AppendMode ? "APPE " : "STOR ") + FHostFileName);
}

void TCustomFtpCli::PutDataSessionConnected(TObject*, std::uint16_t Error)
{
    FDataSocket->OnSessionClosed = [this](TObject* s, std::uint16_t e) { PutDataSessionClosed(s, e); };
    FDataSocket->OnDataAvailable = [this](TObject* s, std::uint16_t e) { PutDataDrain(s, e); };
    FDataSocket->OnDataSent = nullptr;
    FEngine->Transfer.DataConnected = true;
    FEngine->Transfer.StartTick = GetTickCount();
    if (FailedDataConnect(Error))
        return;
    if (SendStorWhenDue())
        CheckTransferStart();
}

void TCustomFtpCli::PutDataDrain(TObject*, std::uint16_t)
{
    // The server sends nothing on a store's data connection but TLS
    // messages (a session ticket, close_notify); a record that does not
    // decrypt means someone else is writing into the connection.
    char buffer[DataReceiveSize];
    if (FDataSocket->Receive(buffer, sizeof buffer) >= 0 || FDataSocket->LastError() != WSocketSslProtocolError)
        return;
    if (FEngine->Transfer.Failure.empty())
        FEngine->Transfer.Failure = "426 TLS error on the data connection: " + FDataSocket->SslErrorText();
    if (Display("! " + FEngine->Transfer.Failure))
        CloseDataSocket();
}

void TCustomFtpCli::PutDataReply()
{
    if (FtpClassOfReply(FEngine->Awaited, FStatusCode) == FtpReplyClass::Preliminary) {
        FEngine->Transfer.Accepted = true;
        AwaitReply(TFtpAwaitedReply::StoreEnd);
        if (TakeEarlyDataConnection(true))
            CheckTransferStart();
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
    FEngine->Transfer.MeasuredAt = FEngine->Transfer.ByteCount;
    const std::int64_t unacked = FDataSocket->UnackedSendBytes();
    // Should the system not tell (a socket other than TCP), what was handed
    // over is all there is to go by; a piece still in the socket's own
    // queue is left out, which can only make the count lower than true.
    const std::int64_t taken =
        unacked >= 0 ? FEngine->Transfer.ByteCount - unacked
                     : (FDataSocket->AllSent() ? FEngine->Transfer.ByteCount
                                               : FEngine->Transfer.ByteCount - FEngine->Transfer.LastPiece);
    if (taken <= FEngine->Transfer.TakenCount)
        return false;
    FEngine->Transfer.TakenCount = std::min(taken, FEngine->Transfer.ByteCount);
    return true;
}

void TCustomFtpCli::ProgressTimer()
{
    if (!FEngine->Transfer.Storing || !FDataSocket || FDataSocket->State() != wsConnected) {
        KillTimer(FNotifyWindow, ProgressTimerId);
        return;
    }
    // DoProgress is false also when a handler destroyed the client.
    if (MeasureTaken() && !DoProgress())
        return;
    FinishDrainWhenTaken();
}

void TCustomFtpCli::StartDrain()
{
    // The end of the file: the server learns it from the close, but the
    // connection stays open (shut for sending) until the peer has taken
    // what the system still queues, so that progress can follow the last
    // megabytes too. The peer's close or the final reply end it as well.
    FEngine->Transfer.Draining = true;
    FDataSocket->ShutDown(1);
    if (MeasureTaken() && !DoProgress())
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
    if (FEngine->Transfer.Draining && FEngine->Transfer.TakenCount >= FEngine->Transfer.ByteCount &&
        !FDataSocket->SslActive())
        CloseDataSocket();
}

void TCustomFtpCli::SendNextPiece(TObject*, std::uint16_t Error)
{
    if (!FEngine->LocalStream || FEngine->Transfer.EndOfFile)
        return;
    // Everything handed over so far is in the system's queue. A look at it
    // every 64 KiB keeps the count close without a system call per piece.
    FEngine->Transfer.LastPiece = 0;
    if (FEngine->Transfer.ByteCount - FEngine->Transfer.MeasuredAt >= 65536)
        (void)MeasureTaken();
    // DoProgress is false also when a handler destroyed the client.
    if (!DoProgress() || !FEngine->LocalStream)
        return;
    if (Error != 0) {
        if (!Display("! Error #" + std::to_string(Error) + " sending data"))
            return;
        if (FEngine->Transfer.Failure.empty())
            FEngine->Transfer.Failure = "426 Error #" + std::to_string(Error) + " sending data";
        CloseDataSocket();
        return;
    }
    if (!FEngine->Transfer.Sending)
        return;
    int count = FEngine->LocalStream->Read(FEngine->SendBuffer.data(),
                                           FSecurity == TFtpSecurity::None ? SendBufferSize : TlsSendPieceSize);
    if (count < 0) {
        if (!Display("! Error reading file"))
            return;
        // The server sees the close like the end of the file and may
        // answer 226 for what it got; the store has failed all the same.
        if (FEngine->Transfer.Failure.empty())
            FEngine->Transfer.Failure = "426 Error reading file " + FLocalFileName;
        CloseDataSocket();
    } else if (count < 1) {
        FEngine->Transfer.EndOfFile = true;
        StartDrain();
    } else {
        FEngine->Transfer.ByteCount += count;
        FEngine->Transfer.LastPiece = count;
        FDataSocket->Send(FEngine->SendBuffer.data(), count);
    }
}

void TCustomFtpCli::PutDataSessionClosed(TObject*, std::uint16_t Error)
{
    // A close by the peer after the end of the file: what it took before
    // is measured while the handle is still there.
    if (FEngine->Transfer.Draining)
        (void)MeasureTaken();
    FEngine->Transfer.Draining = false;
    KillTimer(FNotifyWindow, ProgressTimerId);
    CloseLocalStream();
    // The server sends no payload on a store: once the whole file and this
    // side's close_notify are out, a server that closes without its own
    // close_notify has cut nothing short. Its final reply, on the secured
    // control connection, says whether it has the file.
    if (Error == WSocketSslTruncated && FEngine->Transfer.EndOfFile)
        Error = 0;
    FEngine->Transfer.DataClosed = true;
    FEngine->Transfer.DataCloseError = Error;
    if (FEngine->Transfer.Failure.empty() && (!FEngine->Transfer.EndOfFile || Error != 0)) {
        // Every close of this side before the end of the file has said
        // why; this one is the server's (or the network's), and the file
        // may not be all there whatever the final reply says.
        FEngine->Transfer.Failure = !FEngine->Transfer.EndOfFile
                                        ? "426 Data connection closed before the transfer completed"
                                        : "426 Data connection failed: " + WSocketErrorDesc(Error);
        if (!Display("! " + FEngine->Transfer.Failure))
            return;
    }
    CheckTransferEnd();
}

void TCustomFtpCli::PutDataEnd()
{
    if (FtpClassOfReply(FEngine->Awaited, FStatusCode) == FtpReplyClass::Completion) {
        FEngine->Transfer.ReplyComplete = true;
        if (FEngine->Transfer.Draining) {
            // The server has it all: nothing is left to wait for. The close
            // handler ends the store.
            if (!CallOut(&TCustomFtpCli::CloseDataSocket, this) || FEngine->Transfer.DataClosed)
                return;
            FEngine->Transfer.DataClosed = true;
        }
        CheckTransferEnd();
        return;
    }
    FailTransferEnd("STOR");
}
