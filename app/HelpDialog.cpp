#include "app/HelpDialog.h"

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

    iconLabel = named(new QLabel(this), "Image1");
    iconLabel->setFixedSize(32, 32);
    nameLabel = named(new QLabel(QStringLiteral("Parcelo"), this), "Label1");
    QFont bold = nameLabel->font();
    bold.setBold(true);
    nameLabel->setFont(bold);
    versionLabel = named(new QLabel(QStringLiteral(PARCELO_VERSION), this), "Label2");
    copyrightLabel =
        named(new QLabel(QStringLiteral("Copyright \u00a9 2026 the Parcelo developers. Free to use."), this), "Label3");

    readmeLink = link("Label4", QStringLiteral("Readme.txt"));
    helpLink = link("Label19", QStringLiteral("Help"));
    faqLink = link("Label14", QStringLiteral("Frequently Asked Questions (FAQ)"));
    webSiteLink = link("Label9", QString::fromLatin1(ParceloLinks::WebSite));
    mailLink = link("Label7", QString::fromLatin1(ParceloLinks::MailAddress));
    OKBn = named(new QPushButton(QStringLiteral("Close"), this), "OKBn");
    OKBn->setFlat(true);
    OKBn->setDefault(true);

    connect(readmeLink, &LinkLabel::clicked, this, &TAboutFm::OnReadmeLinkClicked);
    connect(helpLink, &LinkLabel::clicked, this, &TAboutFm::OnHelpLinkClicked);
    connect(faqLink, &LinkLabel::clicked, this, &TAboutFm::OnFaqLinkClicked);
    connect(webSiteLink, &LinkLabel::clicked, this, &TAboutFm::OnWebSiteLinkClicked);
    connect(mailLink, &LinkLabel::clicked, this, &TAboutFm::OnMailLinkClicked);
    connect(OKBn, &QPushButton::clicked, this, &TAboutFm::OKBnClick);

    auto* title = new QHBoxLayout;
    title->setSpacing(8);
    title->addWidget(iconLabel);
    title->addWidget(nameLabel);
    title->addWidget(versionLabel);
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
    outer->addWidget(copyrightLabel);
    outer->addSpacing(6);
    outer->addLayout(line("See", readmeLink, nullptr));
    outer->addLayout(line("Get", helpLink, "online"));
    outer->addLayout(line("Read", faqLink, "online"));
    outer->addLayout(line("Visit", webSiteLink, "for update"));
    outer->addLayout(line("Any comments please send to", mailLink, nullptr));
    outer->addSpacing(6);
    outer->addLayout(close);
    outer->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(readmeLink, helpLink);
    setTabOrder(helpLink, faqLink);
    setTabOrder(faqLink, webSiteLink);
    setTabOrder(webSiteLink, mailLink);
    setTabOrder(mailLink, OKBn);
    OKBn->setFocus();

    // Centred on the screen rather than over the window that opened it.
    adjustSize();
    if (QScreen* screen = owner != nullptr ? owner->screen() : this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

void TAboutFm::OnReadmeLinkClicked()
{
    const QString readme = FindReadme(ProgramFolder);
    if (readme.isEmpty()) {
        Dialogs().MessageBox("Readme.txt file is missing");
        return;
    }
    Open(readme);
}

void TAboutFm::OnHelpLinkClicked()
{
    Open(QString::fromLatin1(ParceloLinks::HelpPage));
}

void TAboutFm::OnFaqLinkClicked()
{
    Open(QString::fromLatin1(ParceloLinks::FaqPage));
}

void TAboutFm::OnWebSiteLinkClicked()
{
    Open(QString::fromLatin1(ParceloLinks::WebSite));
}

void TAboutFm::OnMailLinkClicked()
{
    Open(QStringLiteral("mailto:") + QString::fromLatin1(ParceloLinks::MailAddress));
}

void TAboutFm::OKBnClick()
{
    accept();
}
