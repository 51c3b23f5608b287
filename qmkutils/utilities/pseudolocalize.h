// Pseudo-localisation: text that looks translated, to find untranslated
// messages and layouts too narrow for longer text.
//
// `du::CorruptMessage` turns "yes", "YES" and "SPG ANSWER YES" into "YES",
// "no", "NO" and "SPG ANSWER NO" into "NO". Any other message becomes "[",
// its text up to the first "|||" with the vowels accented (A E I O U a e i
// o u become U+00C1 U+00C9 U+00CD U+00D6 U+00DA U+00E1 U+00E9 U+00ED
// U+00F3 U+00FC), N characters of a tail, "]", and the rest of the message
// from the "|||" on, unchanged. N is a fifth of the whole message's length,
// at least 1 and at most 11. Blanks, tabs and line feeds are kept, and so
// are words that begin with "<" (markup) or "%%", up to the next of those;
// placeholders such as "{0}" hold no vowel and survive.
//
// The tail is U+30BD U+2116 U+5341 U+7533 U+52C9 U+5F37 U+906E U+7E2E
// U+7C9B U+5DCC U+63E1, or the UTF-8 text of the environment variable
// "PIGLATIN_TAIL" when it is not empty, repeated to eleven characters;
// "PIGLATIN_REPLACE_CHARS" equal to "false" switches the accents off. Both
// are read once per process, on first use.
//
// Lengths count UTF-16 units; the UTF-8 form converts with du::Utf8ToWideStr
// and back (qmkutils/utilities/widetext.h). Thread-safe.
#ifndef QMKUTILS_UTILITIES_PSEUDOLOCALIZE_H_
#define QMKUTILS_UTILITIES_PSEUDOLOCALIZE_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace du {

// Wide strings hold UTF-16 units, one per wchar_t.
QMK_EXPORT std::wstring CorruptMessage(const std::wstring& message);
QMK_EXPORT std::string CorruptMessage(const std::string& message);

}  // namespace du

#endif  // QMKUTILS_UTILITIES_PSEUDOLOCALIZE_H_
