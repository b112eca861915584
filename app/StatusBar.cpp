#include "app/StatusBar.h"

#include <QHBoxLayout>

StatusPanels::StatusPanels(QWidget* parent) : QFrame(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (auto& panel : panels_) {
        panel = new QLabel(this);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        panel->setContentsMargins(2, 0, 2, 0);
    }
    // Panel 0 holds at most "100%".
    QFontMetrics fm(font());
    panels_[0]->setFixedWidth(fm.horizontalAdvance(QStringLiteral("100%")) + 4 + 2 * panels_[0]->frameWidth() + 6);
    panels_[0]->setAlignment(Qt::AlignCenter);
    panels_[1]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    panels_[2]->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    panels_[2]->hide();
    layout->addWidget(panels_[0]);
    layout->addWidget(panels_[2]);
    layout->addWidget(panels_[1], 1);
}

void StatusPanels::SetPanelText(int index, const QString& text)
{
    Panel(index)->setText(text);
    // A narrow window cuts the text off: the tooltip has all of it.
    Panel(index)->setToolTip(index == 1 ? text : QString());
    if (index == 2)
        Panel(index)->setVisible(!text.isEmpty());
}

QString StatusPanels::PanelText(int index) const
{
    return Panel(index)->text();
}
