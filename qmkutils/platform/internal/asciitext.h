// Case rules for the ASCII names the library compares: registry keys and
// values, language codes, program extensions. Independent of the C locale,
// which dp::Locale may switch. Internal; not installed.
#ifndef QMKUTILS_PLATFORM_INTERNAL_ASCIITEXT_H_
#define QMKUTILS_PLATFORM_INTERNAL_ASCIITEXT_H_

#include <string_view>

namespace dp::ascii {

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

}  // namespace dp::ascii

#endif  // QMKUTILS_PLATFORM_INTERNAL_ASCIITEXT_H_
