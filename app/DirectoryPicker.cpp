// The remote directory picker: dropping down dircmbox lists the
// sub-directories of the directory it names (or of the log-in directory).

#include "app/DirectoryPicker.h"

#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "upload/SftpSession.h"

namespace {

constexpr const char* ListingFileName = "temp_dir";

bool PrivateFolderUsable(const std::string& folder)
{
    struct stat st { };
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    // A folder others may write to is shared: someone else could put a link
    // where the listing goes and have it overwrite one of our files, or read
    // the listing.
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    // An installed program (bin/ of a prefix that holds share/parcelo/) never
    // writes beside itself, not even when run by the folder's owner (root
    // and /usr/bin).
    const std::string prefix = folder.substr(0, folder.find_last_of('/', folder.size() - 2) + 1);
    if (folder.size() >= 5 && folder.compare(folder.size() - 5, 5, "/bin/") == 0 &&
        ::access((prefix + "share/parcelo").c_str(), F_OK) == 0)
        return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string CacheFolder()
{
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            // No usable HOME (a service, a cleared environment): the account's own.
            const passwd* account = ::getpwuid(::geteuid());
            home = account != nullptr ? account->pw_dir : "";
        }
        base = std::string(home) + "/.cache";
    }
    ::mkdir(base.c_str(), 0700);
    const std::string folder = base + "/parcelo";
    ::mkdir(folder.c_str(), 0700);
    return folder + "/";
}

std::string Std(const QString& text)
{
    return text.toStdString();
}

QString Qs(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

bool PrepareListingFile(const std::string& path)
{
    // Whatever stands at the path goes (a listing left by a run that was
    // killed, or a link someone put there); the new file is created here, not
    // followed through a link, and only its owner may read it.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

std::string ListingFilePath(const std::string& programFolder)
{
    // Each running Parcelo lists into a file of its own: a second window
    // clears the path before its listing, and would take the first one's
    // list away while it is being read.
    const std::string name = std::string(ListingFileName) + "-" + std::to_string(::getpid());
    if (PrivateFolderUsable(programFolder))
        return programFolder + name;
    return CacheFolder() + name;
}

QStringList ListingLines(const std::string& bytes)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    QStringList lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines << QString::fromUtf8(text.data() + start, static_cast<qsizetype>(end - start));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

QString ListedDirectory(const QString& line)
{
    if (!line.startsWith(u'd'))
        return {};

    // A long-format line: type and rights, links, owner, group (some servers
    // leave it out), size, then the date as month, day and time or year. The
    // name is everything after the date's single separating blank.
    static const QRegularExpression longFormat(
        QStringLiteral(
            R"(^d\S*\s+(?:\S+\s+){2,4}?(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\s+\d{1,2}\s+(?:\d{1,2}:\d{2}|\d{4}) (.+)$)"),
        QRegularExpression::CaseInsensitiveOption);
    QString name;
    const QRegularExpressionMatch match = longFormat.match(line);
    if (match.hasMatch()) {
        name = match.captured(1);
    } else {
        // Anything else: the text after the last blank, never taking the
        // line's last character as that blank. No blank at all: no name.
        const qsizetype blank = line.size() >= 2 ? line.lastIndexOf(u' ', line.size() - 2) : -1;
        if (blank < 0)
            return {};
        name = line.mid(blank + 1);
    }
    if (name.isEmpty() || name.startsWith(u'.'))
        return {};
    return name;
}

int DirectoryDepth(const QString& dir)
{
    int depth = 0;
    for (const QString& part : dir.split(u'/'))
        if (!part.isEmpty())
            ++depth;
    return depth;
}

void TForm1::dircmboxDropDown()
{
    // A second drop-down while a listing is on its way would start a request
    // on a busy client and abort the first one; the first one fills the list.
    if (pickerBusy_)
        return;
    // An upload waits on the same FTP session: a listing now would abort it.
    // The list opens with what it has.
    if (jobBusy_) {
        Dialogs().Beep();
        return;
    }
    const std::string listingFile = ListingFilePath(OwnFolder);

    // Without a complete profile there is nothing to log in with; the list
    // opens with what it has. An SFTP log-in may go without a password
    // (keys and the agent).
    const bool sftp = AddressProtocol() == UploadProtocol::Sftp;
    if (addressedit->text().isEmpty() || portedit->text().isEmpty() || useredit->text().isEmpty() ||
        (passedit->text().isEmpty() && !sftp))
        return;

    // The lists came from a session made for other settings (the protocol,
    // address, port, user or password was edited since): they show another
    // server, or another user's view of it.
    ListedSource source;
    if (sftp) {
        source.protocol = UploadProtocol::Sftp;
        source.sftpHost = SftpHostOfAddress(Std(addressedit->text().trimmed()));
        source.sftpPort = Std(portedit->text());
        source.sftpUser = Std(useredit->text());
        source.sftpPassword = Std(passedit->text());
    } else {
        DropSftpSession();
        CopyProfileIntoClient();
        source.ftp = FTP->SettingsIdentity();
    }
    if (source != listedFor_) {
        ClearDirectoryItems();
        dir_record.clear();
    }

    // Listed before: its sub-directories are in the list already.
    const QString dir = dircmbox->currentText();
    if (dir_record.contains(dir))
        return;

    pickerBusy_ = true;
    struct Done {
        bool& busy;
        ~Done() { busy = false; }
    } done{pickerBusy_};

    templist.clear();
    if (sftp) {
        // SFTP reads the directory itself: no listing file.
        statusBar->SetPanelText(1, QStringLiteral("Getting directories from remote host"));
        QStringList names;
        if (!FetchSftpListing(dir, names))
            return;
        listedFor_ = source;
        statusBar->SetPanelText(1, QStringLiteral("Directory list received"));
        dir_record.append(dir);
        OfferDirectories(dir, names);
        return;
    }
    // The listing goes to the file, not to the dialogue display.
    FTP->SetDisplayFileFlag(false);
    FTP->SetLocalFileName(listingFile);
    FTP->SetHostFileName(std::string());
    statusBar->SetPanelText(1, QStringLiteral("Getting directories from remote host"));

    if (!FetchListing(dir, listingFile))
        return;
    listedFor_ = {};
    listedFor_.ftp = FTP->SessionIdentity();

    // The listing's progress went to the bar like a file's; clear it.
    progressBar->setValue(0);
    statusBar->SetPanelText(0, QString());
    statusBar->SetPanelText(1, QStringLiteral("Directory list received"));

    if (!ReadListing(listingFile))
        return;
    dir_record.append(dir);
    OfferListedDirectories(dir);
    ::unlink(listingFile.c_str());
}

bool TForm1::FetchListing(const QString& dir, const std::string& listingFile)
{
    auto fail = [&](const QString& text) {
        Dialogs().Beep();
        (void)FTP->Abort();
        statusBar->SetPanelText(1, text);
        // A listing cut short is of no use to anyone.
        ::unlink(listingFile.c_str());
        return false;
    };

    if (!LogInUnlessOpen(*FTP))
        return fail(LoginFailureText(true));
    if (!dir.isEmpty()) {
        FTP->SetHostDirName(Std(dir));
        if (!FTP->ChangeDir())
            return fail(QStringLiteral("Cannot change directory to ") + Qs(FTP->HostDirName()));
    }
    if (!PrepareListingFile(listingFile)) {
        const int error = errno;
        // The session may stand in the listed directory: it is closed, so the
        // next upload's CWD does not start from there.
        fail(QStringLiteral("Cannot get directory list"));
        Dialogs().ErrorBox(InOutErrorText(error));
        return false;
    }
    if (!FTP->ListDir())
        return fail(QStringLiteral("Cannot get directory list"));

    // Back to the log-in directory, one CDUP per level, so that the upload's
    // CWD starts from there. A failed CDUP leaves us lost: close the session
    // (the remaining calls then fail at once); the listing is still good.
    for (int level = DirectoryDepth(dir); level > 0; --level)
        if (!FTP->ParentDir())
            (void)FTP->Abort();
    return true;
}

bool TForm1::FetchSftpListing(const QString& dir, QStringList& names)
{
    auto fail = [&](const QString& text) {
        Dialogs().Beep();
        statusBar->SetPanelText(1, text);
        return false;
    };
    SftpSession& session = SftpForJob();
    if (!LogInUnlessOpen(session)) {
        session.Drop();
        return fail(LoginFailureText(true));
    }
    // Listed where it is, relative to where the session stands (the log-in
    // directory): the session does not move, and stays open for the upload.
    std::vector<std::string> found;
    if (!session.ListDirs(Std(dir), found))
        return fail(QStringLiteral("Cannot get directory list: ") + Qs(session.ErrorMessage()));
    for (const std::string& name : found)
        names << QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    return true;
}

bool TForm1::ReadListing(const std::string& listingFile)
{
    std::ifstream in(listingFile, std::ios::binary);
    if (!in) {
        Dialogs().ErrorBox(InOutErrorText(errno));
        return false;
    }
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        Dialogs().ErrorBox(InOutErrorText(EIO));
        return false;
    }
    templist = ListingLines(bytes);
    return true;
}

void TForm1::OfferListedDirectories(const QString& dir)
{
    // Every line, the first included: a "total" line names no directory
    // anyway, and many servers start straight with an entry.
    QStringList names;
    for (const QString& line : templist) {
        const QString name = ListedDirectory(line);
        if (!name.isEmpty())
            names << name;
    }
    OfferDirectories(dir, names);
}

void TForm1::OfferDirectories(const QString& dir, const QStringList& names)
{
    // A text typed with a closing "/" gets no second one. Adding the first
    // item would also put it into the box's text; the text stays what the
    // user listed.
    const QString prefix = dir.isEmpty() || dir.endsWith(u'/') ? dir : dir + u'/';
    for (const QString& name : names)
        dircmbox->addItem(prefix + name);
    if (dircmbox->currentText() != dir)
        dircmbox->setEditText(dir);
}
