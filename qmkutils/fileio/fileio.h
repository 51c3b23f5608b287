// Binary file input and output: typed values in either byte order with
// compressed sections, in-memory records, and lines.
#ifndef QMKUTILS_FILEIO_FILEIO_H_
#define QMKUTILS_FILEIO_FILEIO_H_

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/fileio/linereader.h"
#include "qmkutils/fileio/linewriter.h"
#include "qmkutils/fileio/outputbuffer.h"

#endif  // QMKUTILS_FILEIO_FILEIO_H_
