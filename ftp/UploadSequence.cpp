#include "ftp/UploadSequence.h"

#include "ftp/Ftpcli.h"

namespace {

// The directory as typed: several levels are one CWD and one MKD.
bool EnterDirectory(TFtpClient& ftp, const std::string& dir, UploadEvents& events)
{
    if (dir.empty())
        return true;
    ftp.SetHostDirName(dir);
    if (ftp.ChangeDir())
        return true;
    if (!events.createDirectory())
        return false;
    ftp.SetHostFileName(dir);
    if (!ftp.MakeDir()) {
        events.directoryNotMade();
        return false;
    }
    (void)ftp.ChangeDir();
    return true;
}

} // namespace

bool LogInUnlessOpen(TFtpClient& ftp)
{
    if (ftp.Connected()) {
        if (ftp.SessionServesSettings())
            return true;
        // Made for another server, port, user, password or security: reusing
        // it would send the files there, or in clear under a secured address.
        // It is dropped at once, as when the profile is switched; a QUIT
        // could wait the whole time-out on a server that has gone.
        (void)ftp.Abort();
    }
    return ftp.Connect() && ftp.Connected();
}

UploadResult RunUpload(TFtpClient& ftp, const UploadJobDescription& job, UploadEvents& events, bool& typeKnown)
{
    // A session opened now starts in the server's default type.
    if (!ftp.SessionServesSettings())
        typeKnown = false;
    if (!LogInUnlessOpen(ftp)) {
        events.loginFailed();
        (void)ftp.Abort();
        return {UploadEnd::LoginFailed};
    }
    if (!EnterDirectory(ftp, job.directory, events))
        return {UploadEnd::DirectoryMissing};

    // The last file counts among all files given, folders included: a
    // failure followed only by folders still asks about the rest.
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        const UploadFile& file = job.files[i];
        if (!file.send)
            continue;
        ftp.SetLocalFileName(file.localPath);
        if (!typeKnown || file.ascii == ftp.Binary()) {
            const bool typeSet = file.ascii ? ftp.SetAsciiType() : ftp.SetBinaryType();
            typeKnown = typeSet && ftp.Connected();
            if (!typeSet && events.stopOnTypeFailure())
                return {UploadEnd::TypeRefused};
        }
        ftp.SetHostFileName(file.remoteName);
        events.fileStarting(i);

        if (!ftp.StoreFile()) {
            const bool last = i + 1 == job.files.size() || !ftp.Connected();
            if (!events.fileFailed(i, !last) || last) {
                (void)ftp.Abort();
                events.stopped(i, last);
                return {UploadEnd::Stopped};
            }
        }
        events.fileDone(i);
    }

    if (!ftp.Connected()) {
        events.lost();
        return {UploadEnd::Lost};
    }
    events.completing();
    const bool quit = ftp.Quit();
    return {UploadEnd::Completed, !quit};
}
