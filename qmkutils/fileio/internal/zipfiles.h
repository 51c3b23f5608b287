// How the zip classes reach their archive file: minizip's file functions
// over close-on-exec streams, and the working copy with an ASCII path that
// stands in for an archive whose path is not plain ASCII.
#ifndef QMKUTILS_FILEIO_INTERNAL_ZIPFILES_H_
#define QMKUTILS_FILEIO_INTERNAL_ZIPFILES_H_

#include <minizip/ioapi.h>

#include <cstdint>
#include <string>

#include "qmkutils/tracing/tracer.h"

namespace du::zip_files {

// minizip's file functions over close-on-exec descriptors: positioned reads
// through a block buffer for an archive opened for reading (a regular file
// only), stdio opened by dp::FileSystem::qmfopen for writing. A read stream
// kept open across calls is given a `generation` counter: when it has
// changed since the buffered block was read, the block is read again, so a
// file rewritten in place is seen as it is now. The counter must outlive
// the streams.
zlib_filefunc64_def CloseOnExecFileFunctions(const std::uint64_t* generation = nullptr);

// The path minizip should work on for `archivePath`: the path itself when it
// is plain ASCII; otherwise a new temporary file named "<prefix>...zip" in the
// temporary directory, holding a copy of the archive when it exists. When the
// temporary directory's path is not plain ASCII either, that is traced
// (Error) and the archive path is used as it is.
std::string MakeWorkingPath(const std::string& archivePath, const char* prefix,
                            const dp::QMTracer& trace);

}  // namespace du::zip_files

#endif  // QMKUTILS_FILEIO_INTERNAL_ZIPFILES_H_
