#include "app/WindowWidgets.h"

#include <QApplication>
#include <QPointer>
#include <QProxyStyle>

#include "platform/Messages.h"

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

} // namespace

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
