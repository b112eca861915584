// Folder rows sent whole (the Options' folder box): a folder is one row
// with its file count and total size; a job sends its tree, sub-folders
// made on the server, each file in its own transfer type.

#include <QTreeWidgetItem>

#include "app/FileList.h"
#include "app/Main.h"
#include "platform/qt/Shell.h"
#include "upload/FolderTree.h"

namespace {

QString FilesText(std::size_t count)
{
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

} // namespace

void TForm1::ShowFolderTreeRow(QTreeWidgetItem* row, const QByteArray& path)
{
    const FolderTree tree = WalkFolder(path.toStdString());
    // Each file of the tree takes its type from its own extension: the
    // folder's row has no check box.
    row->setData(0, Qt::CheckStateRole, QVariant());
    row->setFlags(row->flags() & ~Qt::ItemIsUserCheckable);
    row->setText(1, QString::number(tree.totalBytes));
    row->setText(2, QStringLiteral("folder, ") + FilesText(tree.files.size()));
    row->setData(0, RowKindRole, static_cast<int>(RowKind::FolderTree));
    QString tip = ReadableText(path) + QStringLiteral("\nSent with everything in it: ") + FilesText(tree.files.size()) +
                  QStringLiteral(", %1 bytes").arg(tree.totalBytes);
    if (tree.skipped > 0)
        tip += QStringLiteral("\n%1 links to folders or special files are not sent").arg(tree.skipped);
    row->setToolTip(0, tip);
    row->setToolTip(2, tip);
}

void TForm1::RefreshFolderRows()
{
    // The option changed: folder rows turn into rows sent whole, or back.
    const bool ready = ListReady;
    ListReady = false;
    for (int i = 0; i < std::min(ParamCount(), fileList->topLevelItemCount()); ++i) {
        QTreeWidgetItem* row = fileList->topLevelItem(i);
        const RowKind kind = KindOfRow(row);
        if (kind == RowKind::Folder && state.sendFolders) {
            ShowFolderTreeRow(row, ParamBytes(i + 1));
        } else if (kind == RowKind::FolderTree && !state.sendFolders) {
            row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
            row->setCheckState(0, Qt::Unchecked);
            row->setText(1, QString());
            row->setText(2, QString());
            row->setToolTip(0, ReadableText(ParamBytes(i + 1)));
            row->setToolTip(2, QString());
            row->setData(0, RowKindRole, static_cast<int>(RowKind::Folder));
        }
    }
    ListReady = ready;
}

void TForm1::AddFolderToJob(UploadJobDescription& job, int rowIndex, const QByteArray& path)
{
    // Walked again now: the tree is sent as it is at OK, not as it was
    // when it was listed.
    const FolderTree tree = WalkFolder(path.toStdString());
    const std::string top = RemoteName(fileList->topLevelItem(rowIndex)).toStdString();
    job.directories.push_back(top);
    for (const std::string& dir : tree.directories)
        job.directories.push_back(top + '/' + dir);
    for (const FolderTreeFile& inner : tree.files) {
        UploadFile file;
        file.localPath = inner.localPath;
        file.remoteName = top + '/' + inner.relativePath;
        const QString shown = ReadableText(QByteArray::fromStdString(file.remoteName));
        const QString name = shown.mid(shown.lastIndexOf(u'/') + 1);
        file.ascii = ExtInList(AsciiLowerCase(FileExt(name)), txtlist);
        job.files.push_back(file);

        auto item = std::make_shared<QTreeWidgetItem>();
        item->setText(0, shown);
        item->setText(1, QString::number(std::max<std::int64_t>(inner.size, 1)));
        jobEntries_.push_back({rowIndex, item});
    }
}

QString TForm1::FolderNameWithLineBreak(const QByteArray& path) const
{
    // A name below a folder goes into an FTP command as well.
    const FolderTree tree = WalkFolder(path.toStdString());
    for (const std::string& dir : tree.directories)
        if (HasLineBreak(dir))
            return ReadableText(QByteArray::fromStdString(dir));
    for (const FolderTreeFile& file : tree.files)
        if (HasLineBreak(file.relativePath))
            return ReadableText(QByteArray::fromStdString(file.relativePath));
    return {};
}
