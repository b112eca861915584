// The session the directory list leaves open serves the upload (or the next
// listing) only when it was made for the settings on the screen. Each case
// lists a scripted server's directories, edits one field the way a user
// does (a click, select all, typing), then presses OK or drops the list
// down again, and looks at what each connection the server served got.

#include <QApplication>
#include <QTest>

#include <algorithm>

#include "UploadFixture.h"
#include "support/FtpScriptServer.h"
#include "support/TlsTestCerts.h"

namespace {

using Kind = ScriptedDialogs::Kind;

// What one connection of a scripted server received.
struct Connection {
    std::string stored; // the bytes of the last STOR
    bool storedOverTls = false;
};

// A small FTP server on one connection: it logs anyone in, speaks explicit
// TLS when asked (with the self-signed test certificate), lists one
// directory named "from_<name>" and stores what it is sent, until QUIT or
// the client's close.
FtpScriptServer::Script Serve(const std::string& name, Connection& seen)
{
    return [name, &seen](FtpScriptSession& s) {
        const TlsCertPair& cert = TestCerts().selfSigned;
        bool dataTls = false;
        s.Reply("220 ready");
        std::string line;
        while (s.ReadCommand(line)) {
            const std::string verb = line.substr(0, line.find(' '));
            if (verb == "USER") {
                s.Reply("331 password please");
            } else if (verb == "PASS") {
                s.Reply("230 logged in");
            } else if (line == "AUTH TLS") {
                s.Reply("234 go ahead");
                if (!s.StartTlsControl(cert))
                    return;
            } else if (verb == "PBSZ" || verb == "TYPE") {
                s.Reply("200 ok");
            } else if (verb == "PROT") {
                s.SetDataTls(cert);
                dataTls = true;
                s.Reply("200 ok");
            } else if (verb == "CWD" || verb == "CDUP") {
                s.Reply("250 ok");
            } else if (verb == "PASV") {
                s.Reply(s.OpenPassive());
            } else if (verb == "LIST") {
                s.Reply("150 listing");
                if (!s.AcceptData())
                    return;
                s.SendData("drwxr-xr-x 2 ftp ftp 4096 Jan 10 12:00 from_" + name + "\r\n");
                s.CloseData();
                s.Reply("226 done");
            } else if (verb == "STOR") {
                s.Reply("150 send it");
                if (!s.AcceptData())
                    return;
                seen.stored = s.ReceiveAllData();
                seen.storedOverTls = dataTls;
                s.CloseData();
                s.Reply("226 stored");
            } else if (verb == "QUIT") {
                s.Reply("221 bye");
                return;
            } else {
                s.Reply("502 not here");
            }
        }
    };
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + " | ";
    return text;
}

enum class Field { Address, Port, User, Password };

struct EditCase {
    const char* label;
    const char* firstAddress;
    Field field;
    // The new text; for the port, empty stands for the second server's.
    const char* text;
    bool freshSession; // false: the open session is the right one
    bool secured;      // the fresh session must speak TLS
};

void PrintTo(const EditCase& c, std::ostream* os)
{
    *os << c.label;
}

const EditCase EditCases[] = {
    {"PlainToExplicitTls", "127.0.0.1", Field::Address, "ftpes://127.0.0.1", true, true},
    {"AnotherHost", "localhost", Field::Address, "127.0.0.1", true, false},
    {"AnotherPort", "127.0.0.1", Field::Port, "", true, false},
    {"AnotherUser", "127.0.0.1", Field::User, "v", true, false},
    {"AnotherPassword", "127.0.0.1", Field::Password, "pw2", true, false},
    // "ftp://" says plain FTP, as a bare host does: the same session.
    {"SamePlainAddressWithItsPrefix", "127.0.0.1", Field::Address, "ftp://127.0.0.1", false, false},
};

class SessionReuse : public UploadTest, public ::testing::WithParamInterface<EditCase> {
protected:
    void SetUp() override
    {
        UploadTest::SetUp();
        const EditCase& c = GetParam();
        // The first server serves the listing, and a second connection when
        // the edit keeps the port; the second server is the edited port's.
        std::vector<FtpScriptServer::Script> first{Serve("a0", a_[0])};
        if (c.freshSession && c.field != Field::Port)
            first.push_back(Serve("a1", a_[1]));
        serverA_ = std::make_unique<FtpScriptServer>(std::move(first));
        serverB_ = std::make_unique<FtpScriptServer>(std::vector<FtpScriptServer::Script>{Serve("b0", b_)});

        form_ = OpenWindow({MakeFile("a.bin", BinaryBytes(5000))});
        form_->show();
        QApplication::setActiveWindow(form_.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
        while (form_->focusTimer->isActive())
            QTest::qWait(5);
        SetAscii(*form_, {false});
        form_->state.passiveMode = true;

        TypeInto(form_->hostcmbox, QStringLiteral("work"));
        TypeInto(form_->addressedit, QString::fromLatin1(c.firstAddress));
        TypeInto(form_->portedit, QString::fromStdString(serverA_->PortText()));
        TypeInto(form_->useredit, QStringLiteral("u"));
        TypeInto(form_->passedit, QStringLiteral("pw"));
        QTest::mouseClick(form_->subdirRadio, Qt::LeftButton);
        DropDown();
        ASSERT_EQ(Std(form_->statusBar->PanelText(1)), "Directory list received") << Memo();
        ASSERT_GE(form_->dircmbox->findText(QStringLiteral("from_a0")), 0);
    }

    void TearDown() override
    {
        form_.reset();
        UploadTest::TearDown();
    }

    static void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }

    // Clicks into the field (the edit part of a combo box), selects what it
    // holds and types over it; the typing goes to the focused widget.
    static void TypeInto(QWidget* field, const QString& text)
    {
        auto* combo = qobject_cast<QComboBox*>(field);
        QTest::mouseClick(combo ? combo->lineEdit() : field, Qt::LeftButton);
        QWidget* focused = QApplication::focusWidget();
        ASSERT_TRUE(focused == field || field->isAncestorOf(focused)) << Std(field->objectName());
        Key(Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(focused, text);
    }

    // Opens the directory box's list from the keyboard, then closes it.
    void DropDown()
    {
        QTest::mouseClick(form_->dircmbox->lineEdit(), Qt::LeftButton);
        ASSERT_TRUE(FocusOn(*form_, form_->dircmbox)) << "focus on " << Std(QApplication::focusWidget()->objectName());
        Key(Qt::Key_Down, Qt::AltModifier);
        form_->dircmbox->hidePopup();
    }

    void Edit()
    {
        const EditCase& c = GetParam();
        switch (c.field) {
        case Field::Address: TypeInto(form_->addressedit, QString::fromLatin1(c.text)); break;
        case Field::Port: TypeInto(form_->portedit, QString::fromStdString(serverB_->PortText())); break;
        case Field::User: TypeInto(form_->useredit, QString::fromLatin1(c.text)); break;
        case Field::Password: TypeInto(form_->passedit, QString::fromLatin1(c.text)); break;
        }
        if (c.secured)
            dialogs_.Answer(DialogAnswer::Yes); // the test certificate is self-signed
    }

    // The connection a fresh session goes to: the second server for a new
    // port, else the first server's second connection.
    bool FreshOnB() const { return GetParam().field == Field::Port; }
    std::vector<std::string> FreshCommands() const
    {
        return FreshOnB() ? serverB_->SessionCommands(0) : serverA_->SessionCommands(1);
    }
    const Connection& Fresh() const { return FreshOnB() ? b_ : a_[1]; }
    QString FreshName() const { return FreshOnB() ? QStringLiteral("from_b0") : QStringLiteral("from_a1"); }

    // Closes the window (and its session), then ends the servers: what
    // they received is complete, since the client waited for every reply.
    void Finish()
    {
        form_.reset();
        serverA_->Stop();
        serverB_->Stop();
    }

    std::string Memo() const { return Std(form_->DisplayMemo->toPlainText()); }

    Connection a_[2];
    Connection b_;
    std::unique_ptr<FtpScriptServer> serverA_;
    std::unique_ptr<FtpScriptServer> serverB_;
    std::unique_ptr<TForm1> form_;
};

// List, edit, OK: the file goes through a session made for the edited
// profile, never through the one the listing left open.
TEST_P(SessionReuse, UploadAfterAnEditLogsInAfresh)
{
    const EditCase& c = GetParam();
    Edit();
    QTest::mouseClick(form_->OKBn, Qt::LeftButton);

    const std::string memo = Memo();
    EXPECT_EQ(Std(form_->statusBar->PanelText(1)), "File transfer completed") << memo;
    EXPECT_EQ(dialogs_.UnusedAnswers(), 0u) << "a secured log-in asks about the certificate";
    Finish();

    const std::vector<std::string> listed = serverA_->SessionCommands(0);
    if (!c.freshSession) {
        EXPECT_TRUE(Has(listed, "STOR a.bin")) << Joined(listed);
        EXPECT_EQ(a_[0].stored, BinaryBytes(5000).toStdString());
        return;
    }
    EXPECT_FALSE(Has(listed, "STOR a.bin")) << "sent through the old session: " << Joined(listed);
    EXPECT_TRUE(a_[0].stored.empty());
    const std::vector<std::string> fresh = FreshCommands();
    ASSERT_FALSE(fresh.empty()) << "no new session; " << memo;
    if (c.secured) {
        EXPECT_EQ(fresh.front(), "AUTH TLS") << Joined(fresh);
        EXPECT_TRUE(Fresh().storedOverTls);
    }
    EXPECT_TRUE(Has(fresh, c.field == Field::User ? "USER v" : "USER u")) << Joined(fresh);
    EXPECT_TRUE(Has(fresh, "STOR a.bin")) << Joined(fresh);
    EXPECT_EQ(Fresh().stored, BinaryBytes(5000).toStdString());
    if (FreshOnB()) {
        EXPECT_EQ(serverA_->SessionCommands(1), std::vector<std::string>{}) << "the first server got one session";
    }
}

// List, edit, list again: the list shows the edited profile's server, not
// the directories the first listing found.
TEST_P(SessionReuse, SecondListingAfterAnEditListsTheEditedServer)
{
    const EditCase& c = GetParam();
    Edit();
    DropDown();

    EXPECT_EQ(Std(form_->statusBar->PanelText(1)), "Directory list received") << Memo();
    EXPECT_EQ(dialogs_.UnusedAnswers(), 0u) << "a secured log-in asks about the certificate";
    if (!c.freshSession) {
        EXPECT_GE(form_->dircmbox->findText(QStringLiteral("from_a0")), 0);
        Finish();
        EXPECT_EQ(serverA_->SessionCommands(1), std::vector<std::string>{});
        return;
    }
    EXPECT_EQ(form_->dircmbox->findText(QStringLiteral("from_a0")), -1) << "the old server's list is still shown";
    EXPECT_GE(form_->dircmbox->findText(FreshName()), 0);
    Finish();
    const std::vector<std::string> fresh = FreshCommands();
    ASSERT_FALSE(fresh.empty());
    if (c.secured) {
        EXPECT_EQ(fresh.front(), "AUTH TLS") << Joined(fresh);
    }
    EXPECT_TRUE(Has(fresh, "LIST")) << Joined(fresh);
}

INSTANTIATE_TEST_SUITE_P(Edits, SessionReuse, ::testing::ValuesIn(EditCases),
                         [](const auto& test) { return std::string(test.param.label); });

} // namespace
