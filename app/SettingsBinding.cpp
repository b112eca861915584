// The window's side of the settings: what the profile controls and the
// window's options hold is copied into the values that settings/ loads and
// saves, and loaded values back into the controls. Also the reactions of the
// anonymous box and the directory choice, which a load relies on.

#include <QSignalBlocker>

#include "app/Main.h"

namespace {

// Sets the directory box's text when it takes text at all.
void SetEditText(QComboBox* box, const QString& text)
{
    if (box->isEditable())
        box->setEditText(text);
}

// Sets the profile box's text as the program does: no change reaction runs,
// and no list entry becomes selected.
void SetProfileText(QComboBox* box, const QString& text)
{
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

} // namespace

Profile TForm1::ShownProfile() const
{
    Profile p;
    p.address = addressedit->text();
    p.port = portedit->text();
    p.user = useredit->text();
    p.password = passedit->text();
    p.anonymous = anonyckbox->isChecked();
    p.remember = remckbox->isChecked();
    p.inSubdirectory = subdirRadio->isChecked();
    p.subdirectory = dircmbox->currentText();
    p.tempSuffix = state.tempSuffix;
    p.ifExists = state.ifExists;
    p.webAddress = webedit->text();
    return p;
}

Options TForm1::CurrentOptions() const
{
    Options o;
    o.emailAddress = state.emailAddress;
    o.firewallHost = state.firewallHost;
    o.firewallPort = state.firewallPort;
    o.useFirewall = state.useFirewall;
    o.passiveMode = state.passiveMode;
    o.exitWhenDone = state.exitWhenDone;
    o.sendFolders = state.sendFolders;
    o.asciiExtensions = txtlist;
    o.reconnectAttempts = state.reconnectAttempts;
    o.keepModificationTime = state.keepModificationTime;
    return o;
}

void TForm1::TakeOptions(const Options& o)
{
    state.emailAddress = o.emailAddress;
    state.firewallHost = o.firewallHost;
    state.firewallPort = o.firewallPort;
    state.useFirewall = o.useFirewall;
    state.passiveMode = o.passiveMode;
    state.exitWhenDone = o.exitWhenDone;
    state.sendFolders = o.sendFolders;
    txtlist = o.asciiExtensions;
    state.reconnectAttempts = o.reconnectAttempts;
    state.keepModificationTime = o.keepModificationTime;
}

void TForm1::ShowProfileList(const StoredProfileList& list)
{
    if (!list.names)
        return;
    const QString typed = hostcmbox->currentText();
    {
        const QSignalBlocker quiet(hostcmbox);
        hostcmbox->clear();
        hostcmbox->addItems(*list.names);
    }
    SetProfileText(hostcmbox, typed);
    if (list.lastHost)
        SetProfileText(hostcmbox, *list.lastHost);
}

void TForm1::ShowStoredProfile(const StoredProfile& p)
{
    if (p.address)
        addressedit->setText(*p.address);
    if (p.port)
        portedit->setText(*p.port);
    // Setting the box runs its reaction when the state changes.
    if (p.anonymous)
        anonyckbox->setChecked(*p.anonymous);
    if (p.stoppedIn < ProfileReadStage::Login)
        return;

    if (anonyckbox->isChecked()) {
        ApplyAnonymousRule();
    } else {
        passedit->setEchoMode(QLineEdit::Password);
        if (p.user)
            useredit->setText(*p.user);
        if (p.remember)
            remckbox->setChecked(*p.remember);
        if (p.password)
            passedit->setText(*p.password);
    }
    if (p.stoppedIn <= ProfileReadStage::InSubdirectory)
        return;
    // Not on the window, so nothing shown to keep: a profile that holds no
    // rule (a new one, or saved by an older version) goes by the defaults.
    state.tempSuffix = p.tempSuffix.value_or(QString());
    state.ifExists = p.ifExists.value_or(ExistingFileRule::Overwrite);

    if (p.inSubdirectory) {
        // A checked radio button of a group cannot be unchecked by itself:
        // checking its partner does it.
        if (*p.inSubdirectory)
            subdirRadio->setChecked(true);
        else
            loginDirRadio->setChecked(true);
    }
    if (!subdirRadio->isChecked()) {
        SetEditText(dircmbox, QString());
        loginDirRadio->setChecked(true);
    } else if (p.subdirectory) {
        SetEditText(dircmbox, *p.subdirectory);
    }
    if (p.webAddress)
        webedit->setText(*p.webAddress);
}

void TForm1::readreg(const QString& mode)
{
    // A loaded profile's port is the profile's, not one the user typed.
    portTyped_ = false;
    StoredProfile profile;
    if (mode == QLatin1String("f")) {
        // The full read at start-up: the list, the last profile, the options.
        StoredProfileList list;
        Options options = CurrentOptions();
        // Whatever was read before a value of the wrong kind is shown.
        auto show = [&] {
            TakeOptions(options);
            ShowProfileList(list);
            ShowStoredProfile(profile);
        };
        try {
            ReadAllSettings(hostcmbox->currentText(), ShownProfile(), list, profile, options, settingsRead_);
        } catch (...) {
            show();
            throw;
        }
        show();
        return;
    }
    try {
        ReadProfileSettings(hostcmbox->currentText(), ShownProfile(), profile);
    } catch (...) {
        ShowStoredProfile(profile);
        throw;
    }
    ShowStoredProfile(profile);
}

void TForm1::writereg()
{
    WriteSettings(hostcmbox->currentText(), ShownProfile(), CurrentOptions(), &trustedCertificate_, settingsRead_);
}

void TForm1::ApplyAnonymousRule()
{
    if (anonyckbox->isChecked()) {
        // An anonymous log-in: the e-mail address is the password, shown in
        // clear, and it is saved.
        useredit->setText(QStringLiteral("anonymous"));
        passedit->setEchoMode(QLineEdit::Normal);
        passedit->setText(state.emailAddress);
        remckbox->setChecked(true);
    } else {
        // Back to a log-in of one's own, typed afresh.
        useredit->clear();
        passedit->setEchoMode(QLineEdit::Password);
        passedit->clear();
        useredit->setFocus();
    }
}

void TForm1::OnLoginDirectoryChosen()
{
    SetEditText(dircmbox, QString());
    dircmbox->setEnabled(false);
}

void TForm1::OnSubdirectoryChosen()
{
    dircmbox->setEnabled(true);
}
