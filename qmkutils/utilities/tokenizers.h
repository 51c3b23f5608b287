// In-place tokenisers in the manner of the C library's strtok, with two
// differences: adjacent delimiters yield empty tokens instead of being
// merged, and `strtokstr` splits at a whole delimiter string.
//
// A non-null text starts a new tokenisation (its delimiters are overwritten
// with NULs); null continues the last one. Each call returns the next token,
// or null once the last one has been returned. The token after the last
// delimiter, possibly empty, is always returned, so "a," gives "a", "" and
// then null, and an empty text gives one empty token.
//
// NOT thread-safe and not reentrant: each function keeps one process-wide
// state between calls, so only one tokenisation per function may be in
// progress in the whole process at a time. Prefer them only where strtok
// would do.
#ifndef QMKUTILS_UTILITIES_TOKENIZERS_H_
#define QMKUTILS_UTILITIES_TOKENIZERS_H_

#include "qmkutils/platform/export.h"

namespace du {

// Splits at each `c`.
QMK_EXPORT char* strtokchar(char* s, char c);  // NOLINT(readability-identifier-naming)

// Splits at each occurrence of `delimiter` (searching on after it; an empty
// delimiter never matches). A null delimiter returns `s` and leaves the
// state alone.
QMK_EXPORT char* strtokstr(char* s, char* delimiter);  // NOLINT(readability-identifier-naming)

}  // namespace du

#endif  // QMKUTILS_UTILITIES_TOKENIZERS_H_
