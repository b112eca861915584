// The main window as it opens: controls, texts, tab order, and where the
// focus lands.

#include <QAbstractButton>
#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QTest>

#include "AppFixture.h"

namespace {

class MainWindow : public AppTest { };

// The user-visible texts: a wrong caption or hint is a real fault.
TEST_F(MainWindow, ShowsItsCaptionsAndHints)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    EXPECT_EQ(Std(form->windowTitle()), "Parcelo");

    const std::vector<std::pair<QWidget*, const char*>> captions = {
        {form->filesLabel, "Send File(s):"},
        {form->asciiHintLabel, "(File(s) checked will be sent in ascii mode)"},
        {form->profileLabel, "To Remote Host:"},
        {form->addressLabel, "Address:"},
        {form->portLabel, "Port:"},
        {form->userLabel, "Username:"},
        {form->passwordLabel, "Password:"},
        {form->anonyckbox, "anonymous"},
        {form->remckbox, "save password"},
        {form->loginDirRadio, "in default login directory"},
        {form->subdirRadio, "in Sub-directory:"},
        {form->OKBn, "OK"},
        {form->CancelBn, "Cancel"},
        {form->OptionsBn, "Options"},
        {form->AboutBn, "Help"},
        {form->ExitBn, "Exit"},
    };
    for (const auto& [widget, caption] : captions) {
        QString text = widget->property("text").toString();
        EXPECT_EQ(Std(text), caption) << Std(widget->objectName());
    }

    const std::vector<std::pair<QWidget*, const char*>> hints = {
        {form->hostcmbox, "Enter a profile name here"},
        {form->newbn, "New profile"},
        {form->deletebn, "Delete profile"},
        {form->addressedit, "FTP server address"},
        {form->portedit, "FTP server address"},
        {form->dircmbox, "Key in a directory or drop down to select from the remote host"},
    };
    for (const auto& [widget, hint] : hints)
        EXPECT_EQ(Std(widget->toolTip()), hint) << Std(widget->objectName());

    QStringList headers;
    for (int i = 0; i < form->fileList->columnCount(); ++i)
        headers << form->fileList->headerItem()->text(i);
    EXPECT_EQ(headers, (QStringList{"Name", "Size", "Date"}));
}

TEST_F(MainWindow, StartsWithTheDesignTimeState)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    EXPECT_EQ(form->hostcmbox->count(), 1);
    EXPECT_EQ(Std(form->hostcmbox->currentText()), "");
    EXPECT_EQ(Std(form->portedit->text()), "21");
    EXPECT_EQ(Std(form->addressedit->text() + form->useredit->text() + form->passedit->text()), "");
    EXPECT_EQ(form->passedit->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(form->anonyckbox->isChecked());
    EXPECT_FALSE(form->remckbox->isChecked());
    EXPECT_TRUE(form->loginDirRadio->isChecked());
    EXPECT_FALSE(form->subdirRadio->isChecked());
    EXPECT_FALSE(form->dircmbox->isEnabled());
    EXPECT_EQ(form->dircmbox->maxVisibleItems(), 10);
    EXPECT_TRUE(form->OKBn->isEnabled());
    EXPECT_EQ(Std(form->DisplayMemo->toPlainText()), "Parcelo " PARCELO_VERSION);
    EXPECT_TRUE(form->DisplayMemo->isReadOnly());
    EXPECT_EQ(form->progressBar->minimum(), 0);
    EXPECT_EQ(form->progressBar->maximum(), 100);
    EXPECT_EQ(form->progressBar->value(), 0);
    EXPECT_EQ(Std(form->statusBar->PanelText(0) + form->statusBar->PanelText(1)), "");
    EXPECT_EQ(form->txtlist, QStringList{".txt"});
    EXPECT_TRUE(form->templist.isEmpty());
    EXPECT_TRUE(form->dir_record.isEmpty());
    EXPECT_EQ(Std(form->state.readMode), "f");
    EXPECT_EQ(form->ProgressScale, 0);
    EXPECT_FALSE(form->TitleProgress);
}

TEST_F(MainWindow, TabVisitsTheFieldsThenTheButtons)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->show();
    // Walk the focus chain as the Tab key does, from the profile box round to it again.
    std::vector<std::string> order;
    QWidget* w = form->hostcmbox;
    do {
        if ((w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->isVisibleTo(form.get()) && form->isAncestorOf(w) &&
            w->focusProxy() == nullptr && w->parentWidget() == form.get())
            order.push_back(Std(w->objectName()));
        w = w->nextInFocusChain();
    } while (w != form->hostcmbox);
    const std::vector<std::string> expected = {"hostcmbox", "addressedit", "portedit", "useredit", "passedit",
                                               "webedit",   "RB1",         "RB2",      "dircmbox", "OKBn",
                                               "CancelBn",  "OptionsBn",   "AboutBn",  "ExitBn",   "DisplayMemo"};
    EXPECT_EQ(order, expected);
    for (QWidget* off : std::initializer_list<QWidget*>{form->fileList, form->anonyckbox, form->remckbox, form->newbn,
                                                        form->deletebn, form->progressBar})
        EXPECT_NE(off->focusPolicy() & Qt::TabFocus, Qt::TabFocus) << Std(off->objectName());
}

// The Tab key itself, as a keyboard user presses it: the port comes right
// after the address, and the directory choice (arrow keys between the two
// radio buttons) leads to the directory box.
TEST_F(MainWindow, TabKeyGoesFromAddressToPortAndReachesTheDirectoryChoice)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->show();
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->focusTimer->stop();
    form->hostcmbox->setFocus();
    auto focused = [] { return QApplication::focusWidget() ? Std(QApplication::focusWidget()->objectName()) : ""; };
    auto press = [&](Qt::Key key) {
        QTest::keyClick(QApplication::focusWidget(), key);
        return focused();
    };
    // The profile box's line edit has the focus inside the box.
    ASSERT_TRUE(form->hostcmbox->hasFocus() || form->hostcmbox->lineEdit()->hasFocus());
    std::vector<std::string> visited;
    for (int i = 0; i < 13; ++i)
        visited.push_back(press(Qt::Key_Tab));
    EXPECT_EQ(visited,
              (std::vector<std::string>{"addressedit", "portedit", "useredit", "passedit", "webedit", "RB1", "OKBn",
                                        "CancelBn", "OptionsBn", "AboutBn", "ExitBn", "DisplayMemo", "hostcmbox"}))
        << "the directory box is off while the log-in directory is chosen";

    form->loginDirRadio->setFocus();
    EXPECT_EQ(press(Qt::Key_Down), "RB2");
    EXPECT_TRUE(form->subdirRadio->isChecked());
    EXPECT_EQ(press(Qt::Key_Tab), "dircmbox");
}

// A dark theme: the dialogue is written in the theme's text colour, not in
// a fixed dark one.
TEST_F(MainWindow, DialogueTakesTheThemesTextColour)
{
    QColor text;
    {
        DarkPalette dark;
        auto form = OpenWindow({MakeFile("a.txt", "a")});
        text = form->DisplayMemo->palette().color(QPalette::Text);
    }
    EXPECT_EQ(text, DarkPalette::Text) << Std(text.name());
}

// The window grows: the list and the dialogue take the room, the Name
// column the width; it never gets smaller than it opens.
TEST_F(MainWindow, ResizingGrowsTheListAndTheNameColumn)
{
    auto form = OpenWindow({MakeFile(QString(60, u'n') + QStringLiteral(".txt"), "a")});
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QSize design = form->size();
    EXPECT_EQ(form->minimumSize(), design) << "opens at its least size";
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    const int listHeight = form->fileList->height();
    const int memoHeight = form->DisplayMemo->height();
    const int nameWidth = form->fileList->columnWidth(0);
    const int sizeWidth = form->fileList->columnWidth(1);

    form->resize(design + QSize(400, 300));
    QApplication::processEvents();

    EXPECT_EQ(form->size(), design + QSize(400, 300));
    EXPECT_GE(form->fileList->height(), listHeight + 100) << memoHeight << " -> " << form->DisplayMemo->height();
    EXPECT_GE(form->DisplayMemo->height(), memoHeight + 50);
    EXPECT_GE(form->fileList->columnWidth(0), nameWidth + 350);
    EXPECT_EQ(form->fileList->columnWidth(1), sizeWidth);

    form->resize(design - QSize(100, 100));
    QApplication::processEvents();
    EXPECT_EQ(form->size(), design);
}

// The icon is the program's SVG, built in and drawn by Qt's SVG icon engine:
// a missing resource or engine leaves the window without one. Drawn at every
// size the desktop asks for: the blue arrow on top, the parcel below.
TEST_F(MainWindow, WindowIconIsTheProgramsSvgAtEverySize)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    for (int size : {16, 32, 48, 256}) {
        const QImage image = form->windowIcon().pixmap(size, size).toImage();
        ASSERT_EQ(image.size(), QSize(size, size)) << size;
        const auto at = [&](double x, double y) { return image.pixelColor(int(x * size / 32), int(y * size / 32)); };
        EXPECT_EQ(at(0.5, 0.5).alpha(), 0) << "corner at " << size;
        EXPECT_EQ(at(16, 6).name().toStdString(), "#2060d0") << "arrow at " << size;
        EXPECT_EQ(at(8, 22).name().toStdString(), "#d9a45f") << "parcel at " << size;
    }
}

TEST_F(MainWindow, PasswordIsMaskedWithStars)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->passedit->setText("secret");
    EXPECT_EQ(form->passedit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, form->passedit), '*');
}

struct FocusCase {
    const char* label;
    const char* profile;
    const char* focused;
};

void PrintTo(const FocusCase& c, std::ostream* os)
{
    *os << c.label;
}

class StartupFocus : public AppTest, public ::testing::WithParamInterface<FocusCase> { };

TEST_P(StartupFocus, GoesToOkWithAProfileElseToTheProfileBox)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->hostcmbox->setEditText(QString::fromUtf8(GetParam().profile));
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    QTRY_VERIFY(!form->focusTimer->isActive());
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(Std(QApplication::focusWidget()->objectName()), GetParam().focused);
}

INSTANTIATE_TEST_SUITE_P(Profiles, StartupFocus,
                         ::testing::Values(FocusCase{"Remembered", "my server", "OKBn"},
                                           FocusCase{"None", "", "hostcmbox"}),
                         [](const auto& test) { return std::string(test.param.label); });

TEST_F(MainWindow, ShowsEveryControlWithinTheWindowWithoutOverlap)
{
    auto form = OpenWindow({MakeFile("a.txt", "a")});
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const QRect client = form->rect();
    std::vector<QWidget*> controls;
    for (QWidget* w : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (w->isVisible())
            controls.push_back(w);
    ASSERT_GE(controls.size(), 28u);
    for (QWidget* w : controls) {
        EXPECT_TRUE(client.contains(w->geometry())) << Std(w->objectName());
        // Text must fit: a label, check box or button at least as wide as it asks.
        if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
            EXPECT_GE(w->width(), w->minimumSizeHint().width()) << Std(w->objectName());
        }
        for (QWidget* other : controls) {
            if (other == w)
                continue;
            EXPECT_FALSE(w->geometry().intersects(other->geometry()))
                << Std(w->objectName()) << " / " << Std(other->objectName());
        }
    }
}

} // namespace
