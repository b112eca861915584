// The upload sequence: log in unless a session is open, enter the target
// directory, store every file (in its own transfer type where the protocol
// has types), quit. The window and the command-line driver run these same
// steps on the session interface, whatever the protocol; each says through
// UploadEvents what it shows and decides where the two differ (a question
// box, a line on standard error).
#pragma once

#include "upload/UploadSession.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class TFtpClient;

// One file of an upload, in the order given.
struct UploadFile {
    std::string localPath;  // what opens the file, as the system gave it
    std::string remoteName; // the name it gets on the server
    bool ascii = false;     // sent in ascii mode, else binary (SFTP: always as it is)
    bool send = true;       // false: listed but never sent (a folder)
};

// What a file finds on the server under its name.
enum class IfExists : std::uint8_t {
    Overwrite, // stored again (nothing asked, nothing looked up)
    Skip,      // skipped when the server's copy has the same size and is not older
    Ask,       // UploadEvents::fileExists decides
};
// The answer to UploadEvents::fileExists. Yes overwrites; the "to all"
// answers hold for the rest of the job without asking again.
enum class ExistsAnswer : std::uint8_t { Yes, YesToAll, No, NoToAll };

// How a job deals with broken links, partial files and files the server
// has already. Everything off (the defaults but `retries`) gives the
// dialogue of earlier versions for a job whose link holds, but for the
// size check after each binary file.
struct UploadPolicy {
    // Reconnect attempts after a broken link (control or data connection
    // lost or timed out); 0: none. They count per job, and the count starts
    // again after any file that completes.
    int retries = 3;
    // The wait before attempt 1, 2, 3, ...; the last one repeats for
    // further attempts (empty: no wait).
    std::vector<int> retryDelaysSeconds{2, 5, 15};
    // Not empty (e.g. ".part"): each file is stored as name+suffix and
    // renamed to its name once complete and verified; a partial file never
    // has the real name. A file that failed keeps its name+suffix copy,
    // which a later job resumes.
    std::string tempSuffix;
    IfExists ifExists = IfExists::Overwrite;
    // After a verified store, set the server file's modification time to
    // the local one (where the server offers it; quietly skipped elsewhere).
    bool keepTime = false;
};

struct UploadJobDescription {
    UploadJobDescription() = default;
    UploadJobDescription(std::vector<UploadFile> files_, std::string directory_, UploadPolicy policy_ = {},
                         std::vector<std::string> directories_ = {})
        : files(std::move(files_)),
          directory(std::move(directory_)),
          policy(std::move(policy_)),
          directories(std::move(directories_))
    { }

    std::vector<UploadFile> files;
    std::string directory; // empty: the log-in directory
    UploadPolicy policy;
    // Sub-directories (relative to `directory`, '/'-separated, parents
    // before children) made in the target before the files: a folder's
    // tree, empty folders included. A file's remoteName may hold '/'
    // ("sub/dir/name") and goes into that sub-directory. Making them asks
    // nothing; one that exists already is fine.
    std::vector<std::string> directories;
};

// What the sequence reports and asks. Each handler must be set; `index` is
// the file's place in UploadJobDescription::files.
struct UploadEvents {
    // The log-in failed; the session is dropped right after.
    std::function<void()> loginFailed;
    // The directory cannot be entered: create it? No leaves the session open.
    std::function<bool()> createDirectory;
    // Creating the directory failed; the session stays open.
    std::function<void()> directoryNotMade;
    // The transfer type could not be set: stop here (session left open)?
    std::function<bool()> stopOnTypeFailure;
    std::function<void(std::size_t index)> fileStarting;
    // A file failed. With `canGoOn` false (the last file, or the session is
    // gone) the sequence stops whatever the answer; otherwise true goes on.
    std::function<bool(std::size_t index, bool canGoOn)> fileFailed;
    // The sequence stopped after a failed file and dropped the session.
    std::function<void(std::size_t index, bool wasLast)> stopped;
    std::function<void(std::size_t index)> fileDone;
    // Every file was handled and the session is still open: QUIT follows.
    std::function<void()> completing;
    // Every file was handled but the session had gone.
    std::function<void()> lost;

    // The link broke. The sequence has shown "Connection lost; trying again
    // in 5 s (attempt 2 of 3)" in the dialogue and dropped the session; the
    // handler waits `seconds` (the window counts down with Cancel, ftpput
    // sleeps) and returns false when the user cancelled: the job ends at
    // once (UploadEnd::Cancelled). A caller that ended the session on
    // purpose during a store (Cancel, the window closing) returns false
    // here at once: its store, cut short, is taken for a broken link.
    // Unset: the sequence waits itself,
    // running the message queue meanwhile (ProcessMessages/WaitMessage),
    // and never cancels.
    std::function<bool(int attempt, int attempts, int seconds)> waitBeforeRetry;
    // IfExists::Ask: the server has `remoteName` already (its size, or
    // UploadUnknownSize, and its time if known, 0 = unknown; seconds since
    // 1970). Unset: Overwrite.
    std::function<ExistsAnswer(std::size_t index, std::uint64_t remoteSize, std::int64_t remoteTime)> fileExists;
    // A file was skipped (IfExists), instead of fileStarting and fileDone.
    // May be unset.
    std::function<void(std::size_t index)> fileSkipped;
};

enum class UploadEnd {
    Completed,        // QUIT was sent (QuitFailed tells how it went)
    LoginFailed,      // no session
    DirectoryMissing, // not entered (or not created); the session stays open
    TypeRefused,      // stopped at a refused TYPE; the session stays open
    Stopped,          // stopped after a failed file; the session dropped
    Lost,             // the session had gone by the end
    Cancelled,        // cancelled during the wait before a reconnect; the session dropped
};

struct UploadResult {
    UploadResult() = default;
    UploadResult(UploadEnd end_, bool quitFailed_ = false) : end(end_), quitFailed(quitFailed_) { }

    UploadEnd end = UploadEnd::Completed;
    bool quitFailed = false;
    std::vector<std::size_t> failed;  // indices of the files that failed
    std::vector<std::size_t> skipped; // indices of the files skipped (IfExists)
};

// The dialogue lines the sequence adds (each starts with "! ").
std::string UploadRetryNote(int seconds, int attempt, int attempts);
std::string UploadResumeNote(const std::string& name, std::uint64_t offset);

// The dialogue line an SFTP job shows (once) when it has files checked
// for ascii.
extern const char* const SftpAsciiNote;

// Logs in unless a session made for the current settings is open
// (UploadSession::ServesSettings); a session open for anything else
// (another address or prefix, port, user, password, trust) is dropped
// first. A refused connection can end the log-in request without an error
// of its own, and a server can hang up with its last log-in reply: only a
// session that is really open counts.
[[nodiscard]] bool LogInUnlessOpen(UploadSession& session);

// Runs the upload on a session whose log-in settings are set. `typeKnown`
// says whether the open session's type matches the one the session sends
// in (SendsAscii): the type goes out when it must change, and always for
// the first file of a new session (a new session starts in the server's
// default type). It is kept up to date for the next job. After each
// binary file the size on the server is checked (see upload-job.md for
// reconnecting, resuming, the temporary name, if-exists and keep-time). A protocol
// without types (SFTP) sends every file as it is; a job with files checked
// for ascii says so once in the dialogue (SftpAsciiNote).
[[nodiscard]] UploadResult RunUpload(UploadSession& session, const UploadJobDescription& job, UploadEvents& events,
                                     bool& typeKnown);

// The same on an FTP client the caller owns and has set up (its events
// stay the caller's).
[[nodiscard]] bool LogInUnlessOpen(TFtpClient& ftp);
[[nodiscard]] UploadResult RunUpload(TFtpClient& ftp, const UploadJobDescription& job, UploadEvents& events,
                                     bool& typeKnown);
