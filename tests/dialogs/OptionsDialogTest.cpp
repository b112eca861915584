// The Options dialog: editing the extension list, the firewall boxes, and
// what OK and Cancel do to the main window's options and file rows.

#include <QFileInfo>
#include <QTest>
#include <memory>

#include "ModalDriver.h"
#include "app/FileList.h"
#include "app/OptionsDialog.h"
#include "tests/app/AppFixture.h"

namespace {

class OptionsTest : public AppTest {
protected:
    // Files of every spelling of .txt, one .html, one without extension, and
    // a folder whose name ends like an ascii file.
    std::unique_ptr<TForm1> OpenSampleWindow()
    {
        return OpenWindow({MakeFile("a.txt", "a"), MakeFile("b.TXT", "b"), MakeFile("c.html", "c"),
                           MakeFile("d.Txt", "d"), MakeFile("README", "r"), MakeFolder("notes.html")});
    }

    static std::vector<std::string> Marks(const TForm1& form)
    {
        std::vector<std::string> marks;
        for (int i = 0; i < form.fileList->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = form.fileList->topLevelItem(i);
            marks.push_back(Std(row->text(0)) + (row->checkState(0) == Qt::Checked ? " ascii" : " binary"));
        }
        return marks;
    }

    // The edits a user makes: ".HTML" typed and Enter, ".txt" selected and
    // Delete, "txt" typed and Add; every switch turned on.
    static void EditEverything(TOptionsFm* dialog)
    {
        QTest::keyClicks(dialog->extedit, QStringLiteral(".HTML"));
        QTest::keyClick(dialog->extedit, Qt::Key_Return);
        EXPECT_EQ(Std(dialog->extedit->text()), "");
        EXPECT_TRUE(dialog->isVisible()) << "Enter in the extension box must not close the dialog";
        dialog->extlist->setCurrentRow(0);
        QTest::keyClick(dialog->extlist, Qt::Key_Delete);
        QTest::keyClicks(dialog->extedit, QStringLiteral("txt"));
        QTest::mouseClick(dialog->addbn, Qt::LeftButton);
        EXPECT_EQ(dialog->Extensions(), (QStringList{".HTML", "txt"}));
        dialog->fwCkBox->setChecked(true);
        dialog->fwhostedit->setText(QStringLiteral("proxy.example"));
        dialog->fwportedit->setText(QStringLiteral("2121"));
        dialog->pasvckbox->setChecked(true);
        dialog->Exitckbox->setChecked(true);
    }
};

const std::vector<std::string> StartMarks = {"a.txt ascii", "b.TXT ascii",   "c.html binary",
                                             "d.Txt ascii", "README binary", "notes.html binary"};

TEST_F(OptionsTest, OkTakesTheEditsAndRemarksTheFileRows)
{
    auto form = OpenSampleWindow();
    ASSERT_EQ(Marks(*form), StartMarks);
    form->state.passiveMode = false; // the dialog's edit turns it on
    ModalDriver<TOptionsFm> driver([](TOptionsFm* dialog) {
        EXPECT_EQ(dialog->Extensions(), QStringList{".txt"});
        EXPECT_TRUE(dialog->extlist->selectedItems().isEmpty());
        EditEverything(dialog);
        QTest::mouseClick(dialog->OK, Qt::LeftButton);
    });
    form->OptionsBn->click();
    ASSERT_TRUE(driver.Ran());
    EXPECT_TRUE(driver.Seen().isNull()) << "the dialog is freed when it closes";

    // ".HTML" matches c.html whatever the case; "txt" without its dot matches
    // nothing; the folder row keeps its mark. The rows' own change reaction
    // leaves the list exactly as the dialog set it.
    EXPECT_EQ(Marks(*form), (std::vector<std::string>{"a.txt binary", "b.TXT binary", "c.html ascii", "d.Txt binary",
                                                      "README binary", "notes.html binary"}));
    EXPECT_EQ(form->txtlist, (QStringList{".HTML", "txt"}));
    EXPECT_TRUE(form->state.useFirewall);
    EXPECT_EQ(Std(form->state.firewallHost), "proxy.example");
    EXPECT_EQ(Std(form->state.firewallPort), "2121");
    EXPECT_TRUE(form->state.passiveMode);
    EXPECT_TRUE(form->state.exitWhenDone);
    // Nothing is saved until an upload has gone through.
    EXPECT_FALSE(QFileInfo::exists(Path("registry.db")));
}

TEST_F(OptionsTest, ACapitalEntryMarksEverySpelling)
{
    auto form = OpenSampleWindow();
    form->txtlist = QStringList{};
    ModalDriver<TOptionsFm> driver([](TOptionsFm* dialog) {
        dialog->SetExtensions({});
        QTest::keyClicks(dialog->extedit, QStringLiteral(".TXT"));
        QTest::keyClick(dialog->extedit, Qt::Key_Enter);
        QTest::mouseClick(dialog->OK, Qt::LeftButton);
    });
    form->OptionsBn->click();
    ASSERT_TRUE(driver.Ran());
    EXPECT_EQ(Marks(*form), StartMarks);
    EXPECT_EQ(form->txtlist, QStringList{".TXT"});
}

TEST_F(OptionsTest, CancelAndTheCloseBoxChangeNothing)
{
    const std::vector<std::pair<const char*, std::function<void(TOptionsFm*)>>> closings = {
        {"Cancel button", [](TOptionsFm* d) { QTest::mouseClick(d->Cancel, Qt::LeftButton); }},
        {"Escape key", [](TOptionsFm* d) { QTest::keyClick(d, Qt::Key_Escape); }},
        {"close box", [](TOptionsFm* d) { d->close(); }},
    };
    for (const auto& [how, close] : closings) {
        auto form = OpenSampleWindow();
        form->state.firewallHost = QStringLiteral("old.proxy");
        form->state.passiveMode = false; // the dialog's edit turns it on
        ModalDriver<TOptionsFm> driver([close = close](TOptionsFm* dialog) {
            EditEverything(dialog);
            close(dialog);
        });
        form->OptionsBn->click();
        ASSERT_TRUE(driver.Ran()) << how;
        EXPECT_EQ(Marks(*form), StartMarks) << how;
        EXPECT_EQ(form->txtlist, QStringList{".txt"}) << how;
        EXPECT_FALSE(form->state.useFirewall) << how;
        EXPECT_EQ(Std(form->state.firewallHost), "old.proxy") << how;
        EXPECT_EQ(Std(form->state.firewallPort), "") << how;
        EXPECT_FALSE(form->state.passiveMode) << how;
        EXPECT_FALSE(form->state.exitWhenDone) << how;
    }
}

TEST_F(OptionsTest, TheDialogStartsFromTheCurrentOptions)
{
    auto form = OpenSampleWindow();
    form->txtlist = QStringList{".c", ".H", ".c"};
    form->state.firewallHost = QStringLiteral("fw");
    form->state.firewallPort = QStringLiteral("1021");
    form->state.useFirewall = true;
    form->state.passiveMode = true;
    form->state.exitWhenDone = true;
    ModalDriver<TOptionsFm> driver([](TOptionsFm* dialog) {
        EXPECT_EQ(dialog->Extensions(), (QStringList{".c", ".H", ".c"}));
        EXPECT_TRUE(dialog->fwCkBox->isChecked());
        EXPECT_TRUE(dialog->fwhostedit->isEnabled()) << "a checked firewall box switches the host box on";
        EXPECT_TRUE(dialog->fwportedit->isEnabled());
        EXPECT_EQ(Std(dialog->fwhostedit->text()), "fw");
        EXPECT_EQ(Std(dialog->fwportedit->text()), "1021");
        EXPECT_TRUE(dialog->pasvckbox->isChecked());
        EXPECT_TRUE(dialog->Exitckbox->isChecked());
        // Switching the firewall off keeps its host and port for later.
        dialog->fwCkBox->setChecked(false);
        QTest::mouseClick(dialog->OK, Qt::LeftButton);
    });
    form->OptionsBn->click();
    ASSERT_TRUE(driver.Ran());
    EXPECT_FALSE(form->state.useFirewall);
    EXPECT_EQ(Std(form->state.firewallHost), "fw");
    EXPECT_EQ(Std(form->state.firewallPort), "1021");
}

// The upload rules, edited from the keyboard as a user does: Tab moves
// from box to box, typing replaces the number, Space checks, the arrow
// picks the rule, Enter is OK. A slash cannot go into the suffix.
TEST_F(OptionsTest, UploadRulesAreEditedFromTheKeyboard)
{
    auto form = OpenSampleWindow();
    form->hostcmbox->setEditText(QStringLiteral("work"));
    ModalDriver<TOptionsFm> driver([](TOptionsFm* dialog) {
        EXPECT_EQ(Std(dialog->profileLabel->text()), "For the profile \"work\":");
        EXPECT_EQ(dialog->retriesSpin->value(), 3);
        EXPECT_FALSE(dialog->tempSuffixEdit->isEnabled()) << "no temporary name on a fresh profile";
        dialog->pasvckbox->setFocus();
        auto key = [&](Qt::Key k) { QTest::keyClick(QApplication::focusWidget(), k); };
        key(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog->retriesSpin);
        QTest::keyClick(dialog->retriesSpin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(dialog->retriesSpin, QStringLiteral("5"));
        key(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog->keepTimeCheck);
        key(Qt::Key_Space);
        key(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog->tempNameCheck);
        key(Qt::Key_Space);
        EXPECT_TRUE(dialog->tempSuffixEdit->isEnabled());
        key(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog->tempSuffixEdit);
        QTest::keyClick(dialog->tempSuffixEdit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(dialog->tempSuffixEdit, QStringLiteral(".up/x"));
        EXPECT_EQ(Std(dialog->tempSuffixEdit->text()), ".upx");
        key(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog->ifExistsBox);
        key(Qt::Key_Down);
        key(Qt::Key_Down);
        key(Qt::Key_Return);
    });
    form->OptionsBn->click();
    ASSERT_TRUE(driver.Ran());
    EXPECT_EQ(form->state.reconnectAttempts, 5);
    EXPECT_TRUE(form->state.keepModificationTime);
    EXPECT_EQ(Std(form->state.tempSuffix), ".upx");
    EXPECT_EQ(form->state.ifExists, ExistingFileRule::Ask);

    // Unchecked again: no temporary name, whatever the box still shows.
    ModalDriver<TOptionsFm> again([](TOptionsFm* dialog) {
        EXPECT_TRUE(dialog->tempNameCheck->isChecked());
        EXPECT_EQ(Std(dialog->tempSuffixEdit->text()), ".upx");
        EXPECT_EQ(dialog->ifExistsBox->currentIndex(), 2);
        QTest::mouseClick(dialog->tempNameCheck, Qt::LeftButton);
        QTest::mouseClick(dialog->OK, Qt::LeftButton);
    });
    form->OptionsBn->click();
    ASSERT_TRUE(again.Ran());
    EXPECT_EQ(Std(form->state.tempSuffix), "");
}

TEST_F(OptionsTest, FirewallBoxesAreOnOnlyWhileTheFirewallIsChecked)
{
    TOptionsFm dialog;
    const QColor window = QApplication::palette().color(QPalette::Base);
    const QColor menu = QApplication::palette().color(QPalette::Window);
    auto background = [](QLineEdit* edit) { return edit->palette().color(QPalette::Base); };

    for (QLineEdit* edit : {dialog.fwhostedit, dialog.fwportedit}) {
        EXPECT_FALSE(edit->isEnabled()) << Std(edit->objectName());
        EXPECT_EQ(background(edit), menu) << Std(edit->objectName());
    }
    dialog.fwhostedit->setText(QStringLiteral("proxy"));
    dialog.fwCkBox->setChecked(true);
    for (QLineEdit* edit : {dialog.fwhostedit, dialog.fwportedit}) {
        EXPECT_TRUE(edit->isEnabled()) << Std(edit->objectName());
        EXPECT_EQ(background(edit), window) << Std(edit->objectName());
    }
    dialog.fwCkBox->setChecked(false);
    EXPECT_FALSE(dialog.fwhostedit->isEnabled());
    EXPECT_EQ(Std(dialog.fwhostedit->text()), "proxy");
}

TEST_F(OptionsTest, EntriesAreAddedAsTypedAndOnlyTheCurrentOneIsRemoved)
{
    TOptionsFm dialog;
    dialog.show();
    dialog.SetExtensions({".a", ".b", ".c"});

    // Enter on an empty box adds nothing and leaves the dialog open.
    QTest::keyClick(dialog.extedit, Qt::Key_Return);
    EXPECT_EQ(dialog.Extensions(), (QStringList{".a", ".b", ".c"}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 0);

    // No dot added, blanks and case kept, a duplicate allowed.
    for (const char* typed : {" .X ", ".a"}) {
        QTest::keyClicks(dialog.extedit, QString::fromLatin1(typed));
        QTest::keyClick(dialog.extedit, Qt::Key_Return);
    }
    EXPECT_EQ(dialog.Extensions(), (QStringList{".a", ".b", ".c", " .X ", ".a"}));

    // Several selected, one current: only the current entry goes, and then
    // none is current, so a second Remove takes nothing.
    dialog.extlist->selectAll();
    dialog.extlist->setCurrentRow(1, QItemSelectionModel::NoUpdate);
    QTest::mouseClick(dialog.removebn, Qt::LeftButton);
    EXPECT_EQ(dialog.Extensions(), (QStringList{".a", ".c", " .X ", ".a"}));
    EXPECT_EQ(dialog.extlist->currentRow(), -1);
    QTest::mouseClick(dialog.removebn, Qt::LeftButton);
    EXPECT_EQ(dialog.Extensions().size(), 4);

    // Delete in the list removes; other keys there do not.
    dialog.extlist->setCurrentRow(3);
    QTest::keyClick(dialog.extlist, Qt::Key_Backspace);
    EXPECT_EQ(dialog.Extensions().size(), 4);
    QTest::keyClick(dialog.extlist, Qt::Key_Delete);
    EXPECT_EQ(dialog.Extensions(), (QStringList{".a", ".c", " .X "}));
}

} // namespace

namespace {

// The folder box: off by default; on, a folder row stands for its whole
// tree with its file count and size; off again, the row is as it was.
// The choice is saved with the other options.
TEST_F(OptionsTest, FolderBoxTurnsFolderRowsIntoWholeTreesAndBack)
{
    MakeFile("notes.html/inside.txt", "12345");
    auto form = OpenSampleWindow();
    QTreeWidgetItem* folder = form->fileList->topLevelItem(5);
    ASSERT_EQ(KindOfRow(folder), RowKind::Folder);
    auto toggle = [&](bool expectedBefore) {
        ModalDriver<TOptionsFm> driver([expectedBefore](TOptionsFm* dialog) {
            EXPECT_EQ(dialog->Folderckbox->isChecked(), expectedBefore);
            QTest::mouseClick(dialog->Folderckbox, Qt::LeftButton);
            QTest::mouseClick(dialog->OK, Qt::LeftButton);
        });
        form->OptionsBn->click();
        ASSERT_TRUE(driver.Ran());
    };

    toggle(false);
    EXPECT_TRUE(form->state.sendFolders);
    EXPECT_EQ(KindOfRow(folder), RowKind::FolderTree);
    EXPECT_EQ(Std(folder->text(1)), "5");
    EXPECT_EQ(Std(folder->text(2)), "folder, 1 file");
    EXPECT_EQ(form->txtlist, QStringList{".txt"}) << "the folder's name says nothing about ascii";
    form->hostcmbox->setEditText(QStringLiteral("box")); // options are saved with a profile
    form->writereg();
    auto again = OpenSampleWindow();
    EXPECT_TRUE(again->state.sendFolders) << "saved with the options";
    EXPECT_EQ(KindOfRow(again->fileList->topLevelItem(5)), RowKind::FolderTree);

    toggle(true);
    EXPECT_FALSE(form->state.sendFolders);
    EXPECT_EQ(KindOfRow(folder), RowKind::Folder);
    EXPECT_EQ(Std(folder->text(1)), "");
    EXPECT_EQ(folder->checkState(0), Qt::Unchecked);
}

} // namespace
