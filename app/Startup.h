#pragma once
// The program's entry: usage message or main window.

#include <QByteArray>
#include <QList>
#include <QStringList>

class DialogService;

// Shown when the program is started without a file to send and none is
// chosen in the file chooser.
extern const char* const UsageText;
// The caption of the file chooser that opens when no file was given.
extern const char* const ChooserTitle;

// The command line as the program counts it: argument 0 is the program's
// own full path, then every non-empty argument in order, each kept whole
// and byte for byte (a file name need not be valid UTF-8).
[[nodiscard]] QList<QByteArray> CommandLineBytes(int argc, const char* const* argv);

// The same arguments as text, for the eye (see ReadableText).
[[nodiscard]] QStringList CommandLineArgs(int argc, const char* const* argv);

// Runs the program inside an existing QApplication, with `dialogs` as the
// dialog service. With no path to send it opens a file chooser; the chosen
// files are listed as paths given on the command line would be. When none
// is chosen it shows the usage message and returns 0 without creating a
// window or touching the settings. Otherwise it opens the main window and
// returns when that has closed.
//
// With a window of the program open for this user and display, the paths
// (none, for a start from the menu) go to that window instead and it
// returns 0 at once (app/SingleInstance.h).
int RunParcelo(int argc, const char* const* argv, DialogService& dialogs);

// The same hand-over before any window or application object exists:
// true when a window took the paths, and the program can end.
[[nodiscard]] bool HandOverToOpenWindow(int argc, const char* const* argv);
