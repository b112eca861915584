// The window as a keyboard user meets it on a real desktop: Enter never
// cancels or quits what the user did not ask to, the profile box loads
// only what was picked, the typed directory stays, and a job and a listing
// never break into each other. Keys go to the focused widget, the focus is
// read back from the application.

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "UploadFixture.h"
#include "platform/Registry.h"
#include "support/FtpScriptServer.h"

namespace {

using Kind = ScriptedDialogs::Kind;

// Waits (on the server's thread) until the test says go, at most 10 s.
void WaitFor(const std::atomic<bool>& flag)
{
    for (int i = 0; i < 1000 && !flag; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class Desktop : public UploadTest {
protected:
    // The window shown and active, as the user sees it.
    std::unique_ptr<TForm1> ShowWindow(const QStringList& paths)
    {
        auto form = OpenWindow(paths);
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        // The start-up focus is set once the window is up; let it happen first.
        while (form->focusTimer->isActive())
            QTest::qWait(5);
        return form;
    }

    static QWidget* Focused() { return QApplication::focusWidget(); }
    static std::string FocusedName() { return Focused() ? Std(Focused()->objectName()) : "<none>"; }

    // Enter on whatever has the focus; `held` marks it as a repeat of a key
    // held down.
    static void PressEnter(bool held = false)
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), held);
        QApplication::sendEvent(Focused(), &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), held);
        QApplication::sendEvent(Focused(), &release);
    }

    // Opens the directory box's list from the keyboard (Alt+Down), then
    // closes it again.
    static void DropDown(TForm1& form)
    {
        form.dircmbox->setFocus();
        QTest::keyClick(Focused(), Qt::Key_Down, Qt::AltModifier);
        form.dircmbox->hidePopup();
    }

    // Runs `act` once, as soon as the display box shows a line starting with
    // `line`, while the window waits on the server.
    void WhenShown(TForm1& form, const QString& line, std::function<void()> act)
    {
        auto* timer = new QTimer(&form);
        QObject::connect(timer, &QTimer::timeout, &form, [&form, timer, line, act = std::move(act)] {
            const QStringList lines = form.DisplayMemo->toPlainText().split(u'\n');
            for (const QString& shown : lines)
                if (shown.startsWith(line)) {
                    timer->stop();
                    act();
                    return;
                }
        });
        timer->start(5);
    }

    // The server side of a log-in as user "u" with password "pw".
    static void LogIn(FtpScriptSession& s)
    {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
    }

    // The profile of the scripted server on the screen.
    static void FillFor(TForm1& form, const FtpScriptServer& server)
    {
        FillProfile(form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                    QStringLiteral("pw"));
    }

    // The server side of a log-in and one file stored in active mode; the
    // final reply waits until `go` is set.
    static void LogInAndStoreOneFile(FtpScriptSession& s, const std::atomic<bool>& go, bool withCwd = false)
    {
        LogIn(s);
        if (withCwd)
            s.Answer("250 directory changed");
        s.Answer("200 type set");
        std::string port;
        s.ReadCommand(port);
        s.ConnectActive(port);
        s.Reply("200 port ok");
        s.Answer("150 sending");
        s.ReceiveAllData();
        s.CloseData();
        WaitFor(go);
        s.Reply("226 stored");
        s.Answer("221 bye");
        s.WaitForClose();
    }
};

// Enter pressed OK; Enter again (or the same key held down) while the file
// goes up must not land on Cancel, which would drop the upload and quit.
TEST_F(Desktop, EnterDuringTheUploadNeitherCancelsNorQuits)
{
    std::atomic<bool> pressed{false};
    FtpScriptServer server([&](FtpScriptSession& s) { LogInAndStoreOneFile(s, pressed); });
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillFor(*form, server);
    form->OKBn->setFocus();
    ASSERT_EQ(Focused(), form->OKBn);

    std::string focusDuringJob;
    WhenShown(*form, QStringLiteral("> STOR"), [&] {
        focusDuringJob = FocusedName();
        PressEnter(/*held=*/true);
        PressEnter();
        pressed = true;
    });
    PressEnter();

    EXPECT_NE(focusDuringJob, "CancelBn");
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    EXPECT_TRUE(form->isVisible());
    std::vector<std::string> commands = server.Join();
    ASSERT_EQ(commands.size(), 6u);
    EXPECT_EQ(commands[3].rfind("PORT ", 0), 0u) << commands[3];
    commands.erase(commands.begin() + 3);
    EXPECT_EQ(commands, (std::vector<std::string>{"USER u", "PASS pw", "TYPE A", "STOR a.txt", "QUIT"}));
    EXPECT_EQ(FocusedName(), "OKBn") << "Enter starts the next try from where it started this one";
}

// After a failed log-in the box is closed with Enter; the next Enter is a
// second try, not a press of Cancel. A key held down tries nothing.
TEST_F(Desktop, AfterAFailedLogInEnterTriesAgain)
{
    const int unused = UnusedLoopbackPort();
    ASSERT_GT(unused, 0);
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::number(unused), QStringLiteral("u"), QStringLiteral("pw"));
    form->OKBn->setFocus();

    const std::string refused = "Cannot connect to 127.0.0.1\nconnection refused (is the port right?) (error 10061)";
    PressEnter();
    ASSERT_EQ(dialogs_.Texts(Kind::Message), std::vector<std::string>{refused});
    EXPECT_EQ(FocusedName(), "OKBn");

    PressEnter(/*held=*/true);
    EXPECT_EQ(dialogs_.Count(Kind::Message), 1) << "a key held down presses nothing more";

    PressEnter();
    EXPECT_EQ(dialogs_.Texts(Kind::Message), (std::vector<std::string>{refused, refused}));
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(FocusedName(), "OKBn");
}

// What the user does in the profile box, and what the box and the address
// show afterwards. Saved: "demo" (demo.example.org) and "other".
struct ProfileBoxCase {
    const char* label;
    bool demoRemembered; // "demo" is the last profile used
    std::function<void(TForm1&)> keys;
    const char* profile;
    const char* address;
};

void PrintTo(const ProfileBoxCase& c, std::ostream* os)
{
    *os << c.label;
}

class ProfileBox : public Desktop, public ::testing::WithParamInterface<ProfileBoxCase> { };

void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(QApplication::focusWidget(), key, modifiers);
}
void Type(const char* text)
{
    QTest::keyClicks(QApplication::focusWidget(), QString::fromUtf8(text));
}

TEST_P(ProfileBox, LoadsAProfileOnlyWhenAnEntryIsPicked)
{
    const ProfileBoxCase& c = GetParam();
    {
        TRegistry registry;
        for (const char* name : {"demo", "other"}) {
            ASSERT_TRUE(registry.OpenKey(std::string("Software\\Parcelo\\Hosts\\") + name, true));
            registry.WriteString("address", std::string(name) + ".example.org");
            registry.WriteString("username", std::string(name) + "-user");
            registry.CloseKey();
        }
        if (c.demoRemembered) {
            ASSERT_TRUE(registry.OpenKey("Software\\Parcelo\\Hosts", true));
            registry.WriteString("lasthost", "demo");
        }
    }
    auto form = ShowWindow({MakeFile("a.txt", "a")});
    form->hostcmbox->setFocus();

    c.keys(*form);

    EXPECT_EQ(Std(form->hostcmbox->currentText()), c.profile);
    EXPECT_EQ(Std(form->addressedit->text()), c.address);
}

INSTANTIATE_TEST_SUITE_P(Table, ProfileBox,
                         ::testing::Values(ProfileBoxCase{"PrefixAndEnter", false,
                                                          [](TForm1&) {
                                                              Type("de");
                                                              Key(Qt::Key_Return);
                                                          },
                                                          "de", ""},
                                           ProfileBoxCase{"OtherCaseAndTab", false,
                                                          [](TForm1&) {
                                                              Type("DEMO");
                                                              Key(Qt::Key_Tab);
                                                          },
                                                          "DEMO", ""},
                                           ProfileBoxCase{"WholeNameAndTab", false,
                                                          [](TForm1&) {
                                                              Type("demo");
                                                              Key(Qt::Key_Tab);
                                                          },
                                                          "demo", ""},
                                           ProfileBoxCase{"EditedAddressThenTabThroughTheProfileBox", true,
                                                          [](TForm1& form) {
                                                              form.addressedit->setFocus();
                                                              Key(Qt::Key_A, Qt::ControlModifier);
                                                              Type("new.example.org");
                                                              Key(Qt::Key_Backtab); // back into the profile box
                                                              Key(Qt::Key_Tab);     // and on
                                                          },
                                                          "demo", "new.example.org"},
                                           ProfileBoxCase{"ArrowKeyPicksTheNextEntry", false,
                                                          [](TForm1&) { Key(Qt::Key_Down); }, "demo",
                                                          "demo.example.org"}),
                         [](const auto& test) { return std::string(test.param.label); });

// Emptying the directory lists (the profile changed) keeps the directory the
// user typed.
struct KeepDirectoryCase {
    const char* label;
    std::function<void(TForm1&, ScriptedDialogs&)> act;
};

void PrintTo(const KeepDirectoryCase& c, std::ostream* os)
{
    *os << c.label;
}

class KeepDirectory : public Desktop, public ::testing::WithParamInterface<KeepDirectoryCase> { };

TEST_P(KeepDirectory, WhenTheListsAreEmptied)
{
    {
        // "keep" chose a sub-directory without naming one; "gone" is deleted.
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("Software\\Parcelo\\Hosts\\keep", true));
        registry.WriteString("address", "127.0.0.1");
        registry.WriteBool("insub", true);
        registry.CloseKey();
        ASSERT_TRUE(registry.OpenKey("Software\\Parcelo\\Hosts\\gone", true));
        registry.WriteString("address", "127.0.0.1");
        registry.CloseKey();
        ASSERT_TRUE(registry.OpenKey("Software\\Parcelo\\Hosts", true));
        registry.WriteString("lasthost", "gone");
    }
    auto form = ShowWindow({MakeFile("a.txt", "a")});
    SetSubdirectory(*form, QStringLiteral("pub"));
    // As a listing of "pub" left them.
    form->dircmbox->addItem(QStringLiteral("pub/incoming"));
    form->dircmbox->addItem(QStringLiteral("pub/releases"));
    form->dir_record << QStringLiteral("pub");
    form->dircmbox->setEditText(QStringLiteral("pub"));

    GetParam().act(*form, dialogs_);

    EXPECT_EQ(form->dircmbox->count(), 0);
    EXPECT_TRUE(form->dir_record.isEmpty());
    EXPECT_EQ(Std(form->dircmbox->currentText()), "pub");
}

INSTANTIATE_TEST_SUITE_P(Table, KeepDirectory,
                         ::testing::Values(KeepDirectoryCase{"TypingInTheProfileBox",
                                                             [](TForm1& form, ScriptedDialogs&) {
                                                                 form.hostcmbox->setFocus();
                                                                 Type("x");
                                                             }},
                                           KeepDirectoryCase{"DeletingAProfile",
                                                             [](TForm1& form, ScriptedDialogs& dialogs) {
                                                                 dialogs.Answer(DialogAnswer::Yes);
                                                                 QTest::mouseClick(form.deletebn, Qt::LeftButton);
                                                             }}),
                         [](const auto& test) { return std::string(test.param.label); });

// Dropping the directory box down while a file goes up leaves the upload
// alone: the session is busy.
TEST_F(Desktop, DropDownDuringAnUploadLeavesItAlone)
{
    std::atomic<bool> clicked{false};
    FtpScriptServer server([&](FtpScriptSession& s) { LogInAndStoreOneFile(s, clicked, /*withCwd=*/true); });
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillFor(*form, server);
    SetSubdirectory(*form, QStringLiteral("pub"));
    form->OwnFolder = Std(MakeFolder(QStringLiteral("bin"))) + "/";

    WhenShown(*form, QStringLiteral("> STOR"), [&] {
        DropDown(*form);
        clicked = true;
    });
    QTest::mouseClick(form->OKBn, Qt::LeftButton);

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    const std::vector<std::string> commands = server.Join();
    EXPECT_EQ(commands.back(), "QUIT");
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "CWD pub"), 1);
    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_EQ(dialogs_.Log().size(), 1u) << "a beep and nothing else";
}

// OK while the directory box waits for its listing leaves the listing
// alone: the session is busy.
TEST_F(Desktop, OKDuringAListingLeavesItAlone)
{
    std::atomic<bool> clicked{false};
    FtpScriptServer server([&](FtpScriptSession& s) {
        LogIn(s);
        std::string port;
        s.ReadCommand(port);
        s.ConnectActive(port);
        s.Reply("200 port ok");
        s.Answer("150 listing");
        s.SendData("total 1\r\ndrwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 incoming\r\n");
        s.CloseData();
        WaitFor(clicked);
        s.Reply("226 done");
        s.WaitForClose();
    });
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillFor(*form, server);
    SetSubdirectory(*form, QString());
    form->OwnFolder = Std(MakeFolder(QStringLiteral("bin"))) + "/";

    WhenShown(*form, QStringLiteral("> LIST"), [&] {
        QTest::mouseClick(form->OKBn, Qt::LeftButton);
        clicked = true;
    });
    DropDown(*form);

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "Directory list received");
    EXPECT_EQ(form->dircmbox->count(), 1);
    EXPECT_TRUE(MemoLines(*form, {"> STOR", "> TYPE"}).empty());
    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_TRUE(form->FTP->Connected()) << "the listing's session stays open for the upload";
    (void)form->FTP->Abort();
    server.Join();
}

// A server that takes the log-in and hangs up with its last reply leaves
// no session: the picker says it could not connect, not that the listing
// failed.
TEST_F(Desktop, PickerReportsALogInThatLeftNoSessionAsOne)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        // The reply to USER comes with the greeting, and the close right after.
        s.Send("220 ready\r\n230 no password needed\r\n");
        s.CloseControl();
    });
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillFor(*form, server);
    SetSubdirectory(*form, QString());
    form->OwnFolder = Std(MakeFolder(QStringLiteral("bin"))) + "/";

    DropDown(*form);

    server.Join();
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "Cannot connect to 127.0.0.1: the server closed the connection");
    EXPECT_TRUE(MemoLines(*form, {"> LIST", "> PORT"}).empty());
}

// Closing the window while the list is fetched: the list does not open
// afterwards over a window that is gone.
TEST_F(Desktop, ClosingDuringAListingOpensNoList)
{
    std::atomic<bool> closed{false};
    FtpScriptServer server([&](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        WaitFor(closed);
        s.Reply("230 logged in");
        s.WaitForClose();
    });
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillFor(*form, server);
    SetSubdirectory(*form, QString());
    form->OwnFolder = Std(MakeFolder(QStringLiteral("bin"))) + "/";
    // Items of an earlier listing: a list without items never opens.
    form->dircmbox->addItem(QStringLiteral("docs"));
    WhenShown(*form, QStringLiteral("> PASS"), [&] {
        QTest::mouseClick(form->ExitBn, Qt::LeftButton);
        closed = true;
    });

    form->dircmbox->setFocus();
    QTest::keyClick(Focused(), Qt::Key_Down, Qt::AltModifier);

    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->dircmbox->view()->isVisible());
    (void)form->FTP->Abort();
    server.Join();
}

// A file whose name is not valid UTF-8 goes up under its own bytes, with
// its contents, and the files after it go up too.
TEST_F(Desktop, NameThatIsNotUtf8IsStoredUnderItsOwnBytes)
{
    const QByteArray latin1 = QFile::encodeName(dir_.path()) + "/caf\xe9.bin";
    std::ofstream(latin1.constData(), std::ios::binary) << "caf\xe9 contents";
    const QByteArray after = QFile::encodeName(MakeFile("b.bin", "b"));
    std::vector<std::string> received;
    FtpScriptServer server([&](FtpScriptSession& s) {
        LogIn(s);
        s.Answer("200 type set");
        for (int file = 0; file < 2; ++file) {
            std::string port;
            s.ReadCommand(port);
            s.ConnectActive(port);
            s.Reply("200 port ok");
            s.Answer("150 sending");
            received.push_back(s.ReceiveAllData());
            s.CloseData();
            s.Reply("226 stored");
            // The size check after a binary file: a server without SIZE.
            s.Answer("502 SIZE not implemented");
        }
        s.Answer("221 bye");
        s.WaitForClose();
    });
    TForm1 form(QList<QByteArray>{"/usr/bin/parcelo", latin1, after});
    form.ApplicationIsActive = [] { return true; };
    form.state.passiveMode = false;
    FillFor(form, server);
    ASSERT_EQ(Std(form.fileList->topLevelItem(0)->text(0)), "caf\xC3\xA9.bin") << "shown readably";

    form.OKBn->click();

    EXPECT_EQ(Std(form.statusBar->PanelText(1)), "File transfer completed") << Std(form.DisplayMemo->toPlainText());
    const std::vector<std::string> commands = server.Join();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STOR caf\xe9.bin"), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "STOR b.bin"), 1);
    EXPECT_EQ(received, (std::vector<std::string>{"caf\xe9 contents", "b"}));
}

// Every field is named for a screen reader by its label; the two picture
// buttons by their hints.
TEST_F(Desktop, EveryControlHasAnAccessibleName)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    const std::pair<QWidget*, const char*> table[] = {
        {form->fileList, "Send File(s)"},  {form->hostcmbox, "To Remote Host"}, {form->addressedit, "Address"},
        {form->portedit, "Port"},          {form->useredit, "Username"},        {form->passedit, "Password"},
        {form->dircmbox, "Sub-directory"}, {form->newbn, "New profile"},        {form->deletebn, "Delete profile"},
    };
    for (const auto& [widget, name] : table) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr) << name;
        EXPECT_EQ(Std(accessible->text(QAccessible::Name)), name) << Std(widget->objectName());
    }
}

} // namespace
