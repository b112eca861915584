// The end of a job for the user: the web links of the files it stored go
// into the clipboard and the dialogue, and when the user is working in
// another window a desktop notification says how the job went.

#include "app/DesktopNotifier.h"
#include "app/Main.h"
#include "upload/WebLinks.h"

QStringList TForm1::StoredFileLinks() const
{
    const std::string base = WebLinkBase(webedit->text().toStdString());
    if (base.empty())
        return {};
    QStringList links;
    for (std::size_t index : stored_)
        if (index < job_.files.size())
            links << QString::fromStdString(WebLink(base, job_.directory, job_.files[index].remoteName));
    return links;
}

void TForm1::ReportJobEnd(UploadEnd end)
{
    const QStringList links = StoredFileLinks();
    if (!links.isEmpty()) {
        CopyLinksToClipboard(links);
        DisplayMemo->appendPlainText(links.size() == 1 ? QStringLiteral("Link (copied to the clipboard):")
                                                       : QStringLiteral("Links (copied to the clipboard):"));
        for (const QString& link : links)
            DisplayMemo->appendPlainText(link);
    }
    if (closed_ || ApplicationIsActive())
        return;

    // Every selected file, as the status bar counts them.
    const int total = std::min(ParamCount(), fileList->topLevelItemCount());
    const int sent = static_cast<int>(stored_.size());
    const QString profile = hostcmbox->currentText();
    const QString files = total == 1 ? QStringLiteral("file") : QStringLiteral("files");
    const bool whole = end == UploadEnd::Completed && sent == total;
    const QString summary = whole ? QStringLiteral("%1 %2 sent to %3").arg(sent).arg(files, profile)
                                  : QStringLiteral("%1 of %2 %3 sent to %4").arg(sent).arg(total).arg(files, profile);
    QStringList body;
    if (!whole)
        body << statusBar->PanelText(1);
    if (!links.isEmpty())
        body << (links.size() == 1 ? QStringLiteral("Its link is in the clipboard.")
                                   : QStringLiteral("Their links are in the clipboard."));
    if (!notifier_)
        notifier_ = std::make_unique<DesktopNotifier>();
    notifier_->Notify(summary, body.join(u'\n'), links);
}
