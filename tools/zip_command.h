// `qmk zip`: zip archives from the command line.
//
//   qmk zip list ARCHIVE              the entry names, one a line
//   qmk zip add ARCHIVE PATH...       each file under its file name; a
//                                     folder's contents, recursively
//   qmk zip extract ARCHIVE [FOLDER]  every entry below FOLDER (default ".")
//
// `add` creates the archive when it does not exist and adds to it otherwise.
// `extract` never writes outside FOLDER: it stops at the first entry whose
// name is absolute, carries a drive or climbs out with "..", or that would
// pass through a symbolic link, and says which. Entries extracted before it
// stay. Exit status: 0 done, 1 the archive or a file failed (with a message
// on standard error), 2 bad usage.
#ifndef QMKUTILS_TOOLS_ZIP_COMMAND_H_
#define QMKUTILS_TOOLS_ZIP_COMMAND_H_

namespace qmk {

// Returns the exit status.
int RunZipCommand(int argc, char** argv);

}  // namespace qmk

#endif  // QMKUTILS_TOOLS_ZIP_COMMAND_H_
