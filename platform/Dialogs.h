#pragma once
// The dialog service: every message box, question box, error box and beep
// the program gives goes through the one installed service, so the texts and
// captions can be checked by tests without a box ever blocking.

#include <string>

enum class DialogAnswer { Yes, No, YesToAll, NoToAll };

class DialogService {
public:
    virtual ~DialogService() = default;

    // A text with an OK button and no icon, captioned with the application
    // title; returns when dismissed.
    virtual void MessageBox(const std::string& text) = 0;

    // A text with Yes and No buttons and no icon, captioned with the
    // application title. Closing the box counts as No.
    virtual DialogAnswer QuestionBox(const std::string& text) = 0;

    // A question whose Yes is a risk the user must take on purpose (trusting
    // a server certificate that failed verification): a warning icon, and No
    // is the default button, so Enter, or a key held down from before the
    // box opened, never says Yes. A service that draws nothing asks it as an
    // ordinary question.
    virtual DialogAnswer RiskyQuestionBox(const std::string& text) { return QuestionBox(text); }

    // A question asked of each of several items (a file the server has
    // already: overwrite it?): Yes, Yes to all, No and No to all. No is the
    // default button, so Enter keeps what is there; closing the box counts
    // as No. A service that draws nothing asks it as an ordinary question.
    virtual DialogAnswer QuestionForEachBox(const std::string& text) { return QuestionBox(text); }

    // The application's standard error box: reports an error that ended an
    // operation (a file that cannot be read, ...), captioned with the title.
    virtual void ErrorBox(const std::string& text) = 0;

    // The desktop's default beep.
    virtual void Beep() = 0;
};

// The service in use. Until one is installed, a plain one writes the texts
// to standard error, answers No and beeps with the terminal bell, so
// headless programs never block on a box.
DialogService& Dialogs();

// Installs `service` (not owned) and returns the one it replaces; nullptr
// goes back to the plain one.
DialogService* InstallDialogs(DialogService* service);

// The application title: the caption of every box above, and what the
// desktop shows for the program while it works in the background.
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& title);
