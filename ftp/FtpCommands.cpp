// Single commands: one command, its accepted reply codes, and the request
// it completes.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"

#include <sys/stat.h>

void TCustomFtpCli::TEngine::StartCommand(TFtpRequest T, int Step, const std::string& Cmd,
                                          std::initializer_list<int> Codes)
{
    StartCommand(T, Step, Cmd, Codes, TFtpAwaitedReply::Command);
}

void TCustomFtpCli::TEngine::StartCommand(TFtpRequest T, int Step, const std::string& Cmd,
                                          std::initializer_list<int> Codes, TFtpAwaitedReply Reply)
{
    CheckReady();
    if (!Cli.FControlUp)
        Cli.DoCheckFailed("FTP component not connected");
    CurrentStep = Step;
    if (!InCompound)
        Cli.FRequestType = T;
    int i = 0;
    for (int code : Codes)
        if (i < 15)
            AcceptedCodes[i++] = code;
    AcceptedCodes[i] = 0;
    DoneReported = false;
    AwaitReply(Reply);
    if (Cli.CallOut(&TCustomFtpCli::SetState, &Cli, ftpStAwaitingReply))
        Cli.SendCommand(Cmd);
}

void TCustomFtpCli::StartUser()
{
    if (FUserName.empty())
        DoCheckFailed("UserName emtpy");
    FEngine->CheckNoLineBreak(FUserName, "UserName");
    FEngine->StartCommand(ftpUserAsync, StepUser, "USER " + FUserName, {331, 230});
}

void TCustomFtpCli::StartPass()
{
    if (FPassWord.empty())
        DoCheckFailed("Password emtpy");
    FEngine->CheckNoLineBreak(FPassWord, "Password");
    FEngine->StartCommand(ftpPassAsync, StepPass, "PASS " + FPassWord, {230});
}

void TCustomFtpCli::StartChangeDir()
{
    if (FHostDirName.empty())
        DoCheckFailed("HostDirName emtpy");
    FEngine->CheckNoLineBreak(FHostDirName, "HostDirName");
    FEngine->StartCommand(ftpCwdAsync, StepCwd, "CWD " + FHostDirName, {200, 250, 257});
}

void TCustomFtpCli::StartSize()
{
    FEngine->CheckNoLineBreak(FHostFileName, "HostFileName");
    FEngine->CheckReady();
    if (!FControlUp)
        DoCheckFailed("FTP component not connected");
    FSizeResult = 0;
    FEngine->StartCommand(ftpSizeAsync, StepSize, "SIZE " + FHostFileName, {213});
}

void TCustomFtpCli::StartMakeDir()
{
    FEngine->CheckNoLineBreak(FHostFileName, "HostFileName");
    FEngine->StartCommand(ftpMkdAsync, StepMkd, "MKD " + FHostFileName, {257});
}

void TCustomFtpCli::StartRemoveDir()
{
    FEngine->CheckNoLineBreak(FHostFileName, "HostFileName");
    FEngine->StartCommand(ftpRmdAsync, StepRmd, "RMD " + FHostFileName, {250, 257});
}

void TCustomFtpCli::StartRenameFrom()
{
    FEngine->CheckNoLineBreak(FHostFileName, "HostFileName");
    FEngine->StartCommand(ftpRenFromAsync, StepRnfr, "RNFR " + FHostFileName, {350});
}

void TCustomFtpCli::StartRenameTo()
{
    FEngine->CheckNoLineBreak(FLocalFileName, "LocalFileName");
    FEngine->StartCommand(ftpRenToAsync, StepRnto, "RNTO " + FLocalFileName, {200, 250, 257});
}

void TCustomFtpCli::StartQuit()
{
    FEngine->StartCommand(ftpQuitAsync, StepQuit, "QUIT", {221}, TFtpAwaitedReply::Quit);
}

void TCustomFtpCli::StartSystem()
{
    FEngine->StartCommand(ftpSystAsync, StepSyst, "SYST", {215});
}

void TCustomFtpCli::StartDelete()
{
    FEngine->CheckNoLineBreak(FHostFileName, "HostFileName");
    FEngine->StartCommand(ftpDeleAsync, StepDele, "DELE " + FHostFileName, {250, 257});
}

void TCustomFtpCli::StartPrintDir()
{
    FEngine->StartCommand(ftpPwdAsync, StepPwd, "PWD", {250, 257});
}

void TCustomFtpCli::StartQuote()
{
    FEngine->CheckNoLineBreak(FLocalFileName, "LocalFileName");
    FEngine->StartCommand(ftpQuoteAsync, StepQuote, FLocalFileName, {});
}

void TCustomFtpCli::StartSetType()
{
    FEngine->StartCommand(ftpTypeSetAsync, StepType, std::string("TYPE ") + FType, {200});
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
    FEngine->CheckReady();
    FEngine->CurrentStep = StepRest;
    struct stat st { };
    FResumePosition = ::stat(FLocalFileName.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
    if (FResumePosition < 1) {
        // Nothing to resume from: the step succeeds without a command.
        if (!FEngine->InCompound)
            FRequestType = ftpRestAsync;
        FEngine->DoneReported = false;
        FEngine->AwaitReply(TFtpAwaitedReply::Command);
        FinishRequest(0);
        return;
    }
    FEngine->StartCommand(ftpRestAsync, StepRest, "REST " + std::to_string(FResumePosition), {});
}

void TCustomFtpCli::StartParentDir()
{
    FEngine->StartCommand(ftpCDupAsync, StepCdup, "CDUP", {250});
}
