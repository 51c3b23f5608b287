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
// from its `*` values; the parse resumes after the character that ends it.
// An accepted conversion whose text, from '%' to its conversion character,
// leaves less than two bytes of the work buffer (for its terminator and at
// least one byte of output) is reported as unrecognised too, but it is parsed
// to its end and takes its arguments as usual, so later conversions read
// theirs, and the literal text resumes after it.
//
// An argument's text is what the C library's snprintf writes for the
// conversion, whenever it fits in the room left in the work buffer after the
// conversion text; a text that does not fit is dropped (the conversion still
// succeeds, with an empty text). A text that cannot fit is dropped without
// formatting: one whose width exceeds the room, or whose precision does where
// the precision bounds the text (integers, finite e, E, f, F and #g, #G,
// non-null p). Infinities, NaNs and null pointers keep their text under any
// precision. A precision beyond INT_MAX, which the C library refuses, gives
// an empty text. Malformed or hostile formats never make the formatter read
// past the format's terminating NUL, loop without progress, or make the C
// library write or allocate in proportion to a huge width or precision.
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
  // the literal text resumes after what was parsed, and the arguments of an
  // accepted conversion are taken even when its text does not fit.
  bool ProcessFormatSequence(PrintfArgs& args);
  const char* FormattedArgBegin() const { return argBegin_; }
  const char* FormattedArgEnd() const { return argEnd_; }

 private:
  static constexpr unsigned kInlineBufferSize = 512;

  // Steps over the last `length` characters of the conversion that starts at
  // `conversion`, so that the literal text resumes after it, and copies the
  // conversion text to the buffer; false when it leaves less than two bytes.
  bool EndConversion(const char* conversion, unsigned length);
  // Terminates the copied conversion text; the argument's text follows it.
  void TerminateConversion();
  // Lowers the precision of the copied conversion text to `limit`: its digits
  // (starting at `digits` in the format) in place, or without digits its `*`
  // value.
  void LimitPrecision(const char* conversion, const char* digits, unsigned limit);
  // Formats `value` after the terminated conversion text unless its text
  // would be at least `minimumLength` characters and so cannot fit.
  template <typename T>
  bool FormatArgument(T value, unsigned minimumLength);
  template <typename T>
  bool FormatConversion(const char* conversion, unsigned length, T value, unsigned minimumLength);
  // Skips the rest of an unrecognised conversion.
  bool Reject();
  void CopyStateFrom(const PrintfFormatter& other);

  const char* format_;
  const char* textBegin_;
  const char* textEnd_;  // also the parse position
  char* buffer_;         // inlineBuffer_ or a heap block, bufferSize_ + 1 bytes
  char* conversionEnd_;  // the conversion text starts at buffer_
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
