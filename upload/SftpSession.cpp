#include "upload/SftpSession.h"

std::string SftpHostOfAddress(const std::string& address)
{
    std::string host = ProtocolOfAddress(address) == UploadProtocol::Sftp ? address.substr(7) : address;
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    return host;
}

SftpSession::SftpSession()
{
    sftp_.OnDisplay = [this](const std::string& line) { Note(line); };
    sftp_.OnProgress = [this](std::uint64_t acknowledged) {
        if (events.progress)
            events.progress(acknowledged);
    };
}

SftpSession::~SftpSession() = default;

bool SftpSession::AskHostKey(const std::string& host, const std::string& keyType, const std::string& fingerprint,
                             const std::string& rememberedFingerprint)
{
    UploadTrustQuestion question;
    question.kind = UploadTrustQuestion::Kind::SshHostKey;
    question.host = host;
    question.keyType = keyType;
    question.fingerprint = fingerprint;
    question.rememberedFingerprint = rememberedFingerprint;
    return events.trust && events.trust(question);
}

void SftpSession::SetLogin(const UploadLogin& login)
{
    sftp_.Host = SftpHostOfAddress(login.address);
    sftp_.Port = login.port;
    sftp_.User = login.user;
    sftp_.Password = login.password;
    password_ = login.password;
}

SftpSession::Identity SftpSession::Current() const
{
    return {sftp_.Host,       sftp_.Port,          sftp_.User,        password_,
            sftp_.SshProgram, sftp_.SshConfigFile, sftp_.AgentSocket, sftp_.KnownHostsFiles,
            sftp_.SshOptions};
}

bool SftpSession::Connected() const
{
    return sftp_.Connected();
}

bool SftpSession::ServesSettings() const
{
    return Connected() && openedFor_ == Current();
}

bool SftpSession::LogIn()
{
    // Recorded before ssh starts: a session opened is the one made for
    // these settings, whatever is changed while it is being opened.
    openedFor_ = Current();
    // Without somebody to ask, ssh refuses an unknown host key itself.
    if (events.trust) {
        sftp_.OnHostKeyQuestion = [this](TObject*, const TSftpHostKeyQuestion& question, bool& trust) {
            trust = AskHostKey(question.host, question.keyType, question.fingerprint, {});
        };
    } else {
        sftp_.OnHostKeyQuestion = nullptr;
    }
    return sftp_.Connect();
}

bool SftpSession::ChangeDir(const std::string& dir)
{
    sftp_.DirName = dir;
    return sftp_.ChangeDir();
}

bool SftpSession::MakeDir(const std::string& dir)
{
    // One MKDIR makes one level: for "a/b/c" the levels that are missing
    // are made first. A level that fails may exist already; the last one
    // says whether the directory was made.
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/')
            continue;
        sftp_.DirName = path.substr(0, slash);
        if (!sftp_.MakeDir() && !Connected())
            return false;
    }
    sftp_.DirName = path;
    return sftp_.MakeDir();
}

bool SftpSession::ListDirs(const std::string& dir, std::vector<std::string>& names)
{
    sftp_.DirName = dir;
    names.clear();
    if (!sftp_.ListDirs())
        return false;
    // Hidden ones stay hidden, as in an FTP listing.
    for (const std::string& name : sftp_.DirNames())
        if (!name.empty() && name[0] != '.')
            names.push_back(name);
    return true;
}

bool SftpSession::Store(const std::string& localPath, const std::string& remoteName)
{
    sftp_.LocalFile = localPath;
    sftp_.HostFile = remoteName;
    return sftp_.Store();
}

bool SftpSession::StoreFrom(const std::string& localPath, const std::string& remoteName, std::uint64_t offset)
{
    sftp_.LocalFile = localPath;
    sftp_.HostFile = remoteName;
    sftp_.StoreOffset = offset;
    const bool stored = sftp_.Store();
    sftp_.StoreOffset = 0;
    return stored;
}

bool SftpSession::StatFile(const std::string& name, bool withTime, UploadRemoteFile& file)
{
    (void)withTime; // stat gives the time anyway
    file = {};
    sftp_.HostFile = name;
    if (sftp_.Stat()) {
        const sftp::Attrs& attrs = sftp_.StatResult();
        file.exists = true;
        file.known = (attrs.flags & sftp::FILEXFER_ATTR_SIZE) != 0;
        file.size = attrs.size;
        if (attrs.flags & sftp::FILEXFER_ATTR_ACMODTIME)
            file.mtime = attrs.mtime;
        return true;
    }
    if (!Connected())
        return false;
    file.known = sftp_.ErrorCode() == sftp::FX_NO_SUCH_FILE;
    return true;
}

bool SftpSession::Rename(const std::string& from, const std::string& to)
{
    sftp_.HostFile = from;
    sftp_.NewName = to;
    if (sftp_.HasPosixRename())
        return sftp_.Rename();
    // A version 3 RENAME refuses an existing target: it goes first (a
    // remove that fails because there is none is fine).
    sftp_.HostFile = to;
    if (!sftp_.Remove() && !Connected())
        return false;
    sftp_.HostFile = from;
    return sftp_.Rename();
}

bool SftpSession::SetFileTime(const std::string& name, std::int64_t mtime)
{
    sftp_.HostFile = name;
    sftp_.FileTime = mtime;
    return sftp_.SetTimes();
}

bool SftpSession::LinkBroken() const
{
    const std::uint32_t code = sftp_.ErrorCode();
    if (code != sftp::FX_CONNECTION_LOST && code != sftp::FX_NO_CONNECTION)
        return false;
    // ssh ends the same way when the log-in is refused or a host key is
    // not trusted: those stay as they are, however often it is tried.
    const std::string& why = sftp_.ErrorMessage();
    for (const char* stays : {"Permission denied", "host key", "Host key", "HAS CHANGED", "not accepted",
                              "Too many authentication failures", "Stopped: the program is closing"})
        if (why.find(stays) != std::string::npos)
            return false;
    return true;
}

bool SftpSession::Quit()
{
    return sftp_.Quit();
}

void SftpSession::Drop()
{
    // Quitting SFTP sends nothing: the pipes close and ssh is ended (and
    // killed if it lingers), so it cannot wait on a server that has gone.
    if (sftp_.Connected() || sftp_.SshPid() > 0)
        (void)sftp_.Quit();
}

std::string SftpSession::ErrorMessage() const
{
    return sftp_.ErrorMessage();
}
