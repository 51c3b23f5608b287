// Printf-style formatting, one conversion at a time.
//
// `dp::PrintfFormatter` walks a printf format string so that its caller can
// copy the literal text itself and format each argument separately, into its
// own output. Only a fixed, safe subset of C conversions is accepted: `%%`;
// d, i, o, u, x, X, c (an `int`); the same integer conversions after `h`
// (an `int`), `l` (a `long`) or `ll` (a `long long`); e, E, f, F, g, G (a
// `double`); s (a `const char*`, null written as "(null)"); p (a pointer);
// with the flags blank, +, -, # and 0, a width and a precision, each of them
// digits or `*` (an `int` taken first; a negative width left-justifies, a
// negative precision counts as none). Every other conversion is reported as
// unrecognised without reaching the C library and takes no argument apart
// from `*` values already read; the parse resumes after the character that
// ends it. An argument is formatted into the formatter's work buffer as the
// C library's snprintf writes it. A text that cannot fit in the room left
// there is dropped (the conversion still succeeds, with an empty text), and
// so, without formatting, is one whose width cannot fit, or whose precision
// cannot where the precision bounds the text: integers, e, E, f, F, p, and g,
// G with '#'. Malformed or hostile formats never make the formatter read past
// the format's terminating NUL, loop without progress, or make the C library
// write or allocate in proportion to a huge width or precision.
//
// Typical use, with `PrintfArgs` started by va_start (or va_copy) and ended
// by the caller:
//
//   dp::PrintfFormatter formatter(format, 512);
//   while (formatter.SkipToNextFormat()) {
//     out.append(formatter.TextBegin(), formatter.TextEnd());
//     if (formatter.ProcessFormatSequence(args))
//       out.append(formatter.FormattedArgBegin(), formatter.FormattedArgEnd());
//     else
//       out.append("<unrecognised format string>");
//   }
//   out.append(formatter.TextBegin(), formatter.TextEnd());
//
// A formatter is used by one thread at a time. The format string is not
// copied and must outlive the formatter.
#ifndef QMKUTILS_TRACING_PRINTFFORMATTER_H_
#define QMKUTILS_TRACING_PRINTFFORMATTER_H_

#include <cstdarg>

#include "qmkutils/platform/export.h"

namespace dp {

// A va_list that can be handed on by reference: each conversion takes its
// arguments from it and leaves it positioned after them.
struct PrintfArgs {
  va_list list;
};

class QMK_EXPORT PrintfFormatter {
 public:
  // A null format counts as an empty one. Work buffers of up to 512 bytes
  // live inside the object; larger ones come from the heap, and failing to
  // get one throws dp::BadAlloc.
  PrintfFormatter(const char* format, unsigned bufferSize);
  ~PrintfFormatter();
  // A copy walks on independently from the same position, with its own
  // buffer holding the same conversion text and formatted argument.
  PrintfFormatter(const PrintfFormatter& other);
  PrintfFormatter& operator=(const PrintfFormatter& other);

  // Moves the literal-text stretch up to the next '%' or the end of the
  // format; true when a '%' ends it.
  bool SkipToNextFormat();
  const char* TextBegin() const { return textBegin_; }
  const char* TextEnd() const { return textEnd_; }

  // Parses the conversion at TextEnd(), takes its arguments from `args` and
  // formats it. True when the conversion is understood (its text, possibly
  // empty, is then FormattedArgBegin() to FormattedArgEnd()); false when it
  // is not, or when its conversion text does not fit the buffer. Either way
  // the literal text resumes after what was parsed.
  bool ProcessFormatSequence(PrintfArgs& args);
  const char* FormattedArgBegin() const { return argBegin_; }
  const char* FormattedArgEnd() const { return argEnd_; }

 private:
  static constexpr unsigned kInlineBufferSize = 512;

  // Both fail, leaving the literal text to resume at the parse position,
  // when the buffer has no room left.
  bool CopyFormatSpecChar(char c);
  bool FinalizeFormatSpec();
  // Copies a run of digits; `value` saturates instead of overflowing.
  bool CopyFormatSpecDigits(unsigned& value);
  // Copies the next `length` characters of the format.
  bool CopyConversion(unsigned length);
  // Finishes the conversion text and formats `value` unless its text would be
  // at least `minimumLength` characters and so cannot fit.
  template <typename T>
  bool FormatArgument(T value, unsigned minimumLength);
  // Skips the rest of an unrecognised conversion.
  bool Reject();
  void CopyStateFrom(const PrintfFormatter& other);

  const char* format_;
  const char* textBegin_;
  const char* textEnd_;  // also the parse position
  char* buffer_;         // inlineBuffer_ or a heap block, bufferSize_ + 1 bytes
  char* specEnd_;        // the conversion text starts at buffer_
  char* argBegin_;
  char* argEnd_;
  unsigned bufferSize_;
  unsigned starCount_;
  int starValues_[2];
  // One byte beyond the work buffer lets snprintf terminate a text that
  // fills the room exactly.
  char inlineBuffer_[kInlineBufferSize + 1];
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_PRINTFFORMATTER_H_
