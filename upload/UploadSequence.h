// The upload sequence: log in unless a session is open, enter the target
// directory, store every file (in its own transfer type where the protocol
// has types), quit. The window and the command-line driver run these same
// steps on the session interface, whatever the protocol; each says through
// UploadEvents what it shows and decides where the two differ (a question
// box, a line on standard error).
#pragma once

#include "upload/UploadSession.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class TFtpClient;

// One file of an upload, in the order given.
struct UploadFile {
    std::string localPath;  // what opens the file, as the system gave it
    std::string remoteName; // the name it gets on the server
    bool ascii = false;     // sent in ascii mode, else binary (SFTP: always as it is)
    bool send = true;       // false: listed but never sent (a folder)
};

struct UploadJobDescription {
    std::vector<UploadFile> files;
    std::string directory; // empty: the log-in directory
    // Sub-directories of `directory` made before the files, '/'-separated,
    // parents before children; one that exists already is fine. A file's
    // remoteName may then hold '/' ("sub/dir/name").
    std::vector<std::string> directories{};
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
};

enum class UploadEnd {
    Completed,        // QUIT was sent (QuitFailed tells how it went)
    LoginFailed,      // no session
    DirectoryMissing, // not entered (or not created); the session stays open
    TypeRefused,      // stopped at a refused TYPE; the session stays open
    Stopped,          // stopped after a failed file; the session dropped
    Lost,             // the session had gone by the end
};

struct UploadResult {
    UploadEnd end = UploadEnd::Completed;
    bool quitFailed = false;
};

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
// default type). It is kept up to date for the next job. A protocol
// without types (SFTP) sends every file as it is; a job with files checked
// for ascii says so once in the dialogue (SftpAsciiNote).
[[nodiscard]] UploadResult RunUpload(UploadSession& session, const UploadJobDescription& job, UploadEvents& events,
                                     bool& typeKnown);

// The same on an FTP client the caller owns and has set up (its events
// stay the caller's).
[[nodiscard]] bool LogInUnlessOpen(TFtpClient& ftp);
[[nodiscard]] UploadResult RunUpload(TFtpClient& ftp, const UploadJobDescription& job, UploadEvents& events,
                                     bool& typeKnown);
