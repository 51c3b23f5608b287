// The rules of strings files, shared by du::Qmtrb, which loads them, and by
// the checker of `qmk l10n`, which reports every problem of one: the
// checker compiles stringsfile.cpp in, so both read a file alike. Internal;
// not installed.
//
// A file is UTF-8 text. A leading byte 0xEF starts a three-byte byte-order
// mark, which is skipped. Lines end with a line feed; one carriage return
// before it (or before the end of the file) is dropped. A line is
//   - a comment when it begins with "#";
//   - blank when nothing is left of it; a blank line is malformed, except a
//     last line of the file (nothing follows its end), which ends the file;
//   - an entry "tag.attribute=value": the tag runs to the first ".", the
//     attribute name from there to the first "=", the value to the line's
//     end, so a value may hold ".", "=" and "#";
//   - malformed otherwise (no "." or no "=" after it).
//
// Escapes in a value are a backslash and one character: \" \? \\ \n \r \t
// give the character they name; before any other character, and at the
// very end, the backslash stays in the text.
//
// A placeholder is "{", one or more ASCII digits, "}", the digits naming
// the index of an argument from 0 to kMaxPlaceholderIndex (leading zeros
// allowed). Any other "{" stays text: "{}", "{x}", one never closed, and
// one whose index is larger (so "{4000000000}" is text, and an expected
// argument count always fits an int).
#ifndef QMKUTILS_UTILITIES_INTERNAL_STRINGSFILE_H_
#define QMKUTILS_UTILITIES_INTERNAL_STRINGSFILE_H_

#include <climits>
#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace du::strings_file {

inline constexpr int kMaxPlaceholderIndex = INT_MAX - 1;
// The one attribute whose entries make messages.
inline constexpr std::string_view kValueAttribute = "value";

enum class LineKind { kComment, kEntry, kBlank, kNoDot, kNoEquals };

struct Line {
  unsigned number = 0;  // counted from 1
  LineKind kind = LineKind::kBlank;
  std::string text;  // without its end and the carriage return dropped

  // The parts of an entry; empty for other lines.
  std::string_view Tag() const;
  std::string_view Attribute() const;
  std::string_view RawValue() const;  // escapes not yet resolved

  std::size_t dot = 0;     // entries: the position of the first "."
  std::size_t equals = 0;  // entries: the position of the first "=" after it
};

class LineReader {
 public:
  // Skips the byte-order mark.
  explicit LineReader(std::istream& in);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line into `line`; false at the end of the input (and at
  // a blank last line), or when reading fails.
  bool Next(Line& line);
  // Once Next has returned false: whether the input ended, rather than a
  // read error stopping it.
  bool EndedCleanly() const;

 private:
  std::istream& in_;
  unsigned number_ = 0;
};

// The text of a value with its escapes resolved.
std::string Unescape(std::string_view rawValue);

struct Placeholder {
  std::size_t begin;  // the "{"
  std::size_t end;    // just after the "}"
  int index;
};

// Why a "{" does not open a placeholder.
enum class StrayKind {
  kEmpty,          // "{}"
  kNotDigits,      // "{x}": something other than digits before the "}"
  kNeverClosed,    // no "}" before the next "{" or the end
  kIndexTooLarge,  // digits above kMaxPlaceholderIndex
};

struct StrayBrace {
  std::size_t offset;
  StrayKind kind;
};

// The placeholders of `text` in order; every "{" that opens none goes to
// `strays` when it is not null.
std::vector<Placeholder> FindPlaceholders(std::string_view text,
                                          std::vector<StrayBrace>* strays = nullptr);

// An error text naming something in double quotes: `before` "quoted" `after`.
inline std::string QuotedError(std::string_view before, std::string_view quoted,
                               std::string_view after) {
  std::string text;
  text.reserve(before.size() + quoted.size() + after.size() + 2);
  text.append(before).append(1, '"').append(quoted).append(1, '"').append(after);
  return text;
}

}  // namespace du::strings_file

#endif  // QMKUTILS_UTILITIES_INTERNAL_STRINGSFILE_H_
