// The request engine: checks, single commands, compound requests and their
// step runner, completion and abort.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <sys/stat.h>

const char* ToString(TFtpRequest request)
{
    switch (request) {
    case ftpNone: return "ftpNone";
    case ftpOpenAsync: return "ftpOpenAsync";
    case ftpUserAsync: return "ftpUserAsync";
    case ftpPassAsync: return "ftpPassAsync";
    case ftpCwdAsync: return "ftpCwdAsync";
    case ftpConnectAsync: return "ftpConnectAsync";
    case ftpReceiveAsync: return "ftpReceiveAsync";
    case ftpDirAsync: return "ftpDirAsync";
    case ftpLsAsync: return "ftpLsAsync";
    case ftpPortAsync: return "ftpPortAsync";
    case ftpGetAsync: return "ftpGetAsync";
    case ftpDirectoryAsync: return "ftpDirectoryAsync";
    case ftpListAsync: return "ftpListAsync";
    case ftpSystemAsync: return "ftpSystemAsync";
    case ftpSystAsync: return "ftpSystAsync";
    case ftpQuitAsync: return "ftpQuitAsync";
    case ftpSizeAsync: return "ftpSizeAsync";
    case ftpPutAsync: return "ftpPutAsync";
    case ftpAppendAsync: return "ftpAppendAsync";
    case ftpMkdAsync: return "ftpMkdAsync";
    case ftpRmdAsync: return "ftpRmdAsync";
    case ftpRenameAsync: return "ftpRenameAsync";
    case ftpDeleAsync: return "ftpDeleAsync";
    case ftpRenAsync: return "ftpRenAsync";
    case ftpRenToAsync: return "ftpRenToAsync";
    case ftpRenFromAsync: return "ftpRenFromAsync";
    case ftpDeleteAsync: return "ftpDeleteAsync";
    case ftpMkdirAsync: return "ftpMkdirAsync";
    case ftpRmdirAsync: return "ftpRmdirAsync";
    case ftpPwdAsync: return "ftpPwdAsync";
    case ftpQuoteAsync: return "ftpQuoteAsync";
    case ftpCDupAsync: return "ftpCDupAsync";
    case ftpDoQuoteAsync: return "ftpDoQuoteAsync";
    case ftpTransmitAsync: return "ftpTransmitAsync";
    case ftpTypeSetAsync: return "ftpTypeSetAsync";
    case ftpRestAsync: return "ftpRestAsync";
    case ftpRestartGetAsync: return "ftpRestartGetAsync";
    case ftpRestartReceiveAsync: return "ftpRestartReceiveAsync";
    }
    return "ftp?";
}

void TCustomFtpCli::DoCheckFailed(const std::string& Msg)
{
    throw FtpException(Msg);
}

void TCustomFtpCli::CheckReady()
{
    if (FState != ftpStReady && FState != ftpStStepReady)
        DoCheckFailed("FTP component not ready");
}

void TCustomFtpCli::CheckNoLineBreak(const std::string& Value, const char* Name)
{
    // A CR or LF would end the command early and let the rest of the text
    // reach the server as a command of its own.
    if (Value.find_first_of("\r\n") != std::string::npos)
        DoCheckFailed(std::string(Name) + " must not contain CR or LF");
}

void TCustomFtpCli::CheckCommandTexts(std::uint32_t Steps)
{
    auto has = [Steps](int step) { return (Steps & StepBit(step)) != 0; };
    if (has(StepUser))
        CheckNoLineBreak(FUserName, "UserName");
    if (has(StepPass))
        CheckNoLineBreak(FPassWord, "Password");
    if (has(StepCwd))
        CheckNoLineBreak(FHostDirName, "HostDirName");
    if (has(StepSize) || has(StepMkd) || has(StepRmd) || has(StepRnfr) || has(StepRetr) || has(StepList) ||
        has(StepDele) || has(StepStor) || has(StepNlst) || has(StepAppe))
        CheckNoLineBreak(FHostFileName, "HostFileName");
    if (has(StepRnto) || has(StepQuote))
        CheckNoLineBreak(FLocalFileName, "LocalFileName");
}

void TCustomFtpCli::StartCommand(TFtpRequest T, int Step, const std::string& Cmd, std::initializer_list<int> Codes,
                                 TFtpAwaitedReply Awaited)
{
    CheckReady();
    if (!FControlUp)
        DoCheckFailed("FTP component not connected");
    FCurrentStep = Step;
    if (!FInCompound)
        FRequestType = T;
    int i = 0;
    for (int code : Codes)
        if (i < 15)
            FAcceptedCodes[i++] = code;
    FAcceptedCodes[i] = 0;
    FDoneReported = false;
    AwaitReply(Awaited);
    auto alive = Alive();
    SetState(ftpStAwaitingReply);
    if (!alive)
        return;
    SendCommand(Cmd);
}

// --- single commands -------------------------------------------------------

void TCustomFtpCli::StartOpen()
{
    CheckReady();
    if (FControlUp)
        DoCheckFailed("FTP component already connected");
    if (!FInCompound)
        FRequestType = ftpOpenAsync;
    FDoneReported = false;
    FReceiveLength = 0;
    FRequestResult = 0;
    FTlsFailure.clear();
    FTlsSessions.Clear();
    // The prefix of the address says how the session is secured; the name
    // looked up, sent as SNI and checked against the certificate is the
    // bare host.
    const TFtpAddress address = FtpSplitAddress(FHostName);
    FSecurity = address.security;
    FOpenedFor = SettingsIdentity();
    auto alive = Alive();
    SetState(ftpStResolving);
    if (!alive)
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
        DoDisplay("! " + FLastResponse);
        if (!alive)
            return;
        FinishRequest(500);
        return;
    }
    try {
        FControlSocket->DnsLookup(address.host);
    } catch (const std::exception& e) {
        // Say so in the dialogue too: an address written in a form that is
        // refused (say "127.1") must not look like a network failure.
        SetLocalFailure("500 " + FtpExceptionText(e), 500);
        DoDisplay("! " + FLastResponse);
        if (!alive)
            return;
        FinishRequest(500);
    }
}

void TCustomFtpCli::StartUser()
{
    if (FUserName.empty())
        DoCheckFailed("UserName emtpy");
    CheckNoLineBreak(FUserName, "UserName");
    StartCommand(ftpUserAsync, StepUser, "USER " + FUserName, {331, 230});
}

void TCustomFtpCli::StartPass()
{
    if (FPassWord.empty())
        DoCheckFailed("Password emtpy");
    CheckNoLineBreak(FPassWord, "Password");
    StartCommand(ftpPassAsync, StepPass, "PASS " + FPassWord, {230});
}

void TCustomFtpCli::StartChangeDir()
{
    if (FHostDirName.empty())
        DoCheckFailed("HostDirName emtpy");
    CheckNoLineBreak(FHostDirName, "HostDirName");
    StartCommand(ftpCwdAsync, StepCwd, "CWD " + FHostDirName, {200, 250, 257});
}

void TCustomFtpCli::StartSize()
{
    CheckNoLineBreak(FHostFileName, "HostFileName");
    CheckReady();
    if (!FControlUp)
        DoCheckFailed("FTP component not connected");
    FSizeResult = 0;
    StartCommand(ftpSizeAsync, StepSize, "SIZE " + FHostFileName, {213});
}

void TCustomFtpCli::StartMakeDir()
{
    CheckNoLineBreak(FHostFileName, "HostFileName");
    StartCommand(ftpMkdAsync, StepMkd, "MKD " + FHostFileName, {257});
}

void TCustomFtpCli::StartRemoveDir()
{
    CheckNoLineBreak(FHostFileName, "HostFileName");
    StartCommand(ftpRmdAsync, StepRmd, "RMD " + FHostFileName, {250, 257});
}

void TCustomFtpCli::StartRenameFrom()
{
    CheckNoLineBreak(FHostFileName, "HostFileName");
    StartCommand(ftpRenFromAsync, StepRnfr, "RNFR " + FHostFileName, {350});
}

void TCustomFtpCli::StartRenameTo()
{
    CheckNoLineBreak(FLocalFileName, "LocalFileName");
    StartCommand(ftpRenToAsync, StepRnto, "RNTO " + FLocalFileName, {200, 250, 257});
}

void TCustomFtpCli::StartQuit()
{
    StartCommand(ftpQuitAsync, StepQuit, "QUIT", {221}, TFtpAwaitedReply::Quit);
}

void TCustomFtpCli::StartSystem()
{
    StartCommand(ftpSystAsync, StepSyst, "SYST", {215});
}

void TCustomFtpCli::StartDelete()
{
    CheckNoLineBreak(FHostFileName, "HostFileName");
    StartCommand(ftpDeleAsync, StepDele, "DELE " + FHostFileName, {250, 257});
}

void TCustomFtpCli::StartPrintDir()
{
    StartCommand(ftpPwdAsync, StepPwd, "PWD", {250, 257});
}

void TCustomFtpCli::StartQuote()
{
    CheckNoLineBreak(FLocalFileName, "LocalFileName");
    StartCommand(ftpQuoteAsync, StepQuote, FLocalFileName, {});
}

void TCustomFtpCli::StartSetType()
{
    StartCommand(ftpTypeSetAsync, StepType, std::string("TYPE ") + FType, {200});
}

void TCustomFtpCli::StartSetBinaryType()
{
    SetBinary(true);
    StartSetType();
}

void TCustomFtpCli::StartSetAsciiType()
{
    SetBinary(false);
    StartSetType();
}

void TCustomFtpCli::StartRestart()
{
    CheckReady();
    FCurrentStep = StepRest;
    struct stat st { };
    FResumePosition = ::stat(FLocalFileName.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    if (FResumePosition < 1) {
        // Nothing to resume from: the step succeeds without a command.
        if (!FInCompound)
            FRequestType = ftpRestAsync;
        FDoneReported = false;
        AwaitReply(TFtpAwaitedReply::Command);
        FinishRequest(0);
        return;
    }
    StartCommand(ftpRestAsync, StepRest, "REST " + std::to_string(FResumePosition), {});
}

void TCustomFtpCli::StartParentDir()
{
    StartCommand(ftpCDupAsync, StepCdup, "CDUP", {250});
}

// --- compound requests -----------------------------------------------------

namespace {

constexpr std::uint32_t Steps(std::initializer_list<int> steps)
{
    std::uint32_t set = 0;
    for (int s : steps)
        set |= StepBit(s);
    return set;
}

// The TLS steps are skipped when the session is not secured, so a plain
// log-in sends what it always sent.
constexpr std::uint32_t LogIn = Steps({StepOpen, StepAuth, StepUser, StepPass, StepPbsz, StepProt});

} // namespace

void TCustomFtpCli::StartCompound(TFtpRequest T, std::uint32_t S)
{
    if (FControlUp && (S & StepBit(StepOpen)))
        DoCheckFailed("FTP component already connected");
    CheckReady();
    CheckCommandTexts(S);

    FSavedResponse = FLastResponse;
    FSavedStatusCode = -1;
    FRequestType = T;
    FRequestResult = 0;
    FPendingSteps = S;
    FCurrentStep = 0;
    FCompoundResult = 0;
    FInCompound = true;
    FLastResponse.clear();
    FErrorMessage.clear();

    FStartingCompound = true;
    auto alive = Alive();
    try {
        RunNextStep();
    } catch (...) {
        // The first step's check failed: nothing was sent and no request
        // runs, so no step may be left behind for a later request.
        if (alive) {
            FStartingCompound = false;
            FInCompound = false;
            FNextStepHandler = nullptr;
            FPendingSteps = 0;
        }
        throw;
    }
    if (!alive)
        return;
    FStartingCompound = false;
}

void TCustomFtpCli::StartConnect()
{
    StartCompound(ftpConnectAsync, LogIn);
}
void TCustomFtpCli::StartStoreFile()
{
    StartCompound(ftpPutAsync, Steps({StepPort, StepStor}));
}
void TCustomFtpCli::StartListDir()
{
    StartCompound(ftpDirAsync, Steps({StepPort, StepList}));
}
void TCustomFtpCli::StartListNames()
{
    StartCompound(ftpLsAsync, Steps({StepPort, StepNlst}));
}
void TCustomFtpCli::StartGet()
{
    StartCompound(ftpGetAsync, Steps({StepPort, StepRetr}));
}
void TCustomFtpCli::StartRestartGet()
{
    StartCompound(ftpRestartGetAsync, Steps({StepPort, StepRest, StepRetr}));
}
void TCustomFtpCli::StartAppend()
{
    StartCompound(ftpAppendAsync, Steps({StepPort, StepAppe}));
}
void TCustomFtpCli::StartRename()
{
    StartCompound(ftpRenAsync, Steps({StepRnfr, StepRnto}));
}

void TCustomFtpCli::StartReceive()
{
    StartCompound(ftpReceiveAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepRetr, StepQuit}));
}

void TCustomFtpCli::StartRestartReceive()
{
    StartCompound(ftpRestartReceiveAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepRest, StepRetr, StepQuit}));
}

void TCustomFtpCli::StartTransmit()
{
    StartCompound(ftpTransmitAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepStor, StepQuit}));
}

void TCustomFtpCli::StartAppendFile()
{
    StartCompound(ftpTransmitAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepAppe, StepQuit}));
}

void TCustomFtpCli::StartFullListDir()
{
    StartCompound(ftpDirectoryAsync, LogIn | Steps({StepCwd, StepPort, StepList, StepQuit}));
}

void TCustomFtpCli::StartFullListNames()
{
    StartCompound(ftpListAsync, LogIn | Steps({StepCwd, StepPort, StepNlst, StepQuit}));
}

void TCustomFtpCli::StartFullSystem()
{
    StartCompound(ftpSystemAsync, LogIn | Steps({StepSyst, StepQuit}));
}

void TCustomFtpCli::StartFullMakeDir()
{
    StartCompound(ftpMkdirAsync, LogIn | Steps({StepCwd, StepMkd, StepQuit}));
}

void TCustomFtpCli::StartFullRemoveDir()
{
    StartCompound(ftpRmdirAsync, LogIn | Steps({StepCwd, StepRmd, StepQuit}));
}

void TCustomFtpCli::StartFullDelete()
{
    StartCompound(ftpDeleteAsync, LogIn | Steps({StepCwd, StepDele, StepQuit}));
}

void TCustomFtpCli::StartFullQuote()
{
    StartCompound(ftpDoQuoteAsync, LogIn | Steps({StepCwd, StepQuote, StepQuit}));
}

void TCustomFtpCli::StartFullRename()
{
    StartCompound(ftpRenameAsync, LogIn | Steps({StepCwd, StepRnfr, StepRnto, StepQuit}));
}

void TCustomFtpCli::StartFullSize()
{
    StartCompound(ftpSizeAsync, LogIn | Steps({StepCwd, StepSize, StepQuit}));
}

void TCustomFtpCli::RunNextStep()
{
    if (FState == ftpStAborting) {
        FPendingSteps = 0;
        FCompoundResult = 426;
        FErrorMessage = "426 Operation aborted.";
    }
    FNextStepHandler = &TCustomFtpCli::RunNextStep;
    ReadStepResults();

    static constexpr int order[] = {StepOpen, StepAuth, StepUser, StepPass,  StepPbsz, StepProt, StepCwd,
                                    StepCdup, StepType, StepPort, StepRest,  StepRetr, StepStor, StepAppe,
                                    StepList, StepNlst, StepSyst, StepMkd,   StepRmd,  StepRnfr, StepRnto,
                                    StepSize, StepDele, StepPwd,  StepQuote, StepQuit};
    const int previous = FCurrentStep;
    for (int step : order) {
        if (!(FPendingSteps & StepBit(step)))
            continue;
        FPendingSteps &= ~StepBit(step);
        FCurrentStep = step;
        // A USER that is complete (230) needs no password.
        if (step == StepPass && previous == StepUser &&
            FtpClassOfReply(TFtpAwaitedReply::Command, FStatusCode) != FtpReplyClass::Intermediate)
            continue;
        if (step == StepCwd && FHostDirName.empty())
            continue;
        if (step == StepAuth && FSecurity != TFtpSecurity::Explicit)
            continue;
        if ((step == StepPbsz || step == StepProt) && FSecurity == TFtpSecurity::None)
            continue;
        if (step == StepRetr && !(previous == StepRest && FResumePosition >= 0 && FStatusCode == 350))
            FResumePosition = 0;
        if (step == StepQuit) {
            // The request reports the reply of the step before QUIT.
            FSavedResponse = FLastResponse;
            FSavedStatusCode = FStatusCode;
        }
        RunStep(step);
        return;
    }
    FPendingSteps = 0;
    FNextStepHandler = nullptr;
    FDoneReported = false;
    FinishRequest(FCompoundResult);
}

void TCustomFtpCli::RunStep(int Step)
{
    try {
        switch (Step) {
        case StepOpen: StartOpen(); break;
        case StepUser: StartUser(); break;
        case StepPass: StartPass(); break;
        case StepCwd: StartChangeDir(); break;
        case StepCdup: StartParentDir(); break;
        case StepType: StartSetType(); break;
        case StepPort: StartPort(); break;
        case StepRest: StartRestart(); break;
        case StepRetr: StartRetr(); break;
        case StepStor: StartStor(); break;
        case StepAppe: StartAppe(); break;
        case StepList: StartList(); break;
        case StepNlst: StartNlst(); break;
        case StepSyst: StartSystem(); break;
        case StepMkd: StartMakeDir(); break;
        case StepRmd: StartRemoveDir(); break;
        case StepRnfr: StartRenameFrom(); break;
        case StepRnto: StartRenameTo(); break;
        case StepSize: StartSize(); break;
        case StepDele: StartDelete(); break;
        case StepPwd: StartPrintDir(); break;
        case StepQuote: StartQuote(); break;
        case StepQuit: StartQuit(); break;
        case StepAuth: StartAuthTls(); break;
        case StepPbsz: StartPbsz(); break;
        case StepProt: StartProt(); break;
        default: break;
        }
    } catch (const std::exception& e) {
        if (FStartingCompound)
            throw;
        const bool check = dynamic_cast<const FtpException*>(&e) != nullptr;
        const std::string text = check ? e.what() : FtpExceptionText(e);
        // A later step cannot start (for instance no password for a 331):
        // the request fails here instead of letting the exception reach
        // the socket's event handler, which would only drop the socket.
        auto alive = Alive();
        DoDisplay("! " + text);
        if (!alive)
            return;
        FLastResponse = "500 " + text;
        FStatusCode = 500;
        FRequestResult = 500;
        RecordError();
        FNextStepHandler = nullptr;
        FPendingSteps = 0;
        FDoneReported = false;
        if (FState != ftpStAborting) {
            SetState(ftpStStepReady);
            if (!alive)
                return;
        }
        FinishRequest(500);
    }
}

// --- completion and abort --------------------------------------------------

void TCustomFtpCli::FinishRequest(int Error)
{
    if (FDoneReported)
        return;
    FDoneReported = true;

    auto alive = Alive();
    if (Error == 0 && FNextStepHandler) {
        if (FState != ftpStAborting) {
            SetState(ftpStStepReady);
            if (!alive)
                return;
        }
        (this->*FNextStepHandler)();
        return;
    }

    SetState(ftpStReady);
    if (!alive)
        return;
    KillTimer(FNotifyWindow, ProgressTimerId);
    if (FDataSocket && FDataSocket->State() != wsClosed) {
        // The close can reach the transfer's close handler, which reports.
        CloseDataSocket();
        if (!alive)
            return;
    }
    CloseLocalStream();
    if (FInCompound && FSavedStatusCode >= 0) {
        FLastResponse = FSavedResponse;
        FStatusCode = FSavedStatusCode;
    }
    FInCompound = false;
    // A request that ends (above all one that failed) leaves no steps
    // behind: they would otherwise run after the next successful command.
    FNextStepHandler = nullptr;
    FPendingSteps = 0;
    PostMessage(FNotifyWindow, MsgRequestDone, 0, static_cast<std::intptr_t>(Error & 0xFFFF));
}

void TCustomFtpCli::WndProc(unsigned Msg, std::uintptr_t, std::intptr_t LParam)
{
    if (Msg == MsgRequestDone) {
        if (OnRequestDone)
            OnRequestDone(this, FRequestType, static_cast<std::uint16_t>(LParam & 0xFFFF));
    } else if (Msg == MsgStartSend) {
        FTransfer.StartTick = GetTickCount();
        BeginSending();
        SendNextPiece(FDataSocket, 0);
    } else if (Msg == WM_TIMER) {
        ProgressTimer();
    }
}

void TCustomFtpCli::StartAbort()
{
    const bool wasResolving = FState == ftpStResolving;
    auto alive = Alive();
    SetState(ftpStAborting);
    if (!alive)
        return;
    if (wasResolving && FControlSocket)
        FControlSocket->CancelDnsLookup();
    if (FControlSocket && FControlSocket->State() != wsClosed) {
        // The close reports through OnSessionClosed.
        FControlSocket->Close();
        if (!alive)
            return;
    }
    KillTimer(FNotifyWindow, ProgressTimerId);
    if (FDataSocket && FDataSocket->State() != wsClosed) {
        CloseDataSocket();
        if (!alive)
            return;
    }
    CloseLocalStream();
    FControlUp = false;
    SetState(ftpStReady);
}
