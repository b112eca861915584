// The upload job: what the OK button does. It checks the profile fields,
// logs in (or reuses the session still open), changes to the target
// directory (offering to create it) and stores every file row in its own
// transfer type, then quits and saves the settings.

#include <QDateTime>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "app/FileList.h"
#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "upload/SftpSession.h"
#include "upload/UploadSequence.h"
#include "platform/Dialogs.h"

namespace {

std::string Std(const QString& text)
{
    return text.toStdString();
}

bool HasLineBreak(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}
bool HasLineBreak(const QByteArray& bytes)
{
    return bytes.contains('\r') || bytes.contains('\n');
}

// A text with its line breaks made visible, for a message about them.
QString Shown(QString text)
{
    return text.replace(u'\r', QStringLiteral("\\r")).replace(u'\n', QStringLiteral("\\n"));
}

// The firewall host to dial for a server address secured as `security`:
// with TLS the address's prefix replaces whatever the firewall host was
// typed with; without it the firewall host goes as typed (a prefix typed
// there is kept, so TLS is never dropped).
std::string FirewallHostName(TFtpSecurity security, const std::string& firewallHost)
{
    switch (security) {
    case TFtpSecurity::Explicit: return "ftpes://" + FtpSplitAddress(firewallHost).host;
    case TFtpSecurity::Implicit: return "ftps://" + FtpSplitAddress(firewallHost).host;
    case TFtpSecurity::None: break;
    }
    return firewallHost;
}

// The largest file size the progress bar counts in bytes; larger files are
// counted in thousands (or millions, ...) so the bar's range stays small.
constexpr qint64 ProgressBarLimit = 60000;

} // namespace

void TForm1::JobMessage(const QString& text)
{
    if (!closed_)
        Dialogs().MessageBox(Std(text));
}

bool TForm1::JobQuestion(const QString& text)
{
    return !closed_ && Dialogs().QuestionBox(Std(text)) == DialogAnswer::Yes;
}

bool TForm1::WaitBeforeRetry(int attempt, int attempts, int seconds)
{
    if (closed_)
        return false;
    StopTransferStatus();
    progressBar->setValue(0);
    int left = seconds;
    auto show = [&] {
        statusBar->SetPanelText(1, QStringLiteral("Connection lost; trying again in %1 s (attempt %2 of %3)")
                                       .arg(left)
                                       .arg(attempt)
                                       .arg(attempts));
    };
    show();
    if (left > 0) {
        QEventLoop wait;
        QTimer tick;
        tick.setInterval(1000);
        connect(&tick, &QTimer::timeout, &wait, [&] {
            if (--left <= 0)
                wait.quit();
            else
                show();
        });
        tick.start();
        retryWait_ = &wait;
        wait.exec();
        retryWait_ = nullptr;
    }
    if (closed_)
        return false;
    statusBar->SetPanelText(1, QStringLiteral("Connecting again (attempt %1 of %2)").arg(attempt).arg(attempts));
    return true;
}

ExistsAnswer TForm1::AskOverwrite(std::size_t index, std::uint64_t remoteSize, std::int64_t remoteTime)
{
    // Once the window has closed nothing more goes up.
    if (closed_)
        return ExistsAnswer::NoToAll;
    QStringList known;
    if (remoteSize != UploadUnknownSize)
        known << QStringLiteral("%1 bytes").arg(remoteSize);
    if (remoteTime > 0)
        known << QStringLiteral("changed ") +
                     QLocale().toString(QDateTime::fromSecsSinceEpoch(remoteTime), QLocale::ShortFormat);
    QString text = JobRow(index)->text(0) + QStringLiteral(" exists on the server");
    if (!known.isEmpty())
        text += QStringLiteral(" (") + known.join(QStringLiteral(", ")) + u')';
    text += QStringLiteral(". Overwrite it?");
    switch (Dialogs().QuestionForEachBox(Std(text))) {
    case DialogAnswer::Yes: return ExistsAnswer::Yes;
    case DialogAnswer::YesToAll: return ExistsAnswer::YesToAll;
    case DialogAnswer::NoToAll: return ExistsAnswer::NoToAll;
    case DialogAnswer::No: break;
    }
    return ExistsAnswer::No;
}

bool TForm1::CommandTextsAreSafe()
{
    // Each of these texts ends up in a command line of the FTP dialogue; a CR
    // or LF inside it would end that command early and let the rest of the
    // text through as a command of its own.
    auto refuse = [](QWidget* field, const QString& message) {
        Dialogs().Beep();
        Dialogs().MessageBox(Std(message));
        field->setFocus();
        return false;
    };
    // Over SFTP a name is a counted string, which may hold any byte; the
    // address, the user and the password still go to ssh.
    const bool sftp = AddressProtocol() == UploadProtocol::Sftp;
    const QString tail = sftp ? QStringLiteral(" holds a line break, which cannot be given to ssh.")
                              : QStringLiteral(" holds a line break, which cannot be sent to an FTP server.");
    if (HasLineBreak(addressedit->text()))
        return refuse(addressedit, QStringLiteral("The address \"%1\"").arg(Shown(addressedit->text())) + tail);
    if (HasLineBreak(useredit->text()))
        return refuse(useredit, QStringLiteral("The username \"%1\"").arg(Shown(useredit->text())) + tail);
    if (HasLineBreak(passedit->text()))
        return refuse(passedit, QStringLiteral("The password") + tail);
    if (sftp)
        return true;
    if (HasLineBreak(dircmbox->currentText()))
        return refuse(dircmbox, QStringLiteral("The directory name \"%1\"").arg(Shown(dircmbox->currentText())) + tail);
    const int rows = std::min(ParamCount(), fileList->topLevelItemCount());
    for (int i = 0; i < rows; ++i) {
        const QTreeWidgetItem* row = fileList->topLevelItem(i);
        const QString inner =
            KindOfRow(row) == RowKind::FolderTree ? FolderNameWithLineBreak(ParamBytes(i + 1)) : QString();
        if (!inner.isEmpty())
            return refuse(fileList, QStringLiteral("The file name \"%1\"").arg(Shown(inner)) + tail +
                                        QStringLiteral(" Please rename the file and send it again."));
        if (row->text(1).isEmpty() || !HasLineBreak(RemoteName(row)))
            continue;
        return refuse(fileList, QStringLiteral("The file name \"%1\"").arg(Shown(row->text(0))) + tail +
                                    QStringLiteral(" Please rename the file and send it again."));
    }
    return true;
}

void TForm1::DisableOKForJob()
{
    // Qt hands the focus of a disabled widget to the next one in the tab
    // chain, which here is Cancel: the next Enter (or a repeat of the one
    // that pressed OK) would drop the upload and close the program. The
    // dialogue box takes the focus instead; Enter does nothing there.
    okFocusParked_ = focusWidget() == OKBn;
    if (okFocusParked_)
        DisplayMemo->setFocus(Qt::OtherFocusReason);
    OKBn->setEnabled(false);
}

void TForm1::EnableOKAfterJob()
{
    OKBn->setEnabled(true);
    // The focus goes back to OK if the job took it from there and nobody has
    // moved it since, so that Enter tries again, as before the job.
    if (okFocusParked_ && !closed_ && focusWidget() == DisplayMemo)
        OKBn->setFocus(Qt::OtherFocusReason);
    okFocusParked_ = false;
}

void TForm1::OKBnClick()
{
    // A directory listing waits on the same FTP session: a job now would
    // abort it. The listing finishes first.
    if (pickerBusy_) {
        Dialogs().Beep();
        return;
    }
    jobBusy_ = true;
    struct Done {
        bool& busy;
        ~Done() { busy = false; }
    } done{jobBusy_};
    try {
        UploadJob();
    } catch (const std::exception& e) {
        // A settings save that failed: report it and leave the window usable.
        Dialogs().ErrorBox(e.what());
        EnableOKAfterJob();
    }
}

bool TForm1::CheckAndCopyFields()
{
    // The fields in order; the first empty one stops the job. For FTP each
    // filled one goes into the client as it is, without trimming, as soon as
    // it passed. An SFTP log-in may go without a password: keys and the
    // agent log in.
    auto missing = [](QWidget* field, const char* message) {
        Dialogs().Beep();
        if (message)
            Dialogs().MessageBox(message);
        field->setFocus();
        return false;
    };
    const bool ftp = AddressProtocol() == UploadProtocol::Ftp;
    if (hostcmbox->currentText().isEmpty())
        return missing(hostcmbox, "Please enter a profile name");
    if (addressedit->text().isEmpty())
        return missing(addressedit, "Please enter a remote host (FTP server) address");
    if (ftp)
        FTP->SetHostName(Std(addressedit->text()));
    if (portedit->text().isEmpty())
        return missing(portedit, nullptr);
    if (ftp)
        FTP->SetPort(Std(portedit->text()));
    if (useredit->text().isEmpty())
        return missing(useredit, "Please enter your username");
    if (!ftp)
        return true;
    FTP->SetUserName(Std(useredit->text()));
    if (passedit->text().isEmpty())
        return missing(passedit, "Please enter your password");
    FTP->SetPassWord(Std(passedit->text()));
    return true;
}

UploadProtocol TForm1::AddressProtocol() const
{
    return ProtocolOfAddress(Std(addressedit->text().trimmed()));
}

SftpSession& TForm1::SftpForJob()
{
    // One session at a time: an FTP session left open serves another
    // address.
    if (FTP->Connected())
        (void)FTP->Abort();
    if (!SFTP) {
        SFTP = std::make_unique<SftpSession>();
        SFTP->Client().Timeout = FTP->Timeout();
        SFTP->events.display = [this](const std::string& line) {
            std::string shown = line;
            FTPDisplay(nullptr, shown);
        };
        SFTP->events.progress = [this](std::uint64_t count) {
            ShowProgress(static_cast<std::int64_t>(count), SFTP->Client().HostFile);
        };
        SFTP->events.trust = [this](const UploadTrustQuestion& question) { return SshHostKeyTrusted(question); };
        if (PrepareSftpSession)
            PrepareSftpSession(*SFTP);
    }
    // Firewall and passive mode are FTP's matters; SFTP goes straight to
    // the address. An open session made for other settings is not reused
    // (ServesSettings).
    SFTP->SetLogin(
        {Std(addressedit->text().trimmed()), Std(portedit->text()), Std(useredit->text()), Std(passedit->text())});
    connectProtocol_ = UploadProtocol::Sftp;
    return *SFTP;
}

void TForm1::DropSftpSession()
{
    if (SFTP && SFTP->Connected())
        SFTP->Drop();
}

void TForm1::CopyProfileIntoClient()
{
    if (state.useFirewall) {
        // Through a firewall: log in to it as user@server. The connection
        // made is the one to the firewall, so the TLS prefix of the address
        // goes onto the firewall host; the user name carries the bare host.
        const TFtpAddress server = FtpSplitAddress(Std(addressedit->text()));
        FTP->SetHostName(FirewallHostName(server.security, Std(state.firewallHost)));
        FTP->SetPort(Std(state.firewallPort));
        FTP->SetUserName(Std(useredit->text()) + '@' + server.host);
    } else {
        FTP->SetHostName(Std(addressedit->text()));
        FTP->SetPort(Std(portedit->text()));
        FTP->SetUserName(Std(useredit->text()));
    }
    FTP->SetPassWord(Std(passedit->text()));
    FTP->SetPassive(state.passiveMode);
    connectProtocol_ = UploadProtocol::Ftp;

    // A certificate trusted before, for this profile and the host dialled,
    // is accepted without a question; a certificate trusted now belongs to
    // them.
    connectProfile_ = hostcmbox->currentText();
    connectHost_ = FtpSplitAddress(FTP->HostName()).host;
    FTP->SetTlsFingerprint(RememberedFingerprint(connectProfile_, connectHost_, &trustedCertificate_));
}

void TForm1::SetProgressScale(const QTreeWidgetItem* row)
{
    qint64 units = std::max<qint64>(row->text(1).toLongLong(), 1);
    ProgressScale = 0;
    while (units > ProgressBarLimit) {
        units /= 1000;
        ++ProgressScale;
    }
    progressBar->setMaximum(static_cast<int>(units));
}

UploadJobDescription TForm1::DescribeJob()
{
    // Argument i is row i-1. Arguments without a row (the list stopped at a
    // file it could not read) and folder rows are listed but not sent. A
    // folder sent whole gives its sub-folders and files (app/FolderRows.cpp).
    UploadJobDescription job;
    job.directory = Std(dircmbox->currentText());
    jobEntries_.clear();
    jobRowCount_ = std::min(ParamCount(), fileList->topLevelItemCount());
    job.policy.retries = state.reconnectAttempts;
    job.policy.retryDelaysSeconds = retryDelaysSeconds;
    job.policy.tempSuffix = Std(state.tempSuffix);
    job.policy.keepTime = state.keepModificationTime;
    switch (state.ifExists) {
    case ExistingFileRule::Overwrite: job.policy.ifExists = IfExists::Overwrite; break;
    case ExistingFileRule::Skip: job.policy.ifExists = IfExists::Skip; break;
    case ExistingFileRule::Ask: job.policy.ifExists = IfExists::Ask; break;
    }
    for (int i = 1; i <= ParamCount(); ++i) {
        const QTreeWidgetItem* row = fileList->topLevelItem(i - 1);
        if (row != nullptr && KindOfRow(row) == RowKind::FolderTree) {
            AddFolderToJob(job, i - 1, ParamBytes(i));
            continue;
        }
        jobEntries_.push_back({i - 1, nullptr});
        UploadFile file;
        file.send = row != nullptr && !row->text(1).isEmpty();
        if (file.send) {
            file.localPath = ParamBytes(i).toStdString();
            file.remoteName = RemoteName(row).toStdString();
            file.ascii = row->checkState(0) == Qt::Checked;
        }
        job.files.push_back(std::move(file));
    }
    return job;
}

const QTreeWidgetItem* TForm1::JobRow(std::size_t index) const
{
    const JobEntry& entry = jobEntries_.at(index);
    return entry.inner ? entry.inner.get() : fileList->topLevelItem(entry.row);
}

QString TForm1::SentSummary() const
{
    // Every argument has its row; count what each came to.
    int total = 0, folders = 0, notFound = 0, denied = 0, unreadable = 0;
    // Rows added while the job ran wait for the next one.
    for (int i = 0; i < std::min({ParamCount(), fileList->topLevelItemCount(), jobRowCount_}); ++i, ++total) {
        const QTreeWidgetItem* row = fileList->topLevelItem(i);
        switch (KindOfRow(row)) {
        case RowKind::File:
        case RowKind::FolderTree: break;
        case RowKind::Folder: ++folders; break;
        case RowKind::Unreadable: {
            const int error = row->data(0, UnreadableErrorRole).toInt();
            ++(error == ENOENT ? notFound : error == EACCES || error == EPERM ? denied : unreadable);
            break;
        }
        }
    }
    const int sent = total - folders - notFound - denied - unreadable - filesFailed_ - filesSkipped_;
    if (sent == total)
        return QStringLiteral("File transfer completed");
    QStringList why;
    if (notFound > 0)
        why << QStringLiteral("%1 not found").arg(notFound);
    if (denied > 0)
        why << QStringLiteral("%1 access denied").arg(denied);
    if (unreadable > 0)
        why << QStringLiteral("%1 not readable").arg(unreadable);
    if (filesFailed_ > 0)
        why << QStringLiteral("%1 failed").arg(filesFailed_);
    if (filesSkipped_ > 0)
        why << QStringLiteral("%1 already on the server").arg(filesSkipped_);
    if (folders > 0)
        why << (folders == 1 ? QStringLiteral("1 folder skipped") : QStringLiteral("%1 folders skipped").arg(folders));
    return QStringLiteral("%1 of %2 %3 sent \u2014 ")
               .arg(sent)
               .arg(total)
               .arg(total == 1 ? QStringLiteral("file") : QStringLiteral("files")) +
           why.join(QStringLiteral(", "));
}

void TForm1::StartJobProgress()
{
    std::vector<std::int64_t> sizes;
    for (std::size_t i = 0; i < job_.files.size(); ++i) {
        const QTreeWidgetItem* row = JobRow(i);
        sizes.push_back(job_.files[i].send && row != nullptr ? row->text(1).toLongLong() : -1);
    }
    jobProgress_.Start(sizes);
}

UploadEvents TForm1::JobEvents()
{
    auto failedText = [this](std::size_t index) {
        return QStringLiteral("Cannot send ") + JobRow(index)->text(0) + QStringLiteral(" to remote host");
    };
    UploadEvents events;
    events.loginFailed = [this] {
        Dialogs().Beep();
        JobMessage(LoginFailureText(false));
    };
    events.createDirectory = [this] {
        Dialogs().Beep();
        return JobQuestion(QStringLiteral("Cannot change directory to ") + dircmbox->currentText() +
                           QStringLiteral(", do you want to create this directory first?"));
    };
    events.directoryNotMade = [] { Dialogs().Beep(); };
    // The type's own reply stops nothing: the store's reply tells.
    events.stopOnTypeFailure = [] { return false; };
    events.fileStarting = [this](std::size_t index) {
        const QTreeWidgetItem* row = JobRow(index);
        // Counted as stored unless it fails (the sequence goes on to
        // fileDone after a failed file too).
        stored_.push_back(index);
        jobProgress_.FileStarting(index);
        statusBar->SetPanelText(2, jobProgress_.Text());
        statusBar->SetPanelText(1, QStringLiteral("Sending ") + row->text(0));
        SetProgressScale(row);
        StartTransferStatus(row);
    };
    // The last file, or nothing left to send through: say so and stop.
    // Otherwise the user decides. A stop leaves OK disabled and saves nothing.
    events.fileFailed = [this, failedText](std::size_t index, bool canGoOn) {
        // The files of a folder sent whole count as its one row.
        if (jobEntries_.at(index).row != lastFailedRow_)
            ++filesFailed_;
        lastFailedRow_ = jobEntries_.at(index).row;
        if (!stored_.empty() && stored_.back() == index)
            stored_.pop_back();
        jobProgress_.FileEnded();
        Dialogs().Beep();
        return canGoOn && JobQuestion(failedText(index) + QStringLiteral(". Do you want to try the rest?"));
    };
    events.stopped = [this, failedText](std::size_t index, bool wasLast) {
        StopTransferStatus();
        if (wasLast)
            JobMessage(failedText(index));
        statusBar->SetPanelText(1, QStringLiteral("File transfer aborted"));
    };
    events.fileDone = [this](std::size_t) {
        jobProgress_.FileEnded();
        StopTransferStatus();
        progressBar->setValue(0);
        statusBar->SetPanelText(0, QString());
    };
    events.waitBeforeRetry = [this](int attempt, int attempts, int seconds) {
        return WaitBeforeRetry(attempt, attempts, seconds);
    };
    events.fileExists = [this](std::size_t index, std::uint64_t remoteSize, std::int64_t remoteTime) {
        return AskOverwrite(index, remoteSize, remoteTime);
    };
    events.fileSkipped = [this](std::size_t index) {
        // The files of a folder sent whole count as its one row.
        if (jobEntries_.at(index).row != lastSkippedRow_)
            ++filesSkipped_;
        lastSkippedRow_ = jobEntries_.at(index).row;
    };
    // Completed only when every file the user selected went up; otherwise
    // the count says what did not.
    events.completing = [this] { statusBar->SetPanelText(1, SentSummary()); };
    events.lost = [this] {
        // Lost on the way (or cancelled): nothing to quit.
        Dialogs().Beep();
        statusBar->SetPanelText(1, QStringLiteral("File transfer aborted"));
    };
    return events;
}

void TForm1::UploadJob()
{
    if (!CheckAndCopyFields() || !CommandTextsAreSafe())
        return;
    // One job at a time: the calls below let every handler run while they
    // wait.
    DisableOKForJob();

    filesFailed_ = 0;
    lastFailedRow_ = -1;
    filesSkipped_ = 0;
    lastSkippedRow_ = -1;
    job_ = DescribeJob();
    stored_.clear();
    StartJobProgress();
    UploadEvents events = JobEvents();
    UploadResult result;
    if (AddressProtocol() == UploadProtocol::Sftp) {
        // SFTP has no transfer types: nothing to keep track of.
        bool typeKnown = false;
        result = RunUpload(SftpForJob(), job_, events, typeKnown);
    } else {
        DropSftpSession();
        CopyProfileIntoClient();
        result = RunUpload(*FTP, job_, events, sessionTypeKnown_);
    }
    jobProgress_.Stop();
    statusBar->SetPanelText(2, QString());
    if (result.end == UploadEnd::Completed || result.end == UploadEnd::Stopped || result.end == UploadEnd::Lost)
        ReportJobEnd(result.end);
    switch (result.end) {
    case UploadEnd::LoginFailed: EnableOKAfterJob(); return;
    case UploadEnd::DirectoryMissing:
    case UploadEnd::TypeRefused:
        // The session stays open for the next try.
        EnableOKAfterJob();
        if (!closed_)
            dircmbox->setFocus();
        return;
    case UploadEnd::Stopped: return;
    case UploadEnd::Cancelled:
        // Closed while waiting to reconnect: nothing more to ask or say.
        StopTransferStatus();
        statusBar->SetPanelText(1, QStringLiteral("File transfer aborted"));
        return;
    case UploadEnd::Completed:
        if (TitleProgress)
            ShowApplicationTitle(QStringLiteral("Completed"));
        if (state.exitWhenDone) {
            writereg();
            // Takes effect once the job has returned to the message loop.
            close();
        }
        break;
    case UploadEnd::Lost: break;
    }
    EnableOKAfterJob();
    writereg();
}
