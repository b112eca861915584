// TFtpClient: the blocking calls. Each starts one request and then pumps
// the message queue until the request is finished, the time-out has passed
// or the application is terminating.
#include "ftp/Ftpcli.h"
#include "ftp/FtpInternal.h"
#include "ftp/FtpLocalFile.h"

#include <algorithm>
#include <chrono>

TFtpClient::TFtpClient(TComponent* AOwner) : TCustomFtpCli(AOwner)
{
    FTimeout = 15;
}

bool TFtpClient::RunSynchronously(void (TCustomFtpCli::*Request)())
{
    bool lives = false;
    try {
        // A handler the request called may have destroyed this object.
        lives = CallOut(Request, this);
    } catch (const std::exception&) {
        // A failed check: nothing was sent and nothing changed.
        return false;
    }
    return lives && WaitUntilReady();
}

namespace {

// Milliseconds of the monotonic clock, 64-bit: a deadline of any Timeout
// neither wraps nor turns negative.
std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool TFtpClient::WaitUntilReady()
{
    const std::int64_t timeoutMs = static_cast<std::int64_t>(FTimeout) * 1000;
    FTimeoutDeadline = NowMs() + timeoutMs;
    FProgressed = false;
    for (;;) {
        if (State() == ftpStReady)
            return FRequestResult == 0;
        if (IsTerminating())
            break;
        const std::int64_t now = NowMs();
        if (FProgressed) {
            // Data moved since the last look: the time-out starts again.
            FProgressed = false;
            FTimeoutDeadline = now + timeoutMs;
        }
        const std::int64_t left = FTimeoutDeadline - now;
        if (FTimeout > 0 && left < 0)
            break;
        const bool pumped = FMultiThreaded && ControlSocket() ? CallOut([this] { ControlSocket()->ProcessMessages(); })
                                                              : CallOut([] { ProcessMessages(); });
        if (!pumped)
            return false;
        if (State() == ftpStReady)
            continue;
        // Sleep until the next message (or the deadline) instead of
        // spinning: the queue is fed by the reactor and by posts. At
        // least 1 ms: on the deadline's own millisecond the time-out has not
        // passed yet, and a 0 ms wait would spin through it. A very long
        // time-out is waited for in rounds of at most a day.
        const int waitMs = FTimeout > 0 ? static_cast<int>(std::clamp<std::int64_t>(left, 1, 86400000)) : -1;
        if (!CallOut([waitMs] { WaitMessage(waitMs); }))
            return false;
    }
    if (!CallOut(&TCustomFtpCli::StartAbort, this))
        return false;
    FErrorMessage = "426 Timeout";
    FStatusCode = 426;
    return false;
}

bool TFtpClient::DoProgress()
{
    const std::int64_t before = ProgressCount();
    // False also when a handler destroyed this object: then nothing here
    // may be touched any more (and an aborted transfer needs no time-out).
    if (!TCustomFtpCli::DoProgress())
        return false;
    // Data the peer took (or that arrived) keeps the call alive; a stall
    // times out Timeout seconds after the count last moved. The wait loop
    // restarts the clock, so a piece does not cost a clock read of its own.
    if (ProgressCount() != before)
        FProgressed = true;
    return true;
}

bool TFtpClient::Connect()
{
    return RunSynchronously(&TCustomFtpCli::StartConnect);
}
bool TFtpClient::ChangeDir()
{
    return RunSynchronously(&TCustomFtpCli::StartChangeDir);
}
bool TFtpClient::ParentDir()
{
    return RunSynchronously(&TCustomFtpCli::StartParentDir);
}
bool TFtpClient::MakeDir()
{
    return RunSynchronously(&TCustomFtpCli::StartMakeDir);
}
bool TFtpClient::StoreFile()
{
    return RunSynchronously(&TCustomFtpCli::StartStoreFile);
}
bool TFtpClient::ListDir()
{
    return RunSynchronously(&TCustomFtpCli::StartListDir);
}
bool TFtpClient::Append()
{
    return RunSynchronously(&TCustomFtpCli::StartAppend);
}
bool TFtpClient::Size()
{
    return RunSynchronously(&TCustomFtpCli::StartSize);
}
bool TFtpClient::Delete()
{
    return RunSynchronously(&TCustomFtpCli::StartDelete);
}
bool TFtpClient::Quote()
{
    return RunSynchronously(&TCustomFtpCli::StartQuote);
}
bool TFtpClient::Quit()
{
    return RunSynchronously(&TCustomFtpCli::StartQuit);
}
bool TFtpClient::Abort()
{
    return RunSynchronously(&TCustomFtpCli::StartAbort);
}

bool TFtpClient::SetBinaryType()
{
    SetBinary(true);
    return RunSynchronously(&TCustomFtpCli::StartSetType);
}

bool TFtpClient::SetAsciiType()
{
    SetBinary(false);
    return RunSynchronously(&TCustomFtpCli::StartSetType);
}
