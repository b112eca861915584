#include "upload/FtpSession.h"

#include "ftp/Ftpcli.h"

#include <cstdlib>
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

FtpSession::FtpSession() : own_(std::make_unique<TFtpClient>(nullptr)), ftp_(*own_)
{
    RouteClientEvents();
}

FtpSession::FtpSession(TFtpClient& client) : ftp_(client) { }

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
    return ftp_.StoreFile();
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
