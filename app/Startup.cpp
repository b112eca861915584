#include "app/Startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>

#include "app/Main.h"
#include "app/SingleInstance.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/qt/Shell.h"

const char* const UsageText =
    "To use Parcelo, please select files in your file manager, click right mouse button, and choose Send to Parcelo "
    "(or Open With \u203a Parcelo).";

const char* const ChooserTitle = "Parcelo \u2014 choose files to send";

QList<QByteArray> CommandLineBytes(int argc, const char* const* argv)
{
    QList<QByteArray> args;
    std::string self = ProgramPath();
    args << QByteArray::fromStdString(self.empty() && argc > 0 ? std::string(argv[0]) : self);
    for (int i = 1; i < argc; ++i) {
        // An empty argument names nothing; the next one keeps its number.
        if (argv[i] == nullptr || argv[i][0] == '\0')
            continue;
        args << QByteArray(argv[i]);
    }
    return args;
}

QStringList CommandLineArgs(int argc, const char* const* argv)
{
    QStringList args;
    for (const QByteArray& arg : CommandLineBytes(argc, argv))
        args << ReadableText(arg);
    return args;
}

namespace {

// Keeps `dialogs` installed for the length of one run.
class DialogsInstalled {
public:
    explicit DialogsInstalled(DialogService& dialogs) : previous_(InstallDialogs(&dialogs)) { }
    ~DialogsInstalled() { InstallDialogs(previous_); }
    DialogsInstalled(const DialogsInstalled&) = delete;
    DialogsInstalled& operator=(const DialogsInstalled&) = delete;

private:
    DialogService* previous_;
};

} // namespace

int RunParcelo(int argc, const char* const* argv, DialogService& dialogs)
{
    DialogsInstalled installed(dialogs);
    SetApplicationTitle("Parcelo");

    QList<QByteArray> args = CommandLineBytes(argc, argv);
    // One window per user and display (app/SingleInstance.h): with a window
    // open, the files go to it, and a start without files brings it to the
    // front.
    HandOverServer server;
    if (const HandOverPlace place = HandOverSocketPlace(); !place.socket.empty()) {
        // A window that ends between the two steps leaves the place free for
        // the next round.
        for (int round = 0; round < 3; ++round) {
            if (server.Listen(place.socket))
                break;
            if (HandOver(place.socket, WorkingDirectoryBytes(), args.mid(1)))
                return 0;
        }
    }
    TForm1* window = nullptr;
    QList<QByteArray> waiting; // handed over while the file chooser is open
    server.received = [&window, &waiting](const QByteArray& workingDir, const QList<QByteArray>& paths) {
        if (window != nullptr)
            return ReceiveHandOver(*window, workingDir, paths);
        for (const QByteArray& path : paths)
            waiting << AbsolutePath(path, workingDir);
        return true;
    };

    if (args.size() < 2) {
        // Started from the applications menu: the files are chosen here.
        const QStringList chosen =
            QFileDialog::getOpenFileNames(nullptr, QString::fromUtf8(ChooserTitle), QDir::homePath());
        if (chosen.isEmpty() && waiting.isEmpty()) {
            server.received = nullptr;
            Dialogs().MessageBox(UsageText);
            return 0;
        }
        for (const QString& path : chosen)
            args << QFile::encodeName(path);
    }

    TForm1 form(args);
    window = &form;
    if (!waiting.isEmpty())
        (void)form.AddFiles(waiting);
    form.show();
    const int status = QApplication::exec();
    server.received = nullptr;
    return status;
}

bool HandOverToOpenWindow(int argc, const char* const* argv)
{
    const HandOverPlace place = HandOverSocketPlace();
    return !place.socket.empty() &&
           HandOver(place.socket, WorkingDirectoryBytes(), CommandLineBytes(argc, argv).mid(1));
}
