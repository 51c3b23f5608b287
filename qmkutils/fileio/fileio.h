// Binary file input and output.
#ifndef QMKUTILS_FILEIO_FILEIO_H_
#define QMKUTILS_FILEIO_FILEIO_H_

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"

#endif  // QMKUTILS_FILEIO_FILEIO_H_
