// The line and number syntax shared by the readers of bill-of-material
// records.
#ifndef QMKUTILS_INSTALLER_INTERNAL_BOMTEXT_H_
#define QMKUTILS_INSTALLER_INTERNAL_BOMTEXT_H_

#include <istream>
#include <string>

#include "qmkutils/tracing/tracer.h"

namespace installer::bom_text {

// The installer's trace source for boms and packages.
const dp::QMTracer& Trace();

// Reads one line without its LF and without one CR before it. False at the
// end of the stream with nothing read.
bool ReadLine(std::istream& in, std::string* line);

// Reads a whole file that the installer keeps small (bom files, package
// lists): false, traced, when it is not a regular file or exceeds 64 MiB.
bool ReadSmallFile(const std::string& path, std::string* text);

}  // namespace installer::bom_text

#endif  // QMKUTILS_INSTALLER_INTERNAL_BOMTEXT_H_
