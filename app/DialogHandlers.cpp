// The main window's Options and Help buttons.

#include <QTreeWidgetItem>

#include "app/FileList.h"
#include "app/Main.h"
#include "app/HelpDialog.h"
#include "app/OptionsDialog.h"

void TForm1::OptionsBnClick()
{
    TOptionsFm dialog(this);
    dialog.SetExtensions(txtlist);
    // Checking the firewall box here switches the host and port boxes on.
    dialog.fwCkBox->setChecked(state.useFirewall);
    dialog.fwhostedit->setText(state.firewallHost);
    dialog.fwportedit->setText(state.firewallPort);
    dialog.pasvckbox->setChecked(state.passiveMode);
    dialog.Exitckbox->setChecked(state.exitWhenDone);
    dialog.Folderckbox->setChecked(state.sendFolders);
    dialog.retriesSpin->setValue(state.reconnectAttempts);
    dialog.keepTimeCheck->setChecked(state.keepModificationTime);
    dialog.SetProfile(hostcmbox->currentText(), state.tempSuffix, static_cast<int>(state.ifExists));

    // Cancel and the close box change nothing. Nothing is saved here either:
    // the options reach the store with the next completed upload.
    if (dialog.exec() != QDialog::Accepted)
        return;

    txtlist = dialog.Extensions();
    state.useFirewall = dialog.fwCkBox->isChecked();
    state.firewallHost = dialog.fwhostedit->text();
    state.firewallPort = dialog.fwportedit->text();
    state.passiveMode = dialog.pasvckbox->isChecked();
    state.exitWhenDone = dialog.Exitckbox->isChecked();
    if (dialog.Folderckbox->isChecked() != state.sendFolders) {
        state.sendFolders = dialog.Folderckbox->isChecked();
        RefreshFolderRows(); // app/FolderRows.cpp
    }
    state.reconnectAttempts = dialog.retriesSpin->value();
    state.keepModificationTime = dialog.keepTimeCheck->isChecked();
    state.tempSuffix = dialog.TempSuffix();
    state.ifExists = static_cast<ExistingFileRule>(dialog.ifExistsBox->currentIndex());

    // Every file row follows the new list. The rows' own change reaction
    // runs for each row that flips and finds the list already agreeing, so
    // txtlist stays as the dialog left it. Folder rows keep their mark.
    for (int i = 0; i < fileList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = fileList->topLevelItem(i);
        if (KindOfRow(row) != RowKind::File)
            continue;
        const bool ascii = ExtInList(AsciiLowerCase(FileExt(row->text(0))), txtlist);
        row->setCheckState(0, ascii ? Qt::Checked : Qt::Unchecked);
    }
}

void TForm1::AboutBnClick()
{
    TAboutFm dialog(this);
    dialog.iconLabel->setPixmap(windowIcon().pixmap(32, 32));
    dialog.exec();
}
