// The plain-text form of a trace message: written, read back, and shown.
//
// AppendPlainTraceLine writes the line that the standard-stream, file and
// viewer consumers share:
//
//   Warning 9:5:07.042  6 Dec 2026 4711 4712 dp Thread the text
//
// the type name padded to 7 characters, the local time (hour and minute
// unpadded, as dp::LocalTimeVal writes it), process id, thread id, key,
// sub-key and text, single blanks between, line feeds in the text turned
// into blanks, and one line feed at the end.
//
// ParsePlainTraceLine reads that exact layout back: two adjacent blanks are
// an empty key or sub-key, and everything after the sub-key's blank is the
// text, blanks included. (A key or sub-key that itself holds a blank reads
// back split at it.)
//
// AppendVisibleText makes text safe to show on a terminal, so that a line
// from any process cannot send control sequences to it.
//
// All three may run on any number of threads at once.
#ifndef QMKUTILS_TRACING_PLAINTRACELINE_H_
#define QMKUTILS_TRACING_PLAINTRACELINE_H_

#include <string>
#include <string_view>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceformatter.h"
#include "qmkutils/tracing/tracetype.h"

namespace dp {

// Appends the message's plain line to `line`; nothing for an inert message.
QMK_EXPORT void AppendPlainTraceLine(const TraceFormatter& formatter, std::string* line);

// The fields of one plain line; the views point into the line read.
struct PlainTraceLine {
  TraceType type = kInertTraceType;
  std::string_view time;  // "9:5:07.042  6 Dec 2026"
  int procId = 0;
  int threadId = 0;
  std::string_view key;
  std::string_view subKey;
  std::string_view text;
};

// Reads a line that AppendPlainTraceLine wrote, with or without its final
// line feed. False, with `fields` untouched, for any other line: an unknown
// or wrongly padded type, a malformed time, an id that is not a whole
// number of int range, a missing field, or a line feed inside the line.
QMK_EXPORT bool ParsePlainTraceLine(std::string_view line, PlainTraceLine* fields);

// Appends `text` with every byte that a terminal could act on written out
// visibly, and everything else unchanged:
//   - a backslash as "\\", so that the forms below cannot be faked;
//   - C0 control characters other than tab, and DEL, as "\x" and two
//     lower-case hexadecimal digits ("\x1b", "\x0a");
//   - C1 control characters (U+0080 to U+009F) as "\u" and four such digits
//     ("\u0085");
//   - each byte that is not part of well-formed UTF-8 as "\x" and its two
//     digits ("\xff").
// Printable ASCII, tab and every other well-formed UTF-8 character pass as
// they are.
QMK_EXPORT void AppendVisibleText(std::string_view text, std::string* out);

}  // namespace dp

#endif  // QMKUTILS_TRACING_PLAINTRACELINE_H_
