#include "upload/UploadSequence.h"

#include "platform/Messages.h"
#include "upload/FtpSession.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <optional>

const char* const SftpAsciiNote = "! SFTP has no text mode: files checked for ascii are sent unchanged";

namespace {

// The directory as typed: several levels are one change and one make.
bool EnterDirectory(UploadSession& session, const std::string& dir, UploadEvents& events)
{
    if (dir.empty())
        return true;
    if (session.ChangeDir(dir))
        return true;
    if (!events.createDirectory())
        return false;
    if (!session.MakeDir(dir)) {
        events.directoryNotMade();
        return false;
    }
    (void)session.ChangeDir(dir);
    return true;
}

} // namespace

bool LogInUnlessOpen(UploadSession& session)
{
    if (session.Connected()) {
        if (session.ServesSettings())
            return true;
        // Made for another server, port, user, password or security: reusing
        // it would send the files there, or in clear under a secured address.
        // It is dropped at once, as when the profile is switched; a QUIT
        // could wait the whole time-out on a server that has gone.
        session.Drop();
    }
    return session.LogIn() && session.Connected();
}

std::string UploadRetryNote(int seconds, int attempt, int attempts)
{
    return "! Connection lost; trying again in " + std::to_string(seconds) + " s (attempt " + std::to_string(attempt) +
           " of " + std::to_string(attempts) + ")";
}

std::string UploadResumeNote(const std::string& name, std::uint64_t offset)
{
    return "! Resuming " + name + " at " + std::to_string(offset) + " bytes";
}

namespace {

struct LocalInfo {
    bool known = false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
};

LocalInfo StatLocal(const std::string& path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {true, static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtime)};
}

// Waits `seconds` running the message queue (no handler was given).
void WaitPumping(int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        ProcessMessages();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || IsTerminating())
            return;
        WaitMessage(static_cast<int>(std::min<std::int64_t>(left, 1000)));
    }
}

enum class Try : std::uint8_t { Done, Failed, Broken };

// One file, one attempt: (resume,) store, verify, rename, keep the time.
// `resume`: look at what the server has of the target first.
Try StoreOnce(UploadSession& session, const UploadFile& file, const UploadPolicy& policy, bool resume)
{
    auto failed = [&] { return session.LinkBroken() ? Try::Broken : Try::Failed; };
    const bool binary = !file.ascii || !session.HasTextMode();
    const LocalInfo local = StatLocal(file.localPath);
    const std::string target = file.remoteName + policy.tempSuffix;

    std::uint64_t offset = 0;
    if (resume && binary && local.known) {
        UploadRemoteFile remote;
        if (!session.StatFile(target, false, remote))
            return failed();
        // Less than the whole file: the rest follows. Unknown, or more than
        // the file: sent again from the start. Exactly the file: a store
        // whose last reply was lost; only the checks follow.
        if (remote.known && remote.exists && remote.size > 0 && remote.size <= local.size)
            offset = remote.size;
    }
    if (offset > 0)
        session.Note(UploadResumeNote(file.remoteName, offset));
    if (offset == 0) {
        if (!session.Store(file.localPath, target))
            return failed();
    } else if (offset < local.size) {
        if (!session.StoreFrom(file.localPath, target, offset))
            return failed();
    }
    // A store the client took as complete can still have lost its last
    // bytes with the link (the server saw the data connection end early):
    // with the session gone the check below cannot run, so the file counts
    // as broken and is looked at again after the new log-in.

    // The size on the server must be what was sent; a server that cannot
    // tell it is not asked twice, and the store stands.
    if (binary && local.known) {
        UploadRemoteFile remote;
        if (!session.StatFile(target, false, remote))
            return failed();
        if (remote.known && remote.exists) {
            if (remote.size != local.size) {
                session.Note("! Size check failed: the server has " + std::to_string(remote.size) + " bytes of " +
                             target + ", not " + std::to_string(local.size));
                return Try::Failed;
            }
            session.Note("! Size checked: " + target + " has " + std::to_string(remote.size) + " bytes");
        }
    }

    if (!policy.tempSuffix.empty() && !session.Rename(target, file.remoteName))
        return failed();
    if (policy.keepTime && local.known && !session.SetFileTime(file.remoteName, local.mtime) && !session.Connected())
        return Try::Broken;
    return Try::Done;
}

// Whether IfExists lets the file be sent. `answer` keeps a "to all".
bool MaySend(UploadSession& session, const UploadJobDescription& job, std::size_t index, UploadEvents& events,
             std::optional<bool>& toAll)
{
    const UploadFile& file = job.files[index];
    if (job.policy.ifExists == IfExists::Overwrite)
        return true;
    UploadRemoteFile remote;
    // A session that went meanwhile: the store finds out and reconnects.
    if (!session.StatFile(file.remoteName, true, remote) || !remote.known || !remote.exists)
        return true;
    if (job.policy.ifExists == IfExists::Skip) {
        const LocalInfo local = StatLocal(file.localPath);
        // An ascii copy's size differs by design: only its time counts.
        const bool sameSize = (file.ascii && session.HasTextMode()) || (local.known && remote.size == local.size);
        const bool notOlder = remote.mtime != 0 && local.known && remote.mtime >= local.mtime;
        if (sameSize && notOlder) {
            session.Note("! Skipped " + file.remoteName + ": the server has it already (same size, not older)");
            return false;
        }
        return true;
    }
    if (toAll)
        return *toAll;
    const ExistsAnswer answer =
        events.fileExists ? events.fileExists(index, remote.size, remote.mtime) : ExistsAnswer::Yes;
    if (answer == ExistsAnswer::YesToAll)
        toAll = true;
    if (answer == ExistsAnswer::NoToAll)
        toAll = false;
    const bool send = answer == ExistsAnswer::Yes || answer == ExistsAnswer::YesToAll;
    if (!send)
        session.Note("! Skipped " + file.remoteName + ": it exists on the server");
    return send;
}

bool SetTypeFor(UploadSession& session, const UploadFile& file, bool& typeKnown, bool& asciiNoted)
{
    if (!session.HasTextMode()) {
        if (file.ascii && !asciiNoted) {
            session.Note(SftpAsciiNote);
            asciiNoted = true;
        }
        return true;
    }
    if (!typeKnown || file.ascii != session.SendsAscii()) {
        const bool typeSet = session.SetType(file.ascii);
        typeKnown = typeSet && session.Connected();
        return typeSet;
    }
    return true;
}

} // namespace

UploadResult RunUpload(UploadSession& session, const UploadJobDescription& job, UploadEvents& events, bool& typeKnown)
{
    // A session opened now starts in the server's default type.
    if (!session.ServesSettings())
        typeKnown = false;
    if (!LogInUnlessOpen(session)) {
        events.loginFailed();
        session.Drop();
        return {UploadEnd::LoginFailed};
    }
    if (!EnterDirectory(session, job.directory, events))
        return {UploadEnd::DirectoryMissing};
    for (const std::string& dir : job.directories)
        if (session.Connected())
            (void)session.MakeDir(dir); // one that exists already is fine

    const UploadPolicy& policy = job.policy;
    const int retries = std::max(policy.retries, 0);
    int attemptsUsed = 0; // since the last file that completed
    std::optional<bool> toAll;
    UploadResult result;
    bool asciiNoted = false;
    // The last file counts among all files given, folders included: a
    // failure followed only by folders still asks about the rest.
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        const UploadFile& file = job.files[i];
        if (!file.send)
            continue;
        if (!SetTypeFor(session, file, typeKnown, asciiNoted) && events.stopOnTypeFailure()) {
            result.end = UploadEnd::TypeRefused;
            return result;
        }
        if (!MaySend(session, job, i, events, toAll)) {
            result.skipped.push_back(i);
            if (events.fileSkipped)
                events.fileSkipped(i);
            continue;
        }
        events.fileStarting(i);

        // With a temporary name a partial copy is ours to continue; under
        // the real name only one this job left behind.
        bool resume = !policy.tempSuffix.empty();
        // A session found gone before the file started was ended on
        // purpose (an abort): nothing is tried again then.
        const bool wasUp = session.Connected();
        Try outcome = StoreOnce(session, file, policy, resume);
        // A program that is closing does not wait for another attempt.
        while (outcome == Try::Broken && wasUp && attemptsUsed < retries && !IsTerminating()) {
            ++attemptsUsed;
            const std::size_t delayIndex =
                std::min<std::size_t>(static_cast<std::size_t>(attemptsUsed - 1), policy.retryDelaysSeconds.size() - 1);
            const int seconds =
                policy.retryDelaysSeconds.empty() ? 0 : std::max(policy.retryDelaysSeconds[delayIndex], 0);
            session.Drop();
            session.Note(UploadRetryNote(seconds, attemptsUsed, retries));
            if (events.waitBeforeRetry) {
                if (!events.waitBeforeRetry(attemptsUsed, retries, seconds)) {
                    session.Drop();
                    result.end = UploadEnd::Cancelled;
                    return result;
                }
            } else {
                WaitPumping(seconds);
            }
            // The same log-in (trust decisions made during this job hold),
            // the same directory, the file that broke.
            typeKnown = false;
            if (!session.LogIn() || !session.Connected() ||
                (!job.directory.empty() && !session.ChangeDir(job.directory)) ||
                !SetTypeFor(session, file, typeKnown, asciiNoted)) {
                outcome = session.LinkBroken() ? Try::Broken : Try::Failed;
                // A refusal that stays (530, a certificate or host key not
                // trusted) ends the attempts.
                if (outcome == Try::Failed)
                    session.Drop();
                continue;
            }
            resume = true;
            outcome = StoreOnce(session, file, policy, resume);
        }

        if (outcome != Try::Done) {
            if (outcome == Try::Broken && wasUp && retries > 0 && !IsTerminating())
                session.Note("! Giving up on " + file.remoteName + " after " + std::to_string(retries) +
                             (retries == 1 ? " attempt" : " attempts") + " to reconnect");
            result.failed.push_back(i);
            const bool last = i + 1 == job.files.size() || !session.Connected();
            if (!events.fileFailed(i, !last) || last) {
                session.Drop();
                events.stopped(i, last);
                result.end = UploadEnd::Stopped;
                return result;
            }
        } else {
            attemptsUsed = 0;
        }
        events.fileDone(i);
    }

    if (!session.Connected()) {
        events.lost();
        result.end = UploadEnd::Lost;
        return result;
    }
    events.completing();
    result.quitFailed = !session.Quit();
    result.end = UploadEnd::Completed;
    return result;
}

bool LogInUnlessOpen(TFtpClient& ftp)
{
    FtpSession session(ftp);
    return LogInUnlessOpen(session);
}

UploadResult RunUpload(TFtpClient& ftp, const UploadJobDescription& job, UploadEvents& events, bool& typeKnown)
{
    FtpSession session(ftp);
    return RunUpload(session, job, events, typeKnown);
}
