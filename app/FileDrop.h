#pragma once
// Files dropped on the file list join it (TForm1::AddFiles).

#include <QByteArray>
#include <QList>

class TForm1;

// The local paths of a "text/uri-list" (RFC 2483): one URI a line, lines
// starting with '#' are comments. Only file: URIs of this machine count
// (no host, or "localhost"); their percent escapes become the bytes they
// stand for, so a name that is not UTF-8 stays as it was.
[[nodiscard]] QList<QByteArray> LocalPathsOfUriList(const QByteArray& uriList);

// Lets the window's file list take drops of files and folders.
void AcceptFileDrops(TForm1& form);
