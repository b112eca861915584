// What the parts of the FTP client share and no other layer sees: the step
// numbers, the request engine's state, the state of one transfer and the
// TLS sessions the data connections resume.
#pragma once

#include "ftp/FtpLocalFile.h"
#include "ftp/FtpReply.h"
#include "ftp/Ftpcli.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Step numbers of a request: bit positions in the pending-step set.
enum FtpStep : int {
    StepOpen = 1,
    StepUser = 2,
    StepPass = 3,
    StepCwd = 4,
    StepSize = 5,
    StepMkd = 6,
    StepRmd = 7,
    StepRnfr = 8,
    StepRnto = 9,
    StepRetr = 10,
    StepList = 11,
    StepQuit = 12,
    StepSyst = 13,
    StepDele = 14,
    StepPwd = 15,
    StepQuote = 16,
    StepStor = 17,
    StepType = 18,
    StepRest = 19,
    StepCdup = 20,
    StepNlst = 21,
    StepAppe = 22,
    StepPort = 23,
    // The TLS steps of a log-in, run only when the session is secured:
    // AUTH TLS (explicit TLS) before USER, PBSZ and PROT after the log-in.
    StepAuth = 24,
    StepPbsz = 25,
    StepProt = 26,
};

constexpr std::uint32_t StepBit(int step)
{
    return 1u << step;
}

// The TLS sessions of one log-in that its data connections resume.
// Servers take a data connection that resumes a session of the control
// connection as proof that both come from the same client, and many
// refuse any other. A TLS 1.3 ticket is meant for one resumption, so each
// data connection gets one that has not been offered yet, the newest
// first; with none left (a server that issues no ticket on data
// connections, or TLS 1.2, whose session serves any number of
// resumptions) the one offered last is offered again.
class TlsSessionPool {
public:
    void Clear();
    void Add(TSslSession Session);
    [[nodiscard]] TSslSession Next();
    [[nodiscard]] std::size_t Unused() const { return FUnused.size(); }

private:
    static constexpr std::size_t Limit = 8;
    std::vector<TSslSession> FUnused; // newest last
    TSslSession FOffered;
};

// The state of one retrieve or store; BeginTransfer resets it.
struct TFtpTransferState {
    bool Storing = false;       // a store, not a retrieve
    bool AppendMode = false;    // APPE rather than STOR
    std::string DataCommand;    // RETR, LIST or NLST
    std::int64_t ByteCount = 0; // bytes received, or handed to the data socket
    bool Accepted = false;      // the 125/150 has come
    bool DataConnected = false; // the data connection is made (over TLS: its handshake is done)
    bool Sending = false;       // a store's bytes flow (CheckTransferStart)
    bool ReplyComplete = false; // the final reply has come
    bool DataClosed = false;    // the data connection is closed
    std::uint16_t DataCloseError = 0;
    bool EndOfFile = false; // the whole local file has been read
    // Store side: bytes the peer has acknowledged (the progress count),
    // the byte count at the last look at the system's queue, the size
    // of the last piece handed over, and whether the end of the file is
    // out and the sender waits for the peer to take the rest.
    std::int64_t TakenCount = 0;
    std::int64_t MeasuredAt = 0;
    int LastPiece = 0;
    bool Draining = false;
    // A local failure that cuts a transfer short (a read or send error,
    // a data connection whose TLS fails): the transfer fails with it
    // whatever the server answers.
    std::string Failure;
    std::uint32_t StartTick = 0;
    std::uint32_t StopTick = 0;
};

// Everything between a request's start and its end: the control
// connection and its replies, the steps of a request, the data connection
// and TLS, with their state. The client's own methods are its API (the
// properties, the Start* requests, the virtual hooks); the engine reaches
// them, and the client's results and events, through Cli.
struct TCustomFtpCli::TEngine {
    explicit TEngine(TCustomFtpCli& Client) : Cli(Client) { }
    TEngine(const TEngine&) = delete;
    TEngine& operator=(const TEngine&) = delete;

    using StepHandler = void (TEngine::*)();
    enum class TlsTrust : std::uint8_t { Accepted, Refused, Gone };

    // FtpControl.cpp: the control connection and its replies
    void ControlSocketDnsLookupDone(TObject* Sender, std::uint16_t Error);
    void ControlSocketSessionConnected(TObject* Sender, std::uint16_t Error);
    void ControlSocketDataAvailable(TObject* Sender, std::uint16_t Error);
    void ControlSocketSessionClosed(TObject* Sender, std::uint16_t Error);
    [[nodiscard]] bool HandleGreetingLine(std::uint16_t Error);
    [[nodiscard]] bool ParseReplyLine();
    void HandleReply();
    void GenericReply();
    void ReadStepResults();
    void AwaitReply(TFtpAwaitedReply Reply);
    void RecordError();
    void SetLocalFailure(const std::string& Line, int Code);
    void FailOnLostControl();
    void FailOnTlsError();
    [[nodiscard]] bool Display(std::string Msg);

    // FtpCommands.cpp and FtpEngine.cpp: requests and their steps
    void StartCommand(TFtpRequest T, int Step, const std::string& Cmd, std::initializer_list<int> Codes);
    void StartCommand(TFtpRequest T, int Step, const std::string& Cmd, std::initializer_list<int> Codes,
                      TFtpAwaitedReply Reply);
    void StartCompound(TFtpRequest T, std::uint32_t Steps);
    void RunNextStep();
    void RunStep(int Step);
    void DropRemainingSteps();
    void CheckReady();
    void CheckNoLineBreak(const std::string& Value, const char* Name);
    void CheckCommandTexts(std::uint32_t Steps);
    void WndProc(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);

    // FtpTls.cpp: TLS on the control and data connections
    const std::shared_ptr<TSslContext>& SslContextForUse();
    [[nodiscard]] TlsTrust DecideTrust(std::string& how);
    void ControlSocketSslHandshakeDone(TObject* Sender, std::uint16_t Error);
    void StartAuthTls();
    void AuthTlsReply();
    void StartPbsz();
    void StartProt();
    void FailTlsLogIn(const std::string& Line, int Code, bool ShowLine = true);
    void PrepareDataTls();
    [[nodiscard]] std::string DataTlsProblem(std::uint16_t Error);
    void ActiveDataTlsHandshakeDone(TObject* Sender, std::uint16_t Error);
    [[nodiscard]] bool PeerAwaitsCloseNotify();
    void KeepTlsSession(const TSslSession& Session);
    [[nodiscard]] bool TakeOverAfterOpening() const;

    // FtpDataConnection.cpp: the data connection; what both directions share
    [[nodiscard]] bool ConnectPassiveData(TSessionConnected OnConnected, std::uint16_t FailCode);
    void TakeDataConnection(TObject* Sender, std::uint16_t Error);
    [[nodiscard]] bool TakeEarlyDataConnection(bool Opened);
    [[nodiscard]] bool IsAcceptablePeer();
    [[nodiscard]] bool FailedDataConnect(std::uint16_t Error);
    [[nodiscard]] bool TransferCommandSent() const;
    void BeginTransfer(bool Storing);
    void CheckTransferStart();
    void CheckTransferEnd();
    void FailTransferStart();
    void FailTransferEnd(const char* What);
    [[nodiscard]] bool ReleaseTransfer();
    void CloseLocalStream();
    void CloseDataSocket();

    // FtpRetrieve.cpp: RETR, LIST, NLST
    void StartGetData(const std::string& Command);
    void GetDataSessionConnected(TObject* Sender, std::uint16_t Error);
    void GetDataAvailable(TObject* Sender, std::uint16_t Error);
    void GetDataSessionClosed(TObject* Sender, std::uint16_t Error);
    void GetDataReply();
    void GetDataEnd();

    // FtpStore.cpp: STOR, APPE
    void StartPutData(bool Append);
    [[nodiscard]] bool StorWaitsForDataConnection() const;
    [[nodiscard]] bool SendStorWhenDue();
    void PutDataSessionConnected(TObject* Sender, std::uint16_t Error);
    void PutDataSessionClosed(TObject* Sender, std::uint16_t Error);
    void PutDataDrain(TObject* Sender, std::uint16_t Error);
    void PutDataReply();
    void PutDataEnd();
    void SendNextPiece(TObject* Sender, std::uint16_t Error);
    void BeginSending();
    [[nodiscard]] bool MeasureTaken();
    void ProgressTimer();
    void StartDrain();
    void FinishDrainWhenTaken();

    // The client this engine runs. It owns the engine: a handler that
    // destroys the client destroys the engine too (see CallOut).
    TCustomFtpCli& Cli;

    // TLS: what the session open (or opened last) was made for, the
    // context shared by the control and data connections, why the control
    // connection's handshake failed (for the failure the connect event
    // reports after it, implicit TLS), and the sessions the server issued
    // on this log-in's connections.
    TFtpSessionIdentity OpenedFor;
    std::shared_ptr<TSslContext> SslContext;
    std::string TlsFailure;
    TlsSessionPool TlsSessions;

    // control connection
    char ReceiveBuffer[ReceiveBufferSize + 1] = {};
    int ReceiveLength = 0;
    TFtpAwaitedReply Awaited = TFtpAwaitedReply::None;

    // request bookkeeping
    int CurrentStep = 0;
    int AcceptedCodes[16] = {};
    std::uint32_t PendingSteps = 0;
    int CompoundResult = 0;
    bool InCompound = false;
    StepHandler NextStepHandler = nullptr;
    std::string SavedResponse;
    int SavedStatusCode = -1;
    bool DoneReported = false;
    // The first step runs inside StartCompound: a failed check there is the
    // caller's error, not the request's.
    bool StartingCompound = false;

    // transfers
    std::unique_ptr<LocalFile> LocalStream;
    // A connection to the data port that came before the transfer command.
    bool EarlyAccept = false;
    TFtpTransferState Transfer;
    std::vector<char> SendBuffer = std::vector<char>(SendBufferSize);
};
