#include "qmkutils/installer/installeritem.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "qmkutils/installer/internal/bomtext.h"

namespace installer {

namespace {

using bom_text::Trace;

// "<version> <build> <name>" of a dependency line.
bool ParseDependency(std::string_view text, int version[2], int build[4], std::string* name) {
  const std::size_t versionEnd = text.find(' ');
  if (versionEnd == std::string_view::npos) return false;
  const std::size_t buildEnd = text.find(' ', versionEnd + 1);
  if (buildEnd == std::string_view::npos) return false;
  if (!ParseNumbers(text.substr(0, versionEnd), version, 2) ||
      !ParseNumbers(text.substr(versionEnd + 1, buildEnd - versionEnd - 1), build, 4))
    return false;
  *name = text.substr(buildEnd + 1);
  return true;
}

// Parses into `numbers` only when the whole text is well formed, so a bad
// line leaves the item as it was.
template <int kCount>
bool ParseInto(std::string_view text, int (&numbers)[kCount]) {
  int parsed[kCount];
  if (!ParseNumbers(text, parsed, kCount)) return false;
  std::copy(parsed, parsed + kCount, numbers);
  return true;
}

}  // namespace

bool ParseNumbers(std::string_view text, int* numbers, int count) {
  const char* next = text.data();
  const char* const end = text.data() + text.size();
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      if (next == end || *next != '.') return false;
      ++next;
    }
    // from_chars takes a leading '-' but no '+' or blanks, as the format has it.
    const auto [stop, error] = std::from_chars(next, end, numbers[i]);
    if (error != std::errc()) return false;
    next = stop;
  }
  return next == end;
}

std::string JoinNumbers(const int* numbers, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(numbers[i]);
  }
  return text;
}

bool InstallerItem::ShouldUpgrade(const InstallerItem& other) const {
  const bool anyOwn = build_[0] == -1 && build_[1] == -1;
  const int* theirs = other.build_;
  const bool anyTheirs = theirs[0] == -1 && theirs[1] == -1 && theirs[2] == -1 && theirs[3] == -1;
  if (anyOwn || anyTheirs) {
    Trace()(dp::Debug, "At least one of the items is -1.-1.-1.-1 so could upgrade\n");
    return true;
  }
  for (int i = 0; i < 4; ++i) {
    Trace()(dp::Debug, "Test version %d %d against %d\n", i, build_[i], theirs[i]);
    if (build_[i] != theirs[i]) return true;
  }
  return false;
}

bool InstallerItem::BuildCompatible(const int build[4]) const {
  if (build[0] != build_[0]) return false;
  for (int i = 1; i < 4; ++i) {
    if (build[i] > build_[i]) return true;
    if (build[i] < build_[i]) return false;
  }
  return true;
}

bool InstallerItem::IsBuildCompatible(const int build[4]) const {
  for (int i = 0; i < 4; ++i) {
    if (build[i] > build_[i]) return false;
    if (build[i] < build_[i]) return true;
  }
  return true;
}

void InstallerItem::GetCurrentBuild(int build[4]) const {
  for (int i = 0; i < 4; ++i) build[i] = build_[i];
}

void InstallerItem::SerialInput(std::istream& in, char key) {
  std::string rest;
  if (!bom_text::ReadLine(in, &rest)) {
    in.setstate(std::ios::failbit);
    return;
  }
  bool wellFormed = true;
  switch (key) {
    case 'i':
      wellFormed = ParseInto(rest, version_);
      break;
    case 'b':
      wellFormed = ParseInto(rest, build_);
      break;
    case 'e':
      isExecutable_ = true;
      componentName_ = std::move(rest);
      break;
    case 'l':
      componentName_ = std::move(rest);
      break;
    case 's':
      startScript_ = std::move(rest);
      break;
    case 'S':
    case 'd':
      isDependency_ = true;
      isLocaleDependent_ = key == 'S';
      wellFormed = ParseDependency(rest, version_, build_, &componentName_);
      break;
    default:
      wellFormed = false;
  }
  if (!wellFormed) in.setstate(std::ios::failbit);
}

void InstallerItem::SerialOutput(std::ostream& out) const {
  if (isDependency_) {
    out << "d " << JoinNumbers(version_, 2) << ' ' << JoinNumbers(build_, 4) << ' '
        << componentName_ << '\n';
    return;
  }
  out << "i " << JoinNumbers(version_, 2) << '\n';
  out << "b " << JoinNumbers(build_, 4) << '\n';
  if (!componentName_.empty()) out << (isExecutable_ ? "e " : "l ") << componentName_ << '\n';
}

}  // namespace installer
