#include "app/Main.h"

#include <QFile>
#include <chrono>
#include <exception>

#include "app/DesktopNotifier.h"
#include "app/FileDrop.h"
#include "app/FileList.h"
#include "ftp/Ftpcli.h"
#include "platform/Dialogs.h"
#include "platform/qt/Shell.h"
#include "settings/Settings.h"
#include "upload/SftpSession.h"

TForm1::~TForm1()
{
    // The child widgets go after this body, and a focused line edit still
    // reports its edit as finished then: none of the window's reactions or
    // filters may run on a window whose members are gone.
    for (QObject* child : findChildren<QObject*>()) {
        QObject::disconnect(child, nullptr, this, nullptr);
        child->removeEventFilter(this);
    }
}

namespace {

QList<QByteArray> EncodedNames(const QStringList& paths)
{
    QList<QByteArray> bytes;
    for (const QString& path : paths)
        bytes << QFile::encodeName(path);
    return bytes;
}

} // namespace

TForm1::TForm1(const QStringList& args, QWidget* parent) : TForm1(EncodedNames(args), parent) { }

QString TForm1::ParamStr(int i) const
{
    return ReadableText(ParamBytes(i));
}

TForm1::TForm1(const QList<QByteArray>& args, QWidget* parent) : QWidget(parent), args_(args)
{
    MonotonicMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    CreateControls();
    CreateFtpClient();
    ConnectControlReactions();
    NameControlsForAssistiveTools();
    ArrangeControls();
    SetTabOrder();
    ConnectHandlers();
    AcceptFileDrops(*this);
    try {
        FormCreate();
    } catch (const std::exception& e) {
        // An error that ends the window's creation is shown in the standard
        // error box; the window opens with whatever was built before it.
        Dialogs().ErrorBox(e.what());
    }
}

void TForm1::CreateFtpClient()
{
    // The FTP client, as the window stores it. Its display and progress
    // handlers belong to the transfer feedback.
    FTP = std::make_unique<TFtpClient>(nullptr);
    FTP->SetTimeout(90);
    FTP->SetMultiThreaded(false);
    FTP->SetPort("21");
    FTP->SetDisplayFileFlag(false);
    FTP->SetBinary(false);
    FTP->SetShareMode(ftpShareExclusive);
    FTP->SetOptions(ftpAcceptLF);
}

void TForm1::ConnectControlReactions()
{
    // Reactions of the profile controls run on every change of state, also
    // when the program sets the control (radio buttons when they get checked).
    connect(anonyckbox, &QCheckBox::toggled, this, [this] { ApplyAnonymousRule(); });
    connect(loginDirRadio, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            OnLoginDirectoryChosen();
    });
    connect(subdirRadio, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            OnSubdirectoryChosen();
    });

    connect(focusTimer, &QTimer::timeout, this, &TForm1::OnFocusTimer);
    connect(OptionsBn, &QPushButton::clicked, this, &TForm1::OptionsBnClick);
    connect(AboutBn, &QPushButton::clicked, this, &TForm1::AboutBnClick);
    connect(dircmbox, &DropDownComboBox::aboutToDropDown, this, &TForm1::dircmboxDropDown);
    connect(fileList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* row, int) { OnFileRowChanged(row); });
    // Moving the selection changes two rows: the one left and the one entered.
    connect(fileList, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
                OnFileRowChanged(previous);
                OnFileRowChanged(current);
            });
}

void TForm1::FormCreate()
{
    // The full read ("f") of the saved profiles, the last profile, the
    // options and the ascii extensions.
    state.readMode = QStringLiteral("f");
    try {
        readreg(state.readMode);
    } catch (const std::exception& e) {
        // A bad settings value must not cost the user the file list: show it
        // and go on with what could be read.
        Dialogs().ErrorBox(e.what());
    }

    // One row per command-line path. A file error leaves the rest undone: no
    // focus timer, and ListReady stays clear for the whole run.
    BuildFileList();

    // The focus goes to the right control once the window is up.
    focusTimer->start();
    ListReady = true;
}

void TForm1::OnFocusTimer()
{
    focusTimer->stop();
    // With a remembered profile, Enter starts the upload at once.
    if (!hostcmbox->currentText().isEmpty())
        OKBn->setFocus();
    else
        hostcmbox->setFocus();
}
