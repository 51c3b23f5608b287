// File input and output: binary files (typed values in either byte order
// with compressed sections, in-memory records, lines), file finding,
// file-system locks, file URLs and zip archives.
#ifndef QMKUTILS_FILEIO_FILEIO_H_
#define QMKUTILS_FILEIO_FILEIO_H_

#include "qmkutils/fileio/filereader.h"
#include "qmkutils/fileio/filesystemlock.h"
#include "qmkutils/fileio/fileurl.h"
#include "qmkutils/fileio/filewriter.h"
#include "qmkutils/fileio/findfile.h"
#include "qmkutils/fileio/linereader.h"
#include "qmkutils/fileio/linewriter.h"
#include "qmkutils/fileio/outputbuffer.h"
#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/fileio/zipwriter.h"

#endif  // QMKUTILS_FILEIO_FILEIO_H_
