// Debug masks per trace source, as the "QMTRACE_DEBUG" variable gives them.
//
// The text is a list of entries separated by commas. An entry is a source
// name ("key", or "key::subKey"), one or more separators (blank, tab or '='),
// and an unsigned 32-bit number in C notation: decimal, "0x" hexadecimal or
// leading-zero octal. Blanks and tabs may stand before the first entry, after
// a number and after a comma; a later entry for a name replaces an earlier
// one. Any syntax error rejects the whole text, entries before it included: a
// name without separator or number, a number that does not fit 32 bits,
// anything but a comma after a number, a comma that no entry follows.
//
// Parsing takes time linear in the text and never reads past it. A
// DebugLevels is a value; const operations may run on many threads at once.
#ifndef QMKUTILS_TRACING_DEBUGLEVELS_H_
#define QMKUTILS_TRACING_DEBUGLEVELS_H_

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT DebugLevels {
 public:
  DebugLevels() = default;

  // The masks the text sets; none when it is malformed.
  static DebugLevels Parse(std::string_view text);

  // The mask of the source named exactly `key` (when `subKey` is empty) or
  // "key::subKey"; 0 for an empty key and for a source without an entry.
  unsigned Get(std::string_view key, std::string_view subKey) const;

  bool IsEmpty() const { return levels_.empty(); }

 private:
  std::map<std::string, unsigned, std::less<>> levels_;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_DEBUGLEVELS_H_
