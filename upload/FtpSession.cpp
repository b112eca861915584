#include "upload/FtpSession.h"

#include "ftp/Ftpcli.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

// A folder only this user can open, removed with everything in it: the
// listing goes to a file there, so nobody can put a link in its place.
struct PrivateFolder {
    std::string path;
    PrivateFolder()
    {
        std::error_code error;
        std::string pattern = (std::filesystem::temp_directory_path(error) / "parcelo-list.XXXXXX").string();
        if (!error && ::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~PrivateFolder()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

int DirectoryDepth(const std::string& dir)
{
    int depth = 0;
    std::size_t start = 0;
    while (start <= dir.size()) {
        std::size_t end = dir.find('/', start);
        if (end == std::string::npos)
            end = dir.size();
        if (end > start)
            ++depth;
        start = end + 1;
    }
    return depth;
}

std::string ListedDirectory(const std::string& line)
{
    if (line.empty() || line[0] != 'd')
        return {};
    // Type and rights, links, owner, group (some servers leave it out), size,
    // then the date as month, day and time or year; the name is everything
    // after the date's single separating blank.
    static const std::regex longFormat(
        R"(^d\S*\s+(?:\S+\s+){2,4}?(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\s+\d{1,2}\s+(?:\d{1,2}:\d{2}|\d{4}) (.+)$)",
        std::regex::ECMAScript | std::regex::icase);
    std::string name;
    std::smatch match;
    if (std::regex_match(line, match, longFormat)) {
        name = match[1].str();
    } else {
        // Anything else: the text after the last blank, never taking the
        // line's last character as that blank.
        if (line.size() < 2)
            return {};
        const std::size_t blank = line.rfind(' ', line.size() - 2);
        if (blank == std::string::npos)
            return {};
        name = line.substr(blank + 1);
    }
    if (name.empty() || name[0] == '.')
        return {};
    return name;
}

} // namespace

std::vector<std::string> FtpListedDirectories(const std::string& listing)
{
    const std::string text = listing.substr(0, listing.find('\0'));
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string name = ListedDirectory(text.substr(start, end - start));
        if (!name.empty())
            names.push_back(std::move(name));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return names;
}

std::int64_t FtpMdtmTime(const std::string& reply)
{
    if (reply.size() < 18 || reply.compare(0, 4, "213 ") != 0)
        return 0;
    for (std::size_t i = 4; i < 18; ++i)
        if (!std::isdigit(static_cast<unsigned char>(reply[i])))
            return 0;
    auto number = [&](std::size_t at, std::size_t length) { return std::stoi(reply.substr(at, length)); };
    std::tm tm{};
    tm.tm_year = number(4, 4) - 1900;
    tm.tm_mon = number(8, 2) - 1;
    tm.tm_mday = number(10, 2);
    tm.tm_hour = number(12, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(16, 2);
    const std::time_t time = ::timegm(&tm);
    return time < 0 ? 0 : static_cast<std::int64_t>(time);
}

std::string FtpTimeText(std::int64_t time)
{
    const auto t = static_cast<std::time_t>(time);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

FtpSession::FtpSession() : own_(std::make_unique<TFtpClient>(nullptr)), ftp_(*own_)
{
    RouteClientEvents();
}

FtpSession::FtpSession(TFtpClient& client) : ftp_(client)
{
    // The client's events stay the caller's: the sequence's own lines go
    // where the client's lines go.
    events.display = [this](const std::string& line) {
        if (ftp_.OnDisplay) {
            std::string shown = line;
            ftp_.OnDisplay(&ftp_, shown);
        }
    };
}

FtpSession::~FtpSession() = default;

void FtpSession::RouteClientEvents()
{
    ftp_.OnDisplay = [this](TObject*, std::string& line) { Note(line); };
    ftp_.OnProgress = [this](TObject*, std::int64_t count, bool&) {
        if (events.progress)
            events.progress(count > 0 ? static_cast<std::uint64_t>(count) : 0);
    };
    ftp_.OnVerifyCertificate = [this](TObject*, const TFtpCertificateQuestion& q, bool& trust) {
        UploadTrustQuestion question;
        question.kind = UploadTrustQuestion::Kind::TlsCertificate;
        question.host = q.host;
        question.fingerprint = q.peer.fingerprint;
        question.rememberedFingerprint = q.rememberedFingerprint;
        question.certificate = &q;
        trust = events.trust && events.trust(question);
    };
}

void FtpSession::SetLogin(const UploadLogin& login)
{
    ftp_.SetHostName(login.address);
    ftp_.SetPort(login.port);
    ftp_.SetUserName(login.user);
    ftp_.SetPassWord(login.password);
}

bool FtpSession::Connected() const
{
    return ftp_.Connected();
}

bool FtpSession::ServesSettings() const
{
    return ftp_.SessionServesSettings();
}

bool FtpSession::LogIn()
{
    featRead_ = hasMfmt_ = false;
    return ftp_.Connect();
}

bool FtpSession::ChangeDir(const std::string& dir)
{
    ftp_.SetHostDirName(dir);
    return ftp_.ChangeDir();
}

bool FtpSession::MakeDir(const std::string& dir)
{
    ftp_.SetHostFileName(dir);
    return ftp_.MakeDir();
}

bool FtpSession::ListDirs(const std::string& dir, std::vector<std::string>& names)
{
    names.clear();
    if (!dir.empty() && !ChangeDir(dir))
        return false;
    PrivateFolder folder;
    bool listed = false;
    std::string listing;
    if (!folder.path.empty()) {
        const std::string file = folder.path + "/listing";
        // The listing goes to the file, not to the dialogue.
        const bool shown = ftp_.DisplayFileFlag();
        ftp_.SetDisplayFileFlag(false);
        ftp_.SetLocalFileName(file);
        ftp_.SetHostFileName(std::string());
        listed = ftp_.ListDir();
        ftp_.SetDisplayFileFlag(shown);
        std::ifstream in(file, std::ios::binary);
        listing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        listed = listed && !in.bad();
    }
    // Back where it was, one CDUP per level. A failed CDUP leaves the
    // session somewhere unknown: it is dropped (the listing is still good).
    for (int level = dir.empty() ? 0 : DirectoryDepth(dir); level > 0 && ftp_.Connected(); --level)
        if (!ftp_.ParentDir())
            Drop();
    if (listed)
        names = FtpListedDirectories(listing);
    return listed;
}

bool FtpSession::SendsAscii() const
{
    return !ftp_.Binary();
}

bool FtpSession::SetType(bool ascii)
{
    return ascii ? ftp_.SetAsciiType() : ftp_.SetBinaryType();
}

bool FtpSession::Store(const std::string& localPath, const std::string& remoteName)
{
    ftp_.SetLocalFileName(localPath);
    ftp_.SetHostFileName(remoteName);
    ftp_.SetResumePosition(0);
    return ftp_.StoreFile();
}

bool FtpSession::Command(const std::string& command, int want)
{
    ftp_.SetLocalFileName(command);
    return ftp_.Quote() && ftp_.StatusCode() == want;
}

bool FtpSession::StoreFrom(const std::string& localPath, const std::string& remoteName, std::uint64_t offset)
{
    if (offset == 0)
        return Store(localPath, remoteName);
    // REST before STOR; a server that does not take it (no 350) appends
    // to what it has instead.
    const bool restarted = Command("REST " + std::to_string(offset), 350);
    if (!Connected())
        return false;
    ftp_.SetLocalFileName(localPath);
    ftp_.SetHostFileName(remoteName);
    ftp_.SetResumePosition(static_cast<std::int64_t>(offset));
    const bool stored = restarted ? ftp_.StoreFile() : ftp_.Append();
    ftp_.SetResumePosition(0);
    if (stored || !Connected())
        return stored;
    // Some servers take the restart point and then refuse the store that
    // would continue the file (a rule against resumed uploads: "451
    // Append/Restart not permitted"). They still take the whole file; a
    // refusal for want of space stays a refusal.
    const int code = ftp_.StatusCode();
    if (code < 450 || code >= 600 || code == 452 || code == 552)
        return false;
    Note("! The server will not continue " + remoteName + "; sending it again from the start");
    return Store(localPath, remoteName);
}

bool FtpSession::StatFile(const std::string& name, bool withTime, UploadRemoteFile& file)
{
    file = {};
    ftp_.SetHostFileName(name);
    if (ftp_.Size()) {
        file.known = file.exists = true;
        file.size = ftp_.SizeResult() > 0 ? static_cast<std::uint64_t>(ftp_.SizeResult()) : 0;
    } else if (!Connected()) {
        return false;
    } else if (ftp_.StatusCode() == 550 && ftp_.Binary()) {
        // No such file (or none that has a size).
        file.known = true;
    } else if (ftp_.StatusCode() == 550 && withTime) {
        // In ascii mode many servers refuse SIZE for every file: whether
        // the file is there, its time tells.
        if (Command("MDTM " + name, 213)) {
            file.known = file.exists = true;
            file.size = UploadUnknownSize;
            file.mtime = FtpMdtmTime(ftp_.LastResponse());
            return true;
        }
        if (!Connected())
            return false;
        file.known = ftp_.StatusCode() == 550;
    }
    // Anything else (500, 502, 504): the server does not tell sizes.
    if (withTime && file.exists) {
        if (Command("MDTM " + name, 213))
            file.mtime = FtpMdtmTime(ftp_.LastResponse());
        else if (!Connected())
            return false;
    }
    return true;
}

bool FtpSession::Rename(const std::string& from, const std::string& to)
{
    auto rename = [&] { return Command("RNFR " + from, 350) && Command("RNTO " + to, 250); };
    if (rename())
        return true;
    if (!Connected())
        return false;
    // Some servers refuse to rename over an existing file: the old one goes
    // first (only then), and the rename is tried once more.
    ftp_.SetHostFileName(to);
    if (!ftp_.Delete())
        return false;
    return rename();
}

bool FtpSession::SetFileTime(const std::string& name, std::int64_t mtime)
{
    if (!featRead_) {
        // FEAT's lines come as one multi-line reply: they are read as they
        // arrive, and the handler the client had gets them too.
        std::vector<std::string> lines;
        TNotifyEvent before = ftp_.OnResponse;
        ftp_.OnResponse = [&](TObject* sender) {
            lines.push_back(ftp_.LastResponse());
            if (before)
                before(sender);
        };
        const bool listed = Command("FEAT", 211);
        ftp_.OnResponse = before;
        if (!Connected())
            return false;
        featRead_ = true;
        for (const std::string& line : lines) {
            std::size_t at = line.find_first_not_of(' ');
            if (listed && at != std::string::npos && line.size() >= at + 4) {
                std::string word = line.substr(at, 4);
                for (char& c : word)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                hasMfmt_ = hasMfmt_ || word == "MFMT";
            }
        }
    }
    return hasMfmt_ && Command("MFMT " + FtpTimeText(mtime) + " " + name, 213);
}

bool FtpSession::LinkBroken() const
{
    // The client's own failures that no new connection mends.
    const std::string error = ErrorMessage();
    for (const char* own :
         {"426 Transfer aborted", "426 Transmit cancelled", "426 Unable to open local file", "426 Error reading file"})
        if (error.rfind(own, 0) == 0)
            return false;
    // A socket error (refused, reset, unreachable) is reported as itself.
    if (ftp_.RequestResult() >= 10000)
        return true;
    const int code = ftp_.StatusCode();
    // Replies that mean the link went: the service closing (421), no data
    // connection (425), the connection closed or timed out (426, which the
    // client's own time-out reads as well).
    if (code == 421 || code == 425 || code == 426)
        return true;
    return !Connected() && code < 400;
}

bool FtpSession::Quit()
{
    return ftp_.Quit();
}

void FtpSession::Drop()
{
    (void)ftp_.Abort();
}

std::string FtpSession::ErrorMessage() const
{
    return ftp_.ErrorMessage().empty() ? ftp_.LastResponse() : ftp_.ErrorMessage();
}
