// Byte strings written as lists of byte values, for tests of binary layouts.
#ifndef QMKUTILS_TESTS_SUPPORT_BYTES_H_
#define QMKUTILS_TESTS_SUPPORT_BYTES_H_

#include <initializer_list>
#include <string>

namespace qmk_test {

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (const int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_BYTES_H_
