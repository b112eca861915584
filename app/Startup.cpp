#include "app/Startup.h"

#include <QApplication>

#include "app/Main.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/qt/Shell.h"

const char* const UsageText =
    "To use Parcelo, please select files in Windows Explorer or My Computer, click right mouse button, and choose "
    "Parcelo in Send To submenu.";

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

    const QList<QByteArray> args = CommandLineBytes(argc, argv);
    if (args.size() < 2) {
        Dialogs().MessageBox(UsageText);
        return 0;
    }

    TForm1 form(args);
    form.show();
    return QApplication::exec();
}
