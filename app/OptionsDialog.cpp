#include "app/OptionsDialog.h"

#include <QApplication>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QVBoxLayout>

namespace {

constexpr int EnterKey = 13;
constexpr int DeleteKey = 46;

QFrame* Separator(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// An edit box's background: the window colour while it can be typed in,
// the menu colour while it is switched off.
void PaintEditBackground(QLineEdit* edit, bool enabled)
{
    const QPalette app = QApplication::palette();
    QPalette palette = edit->palette();
    const QColor colour = enabled ? app.color(QPalette::Base) : app.color(QPalette::Window);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, colour);
    edit->setPalette(palette);
}

} // namespace

TOptionsFm::TOptionsFm(QWidget* owner) : QDialog(owner)
{
    setObjectName(QStringLiteral("OptionsFm"));
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto named = [](auto* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    };

    OK = named(new QPushButton(QStringLiteral("OK"), this), "OK");
    OK->setDefault(true);
    Exitckbox = named(new QCheckBox(QStringLiteral("Exit when file transfer completed"), this), "Exitckbox");
    Folderckbox =
        named(new QCheckBox(QStringLiteral("Send folders with all their files and sub-folders"), this), "Folderckbox");
    extensionsLabel =
        named(new QLabel(QStringLiteral("Files with extensions listed here will be sent in "), this), "extlabel1");
    asciiModeLabel = named(new QLabel(QStringLiteral("ascii mode"), this), "extlabel2");
    extlist = named(new QListWidget(this), "extlist");
    extlist->setSelectionMode(QAbstractItemView::ExtendedSelection);
    extlist->setMinimumHeight(fontMetrics().height() * 6);
    extedit = named(new QLineEdit(this), "extedit");
    addbn = named(new QPushButton(QStringLiteral("Add"), this), "addbn");
    removebn = named(new QPushButton(QStringLiteral("Remove"), this), "removebn");
    fwCkBox = named(new QCheckBox(QStringLiteral("Use firewall"), this), "fwCkBox");
    fwhostlabel = named(new QLabel(QStringLiteral("Host:"), this), "fwhostlabel");
    fwhostedit = named(new QLineEdit(this), "fwhostedit");
    fwportlabel = named(new QLabel(QStringLiteral("Port:"), this), "fwportlabel");
    fwportedit = named(new QLineEdit(this), "fwportedit");
    fwportedit->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 12);
    pasvckbox = named(new QCheckBox(QStringLiteral("Use passive transfer mode"), this), "pasvckbox");
    retriesLabel =
        named(new QLabel(QStringLiteral("Reconnect attempts after a broken connection:"), this), "retrieslabel");
    retriesSpin = named(new QSpinBox(this), "retriesspin");
    retriesSpin->setRange(0, 10);
    retriesSpin->setSpecialValueText(QStringLiteral("none"));
    retriesSpin->setToolTip(QStringLiteral("Parcelo waits 2, 5, then 15 seconds before each attempt, logs in again "
                                           "and goes on where the upload broke"));
    retriesLabel->setBuddy(retriesSpin);
    keepTimeCheck =
        named(new QCheckBox(QStringLiteral("Keep the files' modification times on the server"), this), "keeptimeckbox");
    profileLabel = named(new QLabel(this), "profilelabel");
    tempNameCheck =
        named(new QCheckBox(QStringLiteral("Upload under a temporary name, then rename; suffix:"), this), "tempckbox");
    tempNameCheck->setToolTip(QStringLiteral("Visitors of the server never see a half-sent file under its name"));
    tempSuffixEdit = named(new QLineEdit(this), "tempsuffixedit");
    tempSuffixEdit->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral(".partial")) + 16);
    // A suffix names a file in the same directory: no slash, no line break.
    tempSuffixEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[^/\\r\\n]*")), tempSuffixEdit));
    ifExistsLabel = named(new QLabel(QStringLiteral("If a file exists on the server:"), this), "ifexistslabel");
    ifExistsBox = named(new QComboBox(this), "ifexistscmbox");
    ifExistsBox->addItems(
        {QStringLiteral("Overwrite it"), QStringLiteral("Skip it if same size and not older"), QStringLiteral("Ask")});
    ifExistsLabel->setBuddy(ifExistsBox);
    Cancel = named(new QPushButton(QStringLiteral("Cancel"), this), "Cancel");
    for (QPushButton* button : {addbn, removebn, Cancel})
        button->setAutoDefault(false);
    fwhostlabel->setBuddy(fwhostedit);
    fwportlabel->setBuddy(fwportedit);

    connect(OK, &QPushButton::clicked, this, &QDialog::accept);
    connect(Cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(fwCkBox, &QCheckBox::toggled, this, &TOptionsFm::fwCkBoxClick);
    connect(addbn, &QPushButton::clicked, this, &TOptionsFm::addbnClick);
    connect(removebn, &QPushButton::clicked, this, &TOptionsFm::removebnClick);
    connect(tempNameCheck, &QCheckBox::toggled, this, &TOptionsFm::tempNameCheckClick);
    extedit->installEventFilter(this);
    extlist->installEventFilter(this);

    // Extensions: the list on the left, the edit box and its buttons beside it.
    auto* extensions = new QGridLayout;
    extensions->setHorizontalSpacing(8);
    extensions->setVerticalSpacing(4);
    extensions->addWidget(extensionsLabel, 0, 0, 1, 2);
    extensions->addWidget(asciiModeLabel, 1, 0, 1, 2);
    extensions->addWidget(extlist, 2, 0, 4, 1);
    extensions->addWidget(extedit, 2, 1);
    extensions->addWidget(addbn, 3, 1);
    extensions->addWidget(removebn, 4, 1);
    extensions->setRowStretch(5, 1);
    extensions->setColumnStretch(0, 1);

    auto* firewallHost = new QHBoxLayout;
    firewallHost->setContentsMargins(20, 0, 0, 0);
    firewallHost->addWidget(fwhostlabel);
    firewallHost->addWidget(fwhostedit, 1);
    firewallHost->addSpacing(8);
    firewallHost->addWidget(fwportlabel);
    firewallHost->addWidget(fwportedit);

    auto* retries = new QHBoxLayout;
    retries->addWidget(retriesLabel);
    retries->addWidget(retriesSpin);
    retries->addStretch(1);

    auto* tempName = new QHBoxLayout;
    tempName->addWidget(tempNameCheck);
    tempName->addWidget(tempSuffixEdit);
    tempName->addStretch(1);

    auto* ifExists = new QHBoxLayout;
    ifExists->addWidget(ifExistsLabel);
    ifExists->addWidget(ifExistsBox);
    ifExists->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OK);
    buttons->addWidget(Cancel);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(12, 12, 12, 12);
    outer->setSpacing(8);
    outer->addLayout(extensions);
    outer->addWidget(Separator(this));
    outer->addWidget(pasvckbox);
    outer->addWidget(Separator(this));
    outer->addWidget(fwCkBox);
    outer->addLayout(firewallHost);
    outer->addWidget(Separator(this));
    outer->addWidget(Exitckbox);
    outer->addWidget(Folderckbox);
    outer->addWidget(Separator(this));
    outer->addLayout(retries);
    outer->addWidget(keepTimeCheck);
    outer->addWidget(Separator(this));
    outer->addWidget(profileLabel);
    outer->addLayout(tempName);
    outer->addLayout(ifExists);
    outer->addWidget(Separator(this));
    outer->addLayout(buttons);
    // A dialog border: the size its contents need, not resizable.
    outer->setSizeConstraint(QLayout::SetFixedSize);
    setMinimumWidth(fontMetrics().horizontalAdvance(extensionsLabel->text()) + 140);

    const QList<QWidget*> chain = {OK,          Exitckbox,   Folderckbox,   extlist,       extedit,
                                   addbn,       removebn,    fwCkBox,       fwhostedit,    fwportedit,
                                   pasvckbox,   retriesSpin, keepTimeCheck, tempNameCheck, tempSuffixEdit,
                                   ifExistsBox, Cancel};
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);

    adjustSize();
    if (QScreen* screen = owner != nullptr ? owner->screen() : this->screen())
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
}

void TOptionsFm::FormCreate()
{
    fwCkBoxClick();
    SetProfile(QString(), QString(), 0);
}

void TOptionsFm::SetProfile(const QString& name, const QString& tempSuffix, int ifExists)
{
    profileLabel->setText(name.isEmpty() ? QStringLiteral("For this profile:")
                                         : QStringLiteral("For the profile \"%1\":").arg(name));
    tempNameCheck->setChecked(!tempSuffix.isEmpty());
    tempSuffixEdit->setText(tempSuffix.isEmpty() ? QStringLiteral(".part") : tempSuffix);
    ifExistsBox->setCurrentIndex(ifExists);
    tempNameCheckClick();
}

QString TOptionsFm::TempSuffix() const
{
    // Checked with the suffix cleared: the usual one rather than the file's
    // own name, which would be renamed onto itself.
    if (!tempNameCheck->isChecked())
        return QString();
    return tempSuffixEdit->text().isEmpty() ? QStringLiteral(".part") : tempSuffixEdit->text();
}

void TOptionsFm::tempNameCheckClick()
{
    const bool on = tempNameCheck->isChecked();
    tempSuffixEdit->setEnabled(on);
    PaintEditBackground(tempSuffixEdit, on);
}

void TOptionsFm::fwCkBoxClick()
{
    // Only the boxes change; their texts stay, so the host and port survive
    // switching the firewall off and on again.
    const bool on = fwCkBox->isChecked();
    for (QLineEdit* edit : {fwhostedit, fwportedit}) {
        edit->setEnabled(on);
        PaintEditBackground(edit, on);
    }
}

void TOptionsFm::addbnClick()
{
    // Taken exactly as typed: no dot added, case and blanks kept, duplicates
    // allowed.
    if (extedit->text().isEmpty())
        return;
    extlist->addItem(extedit->text());
    extedit->clear();
}

void TOptionsFm::exteditKeyPress(int key)
{
    if (key == EnterKey)
        addbnClick();
}

void TOptionsFm::removebnClick()
{
    // Only the entry with the focus mark goes, however many are selected.
    const int current = extlist->currentRow();
    if (current < 0)
        return;
    delete extlist->takeItem(current);
    extlist->setCurrentRow(-1);
}

void TOptionsFm::extlistKeyDown(int key)
{
    if (key == DeleteKey)
        removebnClick();
}

QStringList TOptionsFm::Extensions() const
{
    QStringList entries;
    for (int i = 0; i < extlist->count(); ++i)
        entries << extlist->item(i)->text();
    return entries;
}

void TOptionsFm::SetExtensions(const QStringList& entries)
{
    extlist->clear();
    extlist->addItems(entries);
    extlist->clearSelection();
    extlist->setCurrentRow(-1);
}

bool TOptionsFm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        // Enter in the extension box adds the entry and never closes the
        // dialog, not even when the box is empty.
        if (watched == extedit && enter) {
            exteditKeyPress(EnterKey);
            return true;
        }
        if (watched == extlist && key->key() == Qt::Key_Delete) {
            extlistKeyDown(DeleteKey);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
