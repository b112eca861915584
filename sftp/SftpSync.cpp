// TSftpClient: the blocking calls. Each starts one request and pumps the
// message queue until it has ended, the time-out has passed or the
// application is terminating.
#include "sftp/SftpClient.h"

#include <algorithm>
#include <chrono>

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool TSftpClient::DoProgress(bool countMoved)
{
    if (!TCustomSftpCli::DoProgress(countMoved))
        return false;
    // Any answer, and every acknowledged write, restarts the time-out.
    FProgressed = true;
    return true;
}

bool TSftpClient::Run(void (TCustomSftpCli::*start)())
{
    auto alive = Alive();
    try {
        (this->*start)();
    } catch (const SftpException& e) {
        // Refused before anything started (a host name beginning with '-').
        Refused(e.Message());
        return false;
    }
    if (!alive)
        return false;
    const std::int64_t timeoutMs = static_cast<std::int64_t>(Timeout) * 1000;
    std::int64_t deadline = NowMs() + timeoutMs;
    FProgressed = false;
    while (Busy()) {
        if (IsTerminating()) {
            Abandon("Stopped: the program is closing");
            return false;
        }
        const std::int64_t now = NowMs();
        if (FProgressed) {
            FProgressed = false;
            deadline = now + timeoutMs;
        }
        const std::int64_t left = deadline - now;
        if (Timeout > 0 && left < 0) {
            Abandon("Timed out: nothing moved for " + std::to_string(Timeout) + " seconds");
            return false;
        }
        ProcessMessages();
        if (!alive)
            return false;
        if (!Busy())
            break;
        WaitMessage(Timeout > 0 ? static_cast<int>(std::clamp<std::int64_t>(left, 1, 86400000)) : -1);
        if (!alive)
            return false;
    }
    return LastOk();
}

bool TSftpClient::Connect()
{
    return Run(&TCustomSftpCli::StartConnect);
}
bool TSftpClient::ChangeDir()
{
    return Run(&TCustomSftpCli::StartChangeDir);
}
bool TSftpClient::MakeDir()
{
    return Run(&TCustomSftpCli::StartMakeDir);
}
bool TSftpClient::ListDirs()
{
    return Run(&TCustomSftpCli::StartListDirs);
}
bool TSftpClient::Store()
{
    return Run(&TCustomSftpCli::StartStore);
}
bool TSftpClient::Stat()
{
    return Run(&TCustomSftpCli::StartStat);
}
bool TSftpClient::Rename()
{
    return Run(&TCustomSftpCli::StartRename);
}
bool TSftpClient::Remove()
{
    return Run(&TCustomSftpCli::StartRemove);
}
bool TSftpClient::SetTimes()
{
    return Run(&TCustomSftpCli::StartSetTimes);
}
bool TSftpClient::Quit()
{
    return Run(&TCustomSftpCli::StartQuit);
}
