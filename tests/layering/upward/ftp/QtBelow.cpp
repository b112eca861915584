// Qt below the application layers: the check must refuse it.
#include <QString>
