// What the user sees and can do while the FTP or SFTP session works: the dialogue in
// the display box with the password hidden, the progress bar, the
// percentage in the status bar and in the title, Cancel and Exit.

#include <QCloseEvent>
#include <QGuiApplication>

#include <algorithm>
#include <array>

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "net/SslContext.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "platform/qt/Shell.h"

void TForm1::FTPDisplay(TObject* /*Sender*/, std::string& Msg)
{
    // The client echoes the log-in as "> PASS " and the password. Every such
    // line is hidden, not only one that matches the password box: the user
    // may have edited the box while the log-in was under way.
    const bool isPass = Msg.starts_with("> PASS ");
    // A line is one line: a line or paragraph separator, or any other
    // control character, in what the server sent is shown escaped, so no
    // reply can add lines of its own making (say "! TLS: ... certificate
    // verified") to the dialogue.
    DisplayMemo->appendPlainText(isPass ? QStringLiteral("> PASS (hidden)")
                                        : QString::fromStdString(SslVisibleText(Msg)));
}

void TForm1::FTPProgress(TObject* /*Sender*/, std::int64_t Count, bool& /*Abort*/)
{
    ShowProgress(Count, FTP->HostFileName());
}

void TForm1::ShowProgress(std::int64_t Count, const std::string& remoteName)
{
    // The bar counts in the unit the job chose for the file: bytes, or
    // thousands, millions, ... of them.
    static constexpr std::array<std::int64_t, 4> divisors = {1, 1000, 1000000, 1000000000};
    const std::int64_t scaled = Count / divisors[static_cast<size_t>(std::clamp(ProgressScale, 0, 3))];
    const int maximum = progressBar->maximum();
    const int minimum = std::min(progressBar->minimum(), maximum);
    // A count past the end shows as the end; the bar itself would ignore it.
    progressBar->setValue(static_cast<int>(std::clamp<std::int64_t>(scaled, minimum, maximum)));

    const std::int64_t position = std::max(progressBar->value(), 0);
    const std::int64_t percent = maximum > 0 ? position * 100 / maximum : 0;
    const QString text = QString::number(percent) + u'%';
    // The whole job's figure beside it, while a job runs.
    jobProgress_.SetCount(Count);
    if (const QString job = jobProgress_.Text(); statusBar->PanelText(2) != job)
        statusBar->SetPanelText(2, job);
    ShowTransferStatus(Count);
    if (statusBar->PanelText(0) == text)
        return;

    statusBar->SetPanelText(0, text);
    // Once the user has been seen working elsewhere, the title follows the
    // progress for the rest of the run.
    if (!TitleProgress && !ApplicationIsActive())
        TitleProgress = true;
    if (TitleProgress)
        ShowApplicationTitle(text + QStringLiteral(" of ") + ReadableText(QByteArray::fromStdString(remoteName)));
}

void TForm1::CancelBnClick()
{
    // Drops both connections at once, without QUIT; a call waiting on them
    // returns, and the program ends when control is back in the main loop.
    if (FTP->Connected())
        (void)FTP->Abort();
    DropSftpSession();
    close();
}

void TForm1::ExitBnClick()
{
    // An open session ends with the program; nothing is saved.
    close();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A call still waiting gives up when it sees the program terminating; its
    // job then takes its failure path without asking or telling anything.
    closed_ = true;
    SetTerminating(true);
    if (retryWait_ != nullptr)
        retryWait_->quit();
    QWidget::closeEvent(event);
}

void TForm1::ShowApplicationTitle(const QString& title)
{
    SetApplicationTitle(title.toStdString());
    // The desktop's task bar shows the window's caption.
    setWindowTitle(title);
}
