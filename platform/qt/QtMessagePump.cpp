#include "platform/qt/QtMessagePump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/Messages.h"

QtMessagePump::QtMessagePump()
{
    notifier_ = new QSocketNotifier(static_cast<qintptr>(MessageQueueFd()), QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, [] { PumpMessages(); });

    ForeignLoopHooks hooks;
    hooks.processEvents = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
    hooks.waitEvents = [](int timeoutMs) {
        // Qt's loop blocks; the notifier, a Qt event or the timer wakes it.
        QTimer limit;
        limit.setSingleShot(true);
        if (timeoutMs >= 0)
            limit.start(timeoutMs);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    };
    hooks.quit = [](int exitCode) { QCoreApplication::exit(exitCode); };
    SetForeignLoopHooks(std::move(hooks));

    if (auto* app = QCoreApplication::instance())
        QObject::connect(app, &QCoreApplication::aboutToQuit, notifier_, [] { SetTerminating(true); });

    // Anything posted before the glue was installed.
    if (PendingMessageCount() > 0)
        QTimer::singleShot(0, notifier_, [] { PumpMessages(); });
}

QtMessagePump::~QtMessagePump()
{
    SetForeignLoopHooks({});
    delete notifier_;
}
