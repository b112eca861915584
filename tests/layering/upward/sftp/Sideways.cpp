// Reaches across into the FTP layer: the check must refuse it.
#include "ftp/Ftpcli.h"
