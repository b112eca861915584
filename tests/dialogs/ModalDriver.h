#pragma once
// Drives a modal dialog opened by a button of the main window: the test
// queues what to do with the dialog, then presses the button; the actions
// run inside the dialog's own loop as soon as it is up.

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

template <typename Dialog> class ModalDriver {
public:
    // `act` gets the dialog once it is shown modally and must close it.
    explicit ModalDriver(std::function<void(Dialog*)> act) : act_(std::move(act))
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible())
                return;
            timer_.stop();
            seen_ = dialog;
            ran_ = true;
            act_(dialog);
            // Whatever the actions did, a dialog left open would hang the test.
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog was left open";
                dialog->reject();
            }
        });
        timer_.start();
    }

    [[nodiscard]] bool Ran() const { return ran_; }
    // The dialog the actions ran on; null once its opener has freed it.
    [[nodiscard]] QPointer<Dialog> Seen() const { return seen_; }

private:
    std::function<void(Dialog*)> act_;
    QTimer timer_;
    QPointer<Dialog> seen_;
    bool ran_ = false;
};
