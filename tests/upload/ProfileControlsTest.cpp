// The profile controls: picking, creating and deleting profiles, the
// anonymous switch, and the Enter key moving the focus on.

#include <QLineEdit>
#include <QTest>

#include "UploadFixture.h"
#include "platform/Registry.h"
#include "support/FtpScriptServer.h"

namespace {

using Kind = ScriptedDialogs::Kind;

const std::string Hosts = "Software\\Parcelo\\Hosts";

class Profiles : public UploadTest {
protected:
    static void SaveProfile(const std::string& name, const std::string& address, const std::string& user)
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(Hosts + "\\" + name, true));
        registry.WriteString("address", address);
        registry.WriteString("port", "21");
        registry.WriteBool("anonymous", false);
        registry.WriteString("username", user);
        registry.WriteBool("remember", false);
        registry.WriteBool("insub", false);
    }

    static void SetHostsValue(const std::string& name, const std::string& value)
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(Hosts, true));
        registry.WriteString(name, value);
    }

    static std::string LastHost()
    {
        TRegistry registry;
        if (!registry.OpenKey(Hosts, false) || !registry.ValueExists("lasthost"))
            return "<none>";
        return registry.ReadString("lasthost");
    }

    static bool ProfileSaved(const std::string& name)
    {
        TRegistry registry;
        return registry.KeyExists(Hosts + "\\" + name);
    }

    static QStringList Entries(const TForm1& form)
    {
        QStringList entries;
        for (int i = 0; i < form.hostcmbox->count(); ++i)
            entries << form.hostcmbox->itemText(i);
        return entries;
    }

    // Picks the next entry of the profile list with the keyboard, as a user
    // would.
    static void PickNext(TForm1& form) { QTest::keyClick(form.hostcmbox, Qt::Key_Down); }
};

// A session left open belongs to the server and user it was opened for:
// switching to a profile with another address or user drops it, switching
// to one with the same leaves it.
TEST_F(Profiles, SwitchingDropsTheOpenSessionOnlyWhenAddressOrUserChanged)
{
    SaveProfile("alpha", "127.0.0.1", "u");
    SaveProfile("beta", "127.0.0.1", "u");
    SaveProfile("gamma", "127.0.0.1", "other");
    SaveProfile("delta", "localhost", "other");
    SetHostsValue("lasthost", "alpha");
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.WaitForClose();
    });
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    ASSERT_EQ(Entries(*form), (QStringList{"alpha", "beta", "delta", "gamma"}));
    form->hostcmbox->setCurrentIndex(0);
    form->dircmbox->addItem(QStringLiteral("listed"));
    form->dir_record << QStringLiteral("listed");
    form->FTP->SetHostName("127.0.0.1");
    form->FTP->SetPort(server.PortText());
    form->FTP->SetUserName("u");
    form->FTP->SetPassWord("pw");
    ASSERT_TRUE(form->FTP->Connect());

    PickNext(*form); // beta: same address, same user
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "beta");
    EXPECT_TRUE(form->FTP->Connected());
    EXPECT_EQ(form->dircmbox->count(), 0) << "the directory list belongs to the profile shown before";
    EXPECT_TRUE(form->dir_record.isEmpty());

    // Typing a name loads nothing and so keeps the session too.
    QTest::keyClicks(form->hostcmbox->lineEdit(), QStringLiteral("x"));
    EXPECT_EQ(Std(form->useredit->text()), "u");
    EXPECT_TRUE(form->FTP->Connected());

    PickNext(*form); // delta: another address
    EXPECT_EQ(Std(form->addressedit->text()), "localhost");
    EXPECT_FALSE(form->FTP->Connected());
    EXPECT_EQ(server.Join(), (std::vector<std::string>{"USER u", "PASS pw"})) << "dropped, not quit";
}

TEST_F(Profiles, DeletingTheOnlyProfileLeavesAnEmptyOne)
{
    SaveProfile("solo", "ftp.example.org", "me");
    SetHostsValue("lasthost", "solo");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    ASSERT_EQ(Std(form->hostcmbox->currentText()), "solo");
    form->passedit->setText(QStringLiteral("pw"));
    form->remckbox->setChecked(true);
    form->subdirRadio->setChecked(true);
    form->dircmbox->setEditText(QStringLiteral("upload"));

    dialogs_.Answer(DialogAnswer::No);
    form->deletebn->click();
    EXPECT_TRUE(ProfileSaved("solo"));
    EXPECT_EQ(Std(form->addressedit->text()), "ftp.example.org");

    dialogs_.Answer(DialogAnswer::Yes);
    form->deletebn->click();

    EXPECT_EQ(dialogs_.Texts(Kind::Question),
              (std::vector<std::string>{"Delete profile: solo?", "Delete profile: solo?"}));
    EXPECT_FALSE(ProfileSaved("solo"));
    EXPECT_EQ(LastHost(), "");
    EXPECT_EQ(form->hostcmbox->count(), 0);
    for (const QString& text : {form->hostcmbox->currentText(), form->addressedit->text(), form->useredit->text(),
                                form->passedit->text(), form->dircmbox->currentText()})
        EXPECT_EQ(Std(text), "");
    EXPECT_FALSE(form->anonyckbox->isChecked());
    EXPECT_FALSE(form->remckbox->isChecked());
    EXPECT_TRUE(form->loginDirRadio->isChecked());
    EXPECT_FALSE(form->dircmbox->isEnabled());
    EXPECT_EQ(Std(form->portedit->text()), "21");
    EXPECT_TRUE(FocusOn(*form, form->hostcmbox));
}

// The last entry of the list takes the deleted profile's place; "lasthost"
// changes only when it named the deleted profile.
TEST_F(Profiles, DeletingSwitchesToTheLastEntryAndMovesLastHostOnlyWhenItWentAway)
{
    SaveProfile("alpha", "a.example.org", "ua");
    SaveProfile("beta", "b.example.org", "ub");
    SaveProfile("gamma", "g.example.org", "ug");
    SetHostsValue("lasthost", "beta");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->hostcmbox->setCurrentIndex(0);
    form->readreg(QStringLiteral("p"));
    ASSERT_EQ(Std(form->addressedit->text()), "a.example.org");

    dialogs_.Answer(DialogAnswer::Yes);
    form->deletebn->click(); // alpha: not the last host
    EXPECT_FALSE(ProfileSaved("alpha"));
    EXPECT_EQ(LastHost(), "beta");
    EXPECT_EQ(Entries(*form), (QStringList{"beta", "gamma"}));
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "gamma");
    EXPECT_EQ(Std(form->addressedit->text()), "g.example.org");
    EXPECT_EQ(Std(form->useredit->text()), "ug");

    form->hostcmbox->setCurrentIndex(0);
    dialogs_.Answer(DialogAnswer::Yes);
    form->deletebn->click(); // beta: the last host
    EXPECT_EQ(LastHost(), "gamma");
    EXPECT_EQ(Entries(*form), QStringList{"gamma"});
    EXPECT_TRUE(ProfileSaved("gamma"));
}

// A profile name of backslashes alone names no profile key of its own;
// deleting it must not take the whole "Hosts" key with it.
TEST_F(Profiles, DeletingABackslashNameKeepsEveryOtherProfile)
{
    SaveProfile("alpha", "a.example.org", "ua");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->hostcmbox->setEditText(QStringLiteral("\\"));
    dialogs_.Answer(DialogAnswer::Yes);

    form->deletebn->click();

    EXPECT_TRUE(ProfileSaved("alpha"));
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "alpha");
}

TEST_F(Profiles, NewProfileClearsTheControlsButKeepsThePort)
{
    SetHostsValue("emailaddress", "me@example.org");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    FillProfile(*form, QStringLiteral("ftp.example.org"), QStringLiteral("2121"), QStringLiteral("me"),
                QStringLiteral("pw"), QStringLiteral("work"));
    form->anonyckbox->setChecked(true);
    SetSubdirectory(*form, QStringLiteral("upload"));
    form->dircmbox->addItem(QStringLiteral("listed"));
    form->dir_record << QStringLiteral("listed");

    form->newbn->click();

    for (const QString& text : {form->hostcmbox->currentText(), form->addressedit->text(), form->useredit->text(),
                                form->passedit->text(), form->dircmbox->currentText()})
        EXPECT_EQ(Std(text), "");
    EXPECT_EQ(Std(form->portedit->text()), "2121");
    EXPECT_FALSE(form->anonyckbox->isChecked());
    EXPECT_FALSE(form->remckbox->isChecked());
    EXPECT_TRUE(form->loginDirRadio->isChecked());
    EXPECT_EQ(form->dircmbox->count(), 0);
    EXPECT_TRUE(form->dir_record.isEmpty());
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(FocusOn(*form, form->hostcmbox));
}

// Anonymous on offers the saved e-mail address as the password, in clear;
// off again leaves both boxes empty, not with what they held before.
TEST_F(Profiles, AnonymousOnAndOffAgainLeavesUserAndPasswordEmpty)
{
    SetHostsValue("emailaddress", "me@example.org");
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->useredit->setText(QStringLiteral("me"));
    form->passedit->setText(QStringLiteral("pw"));

    form->anonyckbox->click();
    EXPECT_EQ(Std(form->useredit->text()), "anonymous");
    EXPECT_EQ(Std(form->passedit->text()), "me@example.org");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(form->remckbox->isChecked());

    form->anonyckbox->click();
    EXPECT_EQ(Std(form->useredit->text()), "");
    EXPECT_EQ(Std(form->passedit->text()), "");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(FocusOn(*form, form->useredit));
}

struct EnterCase {
    const char* from;
    bool subdirectory;
    const char* to;
};

void PrintTo(const EnterCase& c, std::ostream* os)
{
    *os << c.from << (c.subdirectory ? " (sub-directory)" : "");
}

class EnterKey : public UploadTest, public ::testing::WithParamInterface<EnterCase> { };

TEST_P(EnterKey, MovesTheFocusOn)
{
    const EnterCase& c = GetParam();
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    if (c.subdirectory)
        SetSubdirectory(*form, QString());
    auto* from = form->findChild<QWidget*>(QString::fromLatin1(c.from));
    from->setFocus();

    QTest::keyClick(from, Qt::Key_Return);

    EXPECT_TRUE(FocusOn(*form, form->findChild<QWidget*>(QString::fromLatin1(c.to))))
        << "focus on " << Std(form->focusWidget() ? form->focusWidget()->objectName() : QString());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EnterKey,
    ::testing::Values(EnterCase{"hostcmbox", false, "addressedit"}, EnterCase{"addressedit", false, "useredit"},
                      EnterCase{"portedit", false, "useredit"}, EnterCase{"useredit", false, "passedit"},
                      EnterCase{"passedit", false, "OKBn"}, EnterCase{"passedit", true, "dircmbox"},
                      EnterCase{"dircmbox", true, "OKBn"}),
    [](const auto& test) { return std::string(test.param.from) + (test.param.subdirectory ? "_sub" : ""); });

// Other keys are left to the box; Enter on the focused OK button presses it.
TEST_F(UploadTest, EnterOnOKStartsTheJobAndOtherKeysAreTyped)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->addressedit->setFocus();
    QTest::keyClicks(form->addressedit, QStringLiteral("host"));
    EXPECT_EQ(Std(form->addressedit->text()), "host");
    EXPECT_TRUE(FocusOn(*form, form->addressedit));

    form->OKBn->setFocus();
    QTest::keyClick(form->OKBn, Qt::Key_Return);
    EXPECT_EQ(dialogs_.Texts(Kind::Message), std::vector<std::string>{"Please enter a profile name"});
}

} // namespace
