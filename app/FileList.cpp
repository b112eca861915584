#include "app/FileList.h"

#include <QDateTime>
#include <cerrno>
#include <QFile>
#include <QLocale>
#include <QTreeWidgetItem>

#include "app/Main.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/qt/Shell.h"

QString FileExt(const QString& name)
{
    for (qsizetype i = name.size() - 1; i >= 0; --i) {
        QChar c = name[i];
        if (c == u'.')
            return name.mid(i);
        if (c == u'\\' || c == u':')
            break;
    }
    return {};
}

QString AsciiLowerCase(const QString& text)
{
    QString lower = text;
    for (QChar& c : lower)
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    return lower;
}

bool ExtInList(const QString& ext, const QStringList& list)
{
    for (const QString& entry : list)
        if (AsciiLowerCase(entry) == ext)
            return true;
    return false;
}

namespace {

// The locale's long time format less its time-zone field: a row's date is
// local time and the zone name would only crowd the column.
QString LongTimeFormatWithoutZone(const QLocale& locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out += c;
    }
    return out.trimmed();
}

} // namespace

QString FileDateText(std::time_t lastWrite)
{
    QDateTime local = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(lastWrite));
    // A DOS file time counts seconds in steps of two.
    local = local.addSecs(-(local.time().second() % 2));
    QLocale locale;
    QString text = locale.toString(local.date(), QLocale::ShortFormat);
    if (local.time() != QTime(0, 0))
        text += u' ' + locale.toString(local.time(), LongTimeFormatWithoutZone(locale));
    return text;
}

namespace {

// The type names that mark a row as a folder, which is listed but not sent.
bool IsFolderType(const QString& typeName)
{
    return typeName == u"File Folder" || typeName == u"Recycle Bin" || typeName == u"My Documents";
}

} // namespace

QByteArray RemoteName(const QTreeWidgetItem* row)
{
    const QVariant name = row->data(0, RemoteNameRole);
    return name.isValid() ? name.toByteArray() : row->text(0).toUtf8();
}

QString UnreadableReason(int errorCode)
{
    switch (errorCode) {
    case ENOENT: return QStringLiteral("file not found");
    case EACCES:
    case EPERM: return QStringLiteral("access denied");
    default: return QStringLiteral("I/O error %1").arg(errorCode);
    }
}

RowKind KindOfRow(const QTreeWidgetItem* row)
{
    const QVariant kind = row->data(0, RowKindRole);
    if (kind.isValid())
        return static_cast<RowKind>(kind.toInt());
    return row->text(1).isEmpty() ? RowKind::Folder : RowKind::File;
}

void TForm1::BuildFileList()
{
    AddFileRows(1);
}

void TForm1::AddFileRows(int firstArg)
{
    // Every path gets its row, in order. A path that cannot be read is
    // listed too, greyed and marked as not sent, and the paths after it go
    // on: one box afterwards names each of them and why.
    QStringList unreadable;
    for (int i = firstArg; i <= ParamCount(); ++i) {
        const QByteArray path = ParamBytes(i);
        const QByteArray nameBytes = ShellDisplayNameBytes(path);
        const QString name = ReadableText(nameBytes);

        auto* row = new QTreeWidgetItem(fileList);
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        row->setText(0, name);
        // The caption is for the eye; the server gets the name's own bytes.
        row->setData(0, RemoteNameRole, nameBytes);
        row->setToolTip(0, ReadableText(path));
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        row->setCheckState(0, ExtInList(AsciiLowerCase(FileExt(name)), txtlist) ? Qt::Checked : Qt::Unchecked);
        row->setIcon(0, ShellSmallIcon(path));

        if (IsFolderType(ShellTypeName(path))) {
            if (state.sendFolders) {
                ShowFolderTreeRow(row, path); // app/FolderRows.cpp
                continue;
            }
            statusBar->SetPanelText(1, QStringLiteral("File folder will not be sent."));
            row->setText(1, QString());
            row->setData(0, RowKindRole, static_cast<int>(RowKind::Folder));
            Dialogs().Beep();
            continue;
        }

        const std::string local = path.toStdString();
        try {
            std::int64_t size = ReadFileSize(local);
            if (size < 1)
                size = 1;
            const QString date = FileDateText(LastWriteTime(local));
            row->setText(1, QString::number(size));
            row->setText(2, date);
            row->setData(0, RowKindRole, static_cast<int>(RowKind::File));
        } catch (const EInOutError& e) {
            // No size: the job never sends this row.
            const QString reason = UnreadableReason(e.ErrorCode);
            row->setText(1, QString());
            row->setText(2, reason);
            row->setData(0, RowKindRole, static_cast<int>(RowKind::Unreadable));
            row->setData(0, UnreadableErrorRole, e.ErrorCode);
            row->setFlags(row->flags() & ~Qt::ItemIsEnabled);
            row->setToolTip(0, ReadableText(path) + QStringLiteral("\nNot sent: ") + reason);
            row->setToolTip(2, row->toolTip(0));
            unreadable << name + QStringLiteral(": ") + reason;
        }
    }
    if (!unreadable.isEmpty()) {
        statusBar->SetPanelText(1, unreadable.size() == 1
                                       ? QStringLiteral("1 file will not be sent.")
                                       : QStringLiteral("%1 files will not be sent.").arg(unreadable.size()));
        // Shown once the window is up, so the box opens over it.
        QMetaObject::invokeMethod(
            this, [text = unreadable.join(u'\n').toStdString()] { Dialogs().ErrorBox(text); }, Qt::QueuedConnection);
    }
}

void TForm1::OnFileRowChanged(QTreeWidgetItem* row)
{
    // Building the list changes rows too; those changes are not the user's.
    if (!ListReady || row == nullptr)
        return;
    // A folder row (or a file that cannot be read) has no type of its own,
    // so its check box says nothing.
    if (KindOfRow(row) != RowKind::File)
        return;

    const QString ext = AsciiLowerCase(FileExt(row->text(0)));
    if (row->checkState(0) == Qt::Checked) {
        if (!ExtInList(ext, txtlist))
            txtlist.append(ext);
    } else {
        // Every spelling of the extension goes.
        for (qsizetype j = 0; j < txtlist.size();) {
            if (AsciiLowerCase(txtlist[j]) == ext)
                txtlist.removeAt(j);
            else
                ++j;
        }
    }
}
