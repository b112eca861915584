// Widgets and the Qt glue in the settings layer: the check must refuse them.
#include <QComboBox>
#include <QtWidgets/QWidget>
#include "platform/qt/Shell.h"
#include <QString>
