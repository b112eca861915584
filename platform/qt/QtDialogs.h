#pragma once
// The dialog service drawn with Qt message boxes.

#include <functional>

#include "platform/Dialogs.h"

class QMessageBox;
class QWidget;

class QtDialogs final : public DialogService {
public:
    QtDialogs();

    void MessageBox(const std::string& text) override;
    DialogAnswer QuestionBox(const std::string& text) override;
    DialogAnswer RiskyQuestionBox(const std::string& text) override;
    DialogAnswer QuestionForEachBox(const std::string& text) override;
    void ErrorBox(const std::string& text) override;
    void Beep() override;

    // The window a box belongs to: a dialog the program has open (Options,
    // Help), else the program's main window, so that a box never opens on
    // its own behind other programs' windows.
    [[nodiscard]] static QWidget* Owner();

    // Whether the user is working in another program. Tests replace it.
    std::function<bool()> InBackground;
    // Asks the desktop to draw the user's attention to the window (the task
    // bar entry flashes or is marked). Tests replace it.
    std::function<void(QWidget*)> RequestAttention;

private:
    int Show(QMessageBox& box);
};
