// Table-free conversion between UTF-8 byte strings and wide strings, and two
// small questions about text.
//
// Wide strings hold 16-bit code units, one per `wchar_t` (which is 32 bits
// wide on Linux): a character outside the Basic Multilingual Plane travels as
// its two surrogate units. The mapping works one unit at a time and validates
// nothing, so it is fast and total:
//   - encoding: a unit below 0x80 is one byte, below 0x800 two bytes, any
//     other three bytes (a surrogate is encoded on its own; only the low 16
//     bits of a `wchar_t` count);
//   - decoding looks at the lead byte alone: below 0x80 one unit; with bit
//     0x20 set three bytes, else two. Continuation bytes are taken as they
//     come and a 4-byte lead is read as a 3-byte one. A sequence cut short by
//     the end of the input contributes the bits that are there and ends the
//     text: no byte past the end is ever read.
//
// The *Buffered forms return a buffer owned by the library: each direction
// has a ring of 10 buffers per thread, used in turn, so a result stays valid
// until ten further calls of the same direction on the same thread, and
// threads never share one. The other pointer-returning forms return a fresh
// buffer that the caller releases with `free`. A null text gives a null
// result. `length`, when not null, receives the number of units or bytes
// produced, without the terminator.
#ifndef QMKUTILS_UTILITIES_WIDETEXT_H_
#define QMKUTILS_UTILITIES_WIDETEXT_H_

#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

// The types of `IsValidType`.
enum DataType { kIntegerType = 0, kRealType = 1, kTextType = 2 };

QMK_EXPORT char* WideToUtf8Buffered(const wchar_t* text, int* length = nullptr);
QMK_EXPORT char* WideToUtf8(const wchar_t* text, int* length = nullptr);

QMK_EXPORT wchar_t* Utf8ToWideBuffered(const char* text, int* length = nullptr);
QMK_EXPORT wchar_t* Utf8ToWideBuffered(const du::Symbol& text, int* length = nullptr);
QMK_EXPORT wchar_t* Utf8ToWideBuffered(const std::string& text, int* length = nullptr);
QMK_EXPORT wchar_t* Utf8ToWide(const char* text, int* length = nullptr);
QMK_EXPORT wchar_t* Utf8ToWide(const du::Symbol& text, int* length = nullptr);
QMK_EXPORT wchar_t* Utf8ToWide(const std::string& text, int* length = nullptr);

// A null text gives an empty string.
QMK_EXPORT std::wstring Utf8ToWideStr(const std::string& text);
QMK_EXPORT std::wstring Utf8ToWideStr(const du::Symbol& text);
QMK_EXPORT std::wstring Utf8ToWideStr(const char* text);
// The `count` bytes of `text` from `offset`, cut to what `text` holds.
QMK_EXPORT std::wstring Utf8ToWideStr(const std::string& text, unsigned offset, unsigned count);
QMK_EXPORT std::string WideStrToUtf8(const std::wstring& text);
QMK_EXPORT std::string WideStrToUtf8(const wchar_t* text);

// True when any byte has its high bit set: the text is not plain ASCII.
QMK_EXPORT bool IsMultiByteStr(const char* text);
QMK_EXPORT bool IsMultiByteStr(const std::string& text);

// Whether `text` reads in full as a value of `type` in the user's default
// locale: kIntegerType as an `int`, kRealType as a `double` (leading white
// space allowed, nothing after the number); kTextType always; a null text or
// any other type never.
QMK_EXPORT bool IsValidType(const wchar_t* text, DataType type);

}  // namespace du

#endif  // QMKUTILS_UTILITIES_WIDETEXT_H_
