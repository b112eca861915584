// Single commands: one command, its accepted reply codes, and the request
// it completes.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"

#include <sys/stat.h>

void TCustomFtpCli::StartCommand(TFtpRequest T, int Step, const std::string& Cmd, std::initializer_list<int> Codes)
{
    StartCommand(T, Step, Cmd, Codes, TFtpAwaitedReply::Command);
}

void TCustomFtpCli::StartCommand(TFtpRequest T, int Step, const std::string& Cmd, std::initializer_list<int> Codes,
                                 TFtpAwaitedReply Awaited)
{
    CheckReady();
    if (!FControlUp)
        DoCheckFailed("FTP component not connected");
    FEngine->CurrentStep = Step;
    if (!FEngine->InCompound)
        FRequestType = T;
    int i = 0;
    for (int code : Codes)
        if (i < 15)
            FEngine->AcceptedCodes[i++] = code;
    FEngine->AcceptedCodes[i] = 0;
    FEngine->DoneReported = false;
    AwaitReply(Awaited);
    if (CallOut(&TCustomFtpCli::SetState, this, ftpStAwaitingReply))
        SendCommand(Cmd);
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
    FEngine->CurrentStep = StepRest;
    struct stat st { };
    FResumePosition = ::stat(FLocalFileName.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    if (FResumePosition < 1) {
        // Nothing to resume from: the step succeeds without a command.
        if (!FEngine->InCompound)
            FRequestType = ftpRestAsync;
        FEngine->DoneReported = false;
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
