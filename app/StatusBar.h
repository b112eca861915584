#pragma once
// The main window's status bar: text panels side by side. Panel 0 is
// narrow (the percentage of the current transfer), panel 2 beside it the
// progress of the whole job (shown only while it has text), panel 1 takes
// the rest (the last status message).

#include <QFrame>
#include <QLabel>
#include <array>

class StatusPanels : public QFrame {
    Q_OBJECT
public:
    explicit StatusPanels(QWidget* parent = nullptr);

    void SetPanelText(int index, const QString& text);
    [[nodiscard]] QString PanelText(int index) const;
    [[nodiscard]] QLabel* Panel(int index) const { return panels_.at(static_cast<size_t>(index)); }

private:
    std::array<QLabel*, 3> panels_{};
};
