#include "qmkutils/utilities/tokenizers.h"

#include <cstring>

namespace du {
namespace {

// Where one tokenisation stands between calls. It starts finished, so a
// continuation before any start returns null.
struct TokenizerState {
  char* next = nullptr;  // where the next token starts
  bool finished = true;

  // The start of the token this call returns, or null when none is left.
  char* Begin(char* s) {
    if (s != nullptr) {
      finished = false;
      return s;
    }
    return finished ? nullptr : next;
  }

  // The token ends at `delimiter` (overwritten), the next one `length` bytes on.
  void EndAt(char* delimiter, std::size_t length) {
    *delimiter = '\0';
    next = delimiter + length;
  }

  void EndOfText() {
    finished = true;
    next = nullptr;
  }
};

TokenizerState s_charState;
TokenizerState s_stringState;

}  // namespace

char* strtokchar(char* s, char c) {  // NOLINT(readability-identifier-naming)
  char* const token = s_charState.Begin(s);
  if (token == nullptr) return nullptr;
  for (char* p = token;; ++p) {
    if (*p == '\0') {
      s_charState.EndOfText();
      return token;
    }
    if (*p == c) {
      s_charState.EndAt(p, 1);
      return token;
    }
  }
}

char* strtokstr(char* s, char* delimiter) {  // NOLINT(readability-identifier-naming)
  if (delimiter == nullptr) return s;
  char* const token = s_stringState.Begin(s);
  if (token == nullptr) return nullptr;
  const std::size_t length = std::strlen(delimiter);
  for (char* p = token;; ++p) {
    if (*p == '\0') {
      s_stringState.EndOfText();
      return token;
    }
    if (length != 0 && std::strncmp(p, delimiter, length) == 0) {
      s_stringState.EndAt(p, length);
      return token;
    }
  }
}

}  // namespace du
