// How the profile controls react: choosing, creating and deleting a
// profile, and moving on with the Enter key. Also where the window's
// buttons and the FTP client's events are tied to their handlers.

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <exception>

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "platform/Dialogs.h"

namespace {

constexpr char Enter = 13;

// Runs a reaction; a settings error ends it with the error box, as for any
// event of the window.
template <typename F> void Guarded(F&& reaction)
{
    try {
        reaction();
    } catch (const std::exception& e) {
        Dialogs().ErrorBox(e.what());
    }
}

} // namespace

void TForm1::ConnectHandlers()
{
    ApplicationIsActive = [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; };

    connect(OKBn, &QPushButton::clicked, this, [this] { OKBnClick(); });
    connect(CancelBn, &QPushButton::clicked, this, [this] { CancelBnClick(); });
    connect(ExitBn, &QPushButton::clicked, this, [this] { ExitBnClick(); });
    connect(newbn, &QToolButton::clicked, this, [this] { Guarded([this] { newbnClick(); }); });
    connect(deletebn, &QToolButton::clicked, this, [this] { Guarded([this] { deletebnClick(); }); });

    // The profile box reacts to the user only: typing a name, or picking an
    // entry from its list (which loads that profile). Texts the program sets
    // do not count.
    connect(hostcmbox, &ProfileComboBox::entryPicked, this, [this] {
        profilePicked_ = true;
        Guarded([this] { hostcmboxChange(); });
        profilePicked_ = false;
    });
    connect(hostcmbox->lineEdit(), &QLineEdit::textEdited, this, [this] { Guarded([this] { hostcmboxChange(); }); });

    for (QObject* watched :
         std::initializer_list<QObject*>{hostcmbox, hostcmbox->lineEdit(), addressedit, portedit, useredit, passedit,
                                         dircmbox, dircmbox->lineEdit(), OKBn, CancelBn, OptionsBn, AboutBn, ExitBn})
        watched->installEventFilter(this);

    // The address box: a pasted address is taken apart, the port follows
    // the prefix; a port the user types is his.
    // A user's edit emits textEdited before textChanged: addressShown_
    // still holds the text before the edit then.
    connect(addressedit, &QLineEdit::textEdited, this, [this] { AddressEdited(addressShown_); });
    connect(addressedit, &QLineEdit::textChanged, this, [this](const QString& text) { addressShown_ = text; });
    connect(addressedit, &QLineEdit::editingFinished, this, [this] { TakeApartAddress(); });
    connect(portedit, &QLineEdit::textEdited, this, [this] { portTyped_ = true; });

    FTP->OnDisplay = [this](TObject* sender, std::string& msg) { FTPDisplay(sender, msg); };
    FTP->OnProgress = [this](TObject* sender, std::int64_t count, bool& abort) { FTPProgress(sender, count, abort); };
    // A new session starts in the server's default type.
    FTP->OnSessionConnected = [this](TObject*, std::uint16_t) { sessionTypeKnown_ = false; };
    FTP->OnVerifyCertificate = [this](TObject* sender, const TFtpCertificateQuestion& question, bool& trust) {
        FTPVerifyCertificate(sender, question, trust);
    };
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return QWidget::eventFilter(watched, event);

    // Enter on a focused push button presses it, as on the keyboard of any
    // dialog; that is how the focus moves below end in an upload. A key held
    // down presses nothing more: its repeats would start the job again, or
    // answer what the job asks next.
    if (auto* button = qobject_cast<QPushButton*>(watched)) {
        if (!static_cast<QKeyEvent*>(event)->isAutoRepeat())
            button->click();
        return true;
    }
    char Key = Enter;
    if (watched == hostcmbox || watched == hostcmbox->lineEdit())
        hostcmboxKeyPress(Key);
    else if (watched == addressedit || watched == portedit)
        addresseditKeyPress(Key);
    else if (watched == useredit)
        usereditKeyPress(Key);
    else if (watched == passedit)
        passeditKeyPress(Key);
    else if (watched == dircmbox || watched == dircmbox->lineEdit())
        dircmboxKeyPress(Key);
    return Key == 0 || QWidget::eventFilter(watched, event);
}

void TForm1::hostcmboxKeyPress(char& Key)
{
    if (Key != Enter)
        return;
    Key = 0;
    addressedit->setFocus();
}

void TForm1::addresseditKeyPress(char& Key)
{
    if (Key != Enter)
        return;
    Key = 0;
    useredit->setFocus();
}

void TForm1::usereditKeyPress(char& Key)
{
    if (Key != Enter)
        return;
    Key = 0;
    passedit->setFocus();
}

void TForm1::passeditKeyPress(char& Key)
{
    if (Key != Enter)
        return;
    Key = 0;
    if (loginDirRadio->isChecked())
        OKBn->setFocus();
    else
        dircmbox->setFocus();
}

void TForm1::dircmboxKeyPress(char& Key)
{
    if (Key != Enter)
        return;
    Key = 0;
    OKBn->setFocus();
}

void TForm1::hostcmboxChange()
{
    // The directory lists belong to the server of the profile that was shown.
    ClearDirectoryItems();
    dir_record.clear();

    const QString address = addressedit->text();
    const QString user = useredit->text();
    if (profilePicked_)
        readreg(QStringLiteral("p"));

    // A session left open by the directory picker or a stopped job belongs
    // to the server and user shown before.
    if (addressedit->text() != address || useredit->text() != user) {
        if (FTP->Connected())
            (void)FTP->Abort();
        DropSftpSession();
    }
}

void TForm1::ClearDirectoryItems()
{
    // QComboBox::clear() also empties the text of an editable box once it
    // has had items.
    const QString text = dircmbox->currentText();
    dircmbox->clear();
    if (dircmbox->isEditable() && dircmbox->currentText() != text)
        dircmbox->setEditText(text);
}

void TForm1::newbnClick()
{
    hostcmbox->setEditText(QString());
    addressedit->clear();
    useredit->clear();
    passedit->clear();
    webedit->clear();
    // The port is kept: it is the same for most servers.
    anonyckbox->setChecked(false);
    remckbox->setChecked(false);
    loginDirRadio->setChecked(true);
    dir_record.clear();
    ClearDirectoryItems();
    hostcmbox->setFocus();
}

void TForm1::deletebnClick()
{
    const QString profile = hostcmbox->currentText();
    if (profile.isEmpty())
        return;
    if (Dialogs().QuestionBox("Delete profile: " + profile.toStdString() + "?") != DialogAnswer::Yes)
        return;

    dir_record.clear();
    ClearDirectoryItems();

    DeleteSavedProfile(profile);
    // A certificate trusted in this run goes with its profile.
    if (trustedCertificate_.profile == profile)
        trustedCertificate_ = {};
    const int entry = hostcmbox->findText(profile, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (entry >= 0)
        hostcmbox->removeItem(entry);
    const int left = hostcmbox->count();
    MoveLastHostOff(profile, left > 0 ? hostcmbox->itemText(left - 1) : QString());

    // Another profile takes the deleted one's place: the last of the list,
    // or an empty one when none is left.
    if (left == 0) {
        newbnClick();
        return;
    }
    hostcmbox->setCurrentIndex(left - 1);
    hostcmbox->setEditText(hostcmbox->itemText(left - 1));
    readreg(QStringLiteral("p"));
}
