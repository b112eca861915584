// The main window's controls: creating them with their captions, hints and
// object names, naming them for assistive tools, laying them out and
// ordering their tab stops.

#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <algorithm>

#include "app/FileList.h"
#include "app/Main.h"

namespace {

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

void TForm1::CreateControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Parcelo"));
    // The icon the desktop shows for the program, drawn once as SVG.
    setWindowIcon(QIcon(QStringLiteral(":/parcelo.svg")));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);

    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    auto label = [&](const char* name, const char* caption) {
        return named(new QLabel(QString::fromLatin1(caption), this), name);
    };

    filesLabel = label("Label1", "Send File(s):");
    fileList = named(new QTreeWidget(this), "ListView1");
    fileList->setColumnCount(3);
    fileList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Date")});
    fileList->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    fileList->header()->setSectionsClickable(false);
    fileList->header()->setSectionsMovable(false);
    fileList->header()->setStretchLastSection(false);
    fileList->setRootIsDecorated(false);
    fileList->setItemsExpandable(false);
    fileList->setUniformRowHeights(true);
    fileList->setSelectionMode(QAbstractItemView::SingleSelection);
    fileList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fileList->setFocusPolicy(Qt::ClickFocus);
    fileList->setIconSize(QSize(16, 16));
    asciiHintLabel = label("Label5", "(File(s) checked will be sent in ascii mode)");

    profileLabel = label("Label2", "To Remote Host:");
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

    addressLabel = label("Label6", "Address:");
    addressedit = named(new QLineEdit(this), "addressedit");
    addressedit->setToolTip(QStringLiteral("FTP server address"));
    portLabel = label("Label7", "Port:");
    portedit = named(new QLineEdit(QStringLiteral("21"), this), "portedit");
    portedit->setToolTip(QStringLiteral("FTP server address"));

    userLabel = label("Label3", "Username:");
    useredit = named(new QLineEdit(this), "useredit");
    anonyckbox = named(new QCheckBox(QStringLiteral("anonymous"), this), "anonyckbox");
    anonyckbox->setFocusPolicy(Qt::ClickFocus);

    passwordLabel = label("Label4", "Password:");
    passedit = named(new QLineEdit(this), "passedit");
    passedit->setStyle(PasswordStyle());
    passedit->setEchoMode(QLineEdit::Password);
    remckbox = named(new QCheckBox(QStringLiteral("save password"), this), "remckbox");
    remckbox->setFocusPolicy(Qt::ClickFocus);

    webLabel = label("Label8", "Web address:");
    webedit = named(new QLineEdit(this), "webedit");
    webedit->setPlaceholderText(QStringLiteral("https://example.org/files/"));
    webedit->setToolTip(QStringLiteral(
        "Where the log-in directory shows on the web, e.g. https://example.org/files/ (https:// is put in front of "
        "an address without http:// or https://).\nAfter an upload the links of the files sent (this address, the "
        "sub-directory and the name) go to the clipboard. Leave it empty for no links."));

    loginDirRadio = named(new QRadioButton(QStringLiteral("in default login directory"), this), "RB1");
    loginDirRadio->setChecked(true);
    subdirRadio = named(new QRadioButton(QStringLiteral("in Sub-directory:"), this), "RB2");
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

    progressBar = named(new QProgressBar(this), "ProgressBar1");
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    statusBar = named(new StatusPanels(this), "StatusBar1");

    focusTimer = named(new QTimer(this), "Timer1");
    focusTimer->setSingleShot(true);
    focusTimer->setInterval(20);
}

void TForm1::NameControlsForAssistiveTools()
{
    // A screen reader names a field by its label; the label's text less its
    // colon is also the field's accessible name, for tools that do not follow
    // the label.
    const std::pair<QLabel*, QWidget*> labelled[] = {
        {filesLabel, fileList}, {profileLabel, hostcmbox}, {addressLabel, addressedit}, {portLabel, portedit},
        {userLabel, useredit},  {passwordLabel, passedit}, {webLabel, webedit}};
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
    progressBar->setAccessibleName(QStringLiteral("Transfer progress"));
}

void TForm1::ArrangeControls()
{
    const QFontMetrics fm(font());
    auto px = [&](int pixels) { return Scaled(pixels, fm); };

    // The date column fits a full date and time of the user's locale.
    const int dateWidth = std::max(px(70), fm.horizontalAdvance(FileDateText(WidestDateSample())) + px(12));
    fileList->setColumnWidth(0, px(123));
    fileList->setColumnWidth(1, px(75));
    fileList->setColumnWidth(2, dateWidth);
    const int frame = 2 * fileList->frameWidth();
    const int scrollBar = fileList->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, fileList);
    // Tall enough for the header and four whole rows.
    auto* sample = new QTreeWidgetItem(fileList, {QStringLiteral("Xg")});
    sample->setCheckState(0, Qt::Checked);
    sample->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
    const int rowHeight = fileList->sizeHintForRow(0);
    delete sample;
    // The design size is the least the list gets; it takes the spare room
    // of a larger window, and its Name column the spare width.
    fileList->setMinimumSize(std::max(px(289), px(123) + px(75) + dateWidth + scrollBar + frame),
                             std::max(px(70), fileList->header()->sizeHint().height() + 4 * rowHeight + frame));
    fileList->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    fileList->header()->setMinimumSectionSize(px(40));
    fileList->header()->setSectionResizeMode(0, QHeaderView::Stretch);
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

    grid->addWidget(filesLabel, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(fileList, 0, 1, 1, 2);
    grid->addWidget(asciiHintLabel, 1, 1, 1, 2);

    auto* profileButtons = new QHBoxLayout;
    profileButtons->setSpacing(px(4));
    profileButtons->addWidget(newbn);
    profileButtons->addWidget(deletebn);
    profileButtons->addStretch(1);
    grid->addWidget(profileLabel, 2, 0, right);
    grid->addWidget(hostcmbox, 2, 1);
    grid->addLayout(profileButtons, 2, 2);

    auto* port = new QHBoxLayout;
    port->setSpacing(px(4));
    port->addWidget(portLabel);
    port->addWidget(portedit);
    port->addStretch(1);
    grid->addWidget(addressLabel, 3, 0, right);
    grid->addWidget(addressedit, 3, 1);
    grid->addLayout(port, 3, 2);

    grid->addWidget(userLabel, 4, 0, right);
    grid->addWidget(useredit, 4, 1);
    grid->addWidget(anonyckbox, 4, 2);

    grid->addWidget(passwordLabel, 5, 0, right);
    grid->addWidget(passedit, 5, 1);
    grid->addWidget(remckbox, 5, 2);

    grid->addWidget(webLabel, 6, 0, right);
    grid->addWidget(webedit, 6, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(0, 1);

    auto* directory = new QGridLayout;
    directory->setContentsMargins(px(66), 0, 0, 0);
    directory->setHorizontalSpacing(px(4));
    directory->setVerticalSpacing(px(4));
    directory->addWidget(loginDirRadio, 0, 0, 1, 2);
    directory->addWidget(subdirRadio, 1, 0);
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
    // The bar keeps a third of the window; the texts beside it (the file's
    // figures, and during a job of several files the whole job's) get the
    // rest.
    bottom->addWidget(progressBar, 1);
    bottom->addWidget(statusBar, 2);

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
    const QList<QWidget*> chain = {hostcmbox, addressedit,   portedit,    useredit, passedit,
                                   webedit,   loginDirRadio, subdirRadio, dircmbox, OKBn,
                                   CancelBn,  OptionsBn,     AboutBn,     ExitBn,   DisplayMemo};
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}
