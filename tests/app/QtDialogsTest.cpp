// The dialog service drawn with Qt: caption, icon, buttons, and the answer
// for each way of closing a box.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

#include "platform/Dialogs.h"
#include "platform/qt/QtDialogs.h"

namespace {

struct Seen {
    std::string caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget* parent = nullptr;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

enum class Close { Ok, Yes, No, YesToAll, NoToAll, Escape, TitleBar, Enter };

// Waits for the box `show` opens, notes what it shows and closes it the way given.
Seen ShowAndClose(const std::function<void()>& show, Close how)
{
    Seen seen;
    bool found = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        found = true;
        seen = {box->windowTitle().toStdString(),
                box->text().toStdString(),
                box->icon(),
                box->standardButtons(),
                box->parentWidget(),
                box->textFormat(),
                box->standardButton(box->defaultButton())};
        switch (how) {
        case Close::Ok: box->button(QMessageBox::Ok)->click(); break;
        case Close::Yes: box->button(QMessageBox::Yes)->click(); break;
        case Close::No: box->button(QMessageBox::No)->click(); break;
        case Close::YesToAll: box->button(QMessageBox::YesToAll)->click(); break;
        case Close::NoToAll: box->button(QMessageBox::NoToAll)->click(); break;
        case Close::Escape: QTest::keyClick(box, Qt::Key_Escape); break;
        case Close::TitleBar: box->close(); break;
        case Close::Enter: QTest::keyClick(box, Qt::Key_Return); break;
        }
    });
    show();
    EXPECT_TRUE(found) << "no box was shown";
    return seen;
}

class QtDialogBoxes : public ::testing::Test {
protected:
    void SetUp() override { SetApplicationTitle("Parcelo"); }
    QtDialogs dialogs_;
};

TEST_F(QtDialogBoxes, MessageBoxHasOkAndNoIcon)
{
    Seen seen = ShowAndClose([&] { dialogs_.MessageBox("Please enter a profile name"); }, Close::Ok);
    EXPECT_EQ(seen.caption, "Parcelo");
    EXPECT_EQ(seen.text, "Please enter a profile name");
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok);
}

TEST_F(QtDialogBoxes, ErrorBoxShowsTheErrorIcon)
{
    Seen seen = ShowAndClose([&] { dialogs_.ErrorBox("File not found"); }, Close::Ok);
    EXPECT_EQ(seen.caption, "Parcelo");
    EXPECT_EQ(seen.text, "File not found");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST_F(QtDialogBoxes, CaptionIsTheTitleWhenTheBoxOpens)
{
    SetApplicationTitle("42% of report.txt");
    Seen seen = ShowAndClose([&] { dialogs_.MessageBox("x"); }, Close::Ok);
    EXPECT_EQ(seen.caption, "42% of report.txt");
}

TEST_F(QtDialogBoxes, QuestionIsAnsweredNoUnlessYesIsChosen)
{
    const std::vector<std::pair<Close, DialogAnswer>> cases = {{Close::Yes, DialogAnswer::Yes},
                                                               {Close::No, DialogAnswer::No},
                                                               {Close::Escape, DialogAnswer::No},
                                                               {Close::TitleBar, DialogAnswer::No}};
    for (const auto& [how, expected] : cases) {
        DialogAnswer answer = DialogAnswer::Yes;
        if (expected == DialogAnswer::Yes)
            answer = DialogAnswer::No;
        Seen seen = ShowAndClose([&] { answer = dialogs_.QuestionBox("Delete profile: home?"); }, how);
        EXPECT_EQ(answer, expected) << static_cast<int>(how);
        EXPECT_EQ(seen.caption, "Parcelo");
        EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
        EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    }
}

// Trusting a certificate is never the answer Enter gives: No is the
// default, and only Yes itself says yes. The text may name anything a
// server put in its certificate, so it is plain text.
TEST_F(QtDialogBoxes, RiskyQuestionIsAWarningThatEnterAnswersNo)
{
    QWidget main;
    main.setWindowTitle(QStringLiteral("Parcelo"));
    main.show();
    const std::vector<std::pair<Close, DialogAnswer>> cases = {{Close::Enter, DialogAnswer::No},
                                                               {Close::Yes, DialogAnswer::Yes},
                                                               {Close::No, DialogAnswer::No},
                                                               {Close::Escape, DialogAnswer::No},
                                                               {Close::TitleBar, DialogAnswer::No}};
    for (const auto& [how, expected] : cases) {
        DialogAnswer answer = expected == DialogAnswer::Yes ? DialogAnswer::No : DialogAnswer::Yes;
        Seen seen =
            ShowAndClose([&] { answer = dialogs_.RiskyQuestionBox("Trust the certificate of <b>CN=x</b>?"); }, how);
        EXPECT_EQ(answer, expected) << static_cast<int>(how);
        EXPECT_EQ(seen.icon, QMessageBox::Warning);
        EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(seen.defaultButton, QMessageBox::No);
        EXPECT_EQ(seen.format, Qt::PlainText);
        EXPECT_EQ(seen.parent, &main);
        EXPECT_EQ(seen.text, "Trust the certificate of <b>CN=x</b>?");
    }
}

// Overwrite a file the server has? Enter, Escape and the close box keep
// it; each of the four buttons gives its own answer.
TEST_F(QtDialogBoxes, QuestionForEachItemKeepsWhatIsThereUnlessToldOtherwise)
{
    const std::vector<std::pair<Close, DialogAnswer>> cases = {
        {Close::Enter, DialogAnswer::No},          {Close::Escape, DialogAnswer::No},
        {Close::TitleBar, DialogAnswer::No},       {Close::Yes, DialogAnswer::Yes},
        {Close::YesToAll, DialogAnswer::YesToAll}, {Close::No, DialogAnswer::No},
        {Close::NoToAll, DialogAnswer::NoToAll}};
    for (const auto& [how, expected] : cases) {
        DialogAnswer answer = expected == DialogAnswer::Yes ? DialogAnswer::No : DialogAnswer::Yes;
        Seen seen = ShowAndClose([&] { answer = dialogs_.QuestionForEachBox("a.txt exists. Overwrite it?"); }, how);
        EXPECT_EQ(answer, expected) << static_cast<int>(how);
        EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::NoToAll);
        EXPECT_EQ(seen.defaultButton, QMessageBox::No);
    }
}

// A box belongs to the main window even when the user works in another
// program (no window of ours is active): it opens over that window, never
// on its own behind others, and the task bar asks for the user's attention.
// Its text is shown as it is, never as markup.
TEST_F(QtDialogBoxes, BelongsToTheMainWindowAndCallsTheUserBackFromElsewhere)
{
    QWidget main;
    main.setWindowTitle(QStringLiteral("Parcelo"));
    main.show();
    QApplication::setActiveWindow(nullptr);
    for (bool background : {true, false}) {
        std::vector<QWidget*> called;
        dialogs_.InBackground = [&] { return background; };
        dialogs_.RequestAttention = [&](QWidget* window) { called.push_back(window); };

        Seen seen = ShowAndClose([&] { dialogs_.MessageBox("Cannot send <b>x</b>.txt to remote host"); }, Close::Ok);

        EXPECT_EQ(seen.parent, &main) << background;
        EXPECT_EQ(seen.format, Qt::PlainText) << background;
        EXPECT_EQ(seen.text, "Cannot send <b>x</b>.txt to remote host");
        EXPECT_EQ(called, background ? std::vector<QWidget*>{&main} : std::vector<QWidget*>{}) << background;
    }
}

} // namespace
