// Reaches up into the FTP layer: the check must refuse it.
#include "ftp/Ftpcli.h"
