// Files that join an open window: dropped on its file list, or handed over
// by a second start of the program (the real program, started by the
// test), and the private socket that carries the hand-over.

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QSet>
#include <QTreeWidgetItem>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AppFixture.h"
#include "support/SavedEnvironment.h"
#include "LocalPeer.h"
#include "app/FileDrop.h"
#include "app/FileList.h"
#include "app/SingleInstance.h"
#include "app/Startup.h"
#include "platform/Messages.h"
#include "platform/qt/Shell.h"
#include "support/PumpUntil.h"

namespace {

using Kind = ScriptedDialogs::Kind;

// Writes a file whose name is given as bytes (it need not be UTF-8).
QByteArray MakeRawFile(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0) << path.constData();
    if (fd >= 0) {
        EXPECT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
        ::close(fd);
    }
    return path;
}

// ---- the pieces without a window -------------------------------------

struct UriCase {
    const char* label;
    QByteArray list;
    QList<QByteArray> paths;
};

void PrintTo(const UriCase& c, std::ostream* os)
{
    *os << c.label;
}

class UriList : public ::testing::TestWithParam<UriCase> { };

TEST_P(UriList, GivesTheLocalPathsAsBytes)
{
    EXPECT_EQ(LocalPathsOfUriList(GetParam().list), GetParam().paths);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, UriList,
    ::testing::Values(
        UriCase{"CrLfLinesAndComments",
                "# from a file manager\r\nfile:///home/a/x.txt\r\nfile:///home/a/y z\r\n",
                {"/home/a/x.txt", "/home/a/y z"}},
        UriCase{"EscapesBecomeTheirBytes", "file:///tmp/caf%E9%20one.txt\n", {"/tmp/caf\xe9 one.txt"}},
        UriCase{"Utf8Escapes", "file:///tmp/%C3%BC.txt", {"/tmp/\xc3\xbc.txt"}},
        UriCase{"LocalhostCounts", "file://localhost/etc/hosts", {"/etc/hosts"}},
        UriCase{"OtherHostsAndSchemesDoNot", "file://elsewhere/etc/hosts\nhttps://example.org/x\nsmb://s/x", {}},
        UriCase{"ANulByteIsNoPath", "file:///tmp/a%00b\nfile:///tmp/ok", {"/tmp/ok"}}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(HandOverMessage, CarriesBytesWholeAndTellsPartFromForeign)
{
    const QByteArray dir = "/home/\xff\xfeuser";
    const QList<QByteArray> paths = {"rel/a.txt", "/abs/caf\xe9", QByteArray("with\nbreak"), ""};
    const QByteArray message = EncodeHandOver(dir, paths);
    QByteArray gotDir;
    QList<QByteArray> gotPaths;
    // Every cut short of the whole waits for more.
    for (qsizetype n = 0; n < message.size(); ++n)
        ASSERT_EQ(DecodeHandOver(message.left(n), gotDir, gotPaths), HandOverParse::Partial) << n;
    ASSERT_EQ(DecodeHandOver(message, gotDir, gotPaths), HandOverParse::Complete);
    EXPECT_EQ(gotDir, dir);
    EXPECT_EQ(gotPaths, paths);
    EXPECT_EQ(DecodeHandOver(message + "x", gotDir, gotPaths), HandOverParse::Bad);
    EXPECT_EQ(DecodeHandOver("GET / HTTP/1.0\r\n", gotDir, gotPaths), HandOverParse::Bad);
    EXPECT_EQ(DecodeHandOver(EncodeHandOver(dir, {}), gotDir, gotPaths), HandOverParse::Complete);
    EXPECT_TRUE(gotPaths.isEmpty());
}

TEST(HandOverMessage, RelativePathsResolveAgainstTheSendersFolder)
{
    EXPECT_EQ(AbsolutePath("a.txt", "/home/u"), "/home/u/a.txt");
    EXPECT_EQ(AbsolutePath("./sub//b", "/home/u/"), "/home/u/sub/b");
    EXPECT_EQ(AbsolutePath("/etc/./hosts", "/home/u"), "/etc/hosts");
    EXPECT_EQ(AbsolutePath("../x", "/home/u"), "/home/u/../x") << "'..' is the file system's to resolve";
    EXPECT_EQ(AbsolutePath("caf\xe9", "/t"), "/t/caf\xe9");
    EXPECT_EQ(AbsolutePath("", "/t"), "");
}

// ---- drops on the file list --------------------------------------------

class FileDrop : public AppTest {
protected:
    // A drag of `uriList` onto the list's middle, as the system delivers
    // it: enter, move, drop. Returns whether the drop was taken.
    static bool DropOn(TForm1& form, const QByteArray& uriList, const QString& format = QStringLiteral("text/uri-list"))
    {
        QMimeData data;
        data.setData(format, uriList);
        QWidget* target = form.fileList->viewport();
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        EXPECT_TRUE(move.isAccepted());
        QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction) << "a drop never moves the user's files";
        return drop.isAccepted();
    }

    static QByteArray Uris(const QStringList& paths)
    {
        QByteArray list;
        for (const QString& path : paths)
            list += QUrl::fromLocalFile(path).toEncoded() + "\r\n";
        return list;
    }

    static QStringList Names(const TForm1& form)
    {
        QStringList names;
        for (int i = 0; i < form.fileList->topLevelItemCount(); ++i)
            names << form.fileList->topLevelItem(i)->text(0);
        return names;
    }
};

TEST_F(FileDrop, DroppedFilesJoinTheListByTheCommandLinesRulesAndOnlyOnce)
{
    const QString listed = MakeFile("listed.txt", "abc");
    auto form = OpenWindow({listed});
    form->show();
    const QString text = MakeFile("notes.TXT", "line\n", QDateTime(QDate(2020, 5, 6), QTime(7, 8, 10)));
    const QString binary = MakeFile("data.bin", QByteArray(2500, 'x'));
    const QString empty = MakeFile("empty.dat", {});
    const QString folder = MakeFolder("photos");
    const QByteArray odd = MakeRawFile(QFile::encodeName(dir_.path()) + "/caf\xe9.raw", "12");

    // One drop: the file listed already (twice), new files and a folder, a
    // name that is not UTF-8, and a file that is gone meanwhile.
    QByteArray list = Uris({listed, text, binary, listed, empty, folder, Path("gone.txt")});
    list += "file://" + odd.toPercentEncoding("/") + "\r\n";
    ASSERT_TRUE(DropOn(*form, list));

    EXPECT_EQ(Names(*form),
              (QStringList{QStringLiteral("listed.txt"), QStringLiteral("notes.TXT"), QStringLiteral("data.bin"),
                           QStringLiteral("empty.dat"), QStringLiteral("photos"), QStringLiteral("gone.txt"),
                           ReadableText("caf\xe9.raw")}));
    EXPECT_EQ(form->ParamCount(), 7);
    const QTreeWidgetItem* notes = form->fileList->topLevelItem(1);
    EXPECT_EQ(notes->checkState(0), Qt::Checked) << ".txt is sent in ascii, whatever its case";
    EXPECT_EQ(form->fileList->topLevelItem(2)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(Std(notes->text(1)), "5");
    EXPECT_EQ(notes->text(2), FileDateText(QDateTime(QDate(2020, 5, 6), QTime(7, 8, 10)).toSecsSinceEpoch()));
    EXPECT_EQ(Std(form->fileList->topLevelItem(2)->text(1)), "2500");
    EXPECT_EQ(Std(form->fileList->topLevelItem(3)->text(1)), "1") << "an empty file counts as one byte";
    EXPECT_EQ(KindOfRow(form->fileList->topLevelItem(4)), RowKind::Folder);
    EXPECT_EQ(Std(form->fileList->topLevelItem(4)->text(1)), "");
    EXPECT_EQ(KindOfRow(form->fileList->topLevelItem(5)), RowKind::Unreadable);
    EXPECT_EQ(RemoteName(form->fileList->topLevelItem(6)), QByteArray("caf\xe9.raw"));
    EXPECT_EQ(form->ParamBytes(7), odd);
    // As for the command line: the unreadable file is named in a box.
    QApplication::processEvents();
    EXPECT_EQ(dialogs_.Texts(Kind::Error), std::vector<std::string>{"gone.txt: file not found"});
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "1 file will not be sent.");

    // Dropped again, with one new file: only that one joins. A link to a
    // listed file is listed under its own name (the name it gets on the
    // server); a path through a link to the folder is the same file.
    const QString later = MakeFile("later.txt", "z");
    ASSERT_EQ(::symlink("data.bin", QFile::encodeName(Path("alias.bin")).constData()), 0);
    ASSERT_EQ(::symlink(".", QFile::encodeName(Path("here")).constData()), 0);
    ASSERT_TRUE(DropOn(*form, Uris({text, folder, later, Path("here/data.bin"), Path("alias.bin")})));
    EXPECT_EQ(form->ParamCount(), 9);
    EXPECT_EQ(Names(*form).mid(7), (QStringList{QStringLiteral("later.txt"), QStringLiteral("alias.bin")}));
    // The ascii list is the user's: adding rows leaves it alone.
    EXPECT_EQ(form->txtlist, QStringList{".txt"});
}

TEST_F(FileDrop, OnlyLocalFilesAreTaken)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    EXPECT_FALSE(DropOn(*form, Std(Path("b.txt")).c_str(), QStringLiteral("text/plain")));
    EXPECT_FALSE(DropOn(*form, "https://example.org/x.txt\r\n"));
    EXPECT_EQ(form->ParamCount(), 1);
}

TEST_F(FileDrop, FolderKeepsTodaysRowUnlessFoldersAreSentThenShowsItsCountAndSize)
{
    MakeFile("tree/a.txt", "12345");
    MakeFile("tree/sub/deeper/b.bin", QByteArray(1000, 'b'));
    MakeFolder("tree/empty");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    ASSERT_TRUE(DropOn(*form, Uris({Path("tree")})));
    const QTreeWidgetItem* row = form->fileList->topLevelItem(1);
    EXPECT_EQ(KindOfRow(row), RowKind::Folder);
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File folder will not be sent.");
    EXPECT_EQ(dialogs_.Beeps(), 1);

    form->state.sendFolders = true;
    MakeFile("other/x.txt", "xy");
    ASSERT_TRUE(DropOn(*form, Uris({Path("other/"), Path("tree")})));
    ASSERT_EQ(form->ParamCount(), 3) << "a trailing slash names the same folder once only";
    const QTreeWidgetItem* tree = form->fileList->topLevelItem(2);
    EXPECT_EQ(KindOfRow(tree), RowKind::FolderTree);
    EXPECT_EQ(Std(tree->text(1)), "2");
    EXPECT_EQ(Std(tree->text(2)), "folder, 1 file");
    EXPECT_FALSE(tree->data(0, Qt::CheckStateRole).isValid()) << "each file takes its own type";
}

// ---- the hand-over from a second start -------------------------------

pid_t StartProgram(const std::vector<QByteArray>& args, const QByteArray& folder)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.constData()) != 0)
            ::_exit(126);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> argv{const_cast<char*>(PARCELO_PATH)};
        for (const QByteArray& arg : args)
            argv.push_back(const_cast<char*>(arg.constData()));
        argv.push_back(nullptr);
        ::execv(PARCELO_PATH, argv.data());
        ::_exit(127);
    }
    return pid;
}

// Runs the window's loop until every child has ended; their exit codes
// (-1: killed, or still running when the guard gave up).
std::vector<int> WaitForAll(std::vector<pid_t> pids)
{
    std::map<pid_t, int> status;
    PumpUntil(
        [&] {
            for (pid_t pid : pids) {
                int raw = 0;
                if (!status.count(pid) && ::waitpid(pid, &raw, WNOHANG) == pid)
                    status[pid] = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            }
            return status.size() == pids.size();
        },
        60000);
    std::vector<int> codes;
    for (pid_t pid : pids) {
        if (!status.count(pid)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            status[pid] = -1;
        }
        codes.push_back(status[pid]);
    }
    return codes;
}

class HandOver : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(runtime_.isValid());
        for (const char* name : {"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"})
            saved_.Save(name);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
        qputenv("DISPLAY", ":77");
        qunsetenv("WAYLAND_DISPLAY");
        // A window closed by an earlier test marks the program as ending.
        SetTerminating(false);
    }
    void TearDown() override
    {
        saved_.Restore();
        AppTest::TearDown();
    }

    // The window, listening as the program's does.
    std::unique_ptr<TForm1> OpenListeningWindow(const QStringList& paths)
    {
        auto form = OpenWindow(paths);
        const HandOverPlace place = HandOverSocketPlace();
        EXPECT_EQ(place.refused, "");
        EXPECT_TRUE(server_->Listen(place.socket));
        server_->received = [this, window = form.get()](const QByteArray& dir, const QList<QByteArray>& got) {
            ++handOvers_;
            return ReceiveHandOver(*window, dir, got);
        };
        return form;
    }

    std::string SocketPath() const { return Std(runtime_.path()) + "/parcelo-x11-_77.socket"; }

    QTemporaryDir runtime_;
    std::unique_ptr<HandOverServer> server_ = std::make_unique<HandOverServer>();
    int handOvers_ = 0;
    SavedEnvironment saved_;
};

TEST_F(HandOver, SecondStartHandsItsFilesToTheOpenWindowAndEnds)
{
    const QString first = MakeFile("first.txt", "1");
    auto form = OpenListeningWindow({first});
    EXPECT_EQ(HandOverSocketPlace().socket, SocketPath());
    struct stat folder { };
    ASSERT_EQ(::stat(QFile::encodeName(runtime_.path()).constData(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    MakeFile("sub/relative.bin", "abcdef");
    const QByteArray odd = MakeRawFile(QFile::encodeName(Path("sub")) + "/na\xefve.dat", "xyz");
    const QByteArray sub = QFile::encodeName(Path("sub"));
    // A relative name, a name that is not UTF-8, and one listed already.
    const pid_t second = StartProgram({"relative.bin", odd, "../first.txt"}, sub);
    EXPECT_EQ(WaitForAll({second}), std::vector<int>{0});

    EXPECT_EQ(handOvers_, 1);
    ASSERT_EQ(form->ParamCount(), 3);
    EXPECT_EQ(form->ParamBytes(2), sub + "/relative.bin") << "resolved in the sender's folder";
    EXPECT_EQ(form->ParamBytes(3), odd);
    EXPECT_EQ(Std(form->fileList->topLevelItem(1)->text(1)), "6");
    EXPECT_EQ(RemoteName(form->fileList->topLevelItem(2)), QByteArray("na\xefve.dat"));
    EXPECT_TRUE(form->isVisible()) << "the window comes to the front";

    // Started from the menu, without files: the window comes to the front,
    // no chooser opens, nothing joins.
    form->hide();
    EXPECT_EQ(WaitForAll({StartProgram({}, sub)}), std::vector<int>{0});
    EXPECT_EQ(handOvers_, 2);
    EXPECT_EQ(form->ParamCount(), 3);
    EXPECT_TRUE(form->isVisible());

    // A window closed while its job ends takes nothing more: the sender is
    // turned down (and opens a window of its own).
    SetTerminating(true);
    const pid_t turnedDown = ::fork();
    if (turnedDown == 0)
        ::_exit(::HandOver(SocketPath(), "/", {QFile::encodeName(first) + ".other"}) ? 1 : 0);
    EXPECT_EQ(WaitForAll({turnedDown}), std::vector<int>{0});
    SetTerminating(false);
    EXPECT_EQ(form->ParamCount(), 3);
}

TEST_F(HandOver, RunParceloHandsOverInsteadOfOpeningASecondWindow)
{
    auto form = OpenListeningWindow({MakeFile("a.txt", "a")});
    const std::string b = Std(MakeFile("b.txt", "b"));
    const char* argv[] = {"/usr/bin/parcelo", b.c_str()};
    // RunParcelo waits for the window's answer, and the window answers on
    // this thread: the second start runs in a child of the test.
    const pid_t child = ::fork();
    if (child == 0) {
        ScriptedDialogs dialogs;
        ::_exit(RunParcelo(2, argv, dialogs) == 0 && dialogs.Log().empty() ? 0 : 1);
    }
    EXPECT_EQ(WaitForAll({child}), std::vector<int>{0});
    EXPECT_EQ(form->ParamCount(), 2);
    // A window that went away takes its socket along: nothing answers.
    server_.reset();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(SocketPath())));
    EXPECT_FALSE(HandOverToOpenWindow(2, argv));
}

TEST_F(HandOver, StaleSocketIsReplacedAndALiveOneIsNot)
{
    // A socket file with nobody listening, as a program that crashed leaves it.
    ASSERT_TRUE(MakeStaleSocket(SocketPath()));
    EXPECT_FALSE(::HandOver(SocketPath(), "/", {"/etc/hosts"})) << "nobody answers";
    auto form = OpenListeningWindow({MakeFile("a.txt", "a")});
    ASSERT_TRUE(server_->Listening()) << "the stale socket was replaced";

    HandOverServer second;
    EXPECT_FALSE(second.Listen(SocketPath())) << "a window listens there";
    EXPECT_EQ(WaitForAll({StartProgram({QFile::encodeName(MakeFile("b.txt", "b"))}, "/")}), std::vector<int>{0});
    EXPECT_EQ(form->ParamCount(), 2) << "the first window still gets the files";
}

TEST_F(HandOver, FloodOfAHundredStartsLosesNoFile)
{
    auto form = OpenListeningWindow({MakeFile("start.txt", "s")});
    QSet<QByteArray> sent;
    std::vector<pid_t> pids;
    for (int i = 0; i < 100; ++i) {
        const QByteArray path = QFile::encodeName(MakeFile(QStringLiteral("f%1.dat").arg(i), QByteArray(i + 1, 'x')));
        sent.insert(path);
        pids.push_back(StartProgram({path}, "/"));
    }
    const std::vector<int> codes = WaitForAll(pids);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), 100);
    EXPECT_EQ(handOvers_, 100);
    ASSERT_EQ(form->ParamCount(), 101);
    QSet<QByteArray> listed;
    for (int i = 2; i <= form->ParamCount(); ++i)
        listed.insert(form->ParamBytes(i));
    EXPECT_EQ(listed, sent);
}

// The folder of the socket must be this user's alone; any other is not used
// and the program opens its own window.
TEST_F(HandOver, FolderThatOthersMayEnterOrOwnIsNotUsed)
{
    const QByteArray dir = QFile::encodeName(runtime_.path());
    EXPECT_NE(HandOverSocketPlace().socket, "");
    for (mode_t mode : {0755, 0770, 0701, 0707}) {
        ASSERT_EQ(::chmod(dir.constData(), mode), 0);
        const HandOverPlace place = HandOverSocketPlace();
        EXPECT_EQ(place.socket, "") << std::oct << mode;
        EXPECT_NE(place.refused, "");
    }
    ASSERT_EQ(::chmod(dir.constData(), 0700), 0);

    const QByteArray link = QFile::encodeName(Path("link"));
    ASSERT_EQ(::symlink(dir.constData(), link.constData()), 0);
    qputenv("XDG_RUNTIME_DIR", link);
    EXPECT_EQ(HandOverSocketPlace().socket, "") << "a link to the folder is not the folder";
    qputenv("XDG_RUNTIME_DIR", dir);

    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.constData(), 65534, 65534), 0);
        EXPECT_EQ(HandOverSocketPlace().socket, "") << "another user's folder";
        ASSERT_EQ(::chown(dir.constData(), 0, 0), 0);
    }

    // Without XDG_RUNTIME_DIR: a folder of the user's own under /tmp.
    qunsetenv("XDG_RUNTIME_DIR");
    const std::string fallback = "/tmp/parcelo-" + std::to_string(::geteuid());
    const HandOverPlace place = HandOverSocketPlace();
    EXPECT_EQ(place.socket, fallback + "/parcelo-x11-_77.socket") << place.refused;
    struct stat st { };
    ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

// Another user reaches no window, even where the folder lets them in.
TEST_F(HandOver, AnotherUserIsTurnedAway)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto form = OpenListeningWindow({MakeFile("a.txt", "a")});
    // Opened up on purpose, so that only the peer check stands in the way.
    ASSERT_EQ(::chmod(QFile::encodeName(runtime_.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(SocketPath().c_str(), 0777), 0);
    const QByteArray message = EncodeHandOver("/", {"/etc/hosts"});
    const std::string path = SocketPath();
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(HandOverAsAnotherUser(path, message));
    EXPECT_EQ(WaitForAll({child}), std::vector<int>{0}) << "11: could not connect, 12: answered";
    EXPECT_EQ(server_->strangersRefused, 1);
    EXPECT_EQ(handOvers_, 0);
    EXPECT_EQ(form->ParamCount(), 1);
}

} // namespace
