// Small text builders shared by the trace consumers. Internal; not installed.
#ifndef QMKUTILS_TRACING_INTERNAL_TRACETEXT_H_
#define QMKUTILS_TRACING_INTERNAL_TRACETEXT_H_

#include <charconv>
#include <string>

namespace dp::detail {

inline void AppendNumber(std::string* out, int value) {
  char digits[16];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, result.ptr);
}

// Keys and sub-keys are caller-supplied pointers: null reads as "".
inline void AppendName(std::string* out, const char* name) {
  if (name != nullptr) out->append(name);
}

}  // namespace dp::detail

#endif  // QMKUTILS_TRACING_INTERNAL_TRACETEXT_H_
