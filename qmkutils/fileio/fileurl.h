// File names as URL text.
//
// du::URI_Escape copies part of a string with every byte other than ASCII
// letters, digits and - _ . ! ~ * ' ( ) written as "%" and two lowercase hex
// digits.
//
// du::GetURLForFileSource turns a file name into a "file:" URL and passes
// text that already is a URL (a "://" after its first two characters) or is
// empty through unchanged. An absolute Linux path "/d/f" gives "file:///d/f";
// a Windows-looking path "C:\d\f" gives "file:///C:/d/f" and a network name
// "\\server\share\f" gives "file://///server/share/f": "file:///" and the
// share's own two slashes (backslashes become "/"; only a name starting
// with two backslashes is a share, "//d/f" is the Linux path "/d/f").
// A relative name is joined to the base, which is always taken as a
// directory (itself turned into a URL first unless it is one), or, without a
// base, to the current directory; "." and ".." segments of the path are then
// resolved, a ".." at the top staying at the top. The URL is not
// percent-escaped.
//
// Both functions are pure apart from reading the current directory, and may
// be called from any thread.
#ifndef QMKUTILS_FILEIO_FILEURL_H_
#define QMKUTILS_FILEIO_FILEURL_H_

#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

// `count` characters of `in` from `start` (std::string::npos, or a count
// past the end, takes the rest; a start past the end gives "").
QMK_EXPORT void URI_Escape(std::string& out, const std::string& in, std::size_t start = 0,
                           std::size_t count = std::string::npos);

QMK_EXPORT du::Symbol GetURLForFileSource(const du::Symbol& source,
                                          const du::Symbol& base = du::Symbol());

}  // namespace du

#endif  // QMKUTILS_FILEIO_FILEURL_H_
