// A strict reader of plain trace lines.
#ifndef QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_
#define QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qmk_test {

struct PlainLine {
  std::string type, procId, key, subKey, text;
};

// Reads lines like "Warning 9:5:07.042  6 Dec 2026 4711 4712 dp Thread text":
// the type padded to seven characters, two blanks before the day, one blank
// between all other fields; key and sub-key may be empty. A line of another
// layout fails the test.
inline std::vector<PlainLine> PlainLines(const std::string& text) {
  static const std::regex layout(
      R"((Info   |Debug  |Warning|Error  ) \d+:\d+:\d\d\.\d{3}  \d+ [^ ]+ \d+ (\d+) \d+ )"
      R"(([^ ]*) ([^ ]*) (.*))");
  std::vector<PlainLine> lines;
  std::istringstream in(text);
  std::smatch fields;
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, fields, layout)) {
      ADD_FAILURE() << "not a plain trace line: " << line;
      continue;
    }
    const std::string type = fields[1];
    lines.push_back({type.substr(0, type.find(' ')), fields[2], fields[3], fields[4], fields[5]});
  }
  return lines;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_PLAIN_LINES_H_
