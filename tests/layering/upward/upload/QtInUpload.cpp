// Qt in the upload layer: the check must refuse it.
#include <QObject>
