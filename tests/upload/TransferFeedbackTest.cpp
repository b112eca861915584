// What the user sees while the client works (the dialogue, the bar, the
// percentage, the title) and what Cancel, Exit and the close button do,
// also in the middle of a transfer.

#include <QApplication>
#include <QTimer>

#include "UploadFixture.h"
#include "app/Startup.h"
#include "support/FtpRealServers.h"
#include "support/FtpScriptServer.h"

namespace {

using Kind = ScriptedDialogs::Kind;

// Counts the changes of a window's title.
class TitleChanges : public QObject {
public:
    explicit TitleChanges(QWidget* window) { window->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::WindowTitleChange)
            ++count;
        return false;
    }
};

struct DisplayCase {
    const char* name;
    const char* line;
    const char* passwordBox;
    const char* shown;
};

void PrintTo(const DisplayCase& c, std::ostream* os)
{
    *os << c.name;
}

class Display : public UploadTest, public ::testing::WithParamInterface<DisplayCase> { };

TEST_P(Display, EchoesTheDialogueWithThePasswordHidden)
{
    const DisplayCase& c = GetParam();
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->passedit->setText(QString::fromLatin1(c.passwordBox));
    std::string line = c.line;

    form->FTPDisplay(nullptr, line);

    EXPECT_EQ(Memo(*form).back(), c.shown);
    EXPECT_EQ(line, c.line) << "the reported line is not changed";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Display,
    ::testing::Values(DisplayCase{"Password", "> PASS s3cret", "s3cret", "> PASS (hidden)"},
                      // The box was edited while the log-in was under way.
                      DisplayCase{"PasswordEditedSince", "> PASS s3cret", "s3cre", "> PASS (hidden)"},
                      DisplayCase{"AnonymousAddress", "> PASS me@example.org", "me@example.org", "> PASS (hidden)"},
                      DisplayCase{"User", "> USER s3cret", "s3cret", "> USER s3cret"},
                      DisplayCase{"Reply", "< 230 Login successful.", "s3cret", "< 230 Login successful."},
                      DisplayCase{"Note", "! 12 bytes sent", "s3cret", "! 12 bytes sent"},
                      // What a server sends stays on its line: no line of the
                      // dialogue is the server's own making.
                      DisplayCase{"ReplyWithALineSeparator",
                                  "< 220 Hi\xe2\x80\xa8! TLS: TLSv1.3, TLS_AES_256_GCM_SHA384, certificate verified",
                                  "s3cret",
                                  "< 220 Hi\\u2028! TLS: TLSv1.3, TLS_AES_256_GCM_SHA384, certificate verified"},
                      DisplayCase{"ReplyWithControls",
                                  "< 220 a\tb\x1b[2J\xc2\x85"
                                  "c\xe2\x80\xa9"
                                  "d",
                                  "s3cret", "< 220 a\\u0009b\\u001B[2J\\u0085c\\u2029d"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UploadTest, RealLogInShowsThePasswordLineHidden)
{
    std::string whyNot;
    auto server = StartPyftpdlib(whyNot);
    ASSERT_TRUE(server) << whyNot;
    auto form = OpenWindow({MakeFolder(QStringLiteral("folder"))});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server->PortText()),
                QString::fromStdString(server->User()), QString::fromStdString(server->Password()));

    form->OKBn->click();

    EXPECT_EQ(MemoLines(*form, {"> USER", "> PASS"}),
              (std::vector<std::string>{"> USER " + server->User(), "> PASS (hidden)"}));
    EXPECT_EQ(form->DisplayMemo->toPlainText().toStdString().find(server->Password()), std::string::npos);
}

struct ProgressCase {
    const char* name;
    int scale;
    int maximum;
    std::int64_t count;
    int position;
    const char* percent;
};

void PrintTo(const ProgressCase& c, std::ostream* os)
{
    *os << c.name;
}

class Progress : public UploadTest, public ::testing::WithParamInterface<ProgressCase> { };

TEST_P(Progress, MovesTheBarAndShowsThePercentage)
{
    const ProgressCase& c = GetParam();
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->ProgressScale = c.scale;
    form->progressBar->setMaximum(c.maximum);
    bool abort = false;

    form->FTPProgress(nullptr, c.count, abort);

    EXPECT_EQ(form->progressBar->value(), c.position);
    EXPECT_EQ(Std(form->statusBar->PanelText(0)), c.percent);
    EXPECT_FALSE(abort);
}

INSTANTIATE_TEST_SUITE_P(Cases, Progress,
                         ::testing::Values(ProgressCase{"BelowOneUnit", 1, 61, 999, 0, "0%"},
                                           ProgressCase{"Bytes", 0, 60000, 30000, 30000, "50%"},
                                           ProgressCase{"Thousands", 1, 61, 60999, 60, "98%"},
                                           ProgressCase{"Millions", 2, 75, 74999999, 74, "98%"},
                                           ProgressCase{"Billions", 3, 2, 1500000000, 1, "50%"},
                                           ProgressCase{"PastTheEnd", 0, 100, 500, 100, "100%"},
                                           ProgressCase{"ZeroMaximum", 0, 0, 10, 0, "0%"}),
                         [](const auto& test) { return std::string(test.param.name); });

// The title follows the progress from the first change of the percentage
// that finds the user working elsewhere, and from then on for the rest of
// the run; it changes only when the percentage does.
TEST_F(UploadTest, TitleFollowsTheProgressOnceTheUserWorkedElsewhere)
{
    auto form = OpenWindow({MakeFile("report.txt", "a")});
    bool active = true;
    form->ApplicationIsActive = [&] { return active; };
    form->FTP->SetHostFileName("report.txt");
    form->ProgressScale = 0;
    form->progressBar->setMaximum(100);
    TitleChanges changes(form.get());
    bool abort = false;

    form->FTPProgress(nullptr, 41, abort);
    EXPECT_EQ(ApplicationTitle(), "Parcelo");
    EXPECT_FALSE(form->TitleProgress);

    active = false;
    form->FTPProgress(nullptr, 41, abort); // same percentage: nothing changes
    EXPECT_EQ(ApplicationTitle(), "Parcelo");
    for (int i = 0; i < 20; ++i)
        form->FTPProgress(nullptr, 42, abort);
    EXPECT_EQ(ApplicationTitle(), "42% of report.txt");
    EXPECT_EQ(Std(form->windowTitle()), "42% of report.txt");
    EXPECT_EQ(changes.count, 1);
    EXPECT_TRUE(form->TitleProgress);

    active = true;
    form->FTPProgress(nullptr, 43, abort);
    EXPECT_EQ(ApplicationTitle(), "43% of report.txt");
    EXPECT_EQ(changes.count, 2);
}

TEST_F(UploadTest, CompletedJobSetsTheTitleThatShowedProgress)
{
    std::string whyNot;
    auto server = StartPyftpdlib(whyNot);
    ASSERT_TRUE(server) << whyNot;
    auto form = OpenWindow({MakeFile("report.txt", BinaryBytes(100000))});
    form->ApplicationIsActive = [] { return false; };
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server->PortText()),
                QString::fromStdString(server->User()), QString::fromStdString(server->Password()));
    form->state.passiveMode = true;
    std::vector<std::string> titles;
    auto shown = form->FTP->OnProgress;
    form->FTP->OnProgress = [&](TObject* sender, std::int64_t count, bool& abort) {
        shown(sender, count, abort);
        if (titles.empty() || titles.back() != ApplicationTitle())
            titles.push_back(ApplicationTitle());
    };

    form->OKBn->click();

    ASSERT_FALSE(titles.empty());
    EXPECT_EQ(titles.back(), "100% of report.txt");
    EXPECT_EQ(ApplicationTitle(), "Completed");
    EXPECT_EQ(Std(form->windowTitle()), "Completed");
}

// Cancel drops an open session without QUIT and closes the window; Exit
// only closes it.
TEST_F(UploadTest, CancelAbortsTheSessionAndExitLeavesIt)
{
    for (bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "Cancel" : "Exit");
        SetTerminating(false);
        FtpScriptServer server([](FtpScriptSession& s) {
            s.Reply("220 ready");
            s.Answer("331 password please");
            s.Answer("230 logged in");
            s.WaitForClose();
        });
        auto form = OpenWindow({MakeFile("a.txt", "a")});
        form->FTP->SetHostName("127.0.0.1");
        form->FTP->SetPort(server.PortText());
        form->FTP->SetUserName("u");
        form->FTP->SetPassWord("pw");
        ASSERT_TRUE(form->FTP->Connect());

        (cancel ? form->CancelBn : form->ExitBn)->click();

        EXPECT_TRUE(IsTerminating()) << "the window has closed";
        EXPECT_EQ(form->FTP->Connected(), !cancel);
        if (!cancel)
            (void)form->FTP->Abort(); // what the end of the program does to it
        EXPECT_EQ(server.Join(), (std::vector<std::string>{"USER u", "PASS pw"}));
        EXPECT_EQ(dialogs_.Log().size(), 0u);
    }
}

TEST_F(UploadTest, CancelWithNothingConnectedJustClosesTheWindow)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->CancelBn->click();
    EXPECT_TRUE(IsTerminating());
    EXPECT_FALSE(form->FTP->Connected());
    EXPECT_EQ(dialogs_.Log().size(), 0u);
}

// Closing the window while a file is on its way (Cancel, Exit or the close
// button): the waiting call returns, the job ends on its failure path
// without a box or a question, and nothing is left for the user to answer.
struct CloseCase {
    const char* name;
    void (*close)(TForm1&);
};

void PrintTo(const CloseCase& c, std::ostream* os)
{
    *os << c.name;
}

class CloseDuringTransfer : public UploadTest, public ::testing::WithParamInterface<CloseCase> { };

TEST_P(CloseDuringTransfer, EndsTheJobQuietly)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.Answer("200 type set");
        s.Answer(s.OpenPassive());
        s.Answer("150 go ahead");
        s.WaitForClose(); // never finishes the transfer
    });
    auto form = OpenWindow({MakeFile("a.txt", "a\n"), MakeFile("b.txt", "b\n")});
    FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                QStringLiteral("pw"));
    form->state.passiveMode = true;
    auto shown = form->FTP->OnDisplay;
    TForm1* window = form.get();
    form->FTP->OnDisplay = [&, window](TObject* sender, std::string& msg) {
        shown(sender, msg);
        if (msg.rfind("< 150", 0) == 0)
            QTimer::singleShot(0, window, [&, window] { GetParam().close(*window); });
    };

    form->OKBn->click();

    EXPECT_TRUE(IsTerminating());
    EXPECT_FALSE(form->FTP->Connected());
    EXPECT_EQ(dialogs_.Count(Kind::Message), 0);
    EXPECT_EQ(dialogs_.Count(Kind::Question), 0);
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer aborted");
    EXPECT_EQ(MemoLines(*form, {"> STOR"}), std::vector<std::string>{"> STOR a.txt"});
    server.Join();
}

// The whole program: closed in the middle of a transfer, it returns from its
// main loop once the job has given up, and no window is left open.
TEST_P(CloseDuringTransfer, EndsTheProgram)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.Answer("200 type set");
        s.Answer(s.OpenPassive());
        s.Answer("150 go ahead");
        s.WaitForClose();
    });
    const std::string a = Std(MakeFile("a.txt", "a\n")), b = Std(MakeFile("b.txt", "b\n"));
    const char* argv[] = {"/usr/bin/parcelo", a.c_str(), b.c_str()};
    bool jobReturned = false;
    QTimer::singleShot(0, [&] {
        TForm1* form = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* f = qobject_cast<TForm1*>(window))
                form = f;
        ASSERT_NE(form, nullptr);
        FillProfile(*form, QStringLiteral("127.0.0.1"), QString::fromStdString(server.PortText()), QStringLiteral("u"),
                    QStringLiteral("pw"));
        form->state.passiveMode = true;
        auto shown = form->FTP->OnDisplay;
        form->FTP->OnDisplay = [&, form](TObject* sender, std::string& msg) {
            shown(sender, msg);
            if (msg.rfind("< 150", 0) == 0)
                QTimer::singleShot(0, form, [&, form] { GetParam().close(*form); });
        };
        form->OKBn->click();
        jobReturned = true;
    });

    EXPECT_EQ(RunParcelo(3, argv, dialogs_), 0);

    EXPECT_TRUE(jobReturned);
    EXPECT_EQ(dialogs_.Count(Kind::Message), 0);
    EXPECT_EQ(dialogs_.Count(Kind::Question), 0);
    for (QWidget* window : QApplication::topLevelWidgets())
        EXPECT_FALSE(window->isVisible()) << Std(window->objectName());
    EXPECT_EQ(server.Join().back(), "STOR a.txt");
}

INSTANTIATE_TEST_SUITE_P(Ways, CloseDuringTransfer,
                         ::testing::Values(CloseCase{"Cancel", [](TForm1& f) { f.CancelBn->click(); }},
                                           CloseCase{"Exit", [](TForm1& f) { f.ExitBn->click(); }},
                                           CloseCase{"CloseButton", [](TForm1& f) { f.close(); }}),
                         [](const auto& test) { return std::string(test.param.name); });

} // namespace
