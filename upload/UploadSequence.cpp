#include "upload/UploadSequence.h"

#include "upload/FtpSession.h"

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
    // The sub-directories of sent folders: one that fails may exist
    // already, and a file stored into a missing one fails on its own.
    for (const std::string& dir : job.directories)
        (void)session.MakeDir(dir);

    bool asciiNoted = false;
    // The last file counts among all files given, folders included: a
    // failure followed only by folders still asks about the rest.
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        const UploadFile& file = job.files[i];
        if (!file.send)
            continue;
        if (!session.HasTextMode()) {
            if (file.ascii && !asciiNoted) {
                session.Note(SftpAsciiNote);
                asciiNoted = true;
            }
        } else if (!typeKnown || file.ascii != session.SendsAscii()) {
            const bool typeSet = session.SetType(file.ascii);
            typeKnown = typeSet && session.Connected();
            if (!typeSet && events.stopOnTypeFailure())
                return {UploadEnd::TypeRefused};
        }
        events.fileStarting(i);

        if (!session.Store(file.localPath, file.remoteName)) {
            const bool last = i + 1 == job.files.size() || !session.Connected();
            if (!events.fileFailed(i, !last) || last) {
                session.Drop();
                events.stopped(i, last);
                return {UploadEnd::Stopped};
            }
        }
        events.fileDone(i);
    }

    if (!session.Connected()) {
        events.lost();
        return {UploadEnd::Lost};
    }
    events.completing();
    const bool quit = session.Quit();
    return {UploadEnd::Completed, !quit};
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
