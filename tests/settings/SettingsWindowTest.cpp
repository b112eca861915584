// The settings load and save through the real main window (offscreen), on a
// store in a temporary folder.

#include "app/Main.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "settings/Encode.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"
#include "support/TestNames.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <variant>

namespace {

using Value = std::variant<std::string, bool>;
using Values = std::map<std::string, Value>;

std::string Std(const QString& text)
{
    return text.toStdString();
}

class SettingsWindow : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        SetApplicationTitle("Parcelo");
        db = Std(dir.filePath("registry.db"));
        qputenv("PARCELO_REGISTRY", QByteArray::fromStdString(db));
        RegistrySetLockWait(std::chrono::milliseconds(3000));
    }
    void TearDown() override { qunsetenv("PARCELO_REGISTRY"); }

    // Writes values below Software\Parcelo\<key>.
    static void Put(const std::string& key, const Values& values)
    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\" + key, true)) << key;
        for (const auto& [name, value] : values) {
            if (const auto* s = std::get_if<std::string>(&value))
                reg.WriteString(name, *s);
            else
                reg.WriteBool(name, std::get<bool>(value));
        }
    }

    static std::string Get(const std::string& key, const std::string& name)
    {
        TRegistry reg;
        if (!reg.OpenKey("Software\\Parcelo\\" + key, false) || !reg.ValueExists(name))
            return "<missing>";
        return reg.GetDataType(name) == TRegDataType::rdInteger ? std::to_string(reg.ReadInteger(name))
                                                                : reg.ReadString(name);
    }

    static std::vector<std::string> ValueNames(const std::string& key)
    {
        TRegistry reg;
        if (!reg.OpenKey("Software\\Parcelo\\" + key, false))
            return {"<missing>"};
        return reg.GetValueNames();
    }

    std::unique_ptr<TForm1> Open(const QStringList& paths = {})
    {
        return std::make_unique<TForm1>(QStringList{QStringLiteral("/usr/bin/parcelo")} + paths);
    }

    QString SampleFile(const QString& name = QStringLiteral("notes.txt"))
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("hello\n");
        return path;
    }

    static std::string Scrambled(const std::string& password)
    {
        Tencode e;
        e.SetKey("QZRW");
        e.SetDecimalOut(false);
        e.SetSequence("123");
        e.SetMoveNumber(6);
        e.SetTextInOut(password);
        return e.TextInOut();
    }

    QTemporaryDir dir;
    std::string db;
    ScriptedDialogs dialogs;
};

TEST_F(SettingsWindow, FirstStartWithAnEmptyStore)
{
    auto form = Open();
    EXPECT_EQ(form->hostcmbox->count(), 1);
    EXPECT_EQ(Std(form->hostcmbox->itemText(0)), "");
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "");
    EXPECT_EQ(Std(form->addressedit->text()), "");
    EXPECT_EQ(Std(form->portedit->text()), "21");
    EXPECT_TRUE(form->loginDirRadio->isChecked());
    EXPECT_FALSE(form->dircmbox->isEnabled());
    EXPECT_FALSE(form->anonyckbox->isChecked());
    EXPECT_FALSE(form->state.useFirewall || form->state.exitWhenDone);
    EXPECT_TRUE(form->state.passiveMode) << "a fresh store starts in passive mode";
    EXPECT_EQ(form->txtlist, QStringList{".txt"});
    EXPECT_TRUE(dialogs.Log().empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(db))) << "starting must not create the store";
}

TEST_F(SettingsWindow, SavedProfileComesBackOnTheNextStart)
{
    {
        auto form = Open();
        form->hostcmbox->setEditText("work");
        form->addressedit->setText("ftp.example.org");
        form->portedit->setText("2121");
        form->useredit->setText("me");
        form->passedit->setText("s3cret");
        form->remckbox->setChecked(true);
        form->subdirRadio->setChecked(true);
        form->dircmbox->setEditText("pub/in");
        form->state.useFirewall = true;
        form->state.firewallHost = "fw.example.org";
        form->state.firewallPort = "2100";
        form->state.passiveMode = true;
        form->state.exitWhenDone = true;
        form->txtlist = QStringList{".txt", ".c", ".h"};
        form->writereg();
    }
    EXPECT_EQ(Get("Hosts\\work", "password"), Scrambled("s3cret")) << "never kept in clear";
    EXPECT_EQ(Get("Hosts", "lasthost"), "work");
    Put("Hosts\\other", {{"address", std::string("other.example.org")}});

    auto form = Open();
    EXPECT_EQ(form->hostcmbox->count(), 2);
    EXPECT_EQ(Std(form->hostcmbox->itemText(0)), "other");
    EXPECT_EQ(Std(form->hostcmbox->itemText(1)), "work");
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "work");
    EXPECT_EQ(Std(form->addressedit->text()), "ftp.example.org");
    EXPECT_EQ(Std(form->portedit->text()), "2121");
    EXPECT_EQ(Std(form->useredit->text()), "me");
    EXPECT_TRUE(form->remckbox->isChecked());
    EXPECT_EQ(Std(form->passedit->text()), "s3cret");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(form->subdirRadio->isChecked());
    EXPECT_TRUE(form->dircmbox->isEnabled());
    EXPECT_EQ(Std(form->dircmbox->currentText()), "pub/in");
    EXPECT_TRUE(form->state.useFirewall);
    EXPECT_EQ(Std(form->state.firewallHost), "fw.example.org");
    EXPECT_EQ(Std(form->state.firewallPort), "2100");
    EXPECT_TRUE(form->state.passiveMode);
    EXPECT_TRUE(form->state.exitWhenDone);
    EXPECT_EQ(form->txtlist, (QStringList{".txt", ".c", ".h"}));
    EXPECT_TRUE(dialogs.Log().empty());
}

// One profile in the store, loaded at start-up; each row checks the
// controls it is about.
struct LoadCase {
    const char* what;
    Values hosts;   // values of "Hosts"
    Values profile; // values of "Hosts\work" (no key when empty)
    std::function<void(TForm1&)> check;
};

class SettingsLoad : public SettingsWindow, public testing::WithParamInterface<LoadCase> { };

TEST_P(SettingsLoad, FillsTheControls)
{
    const LoadCase& c = GetParam();
    Put("Hosts", c.hosts);
    if (!c.profile.empty())
        Put("Hosts\\work", c.profile);
    auto form = Open();
    c.check(*form);
    EXPECT_TRUE(dialogs.Log().empty()) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsLoad,
    testing::Values(LoadCase{"lasthost names a vanished profile",
                             {{"lasthost", std::string("gone")}},
                             {{"address", std::string("ftp.example.org")}},
                             [](TForm1& f) {
                                 EXPECT_EQ(Std(f.hostcmbox->currentText()), "gone");
                                 EXPECT_EQ(f.hostcmbox->count(), 1); // the list holds "work" only
                                 EXPECT_EQ(Std(f.addressedit->text()), "");
                                 EXPECT_EQ(Std(f.portedit->text()), "21");
                                 EXPECT_TRUE(f.loginDirRadio->isChecked());
                             }},
                    LoadCase{"profile without an address",
                             {{"lasthost", std::string("work")}},
                             {{"port", std::string("990")}},
                             [](TForm1& f) {
                                 EXPECT_EQ(Std(f.addressedit->text()), "work");
                                 EXPECT_EQ(Std(f.portedit->text()), "990");
                             }},
                    LoadCase{"anonymous profile ignores the saved user and password",
                             {{"lasthost", std::string("work")}, {"emailaddress", std::string("me@example.org")}},
                             {{"anonymous", true},
                              {"username", std::string("bob")},
                              {"remember", false},
                              {"password", std::string("xx")}},
                             [](TForm1& f) {
                                 EXPECT_TRUE(f.anonyckbox->isChecked());
                                 EXPECT_EQ(Std(f.useredit->text()), "anonymous");
                                 EXPECT_EQ(f.passedit->echoMode(), QLineEdit::Normal);
                                 EXPECT_EQ(Std(f.passedit->text()), "me@example.org");
                                 EXPECT_TRUE(f.remckbox->isChecked());
                             }},
                    LoadCase{
                        "remember off does not read the password",
                        {{"lasthost", std::string("work")}},
                        {{"username", std::string("bob")}, {"remember", false}, {"password", std::string("\x34\x3a")}},
                        [](TForm1& f) {
                            EXPECT_EQ(Std(f.useredit->text()), "bob");
                            EXPECT_FALSE(f.remckbox->isChecked());
                            EXPECT_EQ(Std(f.passedit->text()), "");
                        }},
                    LoadCase{"sub-directory off empties the directory box",
                             {{"lasthost", std::string("work")}},
                             {{"insub", false}, {"subdir", std::string("kept/for/later")}},
                             [](TForm1& f) {
                                 EXPECT_TRUE(f.loginDirRadio->isChecked());
                                 EXPECT_FALSE(f.dircmbox->isEnabled());
                                 EXPECT_EQ(Std(f.dircmbox->currentText()), "");
                             }},
                    LoadCase{"no lasthost looks in Hosts itself",
                             {{"emailaddress", std::string("me@example.org")}},
                             {{"address", std::string("ftp.example.org")}},
                             [](TForm1& f) {
                                 EXPECT_EQ(Std(f.hostcmbox->currentText()), "");
                                 EXPECT_EQ(Std(f.addressedit->text()), "");
                                 EXPECT_EQ(f.passedit->echoMode(), QLineEdit::Password);
                                 EXPECT_TRUE(f.loginDirRadio->isChecked());
                             }}),
    [](const testing::TestParamInfo<LoadCase>& test) { return WordsAsName(test.param.what); });

TEST_F(SettingsWindow, SavedExtensionsDecideTheCheckBoxesOfTheFileList)
{
    // The settings are read before the rows are built.
    Put("Options\\Extensions", {{".C", std::string("")}});
    auto form = Open({SampleFile(), SampleFile("main.c")});
    ASSERT_EQ(form->fileList->topLevelItemCount(), 2);
    EXPECT_EQ(form->fileList->topLevelItem(0)->checkState(0), Qt::Unchecked) << "notes.txt";
    EXPECT_EQ(form->fileList->topLevelItem(1)->checkState(0), Qt::Checked) << "main.c";
}

TEST_F(SettingsWindow, ProfileLoadWithRememberOffKeepsTheTypedPassword)
{
    Put("Hosts\\a", {{"address", std::string("a.example.org")}, {"remember", false}, {"password", std::string("")}});
    auto form = Open();
    form->passedit->setText("typed");
    form->hostcmbox->setEditText("a");
    form->readreg("p");
    EXPECT_EQ(Std(form->addressedit->text()), "a.example.org");
    EXPECT_EQ(Std(form->passedit->text()), "typed");
}

TEST_F(SettingsWindow, EmptyProfileNameSavesNothingAtAll)
{
    auto form = Open();
    form->addressedit->setText("ftp.example.org");
    form->state.passiveMode = true;
    form->writereg();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(db)));
    EXPECT_TRUE(dialogs.Log().empty());
}

TEST_F(SettingsWindow, SavingLeavesOutFieldsThatDoNotApply)
{
    Put("Hosts\\work", {{"username", std::string("bob")},
                        {"remember", true},
                        {"password", Scrambled("old")},
                        {"subdir", std::string("pub")}});
    auto form = Open();
    form->hostcmbox->setEditText("work");
    form->anonyckbox->setChecked(true);
    form->passedit->setText("me@example.org");
    form->loginDirRadio->setChecked(true);
    form->writereg();
    EXPECT_EQ(Get("Hosts", "emailaddress"), "me@example.org");
    EXPECT_EQ(Get("Hosts\\work", "anonymous"), "1");
    EXPECT_EQ(Get("Hosts\\work", "insub"), "0");
    EXPECT_EQ(Get("Hosts\\work", "username"), "bob");
    EXPECT_EQ(Get("Hosts\\work", "password"), Scrambled("old"));
    EXPECT_EQ(Get("Hosts\\work", "subdir"), "pub");

    // Without "save password" the stored password is emptied.
    form->anonyckbox->setChecked(false);
    form->useredit->setText("bob");
    form->passedit->setText("new");
    form->remckbox->setChecked(false);
    form->writereg();
    EXPECT_EQ(Get("Hosts\\work", "password"), "");
    EXPECT_EQ(Get("Hosts\\work", "remember"), "0");
}

// The web address is saved with its profile and loads with it; a profile
// saved by a version without it has none, whatever the window showed.
TEST_F(SettingsWindow, WebAddressGoesWithItsProfileAndAnOlderProfileHasNone)
{
    Put("Hosts\\old", {{"address", std::string("old.example.org")}, {"insub", false}});
    auto form = Open();
    form->hostcmbox->setEditText("new");
    form->addressedit->setText("new.example.org");
    form->webedit->setText("https://example.org/files/");
    form->writereg();
    EXPECT_EQ(Get("Hosts\\new", "webaddress"), "https://example.org/files/");
    EXPECT_EQ(Get("Hosts\\old", "webaddress"), "<missing>");

    form->hostcmbox->setEditText("old");
    form->readreg("p");
    EXPECT_EQ(Std(form->addressedit->text()), "old.example.org");
    EXPECT_EQ(Std(form->webedit->text()), "");
    form->hostcmbox->setEditText("new");
    form->readreg("p");
    EXPECT_EQ(Std(form->webedit->text()), "https://example.org/files/");
    EXPECT_TRUE(dialogs.Log().empty());
}

// The upload rules: the temporary name and the rule for existing files go
// with their profile, reconnecting and the file times with the options. A
// profile an older version saved (no rule) goes by the defaults rather than
// by the profile shown before it; a rule a newer version wrote overwrites;
// an attempt count out of range is held to what the dialog offers at most.
TEST_F(SettingsWindow, UploadRulesTravelWithTheirProfile)
{
    {
        auto form = Open();
        form->hostcmbox->setEditText("work");
        form->addressedit->setText("ftp.example.org");
        form->state.tempSuffix = ".part";
        form->state.ifExists = ExistingFileRule::Skip;
        form->state.reconnectAttempts = 0;
        form->state.keepModificationTime = true;
        form->writereg();
    }
    EXPECT_EQ(Get("Hosts\\work", "tempsuffix"), ".part");
    EXPECT_EQ(Get("Hosts\\work", "ifexists"), "skip");
    EXPECT_EQ(Get("Options", "reconnects"), "0");
    EXPECT_EQ(Get("Options", "keeptime"), "1");
    Put("Hosts\\old", {{"address", std::string("old.example.org")}});
    Put("Hosts\\newer", {{"tempsuffix", std::string("~")}, {"ifexists", std::string("rename-it")}});

    auto form = Open();
    EXPECT_EQ(Std(form->state.tempSuffix), ".part");
    EXPECT_EQ(form->state.ifExists, ExistingFileRule::Skip);
    EXPECT_EQ(form->state.reconnectAttempts, 0);
    EXPECT_TRUE(form->state.keepModificationTime);
    form->hostcmbox->setEditText("old");
    form->readreg("p");
    EXPECT_EQ(Std(form->state.tempSuffix), "");
    EXPECT_EQ(form->state.ifExists, ExistingFileRule::Overwrite);
    form->hostcmbox->setEditText("newer");
    form->readreg("p");
    EXPECT_EQ(Std(form->state.tempSuffix), "~");
    EXPECT_EQ(form->state.ifExists, ExistingFileRule::Overwrite);

    {
        TRegistry reg;
        ASSERT_TRUE(reg.OpenKey("Software\\Parcelo\\Options", true));
        reg.WriteInteger("reconnects", 1000);
    }
    EXPECT_EQ(Open()->state.reconnectAttempts, 99);
    EXPECT_TRUE(dialogs.Log().empty());
}

TEST_F(SettingsWindow, ExtensionsAreStoredAsValueNames)
{
    Put("Options\\Extensions", {{".stale", std::string("")}});
    {
        auto form = Open();
        form->hostcmbox->setEditText("work");
        form->txtlist = QStringList{".txt", ".TXT", ".c", ".c", "", ".h"};
        form->writereg();
    }
    EXPECT_EQ(ValueNames("Options\\Extensions"), (std::vector<std::string>{".txt", ".c", "", ".h"}));
    EXPECT_EQ(Get("Options\\Extensions", ""), "");
    auto form = Open();
    EXPECT_EQ(form->txtlist, (QStringList{".txt", ".c", "", ".h"}));
}

TEST_F(SettingsWindow, PasswordThatCannotComeBackIsNotSaved)
{
    // "î" is C3 AE in UTF-8; AE at a position whose key byte is "Q" XORs
    // to 255, which the scrambler cannot tell from 0.
    auto form = Open();
    form->hostcmbox->setEditText("work");
    form->useredit->setText("me");
    form->passedit->setText(QString::fromUtf8("xyz\xC3\xAE"));
    form->remckbox->setChecked(true);
    form->writereg();
    EXPECT_EQ(Get("Hosts\\work", "password"), "");
    ASSERT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Message).size(), 1u);
    EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Message)[0],
              "The password of profile \"work\" was not saved: it holds a character that Parcelo cannot store. "
              "Type it again on the next upload.");

    // Other non-ASCII passwords are kept.
    form->passedit->setText(QString::fromUtf8("p\xC3\xA4ss"));
    form->writereg();
    auto again = Open();
    EXPECT_EQ(Std(again->passedit->text()), "p\xC3\xA4ss");
}

TEST_F(SettingsWindow, ValueOfTheWrongKindIsReportedAndTheWindowStillOpens)
{
    Put("Hosts", {{"lasthost", std::string("work")}});
    Put("Hosts\\work", {{"address", std::string("ftp.example.org")}, {"port", true}});
    Put("Options", {{"passivemode", false}});
    auto form = Open({SampleFile()});
    EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Error), std::vector<std::string>{"Invalid data type for 'port'"});
    EXPECT_EQ(Std(form->addressedit->text()), "ftp.example.org"); // read before the bad value
    EXPECT_TRUE(form->state.passiveMode);                         // after it: not read, the default stays
    EXPECT_EQ(form->fileList->topLevelItemCount(), 1);
    EXPECT_TRUE(form->ListReady);

    // Saving now would put defaults over the unread options: it declines,
    // and says which value stops it and how to mend it.
    dialogs.Clear();
    form->writereg();
    EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Message),
              std::vector<std::string>{"The settings were not saved: Parcelo could not read \"" + db +
                                       "\" when it started, and leaves that file as it is.\n"
                                       "Invalid data type for 'port' in \"Software\\Parcelo\\Hosts\\work\". To mend "
                                       "it, delete the profile \"work\" with the Delete profile button and start "
                                       "Parcelo again."});
    EXPECT_EQ(Get("Options", "passivemode"), "0");
    EXPECT_EQ(Get("Hosts\\work", "port"), "1");
}

// A value of the wrong kind part-way through a profile: the window shows
// what was read before it, as the reactions left it, and nothing after it.
struct BadValueCase {
    const char* bad;   // the value of the wrong kind
    const char* error; // what the error box says
    Values profile;
    std::function<void(TForm1&)> check;
};

class BadProfileValue : public SettingsWindow, public testing::WithParamInterface<BadValueCase> { };

TEST_P(BadProfileValue, ShowsWhatWasReadBeforeIt)
{
    const BadValueCase& c = GetParam();
    Put("Hosts", {{"lasthost", std::string("work")}});
    Put("Hosts\\work", c.profile);
    auto form = Open();
    EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Error),
              std::vector<std::string>{c.error + std::string(" for '") + c.bad + "'"});
    c.check(*form);
}

const Values Login = {{"address", std::string("ftp.example.org")},
                      {"port", std::string("2121")},
                      {"anonymous", false},
                      {"username", std::string("bob")}};

Values With(Values values, const Values& more)
{
    values.insert(more.begin(), more.end());
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadProfileValue,
    testing::Values(BadValueCase{"anonymous",
                                 "Failed to get data",
                                 {{"address", std::string("ftp.example.org")},
                                  {"port", std::string("2121")},
                                  {"anonymous", std::string("not a flag")},
                                  {"username", std::string("bob")}},
                                 [](TForm1& f) {
                                     EXPECT_EQ(Std(f.addressedit->text()), "ftp.example.org");
                                     EXPECT_EQ(Std(f.portedit->text()), "2121");
                                     EXPECT_EQ(Std(f.useredit->text()), "");
                                 }},
                    BadValueCase{"remember", "Failed to get data",
                                 With(Login, {{"remember", std::string("not a flag")}, {"insub", true}}),
                                 [](TForm1& f) {
                                     EXPECT_EQ(Std(f.useredit->text()), "bob");
                                     EXPECT_FALSE(f.remckbox->isChecked());
                                     EXPECT_TRUE(f.loginDirRadio->isChecked()) << "insub comes after it";
                                 }},
                    BadValueCase{"insub", "Failed to get data",
                                 With(Login, {{"insub", std::string("not a flag")}, {"subdir", std::string("in")}}),
                                 [](TForm1& f) {
                                     EXPECT_EQ(Std(f.useredit->text()), "bob");
                                     EXPECT_TRUE(f.loginDirRadio->isChecked());
                                     EXPECT_EQ(Std(f.dircmbox->currentText()), "");
                                 }},
                    BadValueCase{"subdir", "Invalid data type", With(Login, {{"insub", true}, {"subdir", true}}),
                                 [](TForm1& f) {
                                     EXPECT_TRUE(f.subdirRadio->isChecked());
                                     EXPECT_TRUE(f.dircmbox->isEnabled());
                                     EXPECT_EQ(Std(f.dircmbox->currentText()), "");
                                 }},
                    BadValueCase{"webaddress", "Invalid data type",
                                 With(Login, {{"insub", true}, {"subdir", std::string("in")}, {"webaddress", true}}),
                                 [](TForm1& f) {
                                     EXPECT_EQ(Std(f.dircmbox->currentText()), "in");
                                     EXPECT_EQ(Std(f.webedit->text()), "");
                                 }}),
    [](const testing::TestParamInfo<BadValueCase>& row) { return std::string(row.param.bad); });

TEST_F(SettingsWindow, UnusableStoreGivesOneMessageAndIsLeftAlone)
{
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* reason;
        const char* mend;
    };
    sqlite3* locker = nullptr;
    const Case table[] = {
        {"not a database", [&] { std::ofstream(db, std::ios::binary) << "[Hosts]\nlasthost=work\n"; },
         "The settings file is not a Parcelo settings database.",
         "Move the file away to start with fresh settings (or restore it from a backup), then start Parcelo again."},
        {"locked by another program",
         [&] {
             sqlite3_open(db.c_str(), &locker);
             sqlite3_exec(locker,
                          "CREATE TABLE keys (id INTEGER PRIMARY KEY, parent INTEGER, name TEXT NOT NULL COLLATE "
                          "NOCASE, UNIQUE (parent, name));"
                          "CREATE TABLE vals (key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE, type INTEGER "
                          "NOT NULL, data BLOB NOT NULL, PRIMARY KEY (key, name));"
                          "BEGIN EXCLUSIVE;",
                          nullptr, nullptr, nullptr);
         },
         "The settings file is locked by another program.",
         "Close the program that holds it, then start Parcelo again."},
    };
    RegistrySetLockWait(std::chrono::milliseconds(50));
    for (const Case& c : table) {
        QFile::remove(QString::fromStdString(db));
        dialogs.Clear();
        c.spoil();
        const std::string before = ReadFile(db);
        {
            auto form = Open({SampleFile()});
            ASSERT_EQ(dialogs.Count(ScriptedDialogs::Kind::Error), 1) << c.what;
            EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Error)[0],
                      "Parcelo could not read its settings from \"" + db + "\": " + c.reason +
                          "\nParcelo starts without the saved profiles and options and leaves that file as it is.")
                << c.what;
            EXPECT_EQ(form->fileList->topLevelItemCount(), 1) << c.what;
            EXPECT_EQ(Std(form->portedit->text()), "21") << c.what;
            EXPECT_EQ(form->txtlist, QStringList{".txt"}) << c.what;

            form->hostcmbox->setEditText("work");
            form->writereg();
            EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Message),
                      std::vector<std::string>{"The settings were not saved: Parcelo could not read \"" + db +
                                               "\" when it started, and leaves that file as it is.\n" + c.reason + " " +
                                               c.mend})
                << c.what;
        }
        EXPECT_EQ(ReadFile(db), before) << c.what;
        if (locker) {
            sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(locker);
            locker = nullptr;
        }
    }
}

TEST_F(SettingsWindow, HostsKeyThatCannotBeOpenedOnSaveIsReported)
{
    auto form = Open(); // nothing stored yet: the start-up read is fine
    // Another program takes the store before the save.
    sqlite3* locker = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE; CREATE TABLE t (x);", nullptr, nullptr, nullptr), SQLITE_OK);
    RegistrySetLockWait(std::chrono::milliseconds(50));
    form->hostcmbox->setEditText("work");
    form->writereg();
    EXPECT_EQ(dialogs.Texts(ScriptedDialogs::Kind::Message),
              std::vector<std::string>{"Error opening Registry Key \"Parcelo\""});
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
}

TEST_F(SettingsWindow, ReactionsRunWhenTheProgramSetsTheControls)
{
    Put("Hosts", {{"emailaddress", std::string("me@example.org")}});
    auto form = Open();
    form->useredit->setText("bob");
    form->passedit->setText("pw");

    form->anonyckbox->setChecked(true);
    EXPECT_EQ(Std(form->useredit->text()), "anonymous");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(Std(form->passedit->text()), "me@example.org");
    EXPECT_TRUE(form->remckbox->isChecked());

    form->anonyckbox->setChecked(false);
    EXPECT_EQ(Std(form->useredit->text()), "");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Std(form->passedit->text()), "");

    form->subdirRadio->setChecked(true);
    EXPECT_TRUE(form->dircmbox->isEnabled());
    form->dircmbox->setEditText("pub");
    form->loginDirRadio->setChecked(true);
    EXPECT_FALSE(form->dircmbox->isEnabled());
    EXPECT_EQ(Std(form->dircmbox->currentText()), "");
}

// A certificate trusted for a profile: which fingerprint a connection of
// that profile to a host accepts without asking. "work" keeps FpA for the
// host 127.0.0.1 unless the row says otherwise.
const std::string FpA(64, 'a');
const std::string FpB(64, 'b');

struct FingerprintCase {
    const char* label;
    Values stored; // values written into Hosts\work
    QString profile;
    std::string host;
    TrustedCertificate thisRun; // trusted during the run (none when no fingerprint)
    std::string expected;
};

void PrintTo(const FingerprintCase& c, std::ostream* os)
{
    *os << c.label;
}

class RememberedCertificate : public SettingsWindow, public testing::WithParamInterface<FingerprintCase> { };

TEST_P(RememberedCertificate, IsAcceptedOnlyForItsProfileAndHost)
{
    const FingerprintCase& c = GetParam();
    Put("Hosts\\work", c.stored);
    EXPECT_EQ(RememberedFingerprint(c.profile, c.host, &c.thisRun), c.expected);
    EXPECT_TRUE(dialogs.Log().empty()) << "the look-up is quiet";
}

const Values SavedA = {{"tlshost", std::string("127.0.0.1")}, {"tlsfingerprint", FpA}};

INSTANTIATE_TEST_SUITE_P(
    Table, RememberedCertificate,
    testing::Values(
        FingerprintCase{"SavedForThatHost", SavedA, "work", "127.0.0.1", {}, FpA},
        FingerprintCase{"HostNamesIgnoreCase",
                        {{"tlshost", std::string("Ftp.Example.ORG")}, {"tlsfingerprint", FpA}},
                        "work",
                        "ftp.example.org",
                        {},
                        FpA},
        // The profile now points elsewhere (another address, or through the
        // firewall): that host's certificate is a new question, not a
        // changed one.
        FingerprintCase{"SavedForAnotherHost", SavedA, "work", "127.0.0.2", {}, ""},
        FingerprintCase{"OtherProfile", SavedA, "home", "127.0.0.1", {}, ""},
        FingerprintCase{"ProfileKeysIgnoreCaseAsTheStoreDoes", SavedA, "Work", "127.0.0.1", {}, FpA},
        FingerprintCase{"NothingSaved", {{"address", std::string("127.0.0.1")}}, "work", "127.0.0.1", {}, ""},
        FingerprintCase{"FingerprintWithoutHost", {{"tlsfingerprint", FpA}}, "work", "127.0.0.1", {}, ""},
        FingerprintCase{"NotAFingerprint",
                        {{"tlshost", std::string("127.0.0.1")}, {"tlsfingerprint", std::string("AB:CD")}},
                        "work",
                        "127.0.0.1",
                        {},
                        ""},
        FingerprintCase{"FlagWhereTheFingerprintBelongs",
                        {{"tlshost", std::string("127.0.0.1")}, {"tlsfingerprint", true}},
                        "work",
                        "127.0.0.1",
                        {},
                        ""},
        FingerprintCase{"TrustedInThisRunComesFirst", SavedA, "work", "127.0.0.1", {"work", "127.0.0.1", FpB}, FpB},
        FingerprintCase{
            "TrustedInThisRunForAnotherProfile", SavedA, "work", "127.0.0.1", {"home", "127.0.0.1", FpB}, FpA},
        FingerprintCase{"TrustedInThisRunForAnotherHost", SavedA, "work", "127.0.0.1", {"work", "127.0.0.2", FpB}, FpA},
        FingerprintCase{"ProfileWithoutANameKeepsOnlyThisRun", SavedA, "", "127.0.0.1", {"", "127.0.0.1", FpB}, FpB},
        FingerprintCase{"BackslashesNameNoProfile", SavedA, "\\", "127.0.0.1", {}, ""}),
    [](const testing::TestParamInfo<FingerprintCase>& test) { return std::string(test.param.label); });

// Saves what the window shows, with a trusted certificate.
void SaveWithCertificate(const TForm1& f, const TrustedCertificate* trusted)
{
    WriteSettings(f.hostcmbox->currentText(), f.ShownProfile(), f.CurrentOptions(), trusted, SettingsReadState{});
}

// A certificate trusted for "work" is saved with "work" only: saving another
// profile neither takes it nor touches what "work" keeps, and deleting
// "work" deletes it.
TEST_F(SettingsWindow, TrustedCertificateIsSavedAndDeletedWithItsProfile)
{
    Put("Hosts\\work", SavedA);
    auto form = Open();
    const TrustedCertificate trusted{"work", "ftp.example.org", FpB};

    form->hostcmbox->setEditText("home");
    form->addressedit->setText("ftp.example.org");
    SaveWithCertificate(*form, &trusted);
    EXPECT_EQ(Get("Hosts\\home", "tlsfingerprint"), "<missing>");
    EXPECT_EQ(Get("Hosts\\home", "tlshost"), "<missing>");
    EXPECT_EQ(RememberedFingerprint("work", "127.0.0.1"), FpA);

    form->hostcmbox->setEditText("work");
    SaveWithCertificate(*form, &trusted);
    EXPECT_EQ(Get("Hosts\\work", "tlshost"), "ftp.example.org");
    EXPECT_EQ(Get("Hosts\\work", "tlsfingerprint"), FpB);
    EXPECT_EQ(RememberedFingerprint("work", "FTP.example.org"), FpB);

    // Saved again without a certificate trusted in the run: it stays.
    SaveWithCertificate(*form, nullptr);
    EXPECT_EQ(RememberedFingerprint("work", "ftp.example.org"), FpB);

    DeleteSavedProfile("work");
    EXPECT_EQ(ValueNames("Hosts\\work"), std::vector<std::string>{"<missing>"});
    EXPECT_EQ(RememberedFingerprint("work", "ftp.example.org"), "");
    EXPECT_TRUE(dialogs.Log().empty());
}

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    return RUN_ALL_TESTS();
}
