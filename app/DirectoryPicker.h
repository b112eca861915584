#pragma once
// The remote directory picker's rules that need no window: where the
// listing file goes, how a listing is split into lines, which lines name a
// directory, and how many levels a directory text climbs.

#include <QString>
#include <QStringList>
#include <string>

// The listing file "temp_dir": in `programFolder` (ending with "/") when the
// program may write there and the folder is the user's own, writable by
// nobody else;
// otherwise in Parcelo's own cache folder ${XDG_CACHE_HOME:-~/.cache}/parcelo,
// created private to the user when missing.
[[nodiscard]] std::string ListingFilePath(const std::string& programFolder);

// Makes a fresh, empty listing file at `path`, readable by the user alone:
// whatever stood there before (an old listing, a symbolic link) is removed,
// never followed. False with errno set when it cannot.
[[nodiscard]] bool PrepareListingFile(const std::string& path);

// The lines of a listing: a line ends at CR, LF or CR LF; the text ends at
// its first zero byte. A last line without an end still counts.
[[nodiscard]] QStringList ListingLines(const std::string& bytes);

// The name of the sub-directory a listing line offers, or an empty text
// when it offers none: only lines that start with "d" name a directory,
// and names starting with "." (".", "..", hidden folders) are not offered.
// The name is what follows the date of a long-format line ("Jan 10 12:00"
// or "Jan 10 2024"), so names with blanks stay whole; a line without such
// a date gives the text after its last blank (the last character never
// counts as that blank).
[[nodiscard]] QString ListedDirectory(const QString& line);

// How many levels down a directory text leads from the log-in directory:
// one per non-empty part between "/" characters ("pub/incoming" and
// "pub/incoming/" both give 2).
[[nodiscard]] int DirectoryDepth(const QString& dir);
