// The directory picker in the real window against a real pyftpdlib server:
// the commands it sends, the directories it offers, its status texts, and
// what a failure leaves behind.

#include <QDir>
#include <QFileInfo>
#include <QTest>
#include <algorithm>
#include <memory>

#include "ftp/Ftpcli.h"
#include "support/FtpRealServers.h"
#include "tests/app/AppFixture.h"

namespace {

class PickerTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        std::string whyNot;
        server_ = StartPyftpdlib(whyNot);
        ASSERT_TRUE(server_) << whyNot;
        // The server's log-in directory:
        //   docs/  onlydots/{.a,.b}/  pub/{incoming,old files,.cache}/  single/one/
        //   upload/  .hidden/  notes.txt  pub/readme.txt
        const QDir root(QString::fromStdString(server_->Root()));
        for (const char* dir : {"docs", "onlydots/.a", "onlydots/.b", "pub/incoming", "pub/old files", "pub/.cache",
                                "single/one", ".hidden"})
            ASSERT_TRUE(root.mkpath(QString::fromLatin1(dir))) << dir;
        for (const char* file : {"notes.txt", "pub/readme.txt"}) {
            QFile f(root.filePath(QString::fromLatin1(file)));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }

        form_ = OpenWindow({MakeFile("a.txt", "a")});
        form_->addressedit->setText(QString::fromStdString(server_->Host()));
        form_->portedit->setText(QString::fromStdString(server_->PortText()));
        form_->useredit->setText(QString::fromStdString(server_->User()));
        form_->passedit->setText(QString::fromStdString(server_->Password()));
        form_->subdirRadio->setChecked(true);
        form_->OwnFolder = MakeFolder("bin").toStdString() + "/";
        form_->FTP->OnDisplay = [this](TObject*, std::string& line) { Display(line); };
    }

    void TearDown() override
    {
        if (form_ && form_->FTP->Connected())
            (void)form_->FTP->Abort();
        form_.reset();
        server_.reset();
        AppTest::TearDown();
    }

    virtual void Display(const std::string& line) { dialogue_.push_back(line); }

    void DropDown(const QString& text)
    {
        form_->dircmbox->setEditText(text);
        form_->dircmboxDropDown();
    }

    // The commands that say what was listed where, in order.
    std::vector<std::string> Commands(const std::vector<std::string>& which = {"CWD", "CDUP", "LIST"}) const
    {
        std::vector<std::string> commands;
        for (const std::string& line : dialogue_) {
            if (line.rfind("> ", 0) != 0)
                continue;
            const std::string command = line.substr(2);
            for (const std::string& verb : which)
                if (command == verb || command.rfind(verb + " ", 0) == 0)
                    commands.push_back(command);
        }
        return commands;
    }

    int LogIns() const { return static_cast<int>(Commands({"USER"}).size()); }

    QStringList Items() const
    {
        QStringList items;
        for (int i = 0; i < form_->dircmbox->count(); ++i)
            items << form_->dircmbox->itemText(i);
        return items;
    }

    static QStringList Sorted(QStringList list)
    {
        list.sort();
        return list;
    }

    std::string Status() const { return Std(form_->statusBar->PanelText(1)); }

    bool ListingFileLeft() const { return QFileInfo::exists(Path("bin/temp_dir")); }

    std::unique_ptr<FtpRealServer> server_;
    std::unique_ptr<TForm1> form_;
    std::vector<std::string> dialogue_;
};

TEST_F(PickerTest, AnEmptyTextListsTheLogInDirectoryOnce)
{
    DropDown(QString());
    EXPECT_EQ(Commands(), std::vector<std::string>{"LIST"}) << "no CWD, a plain LIST, no CDUP";
    EXPECT_EQ(Sorted(Items()), (QStringList{"docs", "onlydots", "pub", "single", "upload"}));
    EXPECT_EQ(Std(form_->dircmbox->currentText()), "") << "the text stays what was listed";
    EXPECT_EQ(Status(), "Directory list received");
    EXPECT_EQ(form_->dir_record, QStringList{QString()});
    EXPECT_FALSE(form_->templist.isEmpty());
    EXPECT_FALSE(ListingFileLeft());
    EXPECT_TRUE(form_->FTP->Connected()) << "the session stays open for the upload";
    EXPECT_EQ(dialogs_.Beeps(), 0);

    // Dropping down again, the way the user does, fetches nothing.
    const size_t before = dialogue_.size();
    form_->dircmbox->showPopup();
    form_->dircmbox->hidePopup();
    EXPECT_EQ(dialogue_.size(), before);
    EXPECT_EQ(Items().size(), 5);
}

TEST_F(PickerTest, SubDirectoriesAreListedAndClimbedBackOneLevelPerPart)
{
    form_->state.passiveMode = true;
    struct Case {
        const char* text;
        std::vector<std::string> commands;
        QStringList newItems;
    };
    const std::vector<Case> cases = {
        {"pub", {"CWD pub", "LIST", "CDUP"}, {"pub/incoming", "pub/old files"}},
        {"pub/incoming", {"CWD pub/incoming", "LIST", "CDUP", "CDUP"}, {}},
        {"pub/", {"CWD pub/", "LIST", "CDUP"}, {"pub/incoming", "pub/old files"}},
        {"docs", {"CWD docs", "LIST", "CDUP"}, {}},
    };
    for (const Case& c : cases) {
        dialogue_.clear();
        const QStringList before = Items();
        DropDown(QString::fromLatin1(c.text));
        EXPECT_EQ(Commands(), c.commands) << c.text;
        EXPECT_EQ(Sorted(Items().mid(before.size())), c.newItems) << c.text;
        EXPECT_EQ(Status(), "Directory list received") << c.text;
        EXPECT_EQ(Std(form_->dircmbox->currentText()), c.text);
        EXPECT_FALSE(Commands({"PASV"}).empty()) << "passive mode asks the server for the data port";
    }
    EXPECT_EQ(form_->dir_record, (QStringList{"pub", "pub/incoming", "pub/", "docs"}));
    EXPECT_FALSE(ListingFileLeft());
    // Back in the log-in directory, the session goes on: a relative CWD works.
    form_->FTP->SetHostDirName("single");
    EXPECT_TRUE(form_->FTP->ChangeDir());
}

TEST_F(PickerTest, OnlyDotDirectoriesOfferNothingButAreRecorded)
{
    DropDown(QStringLiteral("onlydots"));
    EXPECT_TRUE(Items().isEmpty());
    EXPECT_EQ(form_->dir_record, QStringList{"onlydots"});
    const size_t before = dialogue_.size();
    DropDown(QStringLiteral("onlydots"));
    EXPECT_EQ(dialogue_.size(), before) << "a recorded text is not listed again";
}

TEST_F(PickerTest, AOneLineListingOffersItsDirectory)
{
    // pyftpdlib, like most servers, starts straight with the entries: no
    // "total" line to skip.
    DropDown(QStringLiteral("single"));
    EXPECT_EQ(form_->templist.size(), 1);
    EXPECT_EQ(Items(), QStringList{"single/one"});
}

TEST_F(PickerTest, AFailedLogInAbortsAndNamesTheHostItTried)
{
    struct Case {
        const char* what;
        bool firewall;
        const char* password;
        const char* user; // the USER command sent
        const char* status;
    };
    const std::vector<Case> cases = {
        {"wrong password", false, "wrong", "USER parcelo", "Cannot connect to 127.0.0.1"},
        {"through a firewall host", true, "s3cret pass", "USER parcelo@127.0.0.1", "Cannot connect to localhost"},
    };
    for (const Case& c : cases) {
        dialogue_.clear();
        dialogs_.Clear();
        form_->state.useFirewall = c.firewall;
        form_->state.firewallHost = QStringLiteral("localhost");
        form_->state.firewallPort = QString::fromStdString(server_->PortText());
        form_->passedit->setText(QString::fromLatin1(c.password));
        DropDown(QString());
        EXPECT_EQ(Commands({"USER"}), std::vector<std::string>{c.user}) << c.what;
        // The server's refusal follows on the same line.
        EXPECT_EQ(Status().rfind(std::string(c.status) + ": The server refused the log-in: 530", 0), 0u)
            << Status() << " / " << c.what;
        EXPECT_EQ(dialogs_.Beeps(), 1) << c.what;
        EXPECT_EQ(dialogs_.Log().size(), 1u) << "no box, only the beep: " << c.what;
        EXPECT_FALSE(form_->FTP->Connected()) << c.what;
        EXPECT_TRUE(form_->dir_record.isEmpty()) << c.what;
        EXPECT_TRUE(Items().isEmpty()) << c.what;
        EXPECT_FALSE(ListingFileLeft()) << c.what;
    }
}

TEST_F(PickerTest, AFailedChangeOfDirectoryAbortsAndIsTriedAgainNextTime)
{
    DropDown(QStringLiteral("missing"));
    EXPECT_EQ(Commands(), std::vector<std::string>{"CWD missing"});
    EXPECT_EQ(Status(), "Cannot change directory to missing");
    EXPECT_EQ(dialogs_.Beeps(), 1);
    EXPECT_FALSE(form_->FTP->Connected());
    EXPECT_TRUE(form_->dir_record.isEmpty());

    ASSERT_TRUE(QDir(QString::fromStdString(server_->Root())).mkpath(QStringLiteral("missing/found")));
    DropDown(QStringLiteral("missing"));
    EXPECT_EQ(LogIns(), 2) << "the aborted session is opened anew";
    EXPECT_EQ(Items(), QStringList{"missing/found"});
    EXPECT_EQ(form_->dir_record, QStringList{"missing"});
}

TEST_F(PickerTest, NothingHappensWithoutAFullProfile)
{
    for (QLineEdit* field : {form_->addressedit, form_->portedit, form_->useredit, form_->passedit}) {
        const QString kept = field->text();
        field->clear();
        DropDown(QString());
        field->setText(kept);
        EXPECT_TRUE(dialogue_.empty()) << Std(field->objectName());
        EXPECT_EQ(Status(), "") << Std(field->objectName());
        EXPECT_TRUE(form_->dir_record.isEmpty()) << Std(field->objectName());
    }
    EXPECT_EQ(dialogs_.Log().size(), 0u);
}

TEST_F(PickerTest, TheUploadGoesThroughTheSessionTheListingLeftOpen)
{
    form_->hostcmbox->setEditText(QStringLiteral("picker test"));
    DropDown(QStringLiteral("pub"));
    ASSERT_TRUE(form_->FTP->Connected());
    // The user picks the upload directory by hand and presses OK.
    form_->dircmbox->setEditText(QString::fromStdString(server_->UploadDir()));
    form_->OKBn->click();
    EXPECT_EQ(LogIns(), 1) << "no second log-in";
    EXPECT_EQ(Commands({"CWD"}), (std::vector<std::string>{"CWD pub", "CWD " + server_->UploadDir()}));
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(server_->StoredPath("a.txt"))));
}

// A drop-down while the listing is still on its way once started a second
// request on the busy client, which failed and aborted the first listing.
class PickerReentryTest : public PickerTest {
protected:
    void Display(const std::string& line) override
    {
        PickerTest::Display(line);
        if (line == "> LIST" && !nested_) {
            nested_ = true;
            form_->dircmboxDropDown();
        }
    }
    bool nested_ = false;
};

TEST_F(PickerReentryTest, ASecondDropDownDuringAListingLeavesItAlone)
{
    DropDown(QString());
    ASSERT_TRUE(nested_);
    EXPECT_EQ(Commands(), std::vector<std::string>{"LIST"});
    EXPECT_EQ(Status(), "Directory list received");
    EXPECT_EQ(Items().size(), 5);
    EXPECT_EQ(form_->dir_record, QStringList{QString()});
    EXPECT_EQ(dialogs_.Beeps(), 0);
}

} // namespace
