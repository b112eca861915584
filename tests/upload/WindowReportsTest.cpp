// The window says what happened: every selected file accounted for, every
// failed log-in with its reason, the speed and time left of a transfer, a
// pasted address taken apart, passive mode on a fresh store. The window is
// shown and driven through its input where a user would act.

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QTest>

#include <atomic>

#include "UploadFixture.h"
#include "app/FileList.h"
#include "support/FtpScriptServer.h"

namespace {

using Kind = ScriptedDialogs::Kind;

class WindowReports : public UploadTest {
protected:
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

    // Presses OK from the keyboard: the focus on it, then Enter.
    static void PressOK(TForm1& form)
    {
        form.OKBn->setFocus();
        QTest::keyClick(Focused(), Qt::Key_Return);
    }

    // Logs "u" in, then answers TYPE, PASV and STOR (receiving each file
    // whole) until QUIT. `received` gets each file's bytes in order.
    static void LogInAndStoreAll(FtpScriptSession& s, std::vector<std::string>* received = nullptr,
                                 std::int64_t bytesPerSecond = 0, std::atomic<std::int64_t>* progress = nullptr)
    {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        std::string command;
        while (s.ReadCommand(command)) {
            if (command.rfind("TYPE", 0) == 0) {
                s.Reply("200 type set");
            } else if (command == "PASV") {
                s.Reply(s.OpenPassive(bytesPerSecond > 0 ? 8192 : 0));
            } else if (command.rfind("STOR", 0) == 0) {
                if (!s.AcceptData())
                    return;
                s.Reply("150 go ahead");
                std::string data =
                    bytesPerSecond > 0 ? s.ReceiveAllDataSlowly(bytesPerSecond, *progress) : s.ReceiveAllData();
                if (received)
                    received->push_back(std::move(data));
                s.CloseData();
                s.Reply("226 stored");
            } else if (command == "QUIT") {
                s.Reply("221 bye");
                s.WaitForClose();
                return;
            } else {
                s.Reply("502 not here");
            }
        }
    }
};

// The selection of the report: a file that went missing between the
// selection and the start, and a folder. Every file after the missing one
// still goes, and the status counts what did not.
TEST_F(WindowReports, EveryFileIsAccountedForAndTheCountSaysWhatWasNotSent)
{
    std::vector<std::string> received;
    FtpScriptServer server([&](FtpScriptSession& s) { LogInAndStoreAll(s, &received); });
    auto form = ShowWindow({MakeFile("empty.txt", ""), MakeFolder("Holiday pictures"), MakeFile("photo.png", "png"),
                            Path("missing-file.doc"), MakeFile("part-a.bin", "part a")});
    ASSERT_EQ(dialogs_.Texts(Kind::Error), std::vector<std::string>{"missing-file.doc: file not found"});
    ASSERT_EQ(form->fileList->topLevelItemCount(), 5);
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                QStringLiteral("pw"));
    form->state.passiveMode = true;

    PressOK(*form);

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "3 of 5 files sent \u2014 1 not found, 1 folder skipped")
        << Std(form->DisplayMemo->toPlainText());
    server.Join();
    EXPECT_EQ(MemoLines(*form, {"> STOR"}),
              (std::vector<std::string>{"> STOR empty.txt", "> STOR photo.png", "> STOR part-a.bin"}));
    EXPECT_EQ(received, (std::vector<std::string>{"", "png", "part a"}));
}

struct LoginFailureCase {
    const char* label;
    // The server's side; none: nothing listens at the port.
    std::function<void(FtpScriptSession&)> script;
    const char* address;
    const char* reason; // the message's second line
};

void PrintTo(const LoginFailureCase& c, std::ostream* os)
{
    *os << c.label;
}

class LoginFailure : public WindowReports, public ::testing::WithParamInterface<LoginFailureCase> { };

TEST_P(LoginFailure, SaysWhyOnASecondLine)
{
    const LoginFailureCase& c = GetParam();
    std::unique_ptr<FtpScriptServer> server;
    int port = 0;
    if (c.script) {
        server = std::make_unique<FtpScriptServer>(c.script);
        port = server->Port();
    } else {
        port = UnusedLoopbackPort();
        ASSERT_GT(port, 0);
    }
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    FillProfile(*form, QString::fromUtf8(c.address), QString::number(port), QStringLiteral("u"), QStringLiteral("pw"));
    // A server that never answers is given up on after a second.
    form->FTP->SetTimeout(1);

    PressOK(*form);

    EXPECT_EQ(dialogs_.Texts(Kind::Message),
              std::vector<std::string>{"Cannot connect to " + std::string(c.address) + "\n" + c.reason});
    EXPECT_TRUE(form->OKBn->isEnabled());
    if (server)
        server->Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LoginFailure,
    ::testing::Values(
        LoginFailureCase{"WrongPassword",
                         [](FtpScriptSession& s) {
                             s.Reply("220 ready");
                             s.Answer("331 password please");
                             s.Answer("530 Authentication failed");
                             s.WaitForClose();
                         },
                         "127.0.0.1", "The server refused the log-in: 530 Authentication failed"},
        LoginFailureCase{"NameNotFound", nullptr, "no-such-host.invalid", "host name not found (error 11001)"},
        // On a secured address too: the name look-up is no TLS matter.
        LoginFailureCase{"SecuredNameNotFound", nullptr, "ftpes://no-such-host.invalid",
                         "host name not found (error 11001)"},
        LoginFailureCase{"ClosedPort", nullptr, "127.0.0.1", "connection refused (is the port right?) (error 10061)"},
        LoginFailureCase{"NoGreeting", [](FtpScriptSession& s) { s.WaitForClose(); }, "127.0.0.1",
                         "no answer within 1 s"}),
    [](const auto& test) { return std::string(test.param.label); });

// A slow upload: after its first second the status bar shows the bytes
// sent of the file's size, the speed and the time left, and the bar tells
// screen readers the same. The clock is the test's: a quarter of a second
// passes between two looks.
TEST_F(WindowReports, SlowUploadShowsBytesSpeedAndTimeLeft)
{
    std::atomic<std::int64_t> progress{0};
    FtpScriptServer server([&](FtpScriptSession& s) { LogInAndStoreAll(s, nullptr, 4000000, &progress); });
    auto form = ShowWindow({MakeFile("big.bin", BinaryBytes(3000000))});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                QStringLiteral("pw"));
    form->state.passiveMode = true;
    std::int64_t now = 0;
    std::vector<std::string> shown;
    std::vector<std::string> spoken;
    TForm1* window = form.get();
    form->MonotonicMs = [&, window] {
        shown.push_back(Std(window->statusBar->PanelText(1)));
        spoken.push_back(Std(window->progressBar->accessibleDescription()));
        return now += 250;
    };

    PressOK(*form);

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    server.Join();
    // Looks at 250 ms steps: the first after the start of the file is at
    // the 250 ms mark; speed and time left appear from the 1,000 ms mark on.
    const QRegularExpression early(QStringLiteral("^Sending big\\.bin \u2014 [0-9.]+ (B|kB|MB) of 3\\.0 MB$"));
    const QRegularExpression settled(
        QStringLiteral("^Sending big\\.bin \u2014 [0-9.]+ (B|kB|MB) of 3\\.0 MB, [0-9.]+ (B|kB|MB)/s, "
                       "([0-9]+ min )?[0-9]+ s left$"));
    std::size_t earlyCount = 0, settledCount = 0;
    for (const std::string& text : shown) {
        const QString t = QString::fromStdString(text);
        earlyCount += early.match(t).hasMatch();
        if (settled.match(t).hasMatch()) {
            ++settledCount;
            EXPECT_GE(earlyCount, 1u) << "speed shown before the first second: " << text;
        }
    }
    EXPECT_GE(settledCount, 1u) << ::testing::PrintToString(shown);
    EXPECT_TRUE(std::any_of(spoken.begin(), spoken.end(), [](const std::string& s) {
        return s.find("/s, ") != std::string::npos;
    })) << "the bar's description for screen readers";
    EXPECT_EQ(Std(form->progressBar->accessibleDescription()), "") << "cleared after the file";
}

struct AddressCase {
    const char* label;
    const char* typed;
    bool paste; // pasted (Ctrl+V) rather than typed and left with Tab
    const char* address;
    const char* port;
    const char* directory; // empty: the log-in directory stays chosen
};

void PrintTo(const AddressCase& c, std::ostream* os)
{
    *os << c.label;
}

class PastedAddress : public WindowReports, public ::testing::WithParamInterface<AddressCase> { };

TEST_P(PastedAddress, IsTakenApartIntoAddressPortAndDirectory)
{
    const AddressCase& c = GetParam();
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    form->hostcmbox->setEditText(QStringLiteral("test"));
    form->addressedit->setFocus();
    ASSERT_EQ(Focused(), form->addressedit);
    if (c.paste) {
        QApplication::clipboard()->setText(QString::fromUtf8(c.typed));
        QTest::keyClick(Focused(), Qt::Key_V, Qt::ControlModifier);
    } else {
        QTest::keyClicks(Focused(), QString::fromUtf8(c.typed));
        QTest::keyClick(Focused(), Qt::Key_Tab);
    }

    EXPECT_EQ(Std(form->addressedit->text()), c.address);
    EXPECT_EQ(Std(form->portedit->text()), c.port);
    EXPECT_EQ(form->subdirRadio->isChecked(), c.directory[0] != '\0');
    EXPECT_EQ(Std(form->dircmbox->currentText()), c.directory);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, PastedAddress,
    ::testing::Values(
        AddressCase{"PlainWithPortAndPath", "ftp://127.0.0.1:30777/pub", true, "ftp://127.0.0.1", "30777", "pub"},
        AddressCase{"TypedThenLeft", "ftp://127.0.0.1:30777/pub", false, "ftp://127.0.0.1", "30777", "pub"},
        AddressCase{"ExplicitTlsDeepPath", "ftpes://ftp.example.org/pub/in%20coming/", true, "ftpes://ftp.example.org",
                    "21", "pub/in coming"},
        AddressCase{"ImplicitTlsGetsItsPort", "ftps://ftp.example.org", true, "ftps://ftp.example.org", "990", ""},
        AddressCase{"ImplicitTlsTypedGetsItsPort", "ftps://ftp.example.org", false, "ftps://ftp.example.org", "990",
                    ""},
        AddressCase{"BareHostStaysAsItIs", "ftp.example.org", true, "ftp.example.org", "21", ""},
        // An sftp: URL's path starts at the server's root; "/~/" at the
        // log-in (home) directory.
        AddressCase{"SftpWithUserPortAndPath", "sftp://alice@127.0.0.1:2222/srv/in", true, "sftp://127.0.0.1", "2222",
                    "/srv/in"},
        AddressCase{"SftpHomeRelativePath", "sftp://example.org/~/up/", false, "sftp://example.org", "22", "up"},
        AddressCase{"SftpGetsItsPort", "sftp://example.org", true, "sftp://example.org", "22", ""}),
    [](const auto& test) { return std::string(test.param.label); });

// The port follows the prefix only while it holds the usual port of the
// other kind; a port the user typed stays.
TEST_F(WindowReports, PortFollowsThePrefixUnlessTheUserTypedIt)
{
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    form->addressedit->setFocus();
    QTest::keyClicks(Focused(), QStringLiteral("ftps://h"));
    EXPECT_EQ(Std(form->portedit->text()), "990");
    // Back to explicit TLS: "ftps" becomes "ftpes".
    for (int i = 0; i < 8; ++i)
        QTest::keyClick(Focused(), Qt::Key_Backspace);
    QTest::keyClicks(Focused(), QStringLiteral("ftpes://h"));
    EXPECT_EQ(Std(form->portedit->text()), "21");

    QTest::keyClick(Focused(), Qt::Key_Tab);
    ASSERT_EQ(Focused(), form->portedit);
    QTest::keyClick(Focused(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Focused(), QStringLiteral("2121"));
    form->addressedit->setFocus();
    QTest::keyClick(Focused(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Focused(), QStringLiteral("ftps://h"));
    EXPECT_EQ(Std(form->portedit->text()), "2121");
}

// sftp:// takes 22 from 21 or 990 and gives it back; a port a profile
// brought stays unless the prefix changes, and an unusual one stays even
// then.
TEST_F(WindowReports, PortFollowsTheSftpPrefixBothWays)
{
    auto form = ShowWindow({MakeFile("a.txt", "a\n")});
    form->addressedit->setFocus();
    QTest::keyClicks(Focused(), QStringLiteral("sftp://h"));
    EXPECT_EQ(Std(form->portedit->text()), "22");
    for (int i = 0; i < 8; ++i)
        QTest::keyClick(Focused(), Qt::Key_Backspace);
    EXPECT_EQ(Std(form->portedit->text()), "21");
    QTest::keyClicks(Focused(), QStringLiteral("ftps://h"));
    EXPECT_EQ(Std(form->portedit->text()), "990");
    QTest::keyClick(Focused(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Focused(), QStringLiteral("sftp://h"));
    EXPECT_EQ(Std(form->portedit->text()), "22");

    // As a loaded profile sets it: not typed, not a usual port.
    form->portedit->setText(QStringLiteral("2222"));
    QTest::keyClick(Focused(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(Focused(), QStringLiteral("ftp://h"));
    EXPECT_EQ(Std(form->portedit->text()), "2222");
    // A profile for an FTP server on port 22: editing its host name is no
    // change of prefix.
    form->portedit->setText(QStringLiteral("22"));
    QTest::keyClick(Focused(), Qt::Key_End);
    QTest::keyClicks(Focused(), QStringLiteral("ost"));
    EXPECT_EQ(Std(form->addressedit->text()), "ftp://host");
    EXPECT_EQ(Std(form->portedit->text()), "22");
}

struct PassiveCase {
    const char* label;
    int stored; // -1: a fresh store
    bool passive;
};

void PrintTo(const PassiveCase& c, std::ostream* os)
{
    *os << c.label;
}

class FreshStore : public UploadTest, public ::testing::WithParamInterface<PassiveCase> { };

TEST_P(FreshStore, StartsInPassiveModeAndKeepsAStoredChoice)
{
    const PassiveCase& c = GetParam();
    if (c.stored >= 0) {
        auto first = std::make_unique<TForm1>(QStringList{QStringLiteral("/usr/bin/parcelo"), MakeFile("a.txt", "a")});
        first->hostcmbox->setEditText(QStringLiteral("saved")); // nothing is saved without a profile
        first->state.passiveMode = c.stored == 1;
        first->writereg();
    }
    TForm1 form(QStringList{QStringLiteral("/usr/bin/parcelo"), MakeFile("b.txt", "b")});
    EXPECT_EQ(form.state.passiveMode, c.passive);
}

INSTANTIATE_TEST_SUITE_P(Stores, FreshStore,
                         ::testing::Values(PassiveCase{"Fresh", -1, true}, PassiveCase{"StoredActive", 0, false},
                                           PassiveCase{"StoredPassive", 1, true}),
                         [](const auto& test) { return std::string(test.param.label); });

} // namespace
