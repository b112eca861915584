// sftp:// addresses from the real window, against Debian's sshd started by
// the test (with an ssh-agent holding the user's key, reached through
// SSH_AUTH_SOCK as a desktop session does) and the scripted asyncssh server
// for a password log-in. The profile is typed and the upload started with
// keys sent to the focused widget; the host-key question is a real Qt
// message box answered with the keyboard or the mouse.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UploadFixture.h"
#include "support/SavedEnvironment.h"
#include "platform/qt/QtDialogs.h"
#include "support/RunProgram.h"
#include "support/SshTestServer.h"
#include "upload/SftpSession.h"

namespace fs = std::filesystem;

namespace {

// The real message boxes instead of the scripted ones, while it lives.
class RealBoxes {
public:
    RealBoxes() : scripted_(InstallDialogs(&qt_)) { }
    ~RealBoxes() { InstallDialogs(scripted_); }
    RealBoxes(const RealBoxes&) = delete;
    RealBoxes& operator=(const RealBoxes&) = delete;

private:
    QtDialogs qt_;
    DialogService* scripted_;
};

using Kind = ScriptedDialogs::Kind;

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Every process whose command line or environment holds `secret`.
std::vector<std::string> ProcessesHolding(const std::string& secret, int& looked)
{
    std::vector<std::string> found;
    looked = 0;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        ++looked;
        for (const char* what : {"cmdline", "environ"})
            if (Has(ReadFile(e.path().string() + "/" + what), secret))
                found.push_back(name + "/" + what);
    }
    return found;
}

// Answers the real message boxes the window opens, one action each, in
// order, and notes what each showed.
class BoxDriver {
public:
    enum class Act { Enter, ClickYes };
    struct Seen {
        std::string text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButton defaultButton;
        QWidget* parent;
    };

    explicit BoxDriver(std::deque<Act> acts) : acts_(std::move(acts))
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }

    const std::vector<Seen>& Boxes() const { return seen_; }
    size_t ActsLeft() const { return acts_.size(); }

private:
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible() || box == last_)
            return;
        last_ = box;
        seen_.push_back(
            {box->text().toStdString(), box->icon(), box->standardButton(box->defaultButton()), box->parentWidget()});
        if (acts_.empty()) {
            ADD_FAILURE() << "a box nobody expected: " << seen_.back().text;
            box->reject();
            return;
        }
        const Act act = acts_.front();
        acts_.pop_front();
        if (act == Act::ClickYes) {
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
        } else {
            QWidget* focused = box->focusWidget() != nullptr ? box->focusWidget() : box;
            QTest::keyClick(focused, Qt::Key_Return);
        }
    }

    std::deque<Act> acts_;
    std::vector<Seen> seen_;
    QPointer<QMessageBox> last_;
    QTimer timer_;
};

class SftpWindow : public UploadTest {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        static std::unique_ptr<SshTestServer> s = SshTestServer::Start(why);
        sshd = s.get();
        if (!sshd)
            whyNot = why;
    }

    void SetUp() override
    {
        UploadTest::SetUp();
        if (!sshd) {
            if (std::getenv("CI"))
                FAIL() << "sshd could not start in CI: " << whyNot;
            GTEST_SKIP() << whyNot;
        }
        for (const char* name : {"SSH_AUTH_SOCK", "XDG_CONFIG_HOME"})
            saved_.Save(name);
        // The agent as a desktop session hands it to its programs, and
        // Parcelo's own known-hosts file in the test's folder.
        qputenv("SSH_AUTH_SOCK", QByteArray::fromStdString(sshd->AgentSocket()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path("config")));
        for (const fs::directory_entry& e : fs::directory_iterator(sshd->Root()))
            fs::remove_all(e.path());
    }

    void TearDown() override
    {
        saved_.Restore();
        UploadTest::TearDown();
    }

    // The window shown and active, the start-up focus already set. ssh
    // reads no configuration of the user running the tests; `knownHosts`
    // empty: Parcelo's own file (and the user's).
    std::unique_ptr<TForm1> ShowWindow(const QStringList& paths, const std::string& knownHosts = {})
    {
        auto form = OpenWindow(paths);
        form->PrepareSftpSession = [knownHosts](SftpSession& session) {
            session.Client().SshConfigFile = "/dev/null";
            if (!knownHosts.empty())
                session.Client().KnownHostsFiles = {knownHosts};
        };
        form->show();
        QApplication::setActiveWindow(form.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(form.get()));
        while (form->focusTimer->isActive())
            QTest::qWait(5);
        return form;
    }

    static void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }

    // Clicks into the field, selects what it holds and types over it.
    static void TypeInto(QWidget* field, const QString& text)
    {
        auto* combo = qobject_cast<QComboBox*>(field);
        QTest::mouseClick(combo ? combo->lineEdit() : field, Qt::LeftButton);
        QWidget* focused = QApplication::focusWidget();
        ASSERT_TRUE(focused == field || field->isAncestorOf(focused)) << Std(field->objectName());
        Key(Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(focused, text);
    }

    // The profile "box" typed in; an empty password stays empty (keys and
    // the agent log in). `dir` empty: the log-in directory.
    static void TypeProfile(TForm1& form, const std::string& port, const std::string& user,
                            const std::string& password = {}, const QString& dir = {})
    {
        TypeInto(form.hostcmbox, QStringLiteral("box"));
        TypeInto(form.addressedit, QStringLiteral("sftp://127.0.0.1"));
        TypeInto(form.portedit, QString::fromStdString(port));
        TypeInto(form.useredit, QString::fromStdString(user));
        if (!password.empty())
            TypeInto(form.passedit, QString::fromStdString(password));
        if (!dir.isEmpty()) {
            QTest::mouseClick(form.subdirRadio, Qt::LeftButton);
            TypeInto(form.dircmbox, dir);
        }
    }

    // From the last box typed into: Enter moves on to OK, Enter there
    // starts the upload.
    static void StartWithEnter(TForm1& form)
    {
        // A box closed last gives the window back its activation.
        QApplication::setActiveWindow(&form);
        form.OKBn->setFocus();
        Key(Qt::Key_Return);
    }

    std::string Stored(const std::string& name) const { return ReadFile(sshd->Root() + "/" + name); }

    std::string ParceloKnownHosts() const { return ReadFile(Std(Path("config/parcelo/known_hosts"))); }

    // The server's host key as `ssh-keygen -l -E sha256` names it.
    static std::string ServerFingerprint()
    {
        const ProgramResult r =
            RunProgram("/usr/bin/ssh-keygen", {"-l", "-E", "sha256", "-f", sshd->Folder() + "/hostkey.pub"});
        const std::size_t start = r.out.find("SHA256:");
        return start == std::string::npos ? "<none>" : r.out.substr(start, r.out.find(' ', start) - start);
    }

    static inline SshTestServer* sshd = nullptr;
    static inline std::string whyNot;
    SavedEnvironment saved_;
};

// A selection of three files (one checked for ascii) into a directory that
// is not there yet: made after the question, every file byte for byte, one
// log-in, the progress shown, the ascii note once.
TEST_F(SftpWindow, ThreeFilesArriveByteIdenticalInOneSession)
{
    const QByteArray big = BinaryBytes(300000), text = "line one\r\nline two\n", small = BinaryBytes(1);
    auto form = ShowWindow({MakeFile("big.bin", big), MakeFile("notes.txt", text), MakeFile("one.dat", small)},
                           sshd->KnownHostsFile());
    SetAscii(*form, {false, true, false});
    std::vector<int> percents;
    QObject::connect(form->progressBar, &QProgressBar::valueChanged, [&](int value) { percents.push_back(value); });
    const int logInsBefore = sshd->LoginCount();
    TypeProfile(*form, sshd->PortText(), sshd->User(), {}, QStringLiteral("inbox"));
    dialogs_.Answer(DialogAnswer::Yes); // make the directory

    StartWithEnter(*form);

    const std::string memo = Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << memo;
    EXPECT_EQ(Stored("inbox/big.bin"), big.toStdString());
    EXPECT_EQ(Stored("inbox/notes.txt"), text.toStdString()) << "SFTP sends it unchanged";
    EXPECT_EQ(Stored("inbox/one.dat"), small.toStdString());
    EXPECT_EQ(sshd->LoginCount() - logInsBefore, 1);
    const std::vector<std::string> questions = dialogs_.Texts(Kind::Question);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(Has(questions[0], "inbox")) << questions[0];
    EXPECT_EQ(MemoLines(*form, {SftpAsciiNote}).size(), 1u) << memo;
    EXPECT_TRUE(dialogs_.Texts(Kind::Message).empty());
    // The bar moved with the acknowledged bytes of the big file and was
    // cleared after each file.
    EXPECT_GT(std::count_if(percents.begin(), percents.end(), [](int v) { return v > 0; }), 1);
    EXPECT_EQ(form->progressBar->value(), 0);
    EXPECT_TRUE(form->OKBn->isEnabled());
    // Stored as typed, SFTP's port with it.
    EXPECT_EQ(form->ShownProfile().address, QStringLiteral("sftp://127.0.0.1"));
}

// A host key no known-hosts file holds: a warning box naming the host,
// port, key type and fingerprint, No by default. Enter refuses it (nothing
// uploaded, nothing recorded); Yes uploads and records it in Parcelo's
// file, and the next start asks nothing.
TEST_F(SftpWindow, HostKeyQuestionEnterRefusesYesTrustsAndTheNextStartAsksNothing)
{
    RealBoxes realBoxes;

    const QByteArray bytes = BinaryBytes(5000);
    auto form = ShowWindow({MakeFile("key.bin", bytes)});
    TypeProfile(*form, sshd->PortText(), sshd->User());
    {
        BoxDriver boxes({BoxDriver::Act::Enter, BoxDriver::Act::Enter});
        StartWithEnter(*form);
        ASSERT_EQ(boxes.Boxes().size(), 2u);
        const BoxDriver::Seen& q = boxes.Boxes()[0];
        EXPECT_TRUE(Has(q.text, "127.0.0.1")) << q.text;
        EXPECT_TRUE(Has(q.text, "port " + sshd->PortText())) << q.text;
        EXPECT_TRUE(Has(q.text, "ED25519")) << q.text;
        EXPECT_TRUE(Has(q.text, ServerFingerprint())) << q.text << "\n" << ServerFingerprint();
        EXPECT_EQ(q.icon, QMessageBox::Warning);
        EXPECT_EQ(q.defaultButton, QMessageBox::No);
        EXPECT_EQ(q.parent, form.get());
        const std::string& told = boxes.Boxes()[1].text;
        EXPECT_TRUE(Has(told, "Cannot log in")) << told;
        EXPECT_TRUE(Has(told, "was not accepted")) << told;
    }
    EXPECT_FALSE(fs::exists(sshd->Root() + "/key.bin"));
    EXPECT_FALSE(Has(ParceloKnownHosts(), "ssh-ed25519"));
    EXPECT_TRUE(form->OKBn->isEnabled());

    {
        BoxDriver boxes({BoxDriver::Act::ClickYes});
        StartWithEnter(*form);
        ASSERT_EQ(boxes.Boxes().size(), 1u);
    }
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(Stored("key.bin"), bytes.toStdString());
    EXPECT_TRUE(Has(ParceloKnownHosts(), "ssh-ed25519")) << ParceloKnownHosts();
    form.reset();

    // The next start: the saved profile is loaded, Enter on OK sends, and
    // nothing is asked.
    fs::remove(sshd->Root() + "/key.bin");
    auto again = ShowWindow({MakeFile("key.bin", bytes)});
    ASSERT_EQ(Std(again->addressedit->text()), "sftp://127.0.0.1");
    ASSERT_EQ(Std(again->portedit->text()), sshd->PortText());
    BoxDriver none({});
    Key(Qt::Key_Return);
    EXPECT_TRUE(none.Boxes().empty());
    EXPECT_EQ(Std(again->statusBar->PanelText(1)), "File transfer completed") << Std(again->DisplayMemo->toPlainText());
    EXPECT_EQ(Stored("key.bin"), bytes.toStdString());
}

// A host key that differs from the one on record is never a question: one
// warning box says the key HAS CHANGED, with the new fingerprint and where
// the old key is kept; nothing is uploaded and the record stays.
TEST_F(SftpWindow, ChangedHostKeyIsRefusedWithAWarningAndNoQuestion)
{
    RealBoxes realBoxes;

    const std::string other = Std(Path("otherkey"));
    ASSERT_EQ(RunProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", other}).status, 0);
    std::istringstream pub(ReadFile(other + ".pub"));
    std::string type, base64;
    pub >> type >> base64;
    const std::string knownHosts = Std(Path("changed_known_hosts"));
    const std::string held = "[127.0.0.1]:" + sshd->PortText() + " " + type + " " + base64 + "\n";
    std::ofstream(knownHosts) << held;

    auto form = ShowWindow({MakeFile("changed.bin", BinaryBytes(100))}, knownHosts);
    TypeProfile(*form, sshd->PortText(), sshd->User());
    BoxDriver boxes({BoxDriver::Act::Enter});
    StartWithEnter(*form);

    ASSERT_EQ(boxes.Boxes().size(), 1u) << "a warning, not a question";
    const BoxDriver::Seen& box = boxes.Boxes()[0];
    for (const std::string& part : {std::string("HAS CHANGED"), ServerFingerprint(), knownHosts})
        EXPECT_TRUE(Has(box.text, part)) << part << " in: " << box.text;
    EXPECT_EQ(box.parent, form.get());
    EXPECT_FALSE(fs::exists(sshd->Root() + "/changed.bin"));
    EXPECT_EQ(ReadFile(knownHosts), held) << "the old key stays on record";
    EXPECT_TRUE(form->OKBn->isEnabled());
}

// The picker lists the sub-directories over SFTP (hidden ones left out),
// a level deeper as typed, and the upload that follows uses the same
// session.
TEST_F(SftpWindow, PickerListsSubDirectoriesAndTheUploadReusesItsSession)
{
    for (const char* dir : {"alpha/one", "alpha/two", "beta", ".hidden"})
        fs::create_directories(sshd->Root() + "/" + dir);
    std::ofstream(sshd->Root() + "/file.txt") << "x";
    auto form = ShowWindow({MakeFile("up.txt", "up")}, sshd->KnownHostsFile());
    form->OwnFolder = MakeFolder("bin").toStdString() + "/";
    const int logInsBefore = sshd->LoginCount();
    TypeProfile(*form, sshd->PortText(), sshd->User(), {}, QStringLiteral(""));
    QTest::mouseClick(form->subdirRadio, Qt::LeftButton);

    auto items = [&] {
        QStringList list;
        for (int i = 0; i < form->dircmbox->count(); ++i)
            list << form->dircmbox->itemText(i);
        list.sort();
        return list;
    };
    // What an FTP server listed before belongs to that server.
    form->dircmbox->addItem(QStringLiteral("from-ftp"));
    form->dir_record = QStringList{QString()};
    form->dircmbox->setEditText(QString());
    form->dircmbox->showPopup();
    form->dircmbox->hidePopup();
    EXPECT_EQ(items(), (QStringList{"alpha", "beta"})) << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "Directory list received");

    TypeInto(form->dircmbox, QStringLiteral("alpha"));
    form->dircmbox->showPopup();
    form->dircmbox->hidePopup();
    EXPECT_TRUE(items().contains(QStringLiteral("alpha/one")) && items().contains(QStringLiteral("alpha/two")))
        << Std(items().join(u','));
    EXPECT_EQ(Std(form->dircmbox->currentText()), "alpha");

    StartWithEnter(*form);
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    EXPECT_EQ(Stored("alpha/up.txt"), "up");
    EXPECT_EQ(sshd->LoginCount() - logInsBefore, 1);
    EXPECT_EQ(dialogs_.Beeps(), 0);
}

// Switching the address between FTP and SFTP: a session open for the
// other protocol is dropped, never used for the new address.
TEST_F(SftpWindow, AnAddressOfTheOtherProtocolDropsTheOpenSession)
{
    auto form = ShowWindow({MakeFile("a.txt", "a")}, sshd->KnownHostsFile());
    TypeProfile(*form, sshd->PortText(), sshd->User(), {}, QStringLiteral("missing"));
    dialogs_.Answer(DialogAnswer::No); // leaves the session open
    StartWithEnter(*form);
    ASSERT_TRUE(form->SFTP && form->SFTP->Connected());

    const int unused = UnusedLoopbackPort();
    ASSERT_NE(unused, 0);
    TypeInto(form->addressedit, QStringLiteral("127.0.0.1"));
    TypeInto(form->portedit, QString::number(unused));
    TypeInto(form->passedit, QStringLiteral("secret"));
    StartWithEnter(*form);
    EXPECT_FALSE(form->SFTP->Connected());
    const std::vector<std::string> told = dialogs_.Texts(Kind::Message);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(Has(told[0], "Cannot connect to 127.0.0.1")) << told[0];
}

// Cancel while the last file goes up: the session ends, the window closes
// and the file is not counted as sent.
TEST_F(SftpWindow, CancelDuringAStoreEndsTheSessionAndSendsNoMore)
{
    const QByteArray big = BinaryBytes(20 * 1024 * 1024);
    auto form = ShowWindow({MakeFile("big.bin", big)}, sshd->KnownHostsFile());
    TypeProfile(*form, sshd->PortText(), sshd->User());
    bool cancelled = false;
    QObject::connect(form->progressBar, &QProgressBar::valueChanged, [&](int value) {
        if (value > 0 && !cancelled) {
            cancelled = true;
            QTest::mouseClick(form->CancelBn, Qt::LeftButton);
        }
    });

    StartWithEnter(*form);

    ASSERT_TRUE(cancelled);
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(Std(form->statusBar->PanelText(1)), "File transfer completed");
    EXPECT_LT(fs::file_size(sshd->Root() + "/big.bin"), static_cast<std::uintmax_t>(big.size()));
    EXPECT_FALSE(form->SFTP->Connected());
}

// A password log-in through the window (the scripted server takes only
// the password): the password reaches ssh through the helper and is in no
// process's command line or environment while it is asked and while the
// file goes up, nor in the dialogue. A wrong one is told as the client
// words it.
TEST_F(SftpWindow, PasswordLogInKeepsThePasswordOutOfEveryProcess)
{
    const std::string password = "Window pa55 w0rd-sftp";
    std::string why;
    auto server = ScriptedSftpServer::Start("plain", sshd->Folder() + "/userkey.pub", why, password);
    ASSERT_TRUE(server) << why;
    qunsetenv("SSH_AUTH_SOCK");
    const QByteArray bytes = BinaryBytes(400000);
    auto form = ShowWindow({MakeFile("pw.bin", bytes)});
    form->PrepareSftpSession = [&](SftpSession& session) {
        session.Client().SshConfigFile = "/dev/null";
        session.Client().KnownHostsFiles = {server->KnownHostsFile()};
        session.Client().SshOptions = {"IdentityAgent=none", "PubkeyAuthentication=no"};
    };
    std::vector<std::string> found;
    int looked = 0, scans = 0;
    auto scan = [&] {
        ++scans;
        for (const std::string& p : ProcessesHolding(password, looked))
            found.push_back(p);
    };
    QObject::connect(form->DisplayMemo, &QPlainTextEdit::textChanged, [&] {
        if (form->DisplayMemo->toPlainText().endsWith(QStringLiteral("> password (given to ssh, not shown)")))
            scan();
    });
    bool scannedDuringStore = false;
    QObject::connect(form->progressBar, &QProgressBar::valueChanged, [&](int value) {
        if (value > 0 && !scannedDuringStore) {
            scannedDuringStore = true;
            scan();
        }
    });
    TypeProfile(*form, server->PortText(), sshd->User(), password);

    StartWithEnter(*form);

    const std::string memo = Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << memo << server->Log();
    EXPECT_EQ(ReadFile(server->Root() + "/pw.bin"), bytes.toStdString());
    EXPECT_EQ(scans, 2) << memo;
    EXPECT_GT(looked, 2);
    EXPECT_EQ(found, std::vector<std::string>{});
    EXPECT_FALSE(Has(memo, password));
    EXPECT_EQ(server->PasswordAttempts(), 1);

    TypeInto(form->passedit, QStringLiteral("not the password"));
    StartWithEnter(*form);
    const std::vector<std::string> told = dialogs_.Texts(Kind::Message);
    ASSERT_EQ(told.size(), 1u) << Std(form->DisplayMemo->toPlainText());
    // The host, then the reason as the client words it.
    EXPECT_TRUE(Has(told[0], "Cannot connect to 127.0.0.1\nCannot log in: ")) << told[0];
    EXPECT_TRUE(Has(told[0], form->SFTP->ErrorMessage())) << told[0];
    EXPECT_TRUE(Has(told[0], "password")) << told[0];
    EXPECT_FALSE(Has(told[0], "not the password"));
    EXPECT_FALSE(Has(Std(form->DisplayMemo->toPlainText()), "not the password"));
}

} // namespace
