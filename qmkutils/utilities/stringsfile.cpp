// Reading strings files; built into the library and into `qmk`.
#include "qmkutils/utilities/internal/stringsfile.h"

namespace du::strings_file {
namespace {

constexpr int kByteOrderMarkLead = 0xEF;
constexpr std::streamsize kByteOrderMarkLength = 3;
// Lines are usually short; this spares most of them a reallocation.
constexpr std::size_t kLineReserve = 4096 + 64;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The value of the digits in [begin, end), or -1 above kMaxPlaceholderIndex.
int IndexOf(std::string_view text, std::size_t begin, std::size_t end) {
  long long value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kMaxPlaceholderIndex) return -1;
  }
  return static_cast<int>(value);
}

}  // namespace

std::string_view Line::Tag() const {
  return kind == LineKind::kEntry ? std::string_view(text).substr(0, dot) : std::string_view();
}

std::string_view Line::Attribute() const {
  return kind == LineKind::kEntry ? std::string_view(text).substr(dot + 1, equals - dot - 1)
                                  : std::string_view();
}

std::string_view Line::RawValue() const {
  return kind == LineKind::kEntry ? std::string_view(text).substr(equals + 1) : std::string_view();
}

LineReader::LineReader(std::istream& in) : in_(in) {
  if (in_.peek() == kByteOrderMarkLead) in_.ignore(kByteOrderMarkLength);
}

bool LineReader::Next(Line& line) {
  line.text.reserve(kLineReserve);
  if (!std::getline(in_, line.text)) return false;
  const bool lastLine = in_.eof() || in_.peek() == std::istream::traits_type::eof();
  std::string& text = line.text;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  line.number = ++number_;
  line.dot = line.equals = 0;
  if (text.empty()) {
    line.kind = LineKind::kBlank;
    return !lastLine;
  }
  if (text.front() == '#') {
    line.kind = LineKind::kComment;
    return true;
  }
  line.dot = text.find('.');
  if (line.dot == std::string::npos) {
    line.kind = LineKind::kNoDot;
    return true;
  }
  line.equals = text.find('=', line.dot + 1);
  line.kind = line.equals == std::string::npos ? LineKind::kNoEquals : LineKind::kEntry;
  return true;
}

bool LineReader::EndedCleanly() const { return in_.eof() && !in_.bad(); }

std::string Unescape(std::string_view rawValue) {
  std::string text;
  text.reserve(rawValue.size());
  for (std::size_t i = 0; i < rawValue.size(); ++i) {
    const char c = rawValue[i];
    if (c != '\\' || i + 1 == rawValue.size()) {
      text.push_back(c);
      continue;
    }
    const char next = rawValue[++i];
    switch (next) {
      case '"':
      case '?':
      case '\\':
        text.push_back(next);
        break;
      case 'n':
        text.push_back('\n');
        break;
      case 'r':
        text.push_back('\r');
        break;
      case 't':
        text.push_back('\t');
        break;
      default:
        text.push_back('\\');
        text.push_back(next);
    }
  }
  return text;
}

std::vector<Placeholder> FindPlaceholders(std::string_view text, std::vector<StrayBrace>* strays) {
  std::vector<Placeholder> placeholders;
  auto stray = [strays](std::size_t offset, StrayKind kind) {
    if (strays != nullptr) strays->push_back({offset, kind});
  };
  for (std::size_t open = text.find('{'); open != std::string_view::npos;
       open = text.find('{', open + 1)) {
    std::size_t digitsEnd = open + 1;
    while (digitsEnd < text.size() && IsDigit(text[digitsEnd])) ++digitsEnd;
    if (digitsEnd > open + 1 && digitsEnd < text.size() && text[digitsEnd] == '}') {
      const int index = IndexOf(text, open + 1, digitsEnd);
      if (index < 0) {
        stray(open, StrayKind::kIndexTooLarge);
        continue;
      }
      placeholders.push_back({open, digitsEnd + 1, index});
      open = digitsEnd;
      continue;
    }
    const std::size_t close = text.find_first_of("{}", open + 1);
    if (close == std::string_view::npos || text[close] == '{') {
      stray(open, StrayKind::kNeverClosed);
    } else {
      stray(open, close == open + 1 ? StrayKind::kEmpty : StrayKind::kNotDigits);
    }
  }
  return placeholders;
}

}  // namespace du::strings_file
