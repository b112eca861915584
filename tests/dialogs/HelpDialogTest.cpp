// The Help dialog: where the read-me is found, what each link opens, and
// the dialog as the main window's Help button shows it.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "ModalDriver.h"
#include "app/HelpDialog.h"
#include "support/ScriptedDialogs.h"
#include "tests/app/AppFixture.h"

namespace {

// Keeps the desktop's data folders pointed at empty folders, so a copy of
// Parcelo installed on this machine cannot answer for the one under test.
class HelpTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(Path("xdg-home")));
        ASSERT_TRUE(QDir().mkpath(Path("xdg-dirs")));
        saved_ = {qgetenv("XDG_DATA_HOME"), qgetenv("XDG_DATA_DIRS")};
        qputenv("XDG_DATA_HOME", QFile::encodeName(Path("xdg-home")));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(Path("xdg-dirs")));
        savedCwd_ = QDir::currentPath();
    }
    void TearDown() override
    {
        QDir::setCurrent(savedCwd_);
        qputenv("XDG_DATA_HOME", saved_.first);
        qputenv("XDG_DATA_DIRS", saved_.second);
        AppTest::TearDown();
    }

    std::unique_ptr<TAboutFm> MakeDialog()
    {
        auto dialog = std::make_unique<TAboutFm>();
        dialog->Open = [this](const QString& target) {
            opened_.push_back(target.toStdString());
            return true;
        };
        return dialog;
    }

    std::vector<std::string> opened_;

private:
    std::pair<QByteArray, QByteArray> saved_;
    QString savedCwd_;
};

TEST_F(HelpTest, FindsTheReadmeBesideTheProgramThenInTheDataFolders)
{
    struct Case {
        const char* what;
        std::vector<const char*> files; // Readme.txt files made below the case's folder
        const char* expected;           // relative to the case's folder; "" for none
    };
    const std::vector<Case> cases = {
        {"beside the program wins",
         {"bin/Readme.txt", "share/parcelo/Readme.txt", "xdg-dirs/parcelo/Readme.txt"},
         "bin/Readme.txt"},
        {"installed beside the program's bin folder",
         {"share/parcelo/Readme.txt", "xdg-dirs/parcelo/Readme.txt"},
         "share/parcelo/Readme.txt"},
        {"in the user's data folder",
         {"xdg-home/parcelo/Readme.txt", "xdg-dirs/parcelo/Readme.txt"},
         "xdg-home/parcelo/Readme.txt"},
        {"in a system data folder", {"xdg-dirs/parcelo/Readme.txt"}, "xdg-dirs/parcelo/Readme.txt"},
        {"nowhere", {}, ""},
    };
    for (const Case& c : cases) {
        QTemporaryDir root;
        ASSERT_TRUE(root.isValid());
        QDir(root.path()).mkpath(QStringLiteral("bin"));
        for (const char* file : c.files) {
            const QString path = root.filePath(QString::fromLatin1(file));
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("xdg-home"))));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(root.filePath(QStringLiteral("xdg-dirs"))));
        const QString found = FindReadme(root.filePath(QStringLiteral("bin")) + u'/');
        const QString expected =
            *c.expected ? QDir::cleanPath(root.filePath(QString::fromLatin1(c.expected))) : QString();
        EXPECT_EQ(Std(QDir::cleanPath(found)), Std(expected)) << c.what;
    }
}

TEST_F(HelpTest, AFolderNamedReadmeIsNotTheReadme)
{
    ASSERT_TRUE(QDir().mkpath(Path("bin/Readme.txt")));
    EXPECT_EQ(Std(FindReadme(Path("bin/"))), "");
}

TEST_F(HelpTest, TheBuildPutsTheReadmeBesideTheProgram)
{
    EXPECT_EQ(Std(FindReadme(QStringLiteral(PARCELO_BINARY_DIR "/app/"))),
              Std(QDir::cleanPath(QStringLiteral(PARCELO_BINARY_DIR "/app/Readme.txt"))));
}

TEST_F(HelpTest, ReadmeIsLookedForBesideTheProgramNotInTheCurrentFolder)
{
    // The current folder has a read-me; the program's folder (this test's own
    // build folder) has none.
    MakeFile("Readme.txt", "not this one");
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    auto dialog = MakeDialog();
    dialog->show();

    QTest::mouseClick(dialog->readmeLink, Qt::LeftButton);
    EXPECT_EQ(dialogs_.Texts(ScriptedDialogs::Kind::Message), std::vector<std::string>{"Readme.txt file is missing"});
    EXPECT_EQ(dialogs_.Log().at(0).caption, "Parcelo");
    EXPECT_TRUE(opened_.empty());
    EXPECT_TRUE(dialog->isVisible()) << "the message must leave the dialog open";

    // Once the program's folder has one, that file opens, by its full path.
    MakeFile("bin/Readme.txt", "this one");
    dialog->ProgramFolder = Path("bin/");
    QTest::mouseClick(dialog->readmeLink, Qt::LeftButton);
    EXPECT_EQ(opened_, std::vector<std::string>{Std(Path("bin/Readme.txt"))});
    EXPECT_EQ(dialogs_.Count(ScriptedDialogs::Kind::Message), 1);
}

TEST_F(HelpTest, EachLinkOpensItsTargetByMouseOrKeyboard)
{
    auto dialog = MakeDialog();
    dialog->show();
    const std::vector<std::pair<LinkLabel*, std::string>> links = {
        {dialog->helpLink, ParceloLinks::HelpPage},
        {dialog->faqLink, ParceloLinks::FaqPage},
        {dialog->webSiteLink, ParceloLinks::WebSite},
        {dialog->mailLink, std::string("mailto:") + ParceloLinks::MailAddress},
    };
    for (const auto& [label, target] : links) {
        opened_.clear();
        QTest::mouseClick(label, Qt::LeftButton);
        EXPECT_EQ(opened_, std::vector<std::string>{target}) << "click on " << Std(label->objectName());
        opened_.clear();
        QTest::keyClick(label, Qt::Key_Return);
        EXPECT_EQ(opened_, std::vector<std::string>{target}) << "Enter on " << Std(label->objectName());
    }
    // The link texts name what they open.
    EXPECT_EQ(Std(dialog->webSiteLink->text()), ParceloLinks::WebSite);
    EXPECT_EQ(Std(dialog->mailLink->text()), ParceloLinks::MailAddress);
    EXPECT_EQ(dialogs_.Log().size(), 0u);
}

// On a dark theme the links take the theme's link colour, and a link
// reached with Tab draws a focus mark.
TEST_F(HelpTest, LinksTakeTheThemesLinkColourAndShowTheFocus)
{
    DarkPalette dark;
    auto dialog = MakeDialog();
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    QApplication::setActiveWindow(dialog.get());

    for (LinkLabel* link :
         {dialog->readmeLink, dialog->helpLink, dialog->faqLink, dialog->webSiteLink, dialog->mailLink}) {
        EXPECT_EQ(link->palette().color(link->foregroundRole()), DarkPalette::Link) << Std(link->objectName());
        bool drawnInLinkColour = false;
        const QImage unfocused = link->grab().toImage();
        for (int y = 0; y < unfocused.height() && !drawnInLinkColour; ++y)
            for (int x = 0; x < unfocused.width() && !drawnInLinkColour; ++x)
                drawnInLinkColour = unfocused.pixelColor(x, y) == DarkPalette::Link;
        EXPECT_TRUE(drawnInLinkColour) << Std(link->objectName());
    }

    // Tab from the link before reaches the help link; its picture gains the mark.
    const QImage unfocused = dialog->helpLink->grab().toImage();
    dialog->readmeLink->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), dialog->helpLink);
    EXPECT_NE(dialog->helpLink->grab().toImage(), unfocused) << "a focused link shows it";
}

TEST_F(HelpTest, TheHelpButtonShowsTheDialogAndFreesItWhenClosed)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->show();
    ModalDriver<TAboutFm> driver([](TAboutFm* dialog) {
        EXPECT_EQ(Std(dialog->windowTitle()), "Help");
        EXPECT_EQ(Std(dialog->nameLabel->text()), "Parcelo");
        EXPECT_EQ(Std(dialog->versionLabel->text()), PARCELO_VERSION);
        EXPECT_TRUE(dialog->nameLabel->font().bold());
        EXPECT_FALSE(dialog->iconLabel->pixmap().isNull()) << "the application's icon";
        EXPECT_EQ(Std(dialog->readmeLink->text()), "Readme.txt");
        EXPECT_EQ(Std(dialog->OKBn->text()), "Close");
        QTest::mouseClick(dialog->OKBn, Qt::LeftButton);
    });
    form->AboutBn->click();
    EXPECT_TRUE(driver.Ran());
    EXPECT_TRUE(driver.Seen().isNull()) << "the dialog is freed when it closes";
}

} // namespace
