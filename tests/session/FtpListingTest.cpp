// The sub-directories the FTP session reads out of a LIST reply: the same
// rule as the directory picker's, on bytes and without Qt.
#include "upload/FtpSession.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Names = std::vector<std::string>;

TEST(FtpListing, DirectoryLinesNameTheirDirectoryAndEverythingElseNothing)
{
    const std::vector<std::pair<std::string, Names>> cases = {
        // The servers we meet: vsftpd, pyftpdlib, without a group, a date
        // with a year, names with blanks (a leading one kept).
        {"drwxr-xr-x    2 0        0            4096 Jan 10 12:00 incoming\r\n"
         "drwxrwxrwx   2 root     root         4096 Dec 09 23:40 pub\r\n"
         "drwxr-xr-x 2 ftp 4096 Jan 10 12:00 nogroup\r\n"
         "drwxr-xr-x 2 ftp ftp 4096 Mar  3  2019 archive\r\n"
         "drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 old files\r\n"
         "drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00  leading blank\r\n",
         {"incoming", "pub", "nogroup", "archive", "old files", " leading blank"}},
        // Files, links, the total line and dot names name nothing.
        {"total 12\n-rw-r--r-- 1 ftp ftp 10 Jan 10 12:00 notes.txt\n"
         "lrwxrwxrwx 1 ftp ftp 4 Jan 10 12:00 latest -> pub\n"
         "drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 .\ndrwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 ..\n"
         "drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 .hidden\n",
         {}},
        // UTF-8 and other bytes stay as they came.
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 gr\xc3\xbc\xc3\x9f"
         "e\rdrwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 caf\xe9\r",
         {"gr\xc3\xbc\xc3\x9f"
          "e",
          "caf\xe9"}},
        // Another format: the text after the last blank, never the line's
        // last character as that blank; no blank gives nothing.
        {"d some other format name\nd trailing \ndirectory\nd\n\n", {"name", "trailing "}},
        // The listing ends at a NUL.
        {std::string("d x one\nd x two\0d x three\n", 26), {"one", "two"}},
        {"", {}},
    };
    for (const auto& [listing, names] : cases)
        EXPECT_EQ(FtpListedDirectories(listing), names) << listing;
}

} // namespace
