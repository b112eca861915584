// FTP over TLS from the window: the trust question for a certificate that
// fails verification, the fingerprint kept with the profile, and what the
// user is told when a secured log-in fails. Real servers with self-signed
// certificates on 127.0.0.1; the profile is typed and the upload started
// with keys sent to the focused widget, as a user does it.

#include <QApplication>
#include <QTest>

#include <algorithm>
#include <optional>

#include "UploadFixture.h"
#include "net/SslContext.h"
#include "platform/Registry.h"
#include "support/FtpRealServers.h"
#include "support/TlsTestCerts.h"

namespace {

using Kind = ScriptedDialogs::Kind;

const std::string ProfileKey = "Software\\Parcelo\\Hosts\\tls";

// A value of the profile "tls" as stored, or "<missing>".
std::string Saved(const std::string& name)
{
    TRegistry reg;
    if (!reg.OpenKey(ProfileKey, false) || !reg.ValueExists(name))
        return "<missing>";
    return reg.ReadString(name);
}

// Keeps `fingerprint` with the profile "tls" as trusted for `host`.
void Remember(const std::string& host, const std::string& fingerprint)
{
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(ProfileKey, true));
    reg.WriteString("address", "ftpes://" + host);
    reg.WriteString("tlshost", host);
    reg.WriteString("tlsfingerprint", fingerprint);
}

std::string Shown(const std::string& fingerprint)
{
    return SslFingerprintDisplay(fingerprint);
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class TlsWindow : public UploadTest {
protected:
    // The window shown and active, the start-up focus already set.
    std::unique_ptr<TForm1> ShowWindow(const QStringList& paths)
    {
        auto form = OpenWindow(paths);
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

    // Clicks into the field (the edit part of a combo box), selects what it
    // holds and types over it.
    static void TypeInto(QWidget* field, const QString& text)
    {
        auto* combo = qobject_cast<QComboBox*>(field);
        QTest::mouseClick(combo ? combo->lineEdit() : field, Qt::LeftButton);
        QWidget* focused = QApplication::focusWidget();
        ASSERT_TRUE(focused == field || field->isAncestorOf(focused)) << Std(field->objectName());
        Key(Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(focused, text);
    }

    // The profile "tls" typed in, uploading into the sub-directory `dir`.
    static void TypeProfile(TForm1& form, const QString& address, const std::string& port, const std::string& user,
                            const std::string& password, const QString& dir = QStringLiteral("upload"))
    {
        TypeInto(form.hostcmbox, QStringLiteral("tls"));
        TypeInto(form.addressedit, address);
        TypeInto(form.portedit, QString::fromStdString(port));
        TypeInto(form.useredit, QString::fromStdString(user));
        TypeInto(form.passedit, QString::fromStdString(password));
        QTest::mouseClick(form.subdirRadio, Qt::LeftButton);
        TypeInto(form.dircmbox, dir);
    }

    // Enter in the directory box moves to OK; Enter there starts the upload.
    static void PressEnterTwice()
    {
        Key(Qt::Key_Return);
        Key(Qt::Key_Return);
    }
};

// Which fingerprint the profile keeps (before or after).
enum class Kept {
    Nothing,
    ServersCertificate, // the certificate the server sends
    OtherCertificate,   // another certificate, trusted for this host before
    OtherForOtherHost,  // another certificate, trusted for another host
};

enum class Asked { Nothing, Question, ChangedWarning };

struct TrustCase {
    const char* label;
    Kept before;
    std::optional<DialogAnswer> answer;
    Asked asked;
    bool uploads;
    Kept after;
};

void PrintTo(const TrustCase& c, std::ostream* os)
{
    *os << c.label;
}

// vsftpd with explicit TLS and the self-signed certificate.
class TlsServer : public TlsWindow {
protected:
    void SetUp() override
    {
        TlsWindow::SetUp();
        std::string whyNot;
        server_ = StartVsftpd(whyNot, FtpServerTls{FtpTlsMode::Explicit, TestCerts().selfSigned});
        ASSERT_TRUE(server_) << whyNot;
    }

    std::unique_ptr<FtpRealServer> server_;
};

class TrustQuestion : public TlsServer, public ::testing::WithParamInterface<TrustCase> {
protected:
    static std::string Fingerprint(Kept kept)
    {
        switch (kept) {
        case Kept::Nothing: return "<missing>";
        case Kept::ServersCertificate: return TestCerts().selfSigned.fingerprint;
        case Kept::OtherCertificate:
        case Kept::OtherForOtherHost: return TestCerts().otherSelfSigned.fingerprint;
        }
        return {};
    }
    static std::string Host(Kept kept) { return kept == Kept::OtherForOtherHost ? "localhost" : "127.0.0.1"; }
};

TEST_P(TrustQuestion, DecidesTheLogInAndWhatTheProfileKeeps)
{
    const TrustCase& c = GetParam();
    if (c.before != Kept::Nothing)
        Remember(Host(c.before), Fingerprint(c.before));
    if (c.answer)
        dialogs_.Answer(*c.answer);
    const QByteArray bytes = BinaryBytes(20000);
    auto form = ShowWindow({MakeFile("secret.bin", bytes)});
    SetAscii(*form, {false});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server_->PortText(), server_->User(), server_->Password());

    PressEnterTwice();

    const std::string memo = Std(form->DisplayMemo->toPlainText());
    const std::vector<std::string> questions = dialogs_.Texts(Kind::Question);
    const TlsCertPair& sent = TestCerts().selfSigned;
    if (c.asked == Asked::Nothing) {
        EXPECT_TRUE(questions.empty()) << questions.front();
    } else {
        ASSERT_EQ(questions.size(), 1u) << memo;
        const std::string& q = questions.front();
        // Why it failed, what the certificate says, and its fingerprint.
        EXPECT_TRUE(Has(q, "127.0.0.1")) << q;
        EXPECT_TRUE(Has(q, "self-signed certificate")) << q;
        EXPECT_TRUE(Has(q, "Subject: ") && Has(q, "localhost")) << q;
        EXPECT_TRUE(Has(q, "Issuer: ")) << q;
        EXPECT_TRUE(Has(q, "Valid from ") && Has(q, " to ")) << q;
        EXPECT_TRUE(Has(q, Shown(sent.fingerprint))) << q;
        EXPECT_TRUE(Has(q, "for the profile \"tls\"")) << q;
        const bool warned = Has(q, "CHANGED") && Has(q, "intercepting");
        EXPECT_EQ(warned, c.asked == Asked::ChangedWarning) << q;
        EXPECT_EQ(Has(q, Shown(TestCerts().otherSelfSigned.fingerprint)), c.asked == Asked::ChangedWarning) << q;
    }
    EXPECT_EQ(dialogs_.UnusedAnswers(), 0u);

    if (c.uploads) {
        EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << memo;
        EXPECT_EQ(ReadAll(server_->StoredPath("secret.bin")), bytes);
        EXPECT_TRUE(dialogs_.Texts(Kind::Message).empty());
    } else {
        // Refused: the user is told why, nothing goes up, and the password
        // never left in clear.
        const std::vector<std::string> messages = dialogs_.Texts(Kind::Message);
        ASSERT_EQ(messages.size(), 1u) << memo;
        const std::string start = "Cannot connect to ftpes://127.0.0.1\nThe secure (TLS) log-in failed: ";
        EXPECT_EQ(messages.front().rfind(start, 0), 0u) << messages.front();
        EXPECT_GT(messages.front().size(), start.size()) << "a reason follows";
        EXPECT_EQ(ReadAll(server_->StoredPath("secret.bin")), "<missing>");
        EXPECT_TRUE(MemoLines(*form, {"> PASS", "> STOR"}).empty()) << memo;
        EXPECT_TRUE(form->OKBn->isEnabled());
    }
    EXPECT_EQ(Saved("tlsfingerprint"), Fingerprint(c.after));
    if (c.after != Kept::Nothing) {
        EXPECT_EQ(Saved("tlshost"), Host(c.after));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrustQuestion,
    ::testing::Values(
        TrustCase{"FirstTimeYes", Kept::Nothing, DialogAnswer::Yes, Asked::Question, true, Kept::ServersCertificate},
        TrustCase{"FirstTimeNo", Kept::Nothing, DialogAnswer::No, Asked::Question, false, Kept::Nothing},
        TrustCase{"Remembered", Kept::ServersCertificate, std::nullopt, Asked::Nothing, true, Kept::ServersCertificate},
        TrustCase{"ChangedYes", Kept::OtherCertificate, DialogAnswer::Yes, Asked::ChangedWarning, true,
                  Kept::ServersCertificate},
        TrustCase{"ChangedNo", Kept::OtherCertificate, DialogAnswer::No, Asked::ChangedWarning, false,
                  Kept::OtherCertificate},
        // Trusted for another host (the profile pointed elsewhere, or went
        // through the firewall): a new question, no false alarm.
        TrustCase{"RememberedForAnotherHost", Kept::OtherForOtherHost, DialogAnswer::No, Asked::Question, false,
                  Kept::OtherForOtherHost}),
    [](const auto& test) { return std::string(test.param.label); });

// Deleting the profile forgets the certificate trusted for it, in the store
// and in this run: the same name typed again is asked again.
TEST_F(TlsServer, DeletingTheProfileForgetsItsCertificate)
{
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server_->PortText(), server_->User(), server_->Password());
    dialogs_.Answer(DialogAnswer::Yes);
    PressEnterTwice();
    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    ASSERT_EQ(Saved("tlsfingerprint"), TestCerts().selfSigned.fingerprint);

    dialogs_.Answer(DialogAnswer::Yes);
    QTest::mouseClick(form->deletebn, Qt::LeftButton);
    EXPECT_EQ(Saved("tlsfingerprint"), "<missing>");
    EXPECT_EQ(Saved("tlshost"), "<missing>");

    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server_->PortText(), server_->User(), server_->Password());
    dialogs_.Answer(DialogAnswer::No);
    PressEnterTwice();
    const std::vector<std::string> questions = dialogs_.Texts(Kind::Question);
    ASSERT_EQ(questions.size(), 3u);
    EXPECT_EQ(questions[1], "Delete profile: tls?");
    EXPECT_TRUE(Has(questions[2], "Trust this certificate for the profile \"tls\"?")) << questions[2];
    EXPECT_FALSE(Has(questions[2], "CHANGED")) << questions[2];
}

// The directory list asks the same question; the upload then goes through
// the session it left open, and the certificate is saved with the profile.
TEST_F(TlsWindow, DirectoryListTrustsForTheUploadThatFollows)
{
    std::string whyNot;
    auto server = StartPyftpdlib(whyNot, 0, FtpServerTls{FtpTlsMode::Explicit, TestCerts().selfSigned});
    ASSERT_TRUE(server) << whyNot;
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server->PortText(), server->User(), server->Password(),
                QString());
    dialogs_.Answer(DialogAnswer::Yes);

    Key(Qt::Key_Down, Qt::AltModifier);
    form->dircmbox->hidePopup();

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "Directory list received") << Std(form->DisplayMemo->toPlainText());
    EXPECT_GE(form->dircmbox->findText(QStringLiteral("upload")), 0);
    EXPECT_EQ(Saved("tlsfingerprint"), "<missing>") << "saved with the profile, at the end of an upload";

    TypeInto(form->dircmbox, QStringLiteral("upload"));
    PressEnterTwice();

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed");
    EXPECT_EQ(ReadAll(server->StoredPath("a.txt")), "abc\n");
    EXPECT_EQ(dialogs_.Count(Kind::Question), 1);
    EXPECT_EQ(Saved("tlsfingerprint"), TestCerts().selfSigned.fingerprint);
}

// Refused from the directory list: the status bar gives the reason, and
// the next try asks again.
TEST_F(TlsWindow, DirectoryListRefusedTellsWhyInTheStatusBar)
{
    std::string whyNot;
    auto server = StartPyftpdlib(whyNot, 0, FtpServerTls{FtpTlsMode::Explicit, TestCerts().selfSigned});
    ASSERT_TRUE(server) << whyNot;
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server->PortText(), server->User(), server->Password(),
                QString());

    for (int attempt = 1; attempt <= 2; ++attempt) {
        dialogs_.Answer(DialogAnswer::No);
        Key(Qt::Key_Down, Qt::AltModifier);
        form->dircmbox->hidePopup();

        const std::string status = Std(form->statusBar->PanelText(1));
        EXPECT_EQ(status.rfind("Cannot connect to ftpes://127.0.0.1: ", 0), 0u) << status;
        EXPECT_TRUE(Has(status, "self-signed certificate")) << status;
        EXPECT_EQ(dialogs_.Count(Kind::Question), attempt);
    }
    EXPECT_EQ(dialogs_.Count(Kind::Message), 0) << "the directory list reports in the status bar only";
    EXPECT_EQ(Saved("tlsfingerprint"), "<missing>");
}

// A certificate whose subject is written to add lines to the question,
// among them a forged fingerprint line: the real fingerprint comes first,
// and every break in the subject is shown as an escape, so the forged
// line stays inside the subject's line.
TEST_F(TlsWindow, TheQuestionShowsTheFingerprintFirstAndNoLineOfTheCertificatesMaking)
{
    std::string whyNot;
    const TlsCertPair& sent = TestCerts().lineBreakingSubject;
    auto server = StartPyftpdlib(whyNot, 0, FtpServerTls{FtpTlsMode::Explicit, sent});
    ASSERT_TRUE(server) << whyNot;
    dialogs_.Answer(DialogAnswer::No);
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server->PortText(), server->User(), server->Password());

    PressEnterTwice();

    const std::vector<std::string> questions = dialogs_.Texts(Kind::Question);
    ASSERT_EQ(questions.size(), 1u) << Std(form->DisplayMemo->toPlainText());
    const std::string& q = questions.front();
    for (const char* raw : {"\xe2\x80\xa8", "\xe2\x80\xa9", "\xc2\x85", "\xe2\x80\xae", "\r", "\t"})
        EXPECT_EQ(q.find(raw), std::string::npos) << q;
    EXPECT_TRUE(Has(q, "\\u2028SHA-256 fingerprint: " + TestCerts().lineBreakingForgedFingerprint + "\\u2029")) << q;
    EXPECT_TRUE(Has(q, "next\\u0085line\\u000Anew\\u000Dback\\u0009tab")) << q;
    // Line by line: the real fingerprint on a line of its own before the
    // subject, the forged one only inside the subject's line (and the
    // issuer's: the certificate signed itself).
    std::vector<std::string> lines;
    for (std::size_t start = 0;;) {
        const std::size_t end = q.find('\n', start);
        lines.push_back(q.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    const auto real = std::find(lines.begin(), lines.end(), "SHA-256 fingerprint: " + Shown(sent.fingerprint));
    const auto subject =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Subject: ", 0) == 0; });
    ASSERT_NE(real, lines.end()) << q;
    ASSERT_NE(subject, lines.end()) << q;
    EXPECT_LT(real, subject) << q;
    for (const std::string& line : lines) {
        if (Has(line, TestCerts().lineBreakingForgedFingerprint)) {
            EXPECT_TRUE(line.rfind("Subject: ", 0) == 0 || line.rfind("Issuer: ", 0) == 0) << line;
        }
    }
    EXPECT_EQ(ReadAll(server->StoredPath("a.txt")), "<missing>");
}

// Implicit TLS on a port of its own, with the certificate remembered: no
// question, and a whole selection goes up in one session (vsftpd demands
// that every data connection resumes the session).
TEST_F(TlsWindow, ImplicitTlsWithARememberedCertificate)
{
    std::string whyNot;
    auto server = StartVsftpd(whyNot, FtpServerTls{FtpTlsMode::Implicit, TestCerts().selfSigned});
    ASSERT_TRUE(server) << whyNot;
    Remember("127.0.0.1", TestCerts().selfSigned.fingerprint);
    const QByteArray bytes = BinaryBytes(70000);
    auto form = ShowWindow({MakeFile("b.bin", bytes), MakeFile("c.txt", "one\ntwo\n"), MakeFile("d.bin", ""),
                            MakeFile("e.bin", BinaryBytes(16385))});
    SetAscii(*form, {false, true, false, false});
    TypeProfile(*form, QStringLiteral("ftps://127.0.0.1"), server->PortText(), server->User(), server->Password());

    PressEnterTwice();

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(ReadAll(server->StoredPath("b.bin")), bytes);
    EXPECT_EQ(ReadAll(server->StoredPath("c.txt")), QByteArray("one\ntwo\n"));
    EXPECT_EQ(ReadAll(server->StoredPath("d.bin")), QByteArray());
    EXPECT_EQ(ReadAll(server->StoredPath("e.bin")), BinaryBytes(16385));
    EXPECT_TRUE(dialogs_.Log().empty());
}

// A server without TLS: the log-in stops at AUTH TLS with the server's
// refusal as the reason, and nothing is sent in clear after it.
TEST_F(TlsWindow, ServerWithoutTlsIsRefusedWithItsReason)
{
    std::string whyNot;
    auto server = StartPyftpdlib(whyNot);
    ASSERT_TRUE(server) << whyNot;
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    TypeProfile(*form, QStringLiteral("ftpes://127.0.0.1"), server->PortText(), server->User(), server->Password());

    PressEnterTwice();

    const std::vector<std::string> messages = dialogs_.Texts(Kind::Message);
    ASSERT_EQ(messages.size(), 1u) << Std(form->DisplayMemo->toPlainText());
    const std::string start = "Cannot connect to ftpes://127.0.0.1\nThe secure (TLS) log-in failed: ";
    EXPECT_EQ(messages.front().rfind(start, 0), 0u) << messages.front();
    EXPECT_GT(messages.front().size(), start.size());
    EXPECT_TRUE(MemoLines(*form, {"> USER", "> PASS"}).empty()) << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(dialogs_.Count(Kind::Question), 0);
}

// Through a firewall: the TLS of the address is spoken with the firewall,
// whose certificate is the one remembered, and the user name carries the
// server's bare host. (The test's firewall is an FTP server over TLS that
// knows no such user.)
TEST_F(TlsWindow, FirewallGetsTheAddressesTlsAndTheBareHost)
{
    std::string whyNot;
    auto firewall = StartPyftpdlib(whyNot, 0, FtpServerTls{FtpTlsMode::Explicit, TestCerts().selfSigned});
    ASSERT_TRUE(firewall) << whyNot;
    Remember("127.0.0.1", TestCerts().selfSigned.fingerprint);
    auto form = ShowWindow({MakeFile("a.txt", "abc\n")});
    form->state.useFirewall = true;
    form->state.firewallHost = QStringLiteral("127.0.0.1");
    form->state.firewallPort = QString::fromStdString(firewall->PortText());
    TypeProfile(*form, QStringLiteral("ftpes://srv.example.org"), "21", "me", "pw");

    PressEnterTwice();

    const std::string memo = Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(MemoLines(*form, {"> AUTH", "> USER"}),
              (std::vector<std::string>{"> AUTH TLS", "> USER me@srv.example.org"}))
        << memo;
    EXPECT_EQ(dialogs_.Count(Kind::Question), 0) << "the firewall's certificate was remembered";
    const std::vector<std::string> messages = dialogs_.Texts(Kind::Message);
    ASSERT_EQ(messages.size(), 1u) << memo;
    EXPECT_EQ(messages.front().rfind("Cannot connect to ftpes://127.0.0.1\nThe server refused the log-in: 530", 0), 0u)
        << messages.front();
}

} // namespace
