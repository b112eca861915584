#pragma once
// The rules of the file list that do not need the window: the extension of
// a name, the lower-casing used to compare extensions, and the date text of
// a row.

#include <QByteArray>
#include <QString>
#include <QtCore/qnamespace.h>
#include <QStringList>
#include <ctime>

class QTreeWidgetItem;

// The text from the name's last "." to its end, provided that no "\" and no
// ":" stands after that dot; otherwise empty. "report.TXT" gives ".TXT",
// "archive.tar.gz" gives ".gz", "README" gives "".
[[nodiscard]] QString FileExt(const QString& name);

// Converts only the letters A to Z to lower case; every other character
// stays as it is, so stored extensions compare the same on every locale.
[[nodiscard]] QString AsciiLowerCase(const QString& text);

// True when some entry of `list`, lower-cased by AsciiLowerCase, equals
// `ext` exactly. `ext` is already in lower case.
[[nodiscard]] bool ExtInList(const QString& ext, const QStringList& list);

// A file's last-write time as the list shows it: local time cut to the
// two-second steps of a DOS file date, in the user's locale as the short
// date, a blank and the long time (without a time zone); the time is left
// out when it is exactly midnight.
[[nodiscard]] QString FileDateText(std::time_t lastWrite);

// Where a file row keeps its name as bytes: the caption shows the name
// readably, the server gets it byte for byte.
inline constexpr int RemoteNameRole = Qt::UserRole + 1;

// The name a file row is stored under on the server.
[[nodiscard]] QByteArray RemoteName(const QTreeWidgetItem* row);

// What a row stands for: a file to send, a folder (listed, never sent), a
// path that could not be read when the list was built (listed, greyed,
// never sent), or a folder sent with its whole tree (the Options' folder
// box; app/FolderRows.cpp).
enum class RowKind { File, Folder, Unreadable, FolderTree };
inline constexpr int RowKindRole = Qt::UserRole + 2;
// The system's error number for an unreadable row.
inline constexpr int UnreadableErrorRole = Qt::UserRole + 3;

[[nodiscard]] RowKind KindOfRow(const QTreeWidgetItem* row);

// Why a path cannot be sent, in a few words: "file not found", "access
// denied", "I/O error 20".
[[nodiscard]] QString UnreadableReason(int errorCode);
