#include <QApplication>

#include "app/Startup.h"
#include "platform/Messages.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/QtMessagePump.h"

int main(int argc, char** argv)
{
    // A window open already takes the files; nothing of Qt is started then.
    if (HandOverToOpenWindow(argc, argv))
        return 0;
    // Qt is shown no argument: every argument is a path to send, even one
    // that looks like a Qt option.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    // Socket and FTP messages are handled by Qt's loop; once the main window
    // has closed, waits in progress give up.
    QtMessagePump messagePump;
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, [] { SetTerminating(true); });
    QtDialogs dialogs;
    return RunParcelo(argc, argv, dialogs);
}
