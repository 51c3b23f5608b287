#include "qmkutils/platform/internal/commandline.h"

namespace dp::cmdline {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The program name at the start of `line`; advances `at` past it.
std::string TakeProgramName(std::string_view line, std::size_t& at) {
  std::string name;
  if (at < line.size() && line[at] == '"') {
    const std::size_t end = line.find('"', at + 1);
    name = line.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
    at = end == std::string_view::npos ? line.size() : end + 1;
  }
  while (at < line.size() && !IsBlank(line[at])) name += line[at++];
  return name;
}

}  // namespace

std::string Build(std::string_view program, const std::vector<std::string>& args,
                  bool viaInterpreter, bool verbatim) {
  std::string line = viaInterpreter ? "CMD /C \"" : "\"";
  for (char c : program) {
    if (c != '"') line += c;
  }
  line += '"';
  for (const std::string& arg : args) {
    line += ' ';
    if (verbatim || arg.find(' ') == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    for (char c : arg) {
      if (c == '"') line += '\\';
      line += c;
    }
    line += '"';
  }
  return line;
}

std::vector<std::string> Split(std::string_view line) {
  std::vector<std::string> args;
  std::size_t at = 0;
  while (at < line.size() && IsBlank(line[at])) ++at;
  if (at == line.size()) return args;
  args.push_back(TakeProgramName(line, at));
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (at < line.size() && (quoted || !IsBlank(line[at]))) {
      std::size_t backslashes = 0;
      while (at < line.size() && line[at] == '\\') ++backslashes, ++at;
      if (at == line.size() || line[at] != '"') {
        arg.append(backslashes, '\\');
        if (at < line.size() && (quoted || !IsBlank(line[at]))) arg += line[at++];
        continue;
      }
      arg.append(backslashes / 2, '\\');
      if (backslashes % 2 == 1) {
        arg += '"';
      } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
        arg += '"';
        ++at;
      } else {
        quoted = !quoted;
      }
      ++at;
    }
    args.push_back(std::move(arg));
  }
}

}  // namespace dp::cmdline
