// Extracting a whole archive below a destination folder without ever
// writing outside it, for the tools and the installer. Exported for the
// tool and the tests, but not installed.
//
// Entry names are untrusted. A name is refused when it is empty, absolute
// ("/" or "\" first), starts with a drive ("C:"), or has a ".." component
// ("/" and "\" both separate components). Folders on the way are created;
// an existing folder, or the output file, that is a symbolic link is
// refused, so a link stored in the tree cannot lead the extraction out of
// it; so is an existing output that is not a regular file (a FIFO would
// block, a device would take the bytes), and an existing file is replaced
// rather than written through (it may be a hard link to a file outside). (A
// link swapped in by someone else while it runs is not guarded against.) A
// name ending in a separator only creates its folder. An archive with two
// names that differ only in case is refused, since entries are looked up
// without regard to case.
#ifndef QMKUTILS_FILEIO_INTERNAL_ZIPEXTRACT_H_
#define QMKUTILS_FILEIO_INTERNAL_ZIPEXTRACT_H_

#include <string>

#include "qmkutils/fileio/zipreader.h"
#include "qmkutils/platform/export.h"

namespace du::zip_extract {

// Why `name` cannot be extracted below a folder, or null when it can.
QMK_EXPORT const char* UnsafeNameReason(const std::string& name);

// Extracts every entry of `reader` below `destination` (an existing folder),
// stopping at the first failure, which `error` then describes with the
// entry's name. False when the archive cannot be listed, a name is refused,
// or an entry cannot be written.
QMK_EXPORT bool ExtractAll(ZipReader& reader, const std::string& destination, std::string* error);

}  // namespace du::zip_extract

#endif  // QMKUTILS_FILEIO_INTERNAL_ZIPEXTRACT_H_
