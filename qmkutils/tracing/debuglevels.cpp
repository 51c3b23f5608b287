#include "qmkutils/tracing/debuglevels.h"

#include <cstddef>
#include <cstdint>

namespace dp {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// An unsigned number in C notation at `*position`; advances past it.
bool ParseNumber(std::string_view text, std::size_t* position, unsigned* value) {
  std::size_t i = *position;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  unsigned base = 10;
  if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (text[i] == '0') {
    base = 8;
  }
  const std::size_t digitsStart = i;
  std::uint64_t number = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    number = number * base + digit;
    if (number > 0xFFFFFFFFu) return false;
  }
  if (i == digitsStart && base == 16) return false;
  *position = i;
  *value = static_cast<unsigned>(number);
  return true;
}

}  // namespace

DebugLevels DebugLevels::Parse(std::string_view text) {
  DebugLevels result;
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  while (i < text.size()) {
    const std::size_t nameStart = i;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != '=' && text[i] != ',') ++i;
    const std::size_t nameEnd = i;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == '=')) ++i;
    unsigned level;
    if (nameEnd == nameStart || i == nameEnd || !ParseNumber(text, &i, &level)) return {};
    result.levels_[std::string(text.substr(nameStart, nameEnd - nameStart))] = level;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    if (text[i] != ',') return {};
    ++i;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) return {};
  }
  return result;
}

unsigned DebugLevels::Get(std::string_view key, std::string_view subKey) const {
  if (levels_.empty() || key.empty()) return 0;
  const auto it = subKey.empty() ? levels_.find(key)
                                 : levels_.find(std::string(key).append("::").append(subKey));
  return it == levels_.end() ? 0 : it->second;
}

}  // namespace dp
