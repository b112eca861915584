// The picker's rules without a server: splitting a listing into lines,
// which lines offer a directory, how far a directory text climbs, and where
// the listing file goes.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/DirectoryPicker.h"

namespace {

TEST(PickerRules, ListingLinesEndAtCrLfOrBothAndTheTextAtAZeroByte)
{
    const std::vector<std::pair<std::string, QStringList>> cases = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"last line without an end", {"last line without an end"}},
        {std::string("a\nb\0c\nd\n", 8), {"a", "b"}},
        {"", {}},
        {"\n", {""}},
    };
    for (const auto& [bytes, lines] : cases)
        EXPECT_EQ(ListingLines(bytes), lines) << bytes;
}

TEST(PickerRules, OnlyDirectoryLinesOfferANameAndNamesWithBlanksStayWhole)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        // The servers we meet: vsftpd, pyftpdlib, a listing without a group,
        // a date with a year, a name with blanks.
        {"drwxr-xr-x    2 0        0            4096 Jan 10 12:00 incoming", "incoming"},
        {"drwxrwxrwx   2 root     root         4096 Dec 09 23:40 pub", "pub"},
        {"drwxr-xr-x 2 ftp 4096 Jan 10 12:00 nogroup", "nogroup"},
        {"drwxr-xr-x 2 ftp ftp 4096 Mar  3  2019 archive", "archive"},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 old files", "old files"},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00  leading blank", " leading blank"},
        // Not offered: files, links, the total line, dot names.
        {"-rw-r--r-- 1 ftp ftp 10 Jan 10 12:00 notes.txt", ""},
        {"lrwxrwxrwx 1 ftp ftp 4 Jan 10 12:00 latest -> pub", ""},
        {"total 12", ""},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 .", ""},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 ..", ""},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 .hidden", ""},
        // Another format: the text after the last blank, never the line's
        // last character as that blank; no blank at all gives nothing.
        {"d some other format name", "name"},
        {"d trailing ", "trailing "},
        {"directory", ""},
        {"d", ""},
        {"", ""},
    };
    for (const auto& [line, name] : cases)
        EXPECT_EQ(ListedDirectory(QString::fromLatin1(line)).toStdString(), name) << line;
}

TEST(PickerRules, EachNonEmptyPartOfADirectoryTextIsOneLevel)
{
    const std::vector<std::pair<const char*, int>> cases = {
        {"", 0}, {"pub", 1}, {"pub/incoming", 2}, {"pub/incoming/", 2}, {"pub//incoming", 2}, {"a/b/c", 3},
    };
    for (const auto& [dir, depth] : cases)
        EXPECT_EQ(DirectoryDepth(QString::fromLatin1(dir)), depth) << dir;
}

class ListingFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        savedCache_ = qgetenv("XDG_CACHE_HOME");
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("cache"))));
    }
    void TearDown() override { qputenv("XDG_CACHE_HOME", savedCache_); }

    std::string Path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)).toStdString(); }

    QTemporaryDir dir_;
    QByteArray savedCache_;
};

TEST_F(ListingFile, GoesBesideTheProgramWhenThatFolderIsOurs)
{
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("bin"))));
    EXPECT_EQ(ListingFilePath(Path("bin") + "/"), Path("bin") + "/temp_dir-" + std::to_string(::getpid()));
}

TEST_F(ListingFile, GoesToOurOwnCacheFolderWhenTheProgramFolderIsSharedOrMissing)
{
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("shared"))));
    ASSERT_EQ(::chmod(Path("shared").c_str(), 01777), 0);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("group"))));
    ASSERT_EQ(::chmod(Path("group").c_str(), 0770), 0);
    // An installed program: bin/ beside share/parcelo/.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("usr/bin"))));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path("usr/share/parcelo"))));
    for (const std::string& folder :
         {Path("shared") + "/", Path("group") + "/", Path("usr/bin") + "/", Path("missing") + "/", std::string()}) {
        EXPECT_EQ(ListingFilePath(folder), Path("cache") + "/parcelo/temp_dir-" + std::to_string(::getpid())) << folder;
    }
    // The cache folder is made private to the user.
    struct stat st { };
    ASSERT_EQ(::stat((Path("cache") + "/parcelo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A link put where the listing goes is removed, never followed: the file
// it points to keeps its contents, and the new listing file is private.
TEST_F(ListingFile, IsMadeAfreshAndPrivateWhereALinkOrAnOldListingStood)
{
    const std::string victim = Path("victim"), listing = Path("temp_dir");
    {
        QFile file(QString::fromStdString(victim));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("precious");
    }
    ASSERT_EQ(::symlink(victim.c_str(), listing.c_str()), 0);

    for (int round = 0; round < 2; ++round) { // a link, then the listing of the round before
        ASSERT_TRUE(PrepareListingFile(listing)) << round;
        struct stat st { };
        ASSERT_EQ(::lstat(listing.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << round;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << round;
        EXPECT_EQ(st.st_size, 0) << round;
        QFile old(QString::fromStdString(listing));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 old\r\n");
    }
    QFile file(QString::fromStdString(victim));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("precious"));
}

} // namespace
