#pragma once
// What the desktop says about a path: the name it shows, the kind of item
// and its small icon; and opening a document or link with the desktop's
// chosen program.
//
// Paths are the bytes the system gave us: a file name need not be valid
// UTF-8, and decoding it would name another file (or none). Texts meant for
// the eye come from ReadableText.

#include <QByteArray>
#include <QIcon>
#include <QString>

// Bytes shown as text: UTF-8 when they are valid UTF-8, otherwise Latin-1,
// so that every byte shows as some character and a name from an older
// system in a single-byte encoding reads as it was meant.
[[nodiscard]] QString ReadableText(const QByteArray& bytes);

// The path's last component ("/" for the root), as bytes. The path need not
// exist.
[[nodiscard]] QByteArray ShellDisplayNameBytes(const QByteArray& path);

// The path's last component as the desktop shows it.
[[nodiscard]] QString ShellDisplayName(const QByteArray& path);

// "File Folder" for a directory (or a link to one); otherwise the desktop's
// name for the file's type, found from the name alone (e.g. "plain text
// document" for "notes.txt"), the contents are never read. Empty for a path
// that does not exist.
[[nodiscard]] QString ShellTypeName(const QByteArray& path);

// The desktop's small icon for the path's type. Files of one type share one
// icon; a generic file icon stands for unknown types and missing paths.
[[nodiscard]] QIcon ShellSmallIcon(const QByteArray& path);

// Opens a file, web page or mail link; false when nothing could open it.
bool ShellOpen(const QString& target);
