// The OK button's job end to end, against a real pyftpdlib server (and a
// scripted one where the server must misbehave on cue).

#include <QTimer>

#include <filesystem>

#include "UploadFixture.h"
#include "support/FtpRealServers.h"
#include "support/FtpScriptServer.h"

namespace {

using Kind = ScriptedDialogs::Kind;

class UploadJob : public UploadTest {
protected:
    void SetUp() override
    {
        UploadTest::SetUp();
        std::string whyNot;
        server_ = StartPyftpdlib(whyNot);
        ASSERT_TRUE(server_) << whyNot;
    }

    // The profile of the test server, uploading into its upload folder.
    void ForServer(TForm1& form, const QString& dir = QStringLiteral("upload"))
    {
        FillProfile(form, QString::fromStdString(server_->Host()), QString::fromStdString(server_->PortText()),
                    QString::fromStdString(server_->User()), QString::fromStdString(server_->Password()));
        if (!dir.isEmpty())
            SetSubdirectory(form, dir);
    }

    std::string Stored(const std::string& name) const { return server_->StoredPath(name); }

    std::unique_ptr<FtpRealServer> server_;
};

TEST_F(UploadJob, StoresEveryFileByteForByteInItsRowsType)
{
    const QByteArray text = "first line\nsecond line\n";
    const QByteArray bytes1 = BinaryBytes(5000), bytes2 = BinaryBytes(70000), text2 = "x\ny\n";
    auto form = OpenWindow(
        {MakeFile("a.txt", text), MakeFile("b.bin", bytes1), MakeFile("c.bin", bytes2), MakeFile("d.txt", text2)});
    ForServer(*form);
    SetAscii(*form, {true, false, false, true});

    form->OKBn->click();

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(ReadAll(Stored("a.txt")), text);
    EXPECT_EQ(ReadAll(Stored("b.bin")), bytes1);
    EXPECT_EQ(ReadAll(Stored("c.bin")), bytes2);
    EXPECT_EQ(ReadAll(Stored("d.txt")), text2);
    // The type goes out for the first file of the session, then only when it
    // changes.
    EXPECT_EQ(MemoLines(*form, {"> TYPE", "> STOR"}),
              (std::vector<std::string>{"> TYPE A", "> STOR a.txt", "> TYPE I", "> STOR b.bin", "> STOR c.bin",
                                        "> TYPE A", "> STOR d.txt"}));
    EXPECT_EQ(MemoLines(*form, {"> PORT", "> PASV"}).size(), 4u);
    EXPECT_TRUE(MemoLines(*form, {"> PASV"}).empty()) << "passive mode is off";
    EXPECT_EQ(MemoLines(*form, {"> QUIT"}).size(), 1u);
    EXPECT_EQ(Std(form->statusBar->PanelText(0)), "");
    EXPECT_EQ(dialogs_.Log().size(), 0u);
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_FALSE(form->FTP->Connected());
}

// A new session starts in ascii whatever the last job left in Binary; a job
// that ended on a binary file must not send the next job's first binary
// file without "TYPE I".
TEST_F(UploadJob, FirstBinaryFileAfterANewLogInIsSentAsBinary)
{
    const QByteArray bytes = BinaryBytes(3000);
    auto form = OpenWindow({MakeFile("x.bin", bytes), MakeFile("y.bin", bytes)});
    ForServer(*form);
    SetAscii(*form, {false, false});
    form->state.passiveMode = true;

    form->OKBn->click();
    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    std::filesystem::remove(Stored("x.bin"));
    std::filesystem::remove(Stored("y.bin"));

    form->OKBn->click();

    EXPECT_EQ(ReadAll(Stored("x.bin")), bytes);
    EXPECT_EQ(ReadAll(Stored("y.bin")), bytes);
    EXPECT_EQ(
        MemoLines(*form, {"> USER", "> TYPE", "> PASV", "> STOR"}),
        (std::vector<std::string>{"> USER parcelo", "> TYPE I", "> PASV", "> STOR x.bin", "> PASV", "> STOR y.bin",
                                  "> USER parcelo", "> TYPE I", "> PASV", "> STOR x.bin", "> PASV", "> STOR y.bin"}));
}

// The job stops at a missing directory when the user says No, with the
// session left open; the next OK reuses that session, and Yes creates the
// directory and stores into it.
TEST_F(UploadJob, MissingDirectoryIsCreatedOnlyWhenTheUserSaysYes)
{
    auto form = OpenWindow({MakeFile("a.txt", "abc\n")});
    ForServer(*form, QStringLiteral("upload/new"));
    const std::string question = "Cannot change directory to upload/new, do you want to create this directory first?";

    dialogs_.Answer(DialogAnswer::No);
    form->OKBn->click();
    EXPECT_EQ(dialogs_.Texts(Kind::Question), std::vector<std::string>{question});
    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_TRUE(form->FTP->Connected());
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_TRUE(FocusOn(*form, form->dircmbox));
    EXPECT_TRUE(MemoLines(*form, {"> MKD", "> STOR"}).empty());

    dialogs_.Clear();
    dialogs_.Answer(DialogAnswer::Yes);
    form->OKBn->click();
    EXPECT_EQ(dialogs_.Texts(Kind::Question), std::vector<std::string>{question});
    EXPECT_EQ(MemoLines(*form, {"> USER"}).size(), 1u) << "the open session is used again";
    EXPECT_EQ(MemoLines(*form, {"> CWD", "> MKD", "> STOR"}),
              (std::vector<std::string>{"> CWD upload/new", "> CWD upload/new", "> MKD upload/new", "> CWD upload/new",
                                        "> STOR a.txt"}));
    EXPECT_EQ(ReadAll(server_->Root() + "/upload/new/a.txt"), "abc\n");
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
}

TEST_F(UploadJob, DirectoryThatCannotBeCreatedStopsWithABeepAndKeepsTheSession)
{
    auto form = OpenWindow({MakeFile("a.txt", "abc\n")});
    ForServer(*form, QStringLiteral("no/such/parent"));
    dialogs_.Answer(DialogAnswer::Yes);

    form->OKBn->click();

    EXPECT_EQ(dialogs_.Count(Kind::Question), 1);
    EXPECT_EQ(dialogs_.Count(Kind::Message), 0);
    EXPECT_EQ(dialogs_.Beeps(), 2);
    EXPECT_TRUE(form->FTP->Connected());
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_TRUE(MemoLines(*form, {"> STOR"}).empty());
}

// A file the server refuses (its name is taken by a folder there).
struct FileFailureCase {
    const char* name;
    std::vector<const char*> files;
    const char* refused;
    bool answerYes;       // the answer to the question, when one is asked
    const char* question; // expected question, or nullptr
    const char* message;  // expected message, or nullptr
    const char* status;
    bool lastStored; // the last file reached the server
    bool okEnabled;
};

void PrintTo(const FileFailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadFileFailure : public UploadJob, public ::testing::WithParamInterface<FileFailureCase> { };

TEST_P(UploadFileFailure, AsksOrReportsAndStopsOrGoesOn)
{
    const FileFailureCase& c = GetParam();
    QStringList paths;
    for (const char* file : c.files)
        paths << MakeFile(QString::fromLatin1(file), "data\n");
    auto form = OpenWindow(paths);
    ForServer(*form);
    std::filesystem::create_directories(Stored(c.refused));
    if (c.question)
        dialogs_.Answer(c.answerYes ? DialogAnswer::Yes : DialogAnswer::No);

    form->OKBn->click();

    EXPECT_EQ(dialogs_.Texts(Kind::Question),
              c.question ? std::vector<std::string>{c.question} : std::vector<std::string>{});
    EXPECT_EQ(dialogs_.Texts(Kind::Message),
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), c.status);
    EXPECT_EQ(ReadAll(Stored(c.files.back())) == "data\n", c.lastStored);
    EXPECT_EQ(form->OKBn->isEnabled(), c.okEnabled);
    EXPECT_FALSE(form->FTP->Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadFileFailure,
    ::testing::Values(FileFailureCase{"MiddleFileYesGoesOn",
                                      {"a.txt", "b.txt", "c.txt"},
                                      "b.txt",
                                      true,
                                      "Cannot send b.txt to remote host. Do you want to try the rest?",
                                      nullptr,
                                      "2 of 3 files sent \u2014 1 failed",
                                      true,
                                      true},
                      FileFailureCase{"MiddleFileNoAborts",
                                      {"a.txt", "b.txt", "c.txt"},
                                      "b.txt",
                                      false,
                                      "Cannot send b.txt to remote host. Do you want to try the rest?",
                                      nullptr,
                                      "File transfer aborted",
                                      false,
                                      false},
                      FileFailureCase{"LastFileIsReported",
                                      {"a.txt", "b.txt"},
                                      "b.txt",
                                      false,
                                      nullptr,
                                      "Cannot send b.txt to remote host",
                                      "File transfer aborted",
                                      false,
                                      false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UploadJob, ReusesTheSessionLeftOpenAndLogsInOnlyOnce)
{
    auto form = OpenWindow({MakeFile("a.txt", "abc\n")});
    ForServer(*form);
    form->FTP->SetHostName(server_->Host());
    form->FTP->SetPort(server_->PortText());
    form->FTP->SetUserName(server_->User());
    form->FTP->SetPassWord(server_->Password());
    ASSERT_TRUE(form->FTP->Connect());

    form->OKBn->click();

    EXPECT_EQ(MemoLines(*form, {"> USER"}).size(), 1u);
    EXPECT_EQ(ReadAll(Stored("a.txt")), "abc\n");
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
}

// The bar counts bytes up to 60,000 and thousands above that.
TEST_F(UploadJob, ScalesTheProgressBarToTheFileSize)
{
    auto form = OpenWindow({MakeFile("exact.bin", BinaryBytes(60000)), MakeFile("over.bin", BinaryBytes(61000))});
    ForServer(*form);
    struct Seen {
        int maximum;
        int scale;
        QString lastPercent;
    };
    std::vector<Seen> seen;
    auto shown = form->FTP->OnProgress;
    form->FTP->OnProgress = [&](TObject* sender, std::int64_t count, bool& abort) {
        shown(sender, count, abort);
        if (seen.empty() || seen.back().maximum != form->progressBar->maximum())
            seen.push_back({form->progressBar->maximum(), form->ProgressScale, {}});
        seen.back().lastPercent = form->statusBar->PanelText(0);
    };

    form->OKBn->click();

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].maximum, 60000);
    EXPECT_EQ(seen[0].scale, 0);
    EXPECT_EQ(Std(seen[0].lastPercent), "100%");
    EXPECT_EQ(seen[1].maximum, 61);
    EXPECT_EQ(seen[1].scale, 1);
    EXPECT_EQ(Std(seen[1].lastPercent), "100%");
    EXPECT_EQ(form->progressBar->value(), 0);
    EXPECT_EQ(Std(form->statusBar->PanelText(0)), "");
}

// With the exit option the window closes after a completed job, and the
// settings are saved.
TEST_F(UploadJob, ExitOptionClosesTheWindowAfterACompletedJob)
{
    for (bool exitWhenDone : {false, true}) {
        SCOPED_TRACE(exitWhenDone ? "exit on" : "exit off");
        SetTerminating(false);
        auto form = OpenWindow({MakeFile("a.txt", "abc\n")});
        ForServer(*form);
        form->state.exitWhenDone = exitWhenDone;

        form->OKBn->click();

        EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
        // Closing the main window is what marks the program as terminating.
        EXPECT_EQ(IsTerminating(), exitWhenDone);
        EXPECT_TRUE(form->OKBn->isEnabled());
    }
}

// The job never sends a text with a line break in it: the server would
// take the rest of the line as a command of its own.
struct LineBreakCase {
    const char* name;
    const char* fileName;
    const char* dir;
    const char* user;
    const char* message;
    const char* focus; // object name of the field that gets the focus
};

void PrintTo(const LineBreakCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadLineBreak : public UploadTest, public ::testing::WithParamInterface<LineBreakCase> { };

TEST_P(UploadLineBreak, IsRefusedBeforeAnythingIsSent)
{
    const LineBreakCase& c = GetParam();
    auto form = OpenWindow({MakeFile("good.txt", "a\n"), MakeFile(QString::fromLatin1(c.fileName), "b\n")});
    // Nothing listens on this port: had the job gone on, it would have said
    // it cannot connect.
    FillProfile(*form, QStringLiteral("127.0.0.1"), QStringLiteral("1"), QString::fromLatin1(c.user),
                QStringLiteral("pw"));
    SetSubdirectory(*form, QString::fromLatin1(c.dir));

    form->OKBn->click();

    EXPECT_EQ(dialogs_.Texts(Kind::Message), std::vector<std::string>{c.message});
    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_EQ(Std(form->focusWidget() ? form->focusWidget()->objectName() : QString()).rfind(c.focus, 0), 0u)
        << Std(form->focusWidget() ? form->focusWidget()->objectName() : QString());
    EXPECT_TRUE(MemoLines(*form, {"> "}).empty());
    EXPECT_TRUE(form->OKBn->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadLineBreak,
    ::testing::Values(
        LineBreakCase{"FileName", "two\nlines.txt", "upload", "me",
                      "The file name \"two\\nlines.txt\" holds a line break, which cannot be sent to an FTP server. "
                      "Please rename the file and send it again.",
                      "ListView1"},
        LineBreakCase{"Directory", "plain.txt", "upload\r\nDELE good.txt", "me",
                      "The directory name \"upload\\r\\nDELE good.txt\" holds a line break, which cannot be sent "
                      "to an FTP server.",
                      "dircmbox"},
        LineBreakCase{"UserName", "plain.txt", "upload", "me\rSITE x",
                      "The username \"me\\rSITE x\" holds a line break, which cannot be sent to an FTP server.",
                      "useredit"}),
    [](const auto& test) { return std::string(test.param.name); });

// An empty field stops the job at once: a beep, its message (none for the
// port) and the focus on that field.
struct EmptyFieldCase {
    const char* name;
    const char* profile;
    const char* address;
    const char* port;
    const char* user;
    const char* password;
    const char* message; // nullptr: no box
    const char* focus;
};

void PrintTo(const EmptyFieldCase& c, std::ostream* os)
{
    *os << c.name;
}

class UploadEmptyField : public UploadTest, public ::testing::WithParamInterface<EmptyFieldCase> { };

TEST_P(UploadEmptyField, BeepsSaysWhatIsMissingAndFocusesIt)
{
    const EmptyFieldCase& c = GetParam();
    auto form = OpenWindow({MakeFile("a.txt", "a\n")});
    FillProfile(*form, QString::fromLatin1(c.address), QString::fromLatin1(c.port), QString::fromLatin1(c.user),
                QString::fromLatin1(c.password), QString::fromLatin1(c.profile));

    form->OKBn->click();

    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_EQ(dialogs_.Texts(Kind::Message),
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    EXPECT_TRUE(FocusOn(*form, form->findChild<QWidget*>(QString::fromLatin1(c.focus)))) << c.focus;
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_TRUE(MemoLines(*form, {"> "}).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadEmptyField,
    ::testing::Values(
        EmptyFieldCase{"AllEmpty", "", "", "", "", "", "Please enter a profile name", "hostcmbox"},
        EmptyFieldCase{"Address", "p", "", "21", "u", "pw", "Please enter a remote host (FTP server) address",
                       "addressedit"},
        EmptyFieldCase{"Port", "p", "127.0.0.1", "", "u", "pw", nullptr, "portedit"},
        EmptyFieldCase{"User", "p", "127.0.0.1", "21", "", "pw", "Please enter your username", "useredit"},
        EmptyFieldCase{"Password", "p", "127.0.0.1", "21", "u", "", "Please enter your password", "passedit"}),
    [](const auto& test) { return std::string(test.param.name); });

// Through a firewall the client logs in to the firewall host and port as
// user@server; a failure names the firewall host.
TEST_F(UploadTest, FirewallLogsInAsUserAtServerThroughTheFirewallHost)
{
    FtpScriptServer accepting([](FtpScriptSession& s) {
        s.Reply("220 firewall");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.Answer("221 bye");
    });
    FtpScriptServer refusing([](FtpScriptSession& s) {
        s.Reply("220 firewall");
        s.Answer("530 not you");
        s.WaitForClose();
    });
    auto form = OpenWindow({MakeFolder(QStringLiteral("folder"))});
    FillProfile(*form, QStringLiteral("ftp.example.invalid"), QStringLiteral("2121"), QStringLiteral("parcelo"),
                QStringLiteral("pw"));
    form->state.useFirewall = true;
    form->state.firewallHost = QStringLiteral("localhost");

    form->state.firewallPort = QString::fromStdString(accepting.PortText());
    form->OKBn->click();
    EXPECT_EQ(accepting.Join(), (std::vector<std::string>{"USER parcelo@ftp.example.invalid", "PASS pw", "QUIT"}));
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "0 of 1 file sent \u2014 1 folder skipped");
    EXPECT_EQ(dialogs_.Count(ScriptedDialogs::Kind::Message), 0);

    form->state.firewallPort = QString::fromStdString(refusing.PortText());
    form->OKBn->click();
    EXPECT_EQ(refusing.Join(), (std::vector<std::string>{"USER parcelo@ftp.example.invalid"}));
    EXPECT_EQ(dialogs_.Texts(ScriptedDialogs::Kind::Message),
              std::vector<std::string>{"Cannot connect to localhost\nThe server refused the log-in: 530 not you"});
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_FALSE(form->FTP->Connected());
}

// Nothing listens at the address: the log-in fails, the user is told, and
// OK works again.
TEST_F(UploadTest, RefusedConnectionIsAFailedLogIn)
{
    const int unused = UnusedLoopbackPort();
    ASSERT_GT(unused, 0);
    const std::string port = std::to_string(unused);
    auto form = OpenWindow({MakeFile("a.txt", "a\n")});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(port), QStringLiteral("u"),
                QStringLiteral("pw"));

    form->OKBn->click();

    EXPECT_EQ(
        dialogs_.Texts(Kind::Message),
        std::vector<std::string>{"Cannot connect to 127.0.0.1\nconnection refused (is the port right?) (error 10061)"});
    EXPECT_TRUE(MemoLines(*form, {"> STOR", "> TYPE"}).empty());
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_FALSE(form->FTP->Connected());
}

// The server drops the connection during a file and reconnecting is off:
// the job cannot go on and says so, without asking about the rest. (With
// reconnecting on, see ResilienceWindowTest.cpp.)
TEST_F(UploadTest, DroppedConnectionAbortsTheJob)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.Answer("200 type set");
        std::string port;
        s.ReadCommand(port);
        s.CloseControl();
    });
    auto form = OpenWindow({MakeFile("a.txt", "a\n"), MakeFile("b.txt", "b\n")});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                QStringLiteral("pw"));
    form->state.reconnectAttempts = 0;

    form->OKBn->click();

    server.Join();
    EXPECT_EQ(dialogs_.Count(Kind::Question), 0);
    EXPECT_EQ(dialogs_.Texts(Kind::Message), std::vector<std::string>{"Cannot send a.txt to remote host"});
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer aborted");
    EXPECT_FALSE(form->OKBn->isEnabled());
}

} // namespace
