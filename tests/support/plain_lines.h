// Plain trace lines read back for tests.
#ifndef QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_
#define QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "qmkutils/tracing/plaintraceline.h"

namespace qmk_test {

struct PlainLine {
  std::string type, procId, key, subKey, text;
};

// Reads every line of `text` with dp::ParsePlainTraceLine; a line of another
// layout fails the test.
inline std::vector<PlainLine> PlainLines(const std::string& text) {
  std::vector<PlainLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    dp::PlainTraceLine fields;
    if (!dp::ParsePlainTraceLine(line, &fields)) {
      ADD_FAILURE() << "not a plain trace line: " << line;
      continue;
    }
    lines.push_back({dp::GetTraceTypeName(fields.type), std::to_string(fields.procId),
                     std::string(fields.key), std::string(fields.subKey),
                     std::string(fields.text)});
  }
  return lines;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_
