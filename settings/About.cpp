#include "settings/About.h"

#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QVBoxLayout>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/qt/Shell.h"

LinkLabel::LinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    // The theme's link colour, legible on a light and a dark theme alike.
    setForegroundRole(QPalette::Link);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    // A press that slides off the link before release follows nothing.
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void LinkLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    // A label draws no focus mark of its own; a link reached with Tab must
    // show that Enter now follows it.
    if (!hasFocus())
        return;
    QStylePainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = contentsRect().intersected(rect().adjusted(0, 0, -1, -1));
    option.backgroundColor = palette().color(backgroundRole());
    painter.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}

void LinkLabel::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space: emit clicked(); return;
    default: QLabel::keyPressEvent(event);
    }
}

QString FindReadme(const QString& programFolder)
{
    const QString name = QStringLiteral("Readme.txt");
    QDir folder(programFolder);
    if (!programFolder.isEmpty() && QFileInfo(folder.filePath(name)).isFile())
        return folder.filePath(name);
    // An installed program lives in <prefix>/bin and its data in
    // <prefix>/share/parcelo, wherever the prefix is.
    if (!programFolder.isEmpty()) {
        const QString installed = QDir::cleanPath(folder.filePath(QStringLiteral("../share/parcelo/") + name));
        if (QFileInfo(installed).isFile())
            return installed;
    }
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation, QStringLiteral("parcelo/") + name);
}

TAboutFm::TAboutFm(QWidget* owner)
    : QDialog(owner), ProgramFolder(QString::fromStdString(::ProgramFolder())), Open(ShellOpen)
{
    setObjectName(QStringLiteral("AboutFm"));
    setWindowTitle(QStringLiteral("Help"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    // A note-like background, as the desktop paints its tool tips.
    QPalette note = palette();
    note.setColor(QPalette::Window, note.color(QPalette::ToolTipBase));
    note.setColor(QPalette::WindowText, note.color(QPalette::ToolTipText));
    setPalette(note);
    setAutoFillBackground(true);

    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };
    auto plain = [this](const char* text) { return new QLabel(QString::fromUtf8(text), this); };
    auto link = [&](const char* name, const QString& text) { return named(new LinkLabel(text, this), name); };

    Image1 = named(new QLabel(this), "Image1");
    Image1->setFixedSize(32, 32);
    Label1 = named(new QLabel(QStringLiteral("Parcelo"), this), "Label1");
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label2 = named(new QLabel(QStringLiteral(PARCELO_VERSION), this), "Label2");
    Label3 =
        named(new QLabel(QStringLiteral("Copyright \u00a9 2026 the Parcelo developers. Free to use."), this), "Label3");

    Label4 = link("Label4", QStringLiteral("Readme.txt"));
    Label19 = link("Label19", QStringLiteral("Help"));
    Label14 = link("Label14", QStringLiteral("Frequently Asked Questions (FAQ)"));
    Label9 = link("Label9", QString::fromLatin1(ParceloLinks::WebSite));
    Label7 = link("Label7", QString::fromLatin1(ParceloLinks::MailAddress));
    OKBn = named(new QPushButton(QStringLiteral("Close"), this), "OKBn");
    OKBn->setFlat(true);
    OKBn->setDefault(true);

    connect(Label4, &LinkLabel::clicked, this, &TAboutFm::Label4Click);
    connect(Label19, &LinkLabel::clicked, this, &TAboutFm::Label19Click);
    connect(Label14, &LinkLabel::clicked, this, &TAboutFm::Label14Click);
    connect(Label9, &LinkLabel::clicked, this, &TAboutFm::Label9Click);
    connect(Label7, &LinkLabel::clicked, this, &TAboutFm::Label7Click);
    connect(OKBn, &QPushButton::clicked, this, &TAboutFm::OKBnClick);

    auto* title = new QHBoxLayout;
    title->setSpacing(8);
    title->addWidget(Image1);
    title->addWidget(Label1);
    title->addWidget(Label2);
    title->addStretch(1);

    // One line of plain words around a link.
    auto line = [&](const char* before, LinkLabel* label, const char* after) {
        auto* row = new QHBoxLayout;
        row->setSpacing(4);
        row->addWidget(plain(before));
        row->addWidget(label);
        if (after != nullptr)
            row->addWidget(plain(after));
        row->addStretch(1);
        return row;
    };

    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::Box);
    frame->setFrameShadow(QFrame::Sunken);
    auto* frameLayout = new QHBoxLayout(frame);
    frameLayout->setContentsMargins(2, 2, 2, 2);
    frameLayout->addWidget(OKBn);

    auto* close = new QHBoxLayout;
    close->addStretch(1);
    close->addWidget(frame);
    close->addStretch(1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 12, 16, 12);
    outer->setSpacing(6);
    outer->addLayout(title);
    outer->addWidget(Label3);
    outer->addSpacing(6);
    outer->addLayout(line("See", Label4, nullptr));
    outer->addLayout(line("Get", Label19, "online"));
    outer->addLayout(line("Read", Label14, "online"));
    outer->addLayout(line("Visit", Label9, "for update"));
    outer->addLayout(line("Any comments please send to", Label7, nullptr));
    outer->addSpacing(6);
    outer->addLayout(close);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(Label4, Label19);
    setTabOrder(Label19, Label14);
    setTabOrder(Label14, Label9);
    setTabOrder(Label9, Label7);
    setTabOrder(Label7, OKBn);
    OKBn->setFocus();

    // Centred on the screen rather than over the window that opened it.
    adjustSize();
    if (QScreen* screen = owner != nullptr ? owner->screen() : this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void TAboutFm::Label4Click()
{
    const QString readme = FindReadme(ProgramFolder);
    if (readme.isEmpty()) {
        Dialogs().MessageBox("Readme.txt file is missing");
        return;
    }
    Open(readme);
}

void TAboutFm::Label19Click()
{
    Open(QString::fromLatin1(ParceloLinks::HelpPage));
}

void TAboutFm::Label14Click()
{
    Open(QString::fromLatin1(ParceloLinks::FaqPage));
}

void TAboutFm::Label9Click()
{
    Open(QString::fromLatin1(ParceloLinks::WebSite));
}

void TAboutFm::Label7Click()
{
    Open(QStringLiteral("mailto:") + QString::fromLatin1(ParceloLinks::MailAddress));
}

void TAboutFm::OKBnClick()
{
    accept();
}
