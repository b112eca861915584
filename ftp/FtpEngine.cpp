// The request engine: the checks before a request, compound requests and
// their step runner, completion and abort.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

void TCustomFtpCli::DoCheckFailed(const std::string& Msg)
{
    throw FtpException(Msg);
}

void TCustomFtpCli::TEngine::CheckReady()
{
    if (Cli.FState != ftpStReady && Cli.FState != ftpStStepReady)
        Cli.DoCheckFailed("FTP component not ready");
}

void TCustomFtpCli::TEngine::CheckNoLineBreak(const std::string& Value, const char* Name)
{
    // A CR or LF would end the command early and let the rest of the text
    // reach the server as a command of its own.
    if (Value.find_first_of("\r\n") != std::string::npos)
        Cli.DoCheckFailed(std::string(Name) + " must not contain CR or LF");
}

void TCustomFtpCli::TEngine::CheckCommandTexts(std::uint32_t Steps)
{
    auto has = [Steps](int step) { return (Steps & StepBit(step)) != 0; };
    if (has(StepUser))
        CheckNoLineBreak(Cli.FUserName, "UserName");
    if (has(StepPass))
        CheckNoLineBreak(Cli.FPassWord, "Password");
    if (has(StepCwd))
        CheckNoLineBreak(Cli.FHostDirName, "HostDirName");
    if (has(StepSize) || has(StepMkd) || has(StepRmd) || has(StepRnfr) || has(StepRetr) || has(StepList) ||
        has(StepDele) || has(StepStor) || has(StepNlst) || has(StepAppe))
        CheckNoLineBreak(Cli.FHostFileName, "HostFileName");
    if (has(StepRnto) || has(StepQuote))
        CheckNoLineBreak(Cli.FLocalFileName, "LocalFileName");
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

void TCustomFtpCli::TEngine::StartCompound(TFtpRequest T, std::uint32_t S)
{
    if (Cli.FControlUp && (S & StepBit(StepOpen)))
        Cli.DoCheckFailed("FTP component already connected");
    CheckReady();
    CheckCommandTexts(S);

    SavedResponse = Cli.FLastResponse;
    SavedStatusCode = -1;
    Cli.FRequestType = T;
    Cli.FRequestResult = 0;
    PendingSteps = S;
    CurrentStep = 0;
    CompoundResult = 0;
    InCompound = true;
    Cli.FLastResponse.clear();
    Cli.FErrorMessage.clear();

    StartingCompound = true;
    // Taken by hand: the guard spans the handler of a failed check.
    const auto alive = Cli.FLifeline.Take();
    try {
        RunNextStep();
    } catch (...) {
        // The first step's check failed: nothing was sent and no request
        // runs, so no step may be left behind for a later request.
        if (alive) {
            StartingCompound = false;
            InCompound = false;
            DropRemainingSteps();
        }
        throw;
    }
    if (!alive)
        return;
    StartingCompound = false;
}

void TCustomFtpCli::StartConnect()
{
    FEngine->StartCompound(ftpConnectAsync, LogIn);
}

void TCustomFtpCli::StartStoreFile()
{
    FEngine->StartCompound(ftpPutAsync, Steps({StepPort, StepStor}));
}

void TCustomFtpCli::StartListDir()
{
    FEngine->StartCompound(ftpDirAsync, Steps({StepPort, StepList}));
}

void TCustomFtpCli::StartListNames()
{
    FEngine->StartCompound(ftpLsAsync, Steps({StepPort, StepNlst}));
}

void TCustomFtpCli::StartGet()
{
    FEngine->StartCompound(ftpGetAsync, Steps({StepPort, StepRetr}));
}

void TCustomFtpCli::StartRestartGet()
{
    FEngine->StartCompound(ftpRestartGetAsync, Steps({StepPort, StepRest, StepRetr}));
}

void TCustomFtpCli::StartAppend()
{
    FEngine->StartCompound(ftpAppendAsync, Steps({StepPort, StepAppe}));
}

void TCustomFtpCli::StartRename()
{
    FEngine->StartCompound(ftpRenAsync, Steps({StepRnfr, StepRnto}));
}

void TCustomFtpCli::StartReceive()
{
    FEngine->StartCompound(ftpReceiveAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepRetr, StepQuit}));
}

void TCustomFtpCli::StartRestartReceive()
{
    FEngine->StartCompound(ftpRestartReceiveAsync,
                           LogIn | Steps({StepCwd, StepType, StepPort, StepRest, StepRetr, StepQuit}));
}

void TCustomFtpCli::StartTransmit()
{
    FEngine->StartCompound(ftpTransmitAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepStor, StepQuit}));
}

void TCustomFtpCli::StartAppendFile()
{
    FEngine->StartCompound(ftpTransmitAsync, LogIn | Steps({StepCwd, StepType, StepPort, StepAppe, StepQuit}));
}

void TCustomFtpCli::StartFullListDir()
{
    FEngine->StartCompound(ftpDirectoryAsync, LogIn | Steps({StepCwd, StepPort, StepList, StepQuit}));
}

void TCustomFtpCli::StartFullListNames()
{
    FEngine->StartCompound(ftpListAsync, LogIn | Steps({StepCwd, StepPort, StepNlst, StepQuit}));
}

void TCustomFtpCli::StartFullSystem()
{
    FEngine->StartCompound(ftpSystemAsync, LogIn | Steps({StepSyst, StepQuit}));
}

void TCustomFtpCli::StartFullMakeDir()
{
    FEngine->StartCompound(ftpMkdirAsync, LogIn | Steps({StepCwd, StepMkd, StepQuit}));
}

void TCustomFtpCli::StartFullRemoveDir()
{
    FEngine->StartCompound(ftpRmdirAsync, LogIn | Steps({StepCwd, StepRmd, StepQuit}));
}

void TCustomFtpCli::StartFullDelete()
{
    FEngine->StartCompound(ftpDeleteAsync, LogIn | Steps({StepCwd, StepDele, StepQuit}));
}

void TCustomFtpCli::StartFullQuote()
{
    FEngine->StartCompound(ftpDoQuoteAsync, LogIn | Steps({StepCwd, StepQuote, StepQuit}));
}

void TCustomFtpCli::StartFullRename()
{
    FEngine->StartCompound(ftpRenameAsync, LogIn | Steps({StepCwd, StepRnfr, StepRnto, StepQuit}));
}

void TCustomFtpCli::StartFullSize()
{
    FEngine->StartCompound(ftpSizeAsync, LogIn | Steps({StepCwd, StepSize, StepQuit}));
}

void TCustomFtpCli::TEngine::RunNextStep()
{
    if (Cli.FState == ftpStAborting) {
        PendingSteps = 0;
        CompoundResult = 426;
        Cli.FErrorMessage = "426 Operation aborted.";
    }
    NextStepHandler = &TEngine::RunNextStep;
    ReadStepResults();

    static constexpr int order[] = {StepOpen, StepAuth, StepUser, StepPass,  StepPbsz, StepProt, StepCwd,
                                    StepCdup, StepType, StepPort, StepRest,  StepRetr, StepStor, StepAppe,
                                    StepList, StepNlst, StepSyst, StepMkd,   StepRmd,  StepRnfr, StepRnto,
                                    StepSize, StepDele, StepPwd,  StepQuote, StepQuit};
    const int previous = CurrentStep;
    for (int step : order) {
        if (!(PendingSteps & StepBit(step)))
            continue;
        PendingSteps &= ~StepBit(step);
        CurrentStep = step;
        // A USER that is complete (230) needs no password.
        if (step == StepPass && previous == StepUser &&
            FtpClassOfReply(TFtpAwaitedReply::Command, Cli.FStatusCode) != FtpReplyClass::Intermediate)
            continue;
        if (step == StepCwd && Cli.FHostDirName.empty())
            continue;
        if (step == StepAuth && Cli.FSecurity != TFtpSecurity::Explicit)
            continue;
        if ((step == StepPbsz || step == StepProt) && Cli.FSecurity == TFtpSecurity::None)
            continue;
        if (step == StepRetr && !(previous == StepRest && Cli.FResumePosition >= 0 && Cli.FStatusCode == 350))
            Cli.FResumePosition = 0;
        if (step == StepQuit) {
            // The request reports the reply of the step before QUIT.
            SavedResponse = Cli.FLastResponse;
            SavedStatusCode = Cli.FStatusCode;
        }
        RunStep(step);
        return;
    }
    DropRemainingSteps();
    DoneReported = false;
    Cli.FinishRequest(CompoundResult);
}

void TCustomFtpCli::TEngine::RunStep(int Step)
{
    try {
        switch (Step) {
        case StepOpen: Cli.StartOpen(); break;
        case StepUser: Cli.StartUser(); break;
        case StepPass: Cli.StartPass(); break;
        case StepCwd: Cli.StartChangeDir(); break;
        case StepCdup: Cli.StartParentDir(); break;
        case StepType: Cli.StartSetType(); break;
        case StepPort: Cli.StartPort(); break;
        case StepRest: Cli.StartRestart(); break;
        case StepRetr: Cli.StartRetr(); break;
        case StepStor: Cli.StartStor(); break;
        case StepAppe: Cli.StartAppe(); break;
        case StepList: Cli.StartList(); break;
        case StepNlst: Cli.StartNlst(); break;
        case StepSyst: Cli.StartSystem(); break;
        case StepMkd: Cli.StartMakeDir(); break;
        case StepRmd: Cli.StartRemoveDir(); break;
        case StepRnfr: Cli.StartRenameFrom(); break;
        case StepRnto: Cli.StartRenameTo(); break;
        case StepSize: Cli.StartSize(); break;
        case StepDele: Cli.StartDelete(); break;
        case StepPwd: Cli.StartPrintDir(); break;
        case StepQuote: Cli.StartQuote(); break;
        case StepQuit: Cli.StartQuit(); break;
        case StepAuth: StartAuthTls(); break;
        case StepPbsz: StartPbsz(); break;
        case StepProt: StartProt(); break;
        default: break;
        }
    } catch (const std::exception& e) {
        if (StartingCompound)
            throw;
        const bool check = dynamic_cast<const FtpException*>(&e) != nullptr;
        const std::string text = check ? e.what() : FtpExceptionText(e);
        // A later step cannot start (for instance no password for a 331):
        // the request fails here instead of letting the exception reach
        // the socket's event handler, which would only drop the socket.
        if (!Display("! " + text))
            return;
        Cli.FLastResponse = "500 " + text;
        Cli.FStatusCode = 500;
        Cli.FRequestResult = 500;
        RecordError();
        DropRemainingSteps();
        DoneReported = false;
        if (Cli.FState != ftpStAborting && !Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStStepReady))
            return;
        Cli.FinishRequest(500);
    }
}

void TCustomFtpCli::TEngine::DropRemainingSteps()
{
    NextStepHandler = nullptr;
    PendingSteps = 0;
}

// --- completion and abort --------------------------------------------------

void TCustomFtpCli::FinishRequest(int Error)
{
    if (FEngine->DoneReported)
        return;
    FEngine->DoneReported = true;

    if (Error == 0 && FEngine->NextStepHandler) {
        if (FState != ftpStAborting && !CallOut(&TCustomFtpCli::SetState, this, ftpStStepReady))
            return;
        (FEngine.get()->*FEngine->NextStepHandler)();
        return;
    }

    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStReady) || !FEngine->ReleaseTransfer())
        return;
    if (FEngine->InCompound && FEngine->SavedStatusCode >= 0) {
        FLastResponse = FEngine->SavedResponse;
        FStatusCode = FEngine->SavedStatusCode;
    }
    FEngine->InCompound = false;
    // A request that ends (above all one that failed) leaves no steps
    // behind: they would otherwise run after the next successful command.
    FEngine->DropRemainingSteps();
    PostMessage(FNotifyWindow, MsgRequestDone, 0, static_cast<std::intptr_t>(Error & 0xFFFF));
}

void TCustomFtpCli::TEngine::WndProc(unsigned Msg, std::uintptr_t, std::intptr_t LParam)
{
    if (Msg == MsgRequestDone) {
        if (Cli.OnRequestDone)
            Cli.OnRequestDone(&Cli, Cli.FRequestType, static_cast<std::uint16_t>(LParam & 0xFFFF));
    } else if (Msg == WM_TIMER) {
        ProgressTimer();
    }
}

void TCustomFtpCli::StartAbort()
{
    const bool wasResolving = FState == ftpStResolving;
    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStAborting))
        return;
    if (wasResolving && FControlSocket)
        FControlSocket->CancelDnsLookup();
    // The close reports through OnSessionClosed.
    if (FControlSocket && FControlSocket->State() != wsClosed && !CallOut(&TWSocket::Close, FControlSocket))
        return;
    if (!FEngine->ReleaseTransfer())
        return;
    FControlUp = false;
    SetState(ftpStReady);
}
