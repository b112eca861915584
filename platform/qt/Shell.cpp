#include "platform/qt/Shell.h"

#include <QDesktopServices>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QUrl>

QString ShellDisplayName(const QString& path) {
  QString trimmed = path;
  while (trimmed.size() > 1 && trimmed.endsWith(u'/')) trimmed.chop(1);
  if (trimmed == u"/") return trimmed;
  return trimmed.mid(trimmed.lastIndexOf(u'/') + 1);
}

QString ShellTypeName(const QString& path) {
  QFileInfo info(path);
  if (info.isDir()) return QStringLiteral("File Folder");
  if (!info.exists()) return {};
  QMimeDatabase db;
  return db.mimeTypeForFile(info).comment();
}

QIcon ShellSmallIcon(const QString& path) {
  QFileIconProvider provider;
  QFileInfo info(path);
  if (!info.exists()) return provider.icon(QAbstractFileIconProvider::File);
  return provider.icon(info);
}

bool ShellOpen(const QString& target) {
  QUrl url = QFileInfo::exists(target) ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath()) : QUrl(target);
  return url.isValid() && QDesktopServices::openUrl(url);
}
