// The rows built from the command-line paths, and the ascii extension list
// that follows the rows' check boxes.

#include <QCoreApplication>
#include <QSignalBlocker>
#include <QTreeWidgetItem>
#include <sys/stat.h>

#include "AppFixture.h"
#include "app/FileList.h"
#include "platform/Files.h"

namespace {

using Kind = ScriptedDialogs::Kind;

struct ExtCase {
    const char* label; // the case, in the test's name
    const char* name;
    const char* ext; // FileExt of the name
    QStringList list;
    bool checked; // the row's check box at start with `list` as txtlist
};

void PrintTo(const ExtCase& c, std::ostream* os)
{
    *os << c.name;
}

class ExtensionRule : public ::testing::TestWithParam<ExtCase> { };

TEST_P(ExtensionRule, DecidesTheCheckBox)
{
    const ExtCase& c = GetParam();
    EXPECT_EQ(Std(FileExt(QString::fromUtf8(c.name))), c.ext);
    EXPECT_EQ(ExtInList(AsciiLowerCase(FileExt(QString::fromUtf8(c.name))), c.list), c.checked);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ExtensionRule,
    ::testing::Values(ExtCase{"UpperCaseNameLowerCaseList", "Report.TXT", ".TXT", {".txt"}, true},
                      ExtCase{"SameCase", "Report.TXT", ".TXT", {".TXT"}, true},
                      ExtCase{"MixedCaseLaterInTheList", "report.txt", ".txt", {".doc", ".Txt"}, true},
                      ExtCase{"OnlyTheLastDotStartsTheExtension", "archive.tar.gz", ".gz", {".tar.gz"}, false},
                      ExtCase{"LastExtensionInUpperCase", "archive.tar.gz", ".gz", {".GZ"}, true},
                      ExtCase{"NoExtension", "README", "", {".txt"}, false},
                      ExtCase{"NoExtensionMatchesAnEmptyEntry", "README", "", {".txt", ""}, true},
                      ExtCase{"DotFile", ".profile", ".profile", {".profile"}, true},
                      ExtCase{"TrailingDot", "trailing.", ".", {"."}, true},
                      // A dot before "\" or ":" starts no extension.
                      ExtCase{"DotBeforeABackslash", "v1.2\\notes", "", {".2\\notes"}, false},
                      ExtCase{"DotBeforeAColon", "v1.2:notes", "", {""}, true},
                      // Only A to Z are lowered: a stored ".äb" does not match ".ÄB".
                      ExtCase{"NonAsciiLettersAreNotLowered", "Übung.ÄB", ".ÄB", {".äb"}, false},
                      ExtCase{"NonAsciiLettersMatchAsTheyAre", "Übung.ÄB", ".ÄB", {".Äb"}, true}),
    [](const auto& test) { return std::string(test.param.label); });

struct DateCase {
    const char* label; // the case, in the test's name
    QLocale locale;
    QTime time;
    const char* text;
    QDate date = QDate(2021, 1, 2);
};

void PrintTo(const DateCase& c, std::ostream* os)
{
    *os << c.text;
}

class DateText : public ::testing::TestWithParam<DateCase> { };

TEST_P(DateText, IsLocaleShortDateAndLongTimeInTwoSecondSteps)
{
    const DateCase& c = GetParam();
    QLocale::setDefault(c.locale);
    const auto t = static_cast<std::time_t>(QDateTime(c.date, c.time).toSecsSinceEpoch());
    EXPECT_EQ(Std(FileDateText(t)), c.text);
    QLocale::setDefault(QLocale::system());
}

const QLocale german(QLocale::German, QLocale::Germany);
const QLocale american(QLocale::English, QLocale::UnitedStates);

INSTANTIATE_TEST_SUITE_P(
    Times, DateText,
    ::testing::Values(DateCase{"OddSecondGoesDown", german, QTime(15, 4, 7), "02.01.21 15:04:06"},
                      DateCase{"EvenSecond", german, QTime(15, 4, 6), "02.01.21 15:04:06"},
                      DateCase{"AmericanLocale", american, QTime(15, 4, 7), "1/2/21 3:04:06 PM"},
                      // Exactly midnight (after the cut to two seconds): no time.
                      DateCase{"Midnight", german, QTime(0, 0, 0), "02.01.21"},
                      DateCase{"OneSecondAfterMidnight", german, QTime(0, 0, 1), "02.01.21"},
                      DateCase{"TwoSecondsAfterMidnight", german, QTime(0, 0, 2), "02.01.21 00:00:02"},
                      // Before what a DOS date holds (1980 on): shown as it is.
                      DateCase{"Before1980", german, QTime(12, 0, 1), "01.01.70 12:00:00", QDate(1970, 1, 1)}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(InOutErrorText, NamesTheErrorTheUserCanActOn)
{
    EXPECT_EQ(InOutErrorText(ENOENT), "File not found");
    EXPECT_EQ(InOutErrorText(EACCES), "File access denied");
    EXPECT_EQ(InOutErrorText(EPERM), "File access denied");
    EXPECT_EQ(InOutErrorText(EIO), "I/O error 5");
    EXPECT_EQ(InOutErrorText(ENOTDIR), "I/O error 20");
}

struct Row {
    std::string name, size, date;
    bool checked;
};

Row RowOf(const TForm1& form, int i)
{
    const QTreeWidgetItem* item = form.fileList->topLevelItem(i);
    if (item == nullptr)
        return {"<no row>", "", "", false};
    return {Std(item->text(0)), Std(item->text(1)), Std(item->text(2)), item->checkState(0) == Qt::Checked};
}

void PrintTo(const Row& r, std::ostream* os)
{
    *os << "{" << r.name << ", size \"" << r.size << "\", date \"" << r.date << "\", "
        << (r.checked ? "checked" : "unchecked") << "}";
}

bool operator==(const Row& a, const Row& b)
{
    return a.name == b.name && a.size == b.size && a.date == b.date && a.checked == b.checked;
}

class FileList : public AppTest { };

TEST_F(FileList, BuildsOneRowPerPathInOrder)
{
    const QStringList paths = {
        MakeFile("report.txt", QByteArray(20, 'x')),
        MakeFile("empty.bin", {}, QDateTime(QDate(2021, 1, 2), QTime(0, 0, 1))),
        MakeFile(QStringLiteral("My Files/Grüße an Jürgen.TXT"), "hallo\n",
                 QDateTime(QDate(2020, 12, 31), QTime(23, 59, 59))),
        MakeFile("README", "read me\n"),
        MakeFolder("Holiday pictures"),
        Path("Holiday pictures/"), // the same folder, as a file manager may pass it
    };
    auto form = OpenWindow(paths);

    const std::vector<Row> expected = {
        {"report.txt", "20", "02.01.21 15:04:06", true},
        {"empty.bin", "1", "02.01.21", false},
        {"Grüße an Jürgen.TXT", "6", "31.12.20 23:59:58", true},
        {"README", "8", "02.01.21 15:04:06", false},
        {"Holiday pictures", "", "", false},
        {"Holiday pictures", "", "", false},
    };
    ASSERT_EQ(form->fileList->topLevelItemCount(), static_cast<int>(expected.size()));
    for (int i = 0; i < static_cast<int>(expected.size()); ++i) {
        EXPECT_EQ(RowOf(*form, i), expected[static_cast<size_t>(i)]) << "row " << i;
        EXPECT_FALSE(form->fileList->topLevelItem(i)->icon(0).isNull()) << "row " << i;
    }
    // Each folder row beeps once and leaves the status text; nothing else is shown.
    EXPECT_EQ(dialogs_.Beeps(), 2);
    EXPECT_EQ(dialogs_.Log().size(), 2u);
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File folder will not be sent.");
    EXPECT_TRUE(form->ListReady);
    EXPECT_TRUE(form->focusTimer->isActive());
}

TEST_F(FileList, WithoutFolderRowsLeavesTheStatusBarEmpty)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    EXPECT_EQ(dialogs_.Beeps(), 0);
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "");
}

struct UnreadableCase {
    const char* label;
    const char* path; // below the temporary folder, where "a.txt" is a file
    const char* error;
};

void PrintTo(const UnreadableCase& c, std::ostream* os)
{
    *os << c.label;
}

class UnreadablePath : public AppTest, public ::testing::WithParamInterface<UnreadableCase> { };

// Every selected path is accounted for: the one that cannot be read is
// listed, named in the message with its reason, and the list goes on.
TEST_P(UnreadablePath, IsListedAsNotSentAndTheListGoesOn)
{
    const UnreadableCase& c = GetParam();
    const QString bad = Path(QString::fromUtf8(c.path));
    auto form = OpenWindow({MakeFile("a.txt", "a"), bad, MakeFile("c.txt", "c")});
    EXPECT_TRUE(form->ListReady);
    EXPECT_TRUE(form->focusTimer->isActive());
    EXPECT_EQ(dialogs_.Count(Kind::Error), 0) << "the box opens once the window is up, over it";
    QCoreApplication::processEvents();

    ASSERT_EQ(dialogs_.Count(Kind::Error), 1);
    const std::string name = Std(QFileInfo(bad).fileName());
    EXPECT_EQ(dialogs_.Log().back().text, name + ": " + c.error);
    EXPECT_EQ(dialogs_.Log().back().caption, "Parcelo");
    // The failing path keeps its name, check box and icon, no size (so it is
    // never sent) and the reason where the date would be; the path after it
    // has its row.
    ASSERT_EQ(form->fileList->topLevelItemCount(), 3);
    EXPECT_EQ(RowOf(*form, 1), (Row{name, "", c.error, true}));
    EXPECT_FALSE(form->fileList->topLevelItem(1)->icon(0).isNull());
    EXPECT_FALSE(form->fileList->topLevelItem(1)->flags() & Qt::ItemIsEnabled) << "greyed";
    EXPECT_EQ(RowOf(*form, 2), (Row{"c.txt", "1", "02.01.21 15:04:06", true}));

    // The list is whole, so the check boxes keep the ascii list up to date.
    form->fileList->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(form->txtlist, QStringList{});
}

INSTANTIATE_TEST_SUITE_P(Paths, UnreadablePath,
                         ::testing::Values(UnreadableCase{"Missing", "gone.txt", "file not found"},
                                           UnreadableCase{"BelowAFile", "a.txt/b.txt", "I/O error 20"}),
                         [](const auto& test) { return std::string(test.param.label); });

TEST_F(FileList, NamedPipeIsListedWithoutBlockingTheWindow)
{
    const QString fifo = Path("pipe.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Opening a pipe for reading waits for a writer unless told not to; the
    // window would never open.
    auto form = OpenWindow({fifo, MakeFile("after.txt", "x")});
    ASSERT_EQ(form->fileList->topLevelItemCount(), 2);
    EXPECT_EQ(RowOf(*form, 0).size, "1");
    EXPECT_TRUE(form->ListReady);
}

TEST_F(FileList, SizeBeyondTwoGibibytesIsShownWhole)
{
    const QString path = MakeFile("disk.img", {});
    {
        QFile file(path);
        ASSERT_TRUE(file.resize(3'000'000'123)); // sparse: takes no room on disk
    }
    auto form = OpenWindow({path});
    EXPECT_EQ(RowOf(*form, 0).size, "3000000123");
}

TEST_F(FileList, LongPathIsKeptWhole)
{
    // Far beyond 256 characters: the row must stand for this very file.
    QString folder;
    for (int i = 0; i < 12; ++i)
        folder += QStringLiteral("a-rather-long-folder-name-%1/").arg(i);
    const QString path = MakeFile(folder + "deep.bin", QByteArray(1234, '\0'));
    ASSERT_GT(path.size(), 300);
    auto form = OpenWindow({path});
    ASSERT_EQ(form->fileList->topLevelItemCount(), 1);
    EXPECT_EQ(RowOf(*form, 0), (Row{"deep.bin", "1234", "02.01.21 15:04:06", false}));
    EXPECT_EQ(form->ParamStr(1), path);
    EXPECT_EQ(dialogs_.Log().size(), 0u);
}

// What the user does to a row, and the ascii extension list afterwards.
enum class Act { Check, Uncheck, Select };

struct CheckCase {
    const char* label;
    int row;             // 0 Report.TXT, 1 README, 2 a folder
    QStringList txtlist; // the list just before the acts
    std::vector<Act> acts;
    QStringList expected;
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.label;
}

class CheckBoxes : public AppTest, public ::testing::WithParamInterface<CheckCase> { };

TEST_P(CheckBoxes, KeepTxtlistInStepWithTheRowChangedLast)
{
    const CheckCase& c = GetParam();
    auto form = OpenWindow({MakeFile("Report.TXT", "r"), MakeFile("README", "r"), MakeFolder("folder")});
    ASSERT_TRUE(form->ListReady);
    QTreeWidgetItem* row = form->fileList->topLevelItem(c.row);
    ASSERT_NE(row, nullptr);
    // Start from the opposite state so that every act is a change.
    {
        QSignalBlocker quiet(form->fileList);
        row->setCheckState(0, c.acts.front() == Act::Check ? Qt::Unchecked : Qt::Checked);
    }
    form->txtlist = c.txtlist;
    for (Act act : c.acts) {
        if (act == Act::Select)
            form->fileList->setCurrentItem(row);
        else
            row->setCheckState(0, act == Act::Check ? Qt::Checked : Qt::Unchecked);
    }
    EXPECT_EQ(form->txtlist, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckBoxes,
    ::testing::Values(
        CheckCase{"CheckAddsLowerCaseExtension", 0, {".doc"}, {Act::Check}, {".doc", ".txt"}},
        CheckCase{"CheckKeepsAnyPresentSpelling", 0, {".TXT"}, {Act::Check}, {".TXT"}},
        CheckCase{"CheckAddsOnce", 0, {}, {Act::Check, Act::Uncheck, Act::Check}, {".txt"}},
        CheckCase{"UncheckRemovesEverySpelling", 0, {".txt", ".TXT", ".doc", ".Txt", ".tXt"}, {Act::Uncheck}, {".doc"}},
        CheckCase{"EmptyExtensionIsAdded", 1, {".txt"}, {Act::Check}, {".txt", ""}},
        CheckCase{"EmptyExtensionIsRemoved", 1, {"", ".txt", ""}, {Act::Uncheck}, {".txt"}},
        CheckCase{"FolderRowChangesNothing", 2, {".doc"}, {Act::Check, Act::Uncheck, Act::Check}, {".doc"}},
        // Any change of a row counts, not just its check box: selecting a
        // checked row puts its extension back.
        CheckCase{"SelectingACheckedRowAddsItsExtension", 0, {}, {Act::Select}, {".txt"}}),
    [](const auto& test) { return std::string(test.param.label); });

} // namespace
