#pragma once
// What the desktop says about a path: the name it shows, the kind of item
// and its small icon; and opening a document or link with the desktop's
// chosen program.

#include <QIcon>
#include <QString>

// The path's last component ("/" for the root). The path need not exist.
QString ShellDisplayName(const QString& path);

// "File Folder" for a directory (or a link to one), otherwise the desktop's
// name for the file's type, e.g. "plain text document". Empty for a path
// that does not exist.
QString ShellTypeName(const QString& path);

// The desktop's small icon for the path; a generic file icon when the path
// does not exist.
QIcon ShellSmallIcon(const QString& path);

// Opens a file, web page or mail link; false when nothing could open it.
bool ShellOpen(const QString& target);
