// Qt glue outside platform/qt: the check must refuse it.
#include <QtCore/QObject>
#include "platform/qt/Shell.h"
