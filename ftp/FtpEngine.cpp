// The request engine: the checks before a request, compound requests and
// their step runner, completion and abort.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

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

    FEngine->SavedResponse = FLastResponse;
    FEngine->SavedStatusCode = -1;
    FRequestType = T;
    FRequestResult = 0;
    FEngine->PendingSteps = S;
    FEngine->CurrentStep = 0;
    FEngine->CompoundResult = 0;
    FEngine->InCompound = true;
    FLastResponse.clear();
    FErrorMessage.clear();

    FEngine->StartingCompound = true;
    // Taken by hand: the guard spans the handler of a failed check.
    const auto alive = FLifeline.Take();
    try {
        RunNextStep();
    } catch (...) {
        // The first step's check failed: nothing was sent and no request
        // runs, so no step may be left behind for a later request.
        if (alive) {
            FEngine->StartingCompound = false;
            FEngine->InCompound = false;
            DropRemainingSteps();
        }
        throw;
    }
    if (!alive)
        return;
    FEngine->StartingCompound = false;
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
        FEngine->PendingSteps = 0;
        FEngine->CompoundResult = 426;
        FErrorMessage = "426 Operation aborted.";
    }
    FEngine->NextStepHandler = &TCustomFtpCli::RunNextStep;
    ReadStepResults();

    static constexpr int order[] = {StepOpen, StepAuth, StepUser, StepPass,  StepPbsz, StepProt, StepCwd,
                                    StepCdup, StepType, StepPort, StepRest,  StepRetr, StepStor, StepAppe,
                                    StepList, StepNlst, StepSyst, StepMkd,   StepRmd,  StepRnfr, StepRnto,
                                    StepSize, StepDele, StepPwd,  StepQuote, StepQuit};
    const int previous = FEngine->CurrentStep;
    for (int step : order) {
        if (!(FEngine->PendingSteps & StepBit(step)))
            continue;
        FEngine->PendingSteps &= ~StepBit(step);
        FEngine->CurrentStep = step;
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
            FEngine->SavedResponse = FLastResponse;
            FEngine->SavedStatusCode = FStatusCode;
        }
        RunStep(step);
        return;
    }
    DropRemainingSteps();
    FEngine->DoneReported = false;
    FinishRequest(FEngine->CompoundResult);
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
        if (FEngine->StartingCompound)
            throw;
        const bool check = dynamic_cast<const FtpException*>(&e) != nullptr;
        const std::string text = check ? e.what() : FtpExceptionText(e);
        // A later step cannot start (for instance no password for a 331):
        // the request fails here instead of letting the exception reach
        // the socket's event handler, which would only drop the socket.
        if (!Display("! " + text))
            return;
        FLastResponse = "500 " + text;
        FStatusCode = 500;
        FRequestResult = 500;
        RecordError();
        DropRemainingSteps();
        FEngine->DoneReported = false;
        if (FState != ftpStAborting && !CallOut(&TCustomFtpCli::SetState, this, ftpStStepReady))
            return;
        FinishRequest(500);
    }
}

void TCustomFtpCli::DropRemainingSteps()
{
    FEngine->NextStepHandler = nullptr;
    FEngine->PendingSteps = 0;
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
        (this->*FEngine->NextStepHandler)();
        return;
    }

    if (!CallOut(&TCustomFtpCli::SetState, this, ftpStReady) || !ReleaseTransfer())
        return;
    if (FEngine->InCompound && FEngine->SavedStatusCode >= 0) {
        FLastResponse = FEngine->SavedResponse;
        FStatusCode = FEngine->SavedStatusCode;
    }
    FEngine->InCompound = false;
    // A request that ends (above all one that failed) leaves no steps
    // behind: they would otherwise run after the next successful command.
    DropRemainingSteps();
    PostMessage(FNotifyWindow, MsgRequestDone, 0, static_cast<std::intptr_t>(Error & 0xFFFF));
}

void TCustomFtpCli::WndProc(unsigned Msg, std::uintptr_t, std::intptr_t LParam)
{
    if (Msg == MsgRequestDone) {
        if (OnRequestDone)
            OnRequestDone(this, FRequestType, static_cast<std::uint16_t>(LParam & 0xFFFF));
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
    if (!ReleaseTransfer())
        return;
    FControlUp = false;
    SetState(ftpStReady);
}
