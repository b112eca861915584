#include <QApplication>

#include "app/Startup.h"
#include "platform/qt/QtDialogs.h"

int main(int argc, char** argv) {
  // Qt is shown no argument: every argument is a path to send, even one
  // that looks like a Qt option.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  QtDialogs dialogs;
  return RunParcelo(argc, argv, dialogs);
}
