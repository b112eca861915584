#include "platform/qt/Shell.h"

#include <QDesktopServices>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QUrl>

#include <sys/stat.h>

namespace {

enum class PathKind { Missing, Folder, File };

PathKind KindOf(const QByteArray& path)
{
    struct stat st { };
    if (::stat(path.constData(), &st) != 0)
        return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::File;
}

// The type of a file by its name only: reading the contents of every file
// of a large selection would cost seconds.
QMimeType TypeByName(const QByteArray& path)
{
    static const QMimeDatabase db;
    return db.mimeTypeForFile(ReadableText(ShellDisplayNameBytes(path)), QMimeDatabase::MatchExtension);
}

} // namespace

QString ReadableText(const QByteArray& bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() != bytes)
        text = QString::fromLatin1(bytes);
    return text;
}

QByteArray ShellDisplayNameBytes(const QByteArray& path)
{
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    if (trimmed == "/")
        return trimmed;
    return trimmed.mid(trimmed.lastIndexOf('/') + 1);
}

QString ShellDisplayName(const QByteArray& path)
{
    return ReadableText(ShellDisplayNameBytes(path));
}

QString ShellTypeName(const QByteArray& path)
{
    switch (KindOf(path)) {
    case PathKind::Folder: return QStringLiteral("File Folder");
    case PathKind::Missing: return {};
    case PathKind::File: break;
    }
    return TypeByName(path).comment();
}

QIcon ShellSmallIcon(const QByteArray& path)
{
    // One icon per type for the whole run: a selection of thousands of files
    // of a few types holds a few icons.
    static QHash<QString, QIcon> icons;
    static const QFileIconProvider provider;
    const PathKind kind = KindOf(path);
    if (kind == PathKind::Missing)
        return provider.icon(QAbstractFileIconProvider::File);
    const QString key = kind == PathKind::Folder ? QStringLiteral("inode/directory") : TypeByName(path).name();
    auto found = icons.constFind(key);
    if (found != icons.constEnd())
        return *found;

    QIcon icon;
    if (kind == PathKind::Folder) {
        icon = provider.icon(QAbstractFileIconProvider::Folder);
    } else {
        const QMimeType type = TypeByName(path);
        icon = QIcon::fromTheme(type.iconName());
        if (icon.isNull())
            icon = QIcon::fromTheme(type.genericIconName());
        if (icon.isNull())
            icon = provider.icon(QAbstractFileIconProvider::File);
    }
    icons.insert(key, icon);
    return icon;
}

bool ShellOpen(const QString& target)
{
    QUrl url = QFileInfo::exists(target) ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath()) : QUrl(target);
    return url.isValid() && QDesktopServices::openUrl(url);
}
