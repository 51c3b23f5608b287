#include "qmkutils/tracing/plaintraceline.h"

#include <algorithm>
#include <charconv>
#include <cstddef>

#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/internal/tracetext.h"
#include "qmkutils/tracing/internal/utf8.h"

namespace dp {

namespace {

constexpr std::size_t kTypeWidth = 7;
constexpr TraceType kTypes[] = {Info, Debug, Warning, Error};

// Reads a line from left to right; a step that does not match returns false
// and leaves the position where it was.
class LineReader {
 public:
  LineReader(std::string_view line, std::size_t position) : line_(line), position_(position) {}

  std::size_t Position() const { return position_; }
  std::string_view Rest() const { return line_.substr(position_); }

  bool Skip(std::string_view literal) {
    if (!Rest().starts_with(literal)) return false;
    position_ += literal.size();
    return true;
  }

  // At least one digit, or exactly `width` of them when it is not 0.
  bool Digits(std::size_t width = 0) {
    return Span([](char c) { return c >= '0' && c <= '9'; }, width);
  }

  bool Letters() {
    return Span([](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }, 0);
  }

  // A decimal int, a minus sign allowed.
  bool Int(int* value) {
    const std::string_view rest = Rest();
    const auto [end, failure] = std::from_chars(rest.data(), rest.data() + rest.size(), *value);
    if (failure != std::errc()) return false;
    position_ += static_cast<std::size_t>(end - rest.data());
    return true;
  }

  // The text up to the next blank, which is stepped over.
  bool Field(std::string_view* field) {
    const std::size_t blank = line_.find(' ', position_);
    if (blank == std::string_view::npos) return false;
    *field = line_.substr(position_, blank - position_);
    position_ = blank + 1;
    return true;
  }

 private:
  template <typename Predicate>
  bool Span(Predicate accepts, std::size_t width) {
    const std::string_view rest = Rest();
    const auto count = static_cast<std::size_t>(
        std::find_if_not(rest.begin(), rest.end(), accepts) - rest.begin());
    if (count == 0 || (width != 0 && count != width)) return false;
    position_ += count;
    return true;
  }

  std::string_view line_;
  std::size_t position_;
};

bool ReadType(std::string_view padded, TraceType* type) {
  for (TraceType candidate : kTypes) {
    const std::string_view name = GetTraceTypeName(candidate);
    if (padded.starts_with(name) &&
        padded.find_first_not_of(' ', name.size()) == std::string_view::npos) {
      *type = candidate;
      return true;
    }
  }
  return false;
}

// "9:5:07.042  6 Dec 2026": the form dp::LocalTimeVal writes (a year
// before 0 has a minus sign).
bool ReadTime(LineReader* reader) {
  int year;
  return reader->Digits() && reader->Skip(":") && reader->Digits() && reader->Skip(":") &&
         reader->Digits(2) && reader->Skip(".") && reader->Digits(3) && reader->Skip("  ") &&
         reader->Digits() && reader->Skip(" ") && reader->Letters() && reader->Skip(" ") &&
         reader->Int(&year);
}

void AppendHex(std::string* out, const char* prefix, unsigned value, int digits) {
  constexpr char kHexDigits[] = "0123456789abcdef";
  out->append(prefix);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out->push_back(kHexDigits[(value >> shift) & 0xF]);
  }
}

}  // namespace

void AppendPlainTraceLine(const TraceFormatter& formatter, std::string* line) {
  const char* typeName = GetTraceTypeName(formatter.GetType());
  if (typeName == nullptr) return;
  const std::size_t start = line->size();
  line->append(typeName);
  line->append(kTypeWidth - (line->size() - start), ' ');
  line->push_back(' ');
  LocalTimeVal(formatter.GetTime()).AppendTo(line);
  line->push_back(' ');
  detail::AppendNumber(line, formatter.GetProcId());
  line->push_back(' ');
  detail::AppendNumber(line, formatter.GetThreadId());
  line->push_back(' ');
  detail::AppendName(line, formatter.GetKey());
  line->push_back(' ');
  detail::AppendName(line, formatter.GetSubKey());
  line->push_back(' ');
  const std::size_t textStart = line->size();
  line->append(formatter.GetMesgView());
  std::replace(line->begin() + static_cast<std::ptrdiff_t>(textStart), line->end(), '\n', ' ');
  line->push_back('\n');
}

bool ParsePlainTraceLine(std::string_view line, PlainTraceLine* fields) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.find('\n') != std::string_view::npos) return false;
  PlainTraceLine read;
  if (line.size() <= kTypeWidth || !ReadType(line.substr(0, kTypeWidth), &read.type)) return false;
  LineReader reader(line, kTypeWidth);
  if (!reader.Skip(" ")) return false;
  const std::size_t timeStart = reader.Position();
  if (!ReadTime(&reader)) return false;
  read.time = line.substr(timeStart, reader.Position() - timeStart);
  if (!reader.Skip(" ") || !reader.Int(&read.procId) || !reader.Skip(" ") ||
      !reader.Int(&read.threadId) || !reader.Skip(" ") || !reader.Field(&read.key) ||
      !reader.Field(&read.subKey)) {
    return false;
  }
  read.text = reader.Rest();
  *fields = read;
  return true;
}

void AppendVisibleText(std::string_view text, std::string* out) {
  for (std::size_t i = 0; i < text.size();) {
    const detail::Utf8Step step = detail::DecodeUtf8(text, i);
    if (!step.valid) {
      for (std::size_t j = 0; j < step.length; ++j) {
        AppendHex(out, "\\x", static_cast<unsigned char>(text[i + j]), 2);
      }
    } else if (step.codePoint == '\\') {
      out->append("\\\\");
    } else if ((step.codePoint < 0x20 && step.codePoint != '\t') || step.codePoint == 0x7F) {
      AppendHex(out, "\\x", step.codePoint, 2);
    } else if (step.codePoint >= 0x80 && step.codePoint <= 0x9F) {
      AppendHex(out, "\\u", step.codePoint, 4);
    } else {
      out->append(text.substr(i, step.length));
    }
    i += step.length;
  }
}

}  // namespace dp
