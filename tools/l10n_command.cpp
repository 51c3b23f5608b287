#include "l10n_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/utilities/internal/stringsfile.h"
#include "qmkutils/utilities/pseudolocalize.h"
#include "qmkutils/utilities/qmtrb.h"

namespace qmk {
namespace {

namespace sf = du::strings_file;

constexpr int kClean = 0;
constexpr int kDoesNotLoad = 1;
constexpr int kUsageError = 2;
constexpr int kLoadsWithWarnings = 3;

constexpr std::string_view kEntryForm = "expected tag.attribute=value";
// A stray "{" is quoted with at most this many characters after it.
constexpr std::size_t kSnippetLength = 16;
// Gaps listed before the rest is cut short.
constexpr std::size_t kMaxGapsListed = 5;

constexpr const char* kUsage =
    "Usage: qmk l10n check FILE\n"
    "       qmk l10n show FILE TAG [ARG...]\n"
    "       qmk l10n pseudo TEXT...\n";

// `text` fit for one line of a report: control characters escaped.
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

// The parts one after the other (g++ 12 at -O3 misreads "literal" + a
// temporary string as an overlapping copy).
std::string Cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

std::string Quoted(std::string_view text) { return Cat({"\"", Printable(text), "\""}); }

std::string Placeholder(int index) { return Cat({"{", std::to_string(index), "}"}); }

// The text a stray "{" starts: to its "}" when that is near, else a few
// characters.
std::string StraySnippet(std::string_view text, const sf::StrayBrace& stray) {
  const std::size_t whole = stray.kind == sf::StrayKind::kNeverClosed
                                ? std::min(text.find('{', stray.offset + 1), text.size())
                                : text.find('}', stray.offset) + 1;
  const std::size_t end = std::min(whole, stray.offset + 1 + kSnippetLength);
  const std::string_view snippet = text.substr(stray.offset, end - stray.offset);
  return end < whole ? Quoted(snippet) + " (cut short)" : Quoted(snippet);
}

std::string StrayProblem(std::string_view text, const sf::StrayBrace& stray) {
  const std::string snippet = StraySnippet(text, stray);
  switch (stray.kind) {
    case sf::StrayKind::kEmpty:
      return snippet + " has no argument number, so it is not a placeholder and stays as text";
    case sf::StrayKind::kNotDigits:
      return snippet +
             " is not a placeholder (only digits may stand between the braces) and stays as text";
    case sf::StrayKind::kNeverClosed:
      return snippet + ": this \"{\" is never closed by \"}\", so it stays as text";
    case sf::StrayKind::kIndexTooLarge:
      return Cat({snippet, ": the argument number is above ",
                  std::to_string(sf::kMaxPlaceholderIndex), ", so it stays as text"});
  }
  return snippet;
}

// "{0}", "{2} to {4}", ...: the indices below the largest that nothing uses.
std::string Gaps(std::vector<int> used, std::size_t* missing) {
  std::sort(used.begin(), used.end());
  used.erase(std::unique(used.begin(), used.end()), used.end());
  std::string gaps;
  std::size_t listed = 0;
  *missing = 0;
  int next = 0;
  for (const int index : used) {
    if (index > next) {
      *missing += static_cast<std::size_t>(index - next);
      if (listed++ < kMaxGapsListed) {
        if (!gaps.empty()) gaps += ", ";
        gaps += Placeholder(next);
        if (index - 1 > next) gaps += Cat({" to ", Placeholder(index - 1)});
      } else if (listed == kMaxGapsListed + 1) {
        gaps += ", ...";
      }
    }
    next = index + 1;
  }
  return gaps;
}

class Checker {
 public:
  explicit Checker(std::string path) : path_(std::move(path)) {}

  int Run() {
    if (Readable()) Read();
    return Verdict();
  }

 private:
  void Report(unsigned line, const char* severity, const std::string& text) {
    std::cout << path_ << ":";
    if (line != 0) std::cout << line << ":";
    std::cout << " " << severity << ": " << text << "\n";
  }
  void Error(unsigned line, const std::string& text) {
    ++errors_;
    Report(line, "error", text);
  }
  void Warning(unsigned line, const std::string& text) {
    ++warnings_;
    Report(line, "warning", text);
  }

  bool Readable() {
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0) {
      Error(0, std::string("cannot read the file: ") + std::strerror(errno));
      return false;
    }
    if (S_ISDIR(status.st_mode)) {
      Error(0, "cannot read the file: it is a directory");
      return false;
    }
    return true;
  }

  void Read() {
    std::ifstream in(path_, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
      Error(0, std::string("cannot read the file: ") + std::strerror(errno));
      return;
    }
    sf::LineReader reader(in);
    sf::Line line;
    unsigned lastLine = 0;
    while (reader.Next(line)) {
      lastLine = line.number;
      CheckLine(line);
    }
    if (!reader.EndedCleanly()) {
      Error(lastLine + 1, "reading failed here; the rest of the file was not read");
    } else if (errors_ == 0 && firstLineOfTag_.empty()) {
      Error(0, "no entry has the attribute \"value\", so the file holds no message");
    }
  }

  void CheckLine(const sf::Line& line) {
    switch (line.kind) {
      case sf::LineKind::kComment:
        return;
      case sf::LineKind::kBlank:
        Error(line.number, "blank line; only the last line of the file may be blank");
        return;
      case sf::LineKind::kNoDot:
        Error(line.number, Cat({"malformed line: no \".\" after the tag (", kEntryForm,
                                "; comments begin with \"#\")"}));
        return;
      case sf::LineKind::kNoEquals:
        Error(line.number,
              Cat({"malformed line: no \"=\" after the attribute name (", kEntryForm, ")"}));
        return;
      case sf::LineKind::kEntry:
        CheckEntry(line);
        return;
    }
  }

  void CheckEntry(const sf::Line& line) {
    std::string_view tag = line.Tag();
    if (tag.empty()) Warning(line.number, "empty tag");
    if (const auto nul = tag.find('\0'); nul != std::string_view::npos) {
      tag = tag.substr(0, nul);
      Warning(line.number,
              Cat({"the tag holds a NUL byte; only ", Quoted(tag), " before it counts"}));
    }
    if (line.Attribute() != sf::kValueAttribute) {
      Warning(line.number, Cat({"attribute ", Quoted(line.Attribute()),
                                " is not \"value\"; only \"value\" entries make messages, so "
                                "this entry is ignored"}));
      return;
    }
    const auto [first, added] = firstLineOfTag_.emplace(std::string(tag), line.number);
    if (!added) {
      Error(line.number, Cat({"duplicate tag ", Quoted(tag), " (first on line ",
                              std::to_string(first->second), ")"}));
      return;
    }
    CheckPlaceholders(line.number, tag, sf::Unescape(line.RawValue()));
  }

  void CheckPlaceholders(unsigned lineNumber, std::string_view tag, const std::string& text) {
    std::vector<sf::StrayBrace> strays;
    std::vector<int> used;
    for (const sf::Placeholder& placeholder : sf::FindPlaceholders(text, &strays)) {
      used.push_back(placeholder.index);
    }
    for (const sf::StrayBrace& stray : strays) {
      Warning(lineNumber, Cat({"tag ", Quoted(tag), ": ", StrayProblem(text, stray)}));
    }
    std::size_t missing = 0;
    const std::string gaps = Gaps(used, &missing);
    if (missing == 0) return;
    const long long expected = *std::max_element(used.begin(), used.end()) + 1LL;
    Warning(lineNumber, Cat({"tag ", Quoted(tag), " uses no placeholder for argument",
                             missing == 1 ? " " : "s ", gaps, ", yet callers must pass ",
                             std::to_string(expected), " arguments"}));
  }

  // The loader decides whether the file loads.
  int Verdict() {
    try {
      const du::SmartPtr<du::Qmtrb> loaded = du::Qmtrb::Open(path_, du::kNoPseudoLocalization);
      const std::size_t messages = loaded->GetTemplates().size();
      if (errors_ != 0) {
        Report(0, "error", "the loader took the file despite the errors above");
        return kDoesNotLoad;
      }
      std::cout << path_ << ": loads: " << messages << (messages == 1 ? " message" : " messages");
      if (warnings_ == 0) {
        std::cout << ", no problems\n";
        return kClean;
      }
      std::cout << ", " << warnings_ << (warnings_ == 1 ? " warning\n" : " warnings\n");
      return kLoadsWithWarnings;
    } catch (const du::LocalizerError& error) {
      std::cout << path_ << ": does not load: " << error.what() << "\n";
      return kDoesNotLoad;
    }
  }

  std::string path_;
  std::map<std::string, unsigned> firstLineOfTag_;
  unsigned errors_ = 0;
  unsigned warnings_ = 0;
};

int Usage(const char* problem) {
  std::cerr << "qmk l10n: " << problem << "\n" << kUsage;
  return kUsageError;
}

int Show(int argc, char** argv) {
  if (argc < 2) return Usage("show needs a file and a tag");
  const std::vector<std::string> arguments(argv + 2, argv + argc);
  try {
    std::ostringstream message;
    du::Qmtrb::Open(argv[0], du::kNoPseudoLocalization)
        ->BuildLocalizedString(message, argv[1], arguments);
    std::cout << message.view() << "\n";
    return kClean;
  } catch (const du::LocalizerError& error) {
    std::cerr << "qmk l10n show: " << error.what() << "\n";
    return kDoesNotLoad;
  }
}

int Pseudo(int argc, char** argv) {
  if (argc < 1) return Usage("pseudo needs at least one text");
  for (int i = 0; i < argc; ++i) std::cout << du::CorruptMessage(std::string(argv[i])) << "\n";
  return kClean;
}

}  // namespace

int RunL10nCommand(int argc, char** argv) {
  const std::string_view action = argc > 0 ? argv[0] : "";
  int status = kUsageError;
  if (action == "check") {
    status = argc == 2 ? Checker(argv[1]).Run() : Usage("check needs exactly one file");
  } else if (action == "show") {
    status = Show(argc - 1, argv + 1);
  } else if (action == "pseudo") {
    status = Pseudo(argc - 1, argv + 1);
  } else {
    status = Usage(action.empty() ? "which action?" : "unknown action");
  }
  std::cout.flush();
  return status;
}

}  // namespace qmk
