// After a job: the web links of the stored files in the clipboard and the
// dialogue, the whole job's progress in the status bar, and a desktop
// notification when the user works in another window. The real window,
// driven through its input, against the scripted FTP server; the
// notification service is a mock started by the test on the tests' own
// session bus.

// The window's headers first: they stand in for the system's socket
// names, which some Qt headers bring in.
#include "upload/UploadFixture.h"
#include "support/FtpScriptServer.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <fstream>
#include <set>

#include "PrivateBus.h"
#include "app/DesktopNotifier.h"
#include "app/JobProgress.h"

namespace {

using Kind = ScriptedDialogs::Kind;

// Logs "u" in, then answers CWD, TYPE, PASV and STOR (receiving each file
// whole) until QUIT. A file named in `refused` is received, then refused
// with 552. `received` gets the STOR names in order.
void Serve(FtpScriptSession& s, const std::set<std::string>& refused = {}, std::vector<std::string>* received = nullptr)
{
    s.Reply("220 ready");
    s.Answer("331 password please");
    s.Answer("230 logged in");
    std::string command;
    while (s.ReadCommand(command)) {
        if (command.rfind("TYPE", 0) == 0 || command.rfind("CWD", 0) == 0) {
            s.Reply(command[0] == 'T' ? "200 type set" : "250 directory changed");
        } else if (command == "PASV") {
            s.Reply(s.OpenPassive());
        } else if (command.rfind("STOR ", 0) == 0) {
            if (!s.AcceptData())
                return;
            s.Reply("150 go ahead");
            s.ReceiveAllData();
            s.CloseData();
            const std::string name = command.substr(5);
            if (received)
                received->push_back(name);
            s.Reply(refused.count(name) ? "552 quota exceeded" : "226 stored");
        } else if (command == "QUIT") {
            s.Reply("221 bye");
            s.WaitForClose();
            return;
        } else {
            s.Reply("502 not here");
        }
    }
}

class DesktopLinks : public UploadTest {
protected:
    // The window on these paths (bytes as the system gives them), shown and
    // active, its profile that of `server`.
    std::unique_ptr<TForm1> ShowWindow(const QList<QByteArray>& paths, const FtpScriptServer& server)
    {
        auto form = std::make_unique<TForm1>(QList<QByteArray>{"/usr/bin/parcelo"} + paths);
        form->ApplicationIsActive = [] { return true; };
        form->state.passiveMode = true;
        form->show();
        QApplication::setActiveWindow(form.get());
        // An X server without a window manager may never make it active;
        // the clipboard does not care.
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        }
        while (form->focusTimer->isActive())
            QTest::qWait(5);
        FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                    QStringLiteral("pw"));
        return form;
    }

    QByteArray FileBytes(const QString& name, const QByteArray& bytes)
    {
        return QFile::encodeName(MakeFile(name, bytes));
    }

    // Types the web address as a user does: Tab from the password box, then
    // the keys.
    static void TypeWebAddress(TForm1& form, const QString& text)
    {
        form.passedit->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), form.webedit);
        QTest::keyClicks(form.webedit, text);
    }

    // Presses OK from the keyboard.
    static void PressOK(TForm1& form)
    {
        form.OKBn->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }

    // The memo's lines from the links' heading on.
    static std::vector<std::string> LinkLines(const TForm1& form)
    {
        std::vector<std::string> lines = Memo(form);
        auto heading = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.rfind("Link", 0) == 0; });
        return {heading, lines.end()};
    }
};

// Files with a blank, UTF-8 and bytes that are not UTF-8 in their names, a
// file the server refuses, a file that vanished and a folder: only the
// stored files get links, each part of the path encoded.
TEST_F(DesktopLinks, StoredFilesGetTheirLinksInTheClipboardAndTheDialogue)
{
    std::vector<std::string> received;
    FtpScriptServer server([&](FtpScriptSession& s) { Serve(s, {"refused.bin"}, &received); });
    const QByteArray latin1 = QFile::encodeName(dir_.path()) + "/caf\xe9.bin";
    std::ofstream(latin1.constData(), std::ios::binary) << "caf\xe9";
    auto form = ShowWindow({FileBytes(QStringLiteral("a b.txt"), "a"), FileBytes(QStringLiteral("refused.bin"), "r"),
                            FileBytes(QString::fromUtf8("r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac.txt"), "cv"),
                            QFile::encodeName(Path(QStringLiteral("gone.doc"))),
                            QFile::encodeName(MakeFolder(QStringLiteral("pictures"))), latin1},
                           server);
    SetSubdirectory(*form, QStringLiteral("/pub/in coming"));
    TypeWebAddress(*form, QStringLiteral("example.org/files"));
    QApplication::clipboard()->setText(QStringLiteral("what was there"));
    dialogs_.Answer(DialogAnswer::Yes); // try the rest after the refused file

    PressOK(*form);

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "3 of 6 files sent \u2014 1 not found, 1 failed, 1 folder skipped")
        << Std(form->DisplayMemo->toPlainText());
    server.Join();
    ASSERT_EQ(received.size(), 4u);
    const std::vector<std::string> links = {
        "https://example.org/files/pub/in%20coming/a%20b.txt",
        "https://example.org/files/pub/in%20coming/r%C3%A9sum%C3%A9%20%E2%82%AC.txt",
        "https://example.org/files/pub/in%20coming/caf%E9.bin"};
    EXPECT_EQ(Std(QApplication::clipboard()->text()), links[0] + "\n" + links[1] + "\n" + links[2]);
    std::vector<std::string> shown = {"Links (copied to the clipboard):"};
    shown.insert(shown.end(), links.begin(), links.end());
    EXPECT_EQ(LinkLines(*form), shown);

    // Saved with the profile: the next start shows it again.
    form.reset();
    TForm1 again(QStringList{QStringLiteral("/usr/bin/parcelo"), MakeFile(QStringLiteral("x.txt"), "x")});
    EXPECT_EQ(Std(again.webedit->text()), "example.org/files");
}

// Without a web address a job is what it always was: the clipboard and
// the dialogue get nothing.
TEST_F(DesktopLinks, NoWebAddressNoLinks)
{
    FtpScriptServer server([&](FtpScriptSession& s) { Serve(s); });
    auto form = ShowWindow({FileBytes(QStringLiteral("a.txt"), "a")}, server);
    QApplication::clipboard()->setText(QStringLiteral("what was there"));

    PressOK(*form);

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    server.Join();
    EXPECT_EQ(Std(QApplication::clipboard()->text()), "what was there");
    EXPECT_TRUE(LinkLines(*form).empty());
}

// No notification service on the bus (the usual headless session): a job
// ending behind other windows shows nothing, reports nothing and waits
// for nothing; the next job goes as the first.
TEST_F(DesktopLinks, WithoutANotificationServiceNothingShows)
{
    FtpScriptServer server(std::vector<FtpScriptServer::Script>{[](FtpScriptSession& s) { Serve(s); },
                                                                [](FtpScriptSession& s) { Serve(s); }});
    auto form = ShowWindow({FileBytes(QStringLiteral("a.txt"), "a")}, server);
    TypeWebAddress(*form, QStringLiteral("https://example.org/"));
    form->ApplicationIsActive = [] { return false; };

    for (int job = 0; job < 2; ++job) {
        PressOK(*form);
        ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << "job " << job;
        EXPECT_EQ(Std(QApplication::clipboard()->text()), "https://example.org/a.txt");
    }
    server.Join();
    EXPECT_TRUE(dialogs_.Log().empty());
}

// The whole job beside the file's bar: which file of how many, and how
// much of all the bytes. A refused file counts as done; folders and
// vanished files are no part of the job.
TEST_F(DesktopLinks, StatusBarShowsTheProgressOfTheWholeJob)
{
    FtpScriptServer server([&](FtpScriptSession& s) { Serve(s, {"two.bin"}); });
    auto form = ShowWindow({FileBytes(QStringLiteral("one.bin"), BinaryBytes(1000)),
                            QFile::encodeName(MakeFolder(QStringLiteral("folder"))),
                            FileBytes(QStringLiteral("two.bin"), BinaryBytes(3000)),
                            FileBytes(QStringLiteral("three.bin"), BinaryBytes(6000))},
                           server);
    dialogs_.Answer(DialogAnswer::Yes);
    // The clock is asked at the start of each file and at each count of its
    // bytes: the status bar's whole-job text is looked at then.
    std::vector<std::string> shown;
    TForm1* window = form.get();
    std::int64_t now = 0;
    form->MonotonicMs = [&, window] {
        const std::string text = Std(window->statusBar->PanelText(2));
        if (shown.empty() || shown.back() != text)
            shown.push_back(text);
        EXPECT_TRUE(window->statusBar->Panel(2)->isVisible());
        return now += 100;
    };

    PressOK(*form);

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "2 of 4 files sent \u2014 1 failed, 1 folder skipped");
    server.Join();
    // Each file starts where the ones before it ended; while it goes, the
    // figure stays between its start and its end and never goes back (how
    // often the counts come is the connection's business).
    const struct {
        const char* start;
        int from, to;
    } files[] = {{"file 1 of 3, 0 % of 10.0 kB", 0, 10},
                 {"file 2 of 3, 10 % of 10.0 kB", 10, 40},
                 {"file 3 of 3, 40 % of 10.0 kB", 40, 100}};
    for (const auto& file : files)
        EXPECT_NE(std::find(shown.begin(), shown.end(), file.start), shown.end())
            << file.start << " in " << ::testing::PrintToString(shown);
    const QRegularExpression figure(QStringLiteral("^file ([1-3]) of 3, ([0-9]+) % of 10\\.0 kB$"));
    int last = 0;
    for (const std::string& text : shown) {
        const QRegularExpressionMatch match = figure.match(QString::fromStdString(text));
        ASSERT_TRUE(match.hasMatch()) << text;
        const int percent = match.captured(2).toInt();
        const auto& file = files[match.captured(1).toInt() - 1];
        EXPECT_GE(percent, file.from) << text;
        EXPECT_LE(percent, file.to) << text;
        EXPECT_GE(percent, last) << text;
        last = percent;
    }
    EXPECT_EQ(Std(form->statusBar->PanelText(2)), "") << "gone after the job";
    EXPECT_FALSE(form->statusBar->Panel(2)->isVisible());
}

TEST(JobProgressText, CountsFilesAndBytesOfTheFilesSent)
{
    JobProgress job;
    EXPECT_EQ(Std(job.Text()), "");
    job.Start({500000000, -1, 300000000, 20000000});
    struct Point {
        int file; // index starting, -1 none
        std::int64_t count;
        const char* text;
    };
    const Point points[] = {
        {0, 0, "file 1 of 3, 0 % of 820.0 MB"},           {-1, 369000000, "file 1 of 3, 45 % of 820.0 MB"},
        {-1, 900000000, "file 1 of 3, 60 % of 820.0 MB"}, // a count past the file's size
        {2, 0, "file 2 of 3, 60 % of 820.0 MB"},          {3, 0, "file 3 of 3, 97 % of 820.0 MB"},
        {-1, 20000000, "file 3 of 3, 100 % of 820.0 MB"},
    };
    for (const Point& p : points) {
        if (p.file >= 0)
            job.FileStarting(static_cast<std::size_t>(p.file));
        job.SetCount(p.count);
        EXPECT_EQ(Std(job.Text()), p.text);
    }
    // Empty files only: the files count.
    job.Start({0, 0});
    job.FileStarting(0);
    EXPECT_EQ(Std(job.Text()), "file 1 of 2, 0 % of 0 bytes");
    job.FileStarting(1);
    EXPECT_EQ(Std(job.Text()), "file 2 of 2, 50 % of 0 bytes");
    job.Stop();
    EXPECT_EQ(Std(job.Text()), "");
    // One file sent (a folder beside it): the file's own figures suffice.
    job.Start({-1, 700});
    job.FileStarting(1);
    EXPECT_EQ(Std(job.Text()), "");
}

// The links reach other programs through the X clipboard: xclip reads
// them under a virtual X server. On the offscreen platform this case runs
// itself again under xvfb-run.
TEST_F(DesktopLinks, XclipReadsTheLinksUnderX)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        const QString xvfbRun = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
        const QString xclip = QStandardPaths::findExecutable(QStringLiteral("xclip"));
        if (xvfbRun.isEmpty() || xclip.isEmpty()) {
            if (!qEnvironmentVariableIsEmpty("CI"))
                FAIL() << "xvfb-run and xclip are needed (Debian packages xvfb, xauth and xclip)";
            GTEST_SKIP() << "no X server to be had: xvfb-run or xclip is not installed";
        }
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(xvfbRun, {QStringLiteral("-a"), QStringLiteral("env"), QStringLiteral("QT_QPA_PLATFORM=xcb"),
                              QCoreApplication::applicationFilePath(),
                              QStringLiteral("--gtest_filter=DesktopLinks.XclipReadsTheLinksUnderX")});
        ASSERT_TRUE(child.waitForFinished(300000));
        const std::string output = child.readAll().toStdString();
        EXPECT_EQ(child.exitCode(), 0) << output;
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
    }
    FtpScriptServer server([&](FtpScriptSession& s) { Serve(s); });
    auto form =
        ShowWindow({FileBytes(QStringLiteral("one two.txt"), "1"), FileBytes(QStringLiteral("b.txt"), "2")}, server);
    QTest::keyClicks(form->webedit, QStringLiteral("https://example.org/up/"));

    form->OKBn->click();

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    server.Join();
    // xclip asks this program for the clipboard: the loop must go on
    // meanwhile.
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(xclip.readAllStandardOutput().toStdString(),
              "https://example.org/up/one%20two.txt\nhttps://example.org/up/b.txt");
}

// The notification service of these tests: python3-dbusmock's
// notification daemon on the tests' own bus.
class NotificationMock {
public:
    const QString Service = QStringLiteral("org.freedesktop.Notifications");
    const QString Path = QStringLiteral("/org/freedesktop/Notifications");
    const QString Mock = QStringLiteral("org.freedesktop.DBus.Mock");

    struct Call {
        std::string summary, body;
        QStringList actions;
    };

    bool Start(std::string& whyNot)
    {
        if (!PrivateBusProblem().empty()) {
            whyNot = PrivateBusProblem();
            return false;
        }
        if (!QFile::exists(QStringLiteral("/usr/lib/python3/dist-packages/dbusmock"))) {
            whyNot = "python3-dbusmock is not installed";
            return false;
        }
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("--template"),
                        QStringLiteral("notification_daemon")});
        QDBusConnectionInterface* names = QDBusConnection::sessionBus().interface();
        if (!process_.waitForStarted(10000) || names == nullptr ||
            !QTest::qWaitFor([&] { return names->isServiceRegistered(Service).value(); }, 30000)) {
            whyNot = "the notification mock did not come up on the test bus";
            return false;
        }
        return true;
    }

    ~NotificationMock()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(10000);
        }
    }

    // The Notify calls received so far, in order.
    std::vector<Call> Calls() const
    {
        QDBusMessage ask = QDBusMessage::createMethodCall(Service, Path, Mock, QStringLiteral("GetMethodCalls"));
        ask << QStringLiteral("Notify");
        const QDBusMessage reply = QDBusConnection::sessionBus().call(ask);
        std::vector<Call> calls;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return calls;
        const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            qulonglong time = 0;
            QVariantList args;
            list.beginStructure();
            list >> time >> args;
            list.endStructure();
            if (args.size() < 6)
                continue;
            Call call{args[3].toString().toStdString(), args[4].toString().toStdString(), {}};
            if (args[5].canConvert<QDBusArgument>())
                args[5].value<QDBusArgument>() >> call.actions;
            else
                call.actions = args[5].toStringList();
            calls.push_back(call);
        }
        list.endArray();
        return calls;
    }

    // The user picks an action of notification `id`.
    void InvokeAction(uint id, const QString& action) const
    {
        QDBusMessage signal = QDBusMessage::createMethodCall(Service, Path, Mock, QStringLiteral("EmitSignal"));
        signal << Service << QStringLiteral("ActionInvoked") << QStringLiteral("us")
               << QVariantList{QVariant::fromValue(id), action};
        QDBusConnection::sessionBus().call(signal);
    }

private:
    QProcess process_;
};

class DesktopNotification : public DesktopLinks {
protected:
    void SetUp() override
    {
        DesktopLinks::SetUp();
        std::string whyNot;
        if (!mock_.Start(whyNot)) {
            if (!qEnvironmentVariableIsEmpty("CI"))
                FAIL() << whyNot;
            GTEST_SKIP() << whyNot;
        }
    }

    // Waits until `count` Notify calls have reached the service.
    std::vector<NotificationMock::Call> CallsOnceThereAre(std::size_t count)
    {
        std::vector<NotificationMock::Call> calls;
        EXPECT_TRUE(QTest::qWaitFor([&] { return (calls = mock_.Calls()).size() >= count; }, 30000));
        return calls;
    }

    NotificationMock mock_;
};

// Sent while the user works elsewhere: the notification says so and
// offers the links; picking "Copy links" copies them again.
TEST_F(DesktopNotification, JobEndingBehindOtherWindowsIsAnnouncedAndCopyLinksCopies)
{
    FtpScriptServer server([&](FtpScriptSession& s) { Serve(s); });
    auto form = ShowWindow({FileBytes(QStringLiteral("a.txt"), "a"), FileBytes(QStringLiteral("b c.txt"), "b"),
                            FileBytes(QStringLiteral("d.txt"), "d")},
                           server);
    form->hostcmbox->setEditText(QStringLiteral("work"));
    TypeWebAddress(*form, QStringLiteral("https://example.org/"));
    form->ApplicationIsActive = [] { return false; };

    PressOK(*form);

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    server.Join();
    const std::vector<NotificationMock::Call> calls = CallsOnceThereAre(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].summary, "3 files sent to work");
    EXPECT_EQ(calls[0].body, "Their links are in the clipboard.");
    EXPECT_EQ(calls[0].actions, (QStringList{QStringLiteral("copy-links"), QStringLiteral("Copy links")}));

    const QString links = QStringLiteral("https://example.org/a.txt\nhttps://example.org/b%20c.txt\n"
                                         "https://example.org/d.txt");
    EXPECT_EQ(QApplication::clipboard()->text(), links);
    QApplication::clipboard()->setText(QStringLiteral("copied something else meanwhile"));
    // The mock numbers its notifications from 1. It may report the call
    // before the window has read the reply that gives it the number: the
    // action is picked again until the window knows it.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            mock_.InvokeAction(1, QStringLiteral("copy-links"));
            return QApplication::clipboard()->text() == links;
        },
        30000))
        << Std(QApplication::clipboard()->text());
}

// A job ending while the window is active announces nothing; one ending
// behind other windows says what failed, and without links offers no
// action.
TEST_F(DesktopNotification, OnlyAJobEndingWhileTheWindowIsInactiveIsAnnounced)
{
    FtpScriptServer server(std::vector<FtpScriptServer::Script>{[](FtpScriptSession& s) { Serve(s); },
                                                                [](FtpScriptSession& s) { Serve(s, {"b.txt"}); }});
    auto form = ShowWindow({FileBytes(QStringLiteral("a.txt"), "a"), FileBytes(QStringLiteral("b.txt"), "b")}, server);
    form->hostcmbox->setEditText(QStringLiteral("work"));

    PressOK(*form);
    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");

    form->ApplicationIsActive = [] { return false; };
    PressOK(*form);
    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer aborted") << Std(form->DisplayMemo->toPlainText());
    server.Join();

    const std::vector<NotificationMock::Call> calls = CallsOnceThereAre(1);
    ASSERT_EQ(calls.size(), 1u) << "the first job ended in the active window";
    EXPECT_EQ(calls[0].summary, "1 of 2 files sent to work");
    EXPECT_EQ(calls[0].body, "File transfer aborted");
    EXPECT_TRUE(calls[0].actions.isEmpty());
}

} // namespace
