#include "app/Main.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProxyStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <exception>

#include "app/FileList.h"
#include "ftp/Ftpcli.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "platform/qt/Shell.h"
#include "settings/Encode.h"
#include "settings/Settings.h"

void DropDownComboBox::showPopup()
{
    emit aboutToDropDown();
    // The handler may have waited on the network while the user closed the
    // window; a list popping up over nothing would be a stray.
    if (IsTerminating())
        return;
    QComboBox::showPopup();
}

ProfileComboBox::ProfileComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // Inline completion would turn "de" into "demo" behind the user's back.
    // Without a completer the box also matches entries case-sensitively.
    setCompleter(nullptr);
    connect(this, &QComboBox::activated, this, [this] {
        if (!losingFocus_)
            emit entryPicked();
    });
}

void ProfileComboBox::focusOutEvent(QFocusEvent* event)
{
    // Leaving the box selects the entry equal to its text and reports it as
    // activated; that is no pick of the user's.
    losingFocus_ = true;
    QComboBox::focusOutEvent(event);
    losingFocus_ = false;
}

namespace {

// Masks a password with "*" rather than the style's bullet.
class StarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return u'*';
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

QStyle* PasswordStyle()
{
    // Owned by the application, so it outlives every window that uses it.
    static QPointer<QStyle> style;
    if (!style) {
        style = new StarPasswordStyle;
        style->setParent(qApp);
    }
    return style;
}

// The window's own icon: a parcel with an arrow pointing up.
QIcon ParceloIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        p.setPen(QPen(QColor(0x5a, 0x3a, 0x16), 1.5));
        p.setBrush(QColor(0xd9, 0xa4, 0x5f));
        p.drawRect(QRectF(4, 12, 24, 18));
        p.setBrush(QColor(0xc0, 0x8a, 0x45));
        p.drawRect(QRectF(14, 12, 4, 18));
        QPainterPath arrow;
        arrow.moveTo(16, 1);
        arrow.lineTo(25, 10);
        arrow.lineTo(20, 10);
        arrow.lineTo(20, 14);
        arrow.lineTo(12, 14);
        arrow.lineTo(12, 10);
        arrow.lineTo(7, 10);
        arrow.closeSubpath();
        p.setPen(QPen(QColor(0, 0, 0x60), 1));
        p.setBrush(QColor(0x20, 0x60, 0xd0));
        p.drawPath(arrow);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// Lengths were laid out for a font 13 pixels high; grow them with the
// desktop's font so that no caption is cut off.
int Scaled(int pixels, const QFontMetrics& fm)
{
    return pixels * fm.height() / 13;
}

// A last-write time whose text is about the widest a locale makes: two-digit
// day, month and hour, a long month name.
std::time_t WidestDateSample()
{
    return QDateTime(QDate(2026, 12, 28), QTime(22, 58, 58)).toSecsSinceEpoch();
}

} // namespace

TForm1::~TForm1()
{
    // Deleting the child widgets moves the focus, and the address box then
    // reports its edit finished; by then this object is no longer a TForm1,
    // so no handler of the window may run any more.
    for (QObject* child : findChildren<QObject*>())
        QObject::disconnect(child, nullptr, this, nullptr);
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
    NameControlsForAssistiveTools();
    ArrangeControls();
    SetTabOrder();
    ConnectHandlers();
    try {
        FormCreate();
    } catch (const std::exception& e) {
        // An error that ends the window's creation is shown in the standard
        // error box; the window opens with whatever was built before it.
        Dialogs().ErrorBox(e.what());
    }
}

void TForm1::CreateControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Parcelo"));
    setWindowIcon(ParceloIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);

    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    auto label = [&](const char* name, const char* caption) {
        return named(new QLabel(QString::fromLatin1(caption), this), name);
    };

    Label1 = label("Label1", "Send File(s):");
    ListView1 = named(new QTreeWidget(this), "ListView1");
    ListView1->setColumnCount(3);
    ListView1->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Date")});
    ListView1->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    ListView1->header()->setSectionsClickable(false);
    ListView1->header()->setSectionsMovable(false);
    ListView1->header()->setStretchLastSection(false);
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setFocusPolicy(Qt::ClickFocus);
    ListView1->setIconSize(QSize(16, 16));
    Label5 = label("Label5", "(File(s) checked will be sent in ascii mode)");

    Label2 = label("Label2", "To Remote Host:");
    hostcmbox = named(new ProfileComboBox(this), "hostcmbox");
    hostcmbox->addItem(QString());
    hostcmbox->setToolTip(QStringLiteral("Enter a profile name here"));
    newbn = named(new QToolButton(this), "newbn");
    newbn->setAutoRaise(true);
    newbn->setIcon(QIcon::fromTheme(QStringLiteral("document-new"), style()->standardIcon(QStyle::SP_FileIcon)));
    newbn->setIconSize(QSize(16, 16));
    newbn->setToolTip(QStringLiteral("New profile"));
    newbn->setFocusPolicy(Qt::NoFocus);
    deletebn = named(new QToolButton(this), "deletebn");
    deletebn->setAutoRaise(true);
    deletebn->setIcon(QIcon::fromTheme(QStringLiteral("edit-delete"), style()->standardIcon(QStyle::SP_TrashIcon)));
    deletebn->setIconSize(QSize(16, 16));
    deletebn->setToolTip(QStringLiteral("Delete profile"));
    deletebn->setFocusPolicy(Qt::NoFocus);

    Label6 = label("Label6", "Address:");
    addressedit = named(new QLineEdit(this), "addressedit");
    addressedit->setToolTip(QStringLiteral("FTP server address"));
    Label7 = label("Label7", "Port:");
    portedit = named(new QLineEdit(QStringLiteral("21"), this), "portedit");
    portedit->setToolTip(QStringLiteral("FTP server address"));

    Label3 = label("Label3", "Username:");
    useredit = named(new QLineEdit(this), "useredit");
    anonyckbox = named(new QCheckBox(QStringLiteral("anonymous"), this), "anonyckbox");
    anonyckbox->setFocusPolicy(Qt::ClickFocus);

    Label4 = label("Label4", "Password:");
    passedit = named(new QLineEdit(this), "passedit");
    passedit->setStyle(PasswordStyle());
    passedit->setEchoMode(QLineEdit::Password);
    remckbox = named(new QCheckBox(QStringLiteral("save password"), this), "remckbox");
    remckbox->setFocusPolicy(Qt::ClickFocus);

    RB1 = named(new QRadioButton(QStringLiteral("in default login directory"), this), "RB1");
    RB1->setChecked(true);
    RB2 = named(new QRadioButton(QStringLiteral("in Sub-directory:"), this), "RB2");
    dircmbox = named(new DropDownComboBox(this), "dircmbox");
    dircmbox->setEditable(true);
    dircmbox->setInsertPolicy(QComboBox::NoInsert);
    dircmbox->setMaxVisibleItems(10);
    dircmbox->setToolTip(QStringLiteral("Key in a directory or drop down to select from the remote host"));
    dircmbox->setEnabled(false);

    OKBn = named(new QPushButton(QStringLiteral("OK"), this), "OKBn");
    CancelBn = named(new QPushButton(QStringLiteral("Cancel"), this), "CancelBn");
    OptionsBn = named(new QPushButton(QStringLiteral("Options"), this), "OptionsBn");
    AboutBn = named(new QPushButton(QStringLiteral("Help"), this), "AboutBn");
    ExitBn = named(new QPushButton(QStringLiteral("Exit"), this), "ExitBn");
    for (QPushButton* button : {OKBn, CancelBn, OptionsBn, AboutBn, ExitBn})
        button->setAutoDefault(false);

    DisplayMemo = named(new QPlainTextEdit(this), "DisplayMemo");
    DisplayMemo->setReadOnly(true);
    DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DisplayMemo->setTabChangesFocus(true);
    DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // The dialogue takes the theme's text colour: a fixed dark colour cannot
    // be read on a dark theme.
    DisplayMemo->setPlainText(QStringLiteral("Parcelo " PARCELO_VERSION));

    ProgressBar1 = named(new QProgressBar(this), "ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    StatusBar1 = named(new StatusPanels(this), "StatusBar1");

    Timer1 = named(new QTimer(this), "Timer1");
    Timer1->setSingleShot(true);
    Timer1->setInterval(20);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);

    // The password scrambler of the saved profiles.
    encode1 = new Tencode(this);
    encode1->setObjectName(QStringLiteral("encode1"));
    encode1->SetKey("QZRW");
    encode1->SetTurning(true);
    encode1->SetMoveNumber(6);
    encode1->SetDecimalOut(false);
    encode1->SetSequence("123");

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

    // Reactions of the profile controls run on every change of state, also
    // when the program sets the control (radio buttons when they get checked).
    connect(anonyckbox, &QCheckBox::toggled, this, [this] { anonyckboxClick(); });
    connect(RB1, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RB1Click();
    });
    connect(RB2, &QRadioButton::toggled, this, [this](bool on) {
        if (on)
            RB2Click();
    });

    connect(OptionsBn, &QPushButton::clicked, this, &TForm1::OptionsBnClick);
    connect(AboutBn, &QPushButton::clicked, this, &TForm1::AboutBnClick);
    connect(dircmbox, &DropDownComboBox::aboutToDropDown, this, &TForm1::dircmboxDropDown);
    connect(ListView1, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* row, int) { ListView1Change(row); });
    // Moving the selection changes two rows: the one left and the one entered.
    connect(ListView1, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
                ListView1Change(previous);
                ListView1Change(current);
            });
}

void TForm1::NameControlsForAssistiveTools()
{
    // A screen reader names a field by its label; the label's text less its
    // colon is also the field's accessible name, for tools that do not follow
    // the label.
    const std::pair<QLabel*, QWidget*> labelled[] = {{Label1, ListView1}, {Label2, hostcmbox}, {Label6, addressedit},
                                                     {Label7, portedit},  {Label3, useredit},  {Label4, passedit}};
    for (const auto& [label, field] : labelled) {
        label->setBuddy(field);
        QString name = label->text();
        if (name.endsWith(u':'))
            name.chop(1);
        field->setAccessibleName(name);
    }
    // The buttons that show only a picture are named by their hints.
    newbn->setAccessibleName(newbn->toolTip());
    deletebn->setAccessibleName(deletebn->toolTip());
    dircmbox->setAccessibleName(QStringLiteral("Sub-directory"));
    dircmbox->setAccessibleDescription(dircmbox->toolTip());
    DisplayMemo->setAccessibleName(QStringLiteral("FTP dialogue"));
    ProgressBar1->setAccessibleName(QStringLiteral("Transfer progress"));
}

void TForm1::ArrangeControls()
{
    const QFontMetrics fm(font());
    auto px = [&](int pixels) { return Scaled(pixels, fm); };

    // The date column fits a full date and time of the user's locale.
    const int dateWidth = std::max(px(70), fm.horizontalAdvance(FileDateText(WidestDateSample())) + px(12));
    ListView1->setColumnWidth(0, px(123));
    ListView1->setColumnWidth(1, px(75));
    ListView1->setColumnWidth(2, dateWidth);
    const int frame = 2 * ListView1->frameWidth();
    const int scrollBar = ListView1->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, ListView1);
    // Tall enough for the header and four whole rows.
    auto* sample = new QTreeWidgetItem(ListView1, {QStringLiteral("Xg")});
    sample->setCheckState(0, Qt::Checked);
    sample->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
    const int rowHeight = ListView1->sizeHintForRow(0);
    delete sample;
    // The design size is the least the list gets; it takes the spare room
    // of a larger window, and its Name column the spare width.
    ListView1->setMinimumSize(std::max(px(289), px(123) + px(75) + dateWidth + scrollBar + frame),
                              std::max(px(70), ListView1->header()->sizeHint().height() + 4 * rowHeight + frame));
    ListView1->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ListView1->header()->setMinimumSectionSize(px(40));
    ListView1->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    hostcmbox->setMinimumWidth(px(166));
    addressedit->setMinimumWidth(px(166));
    portedit->setFixedWidth(std::max(px(33), fm.horizontalAdvance(QStringLiteral("00000")) + 12));
    useredit->setMinimumWidth(px(149));
    passedit->setMinimumWidth(px(149));
    dircmbox->setMinimumWidth(px(185));
    DisplayMemo->setMinimumHeight(px(75));
    DisplayMemo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(px(6));
    grid->setVerticalSpacing(px(6));
    const auto right = Qt::AlignRight | Qt::AlignVCenter;

    grid->addWidget(Label1, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(ListView1, 0, 1, 1, 2);
    grid->addWidget(Label5, 1, 1, 1, 2);

    auto* profileButtons = new QHBoxLayout;
    profileButtons->setSpacing(px(4));
    profileButtons->addWidget(newbn);
    profileButtons->addWidget(deletebn);
    profileButtons->addStretch(1);
    grid->addWidget(Label2, 2, 0, right);
    grid->addWidget(hostcmbox, 2, 1);
    grid->addLayout(profileButtons, 2, 2);

    auto* port = new QHBoxLayout;
    port->setSpacing(px(4));
    port->addWidget(Label7);
    port->addWidget(portedit);
    port->addStretch(1);
    grid->addWidget(Label6, 3, 0, right);
    grid->addWidget(addressedit, 3, 1);
    grid->addLayout(port, 3, 2);

    grid->addWidget(Label3, 4, 0, right);
    grid->addWidget(useredit, 4, 1);
    grid->addWidget(anonyckbox, 4, 2);

    grid->addWidget(Label4, 5, 0, right);
    grid->addWidget(passedit, 5, 1);
    grid->addWidget(remckbox, 5, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(0, 1);

    auto* directory = new QGridLayout;
    directory->setContentsMargins(px(66), 0, 0, 0);
    directory->setHorizontalSpacing(px(4));
    directory->setVerticalSpacing(px(4));
    directory->addWidget(RB1, 0, 0, 1, 2);
    directory->addWidget(RB2, 1, 0);
    directory->addWidget(dircmbox, 1, 1);
    directory->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    for (QPushButton* button : {OKBn, CancelBn, OptionsBn, AboutBn, ExitBn}) {
        button->setMinimumWidth(std::max(px(70), button->sizeHint().width()));
        buttons->addWidget(button);
    }

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(2);
    bottom->addWidget(ProgressBar1, 165);
    bottom->addWidget(StatusBar1, 206);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(px(9), px(9), px(9), px(4));
    outer->setSpacing(px(8));
    // Extra height goes to the file list and the dialogue. A box layout
    // keeps the heights in the ratio of the stretches, and the list's row
    // holds the profile fields too, about three times the dialogue's
    // height: so both grow from the start, the list three times as fast.
    outer->addLayout(grid, 3);
    outer->addLayout(directory);
    outer->addLayout(buttons);
    outer->addWidget(DisplayMemo, 1);
    outer->addLayout(bottom);
    // The window opens at the size its contents need, and never gets
    // smaller than that; it may grow and be maximised.
    outer->setSizeConstraint(QLayout::SetMinimumSize);
    outer->activate();
    resize(minimumSize());
}

void TForm1::SetTabOrder()
{
    // Tab stops in order; the rest take the focus only when clicked.
    // The port follows the address it sits beside; the directory choice
    // comes before the directory box it switches on.
    const QList<QWidget*> chain = {hostcmbox, addressedit, portedit, useredit,  passedit, RB1,    RB2,
                                   dircmbox,  OKBn,        CancelBn, OptionsBn, AboutBn,  ExitBn, DisplayMemo};
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
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
    Timer1->start();
    ListReady = true;
}

void TForm1::Timer1Timer()
{
    Timer1->stop();
    // With a remembered profile, Enter starts the upload at once.
    if (!hostcmbox->currentText().isEmpty())
        OKBn->setFocus();
    else
        hostcmbox->setFocus();
}

SettingsView TForm1::Settings()
{
    SettingsView v;
    v.hostcmbox = hostcmbox;
    v.addressedit = addressedit;
    v.portedit = portedit;
    v.useredit = useredit;
    v.passedit = passedit;
    v.anonyckbox = anonyckbox;
    v.remckbox = remckbox;
    v.RB1 = RB1;
    v.RB2 = RB2;
    v.dircmbox = dircmbox;
    v.encode1 = encode1;
    v.txtlist = &txtlist;
    v.emailAddress = &state.emailAddress;
    v.firewallHost = &state.firewallHost;
    v.firewallPort = &state.firewallPort;
    v.useFirewall = &state.useFirewall;
    v.passiveMode = &state.passiveMode;
    v.exitWhenDone = &state.exitWhenDone;
    v.startupReadFailed = &settingsUnread_;
    v.startupReadProblem = &settingsProblem_;
    v.trustedCertificate = &trustedCertificate_;
    return v;
}

void TForm1::readreg(const QString& mode)
{
    // A loaded profile's port is the profile's, not one the user typed.
    portTyped_ = false;
    ReadSettings(Settings(), mode);
}

void TForm1::writereg()
{
    WriteSettings(Settings());
}

void TForm1::anonyckboxClick()
{
    AnonymousSwitched(Settings());
}

void TForm1::RB1Click()
{
    LoginDirectoryChosen(Settings());
}

void TForm1::RB2Click()
{
    SubDirectoryChosen(Settings());
}
