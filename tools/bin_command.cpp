#include "bin_command.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/fileio/filereader.h"

namespace qmk {
namespace {

constexpr int kRead = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kUsage =
    "Usage: qmk bin dump FILE [--big-endian] [--layout \"LAYOUT\"]\n"
    "LAYOUT: blank-separated i8 u8 i16 u16 i32 u32 f32 f64 bool char, each\n"
    "optionally with a count (\"f64*3\"), and z or z{ LAYOUT } for a compressed\n"
    "section.\n";

constexpr std::size_t kBytesPerDumpLine = 16;
// Counts beyond this are surely a typing slip, not a layout.
constexpr unsigned kMaxCount = 1u << 24;

enum class Kind { kI8, kU8, kI16, kU16, kI32, kU32, kF32, kF64, kBool, kChar, kSection };

struct Item {
  Kind kind = Kind::kU8;
  std::string name;
  unsigned count = 1;
  bool sectionHasLayout = false;
  std::vector<Item> inside;
};

struct TypeName {
  std::string_view name;
  Kind kind;
};
constexpr TypeName kTypes[] = {
    {"i8", Kind::kI8},     {"u8", Kind::kU8},     {"i16", Kind::kI16}, {"u16", Kind::kU16},
    {"i32", Kind::kI32},   {"u32", Kind::kU32},   {"f32", Kind::kF32}, {"f64", Kind::kF64},
    {"bool", Kind::kBool}, {"char", Kind::kChar},
};

// Blank-separated words, with braces as words of their own.
std::vector<std::string> Words(std::string_view layout) {
  std::vector<std::string> words;
  std::string word;
  const auto flush = [&] {
    if (!word.empty()) words.push_back(std::move(word));
    word.clear();
  };
  for (const char c : layout) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      flush();
    } else if (c == '{' || c == '}') {
      flush();
      words.emplace_back(1, c);
    } else {
      word += c;
    }
  }
  flush();
  return words;
}

class LayoutParser {
 public:
  explicit LayoutParser(std::vector<std::string> words) : words_(std::move(words)) {}

  // False with `error` saying why when the layout is malformed.
  bool Parse(std::vector<Item>& items, std::string& error) {
    return ParseItems(items, false, error);
  }

 private:
  bool ParseItems(std::vector<Item>& items, bool inSection, std::string& error) {
    while (next_ < words_.size()) {
      const std::string& word = words_[next_++];
      if (word == "}") {
        if (inSection) return true;
        error = "a \"}\" closes no section";
        return false;
      }
      Item item;
      if (!ParseItem(word, item, error)) return false;
      items.push_back(std::move(item));
    }
    if (inSection) error = "a section's \"{\" is never closed";
    return !inSection;
  }

  bool ParseItem(const std::string& word, Item& item, std::string& error) {
    item.name = word;
    if (word == "z") {
      item.kind = Kind::kSection;
      if (next_ < words_.size() && words_[next_] == "{") {
        ++next_;
        item.sectionHasLayout = true;
        return ParseItems(item.inside, true, error);
      }
      return true;
    }
    const std::size_t star = word.find('*');
    const std::string_view type = std::string_view(word).substr(0, star);
    bool known = false;
    for (const TypeName& candidate : kTypes) {
      if (candidate.name == type) {
        item.kind = candidate.kind;
        known = true;
      }
    }
    if (!known) {
      error = "unknown item \"" + word + "\"";
      return false;
    }
    if (star != std::string::npos) {
      const char* first = word.data() + star + 1;
      const char* last = word.data() + word.size();
      const auto [end, status] = std::from_chars(first, last, item.count);
      if (status != std::errc() || end != last || item.count == 0 || item.count > kMaxCount) {
        error = "bad count in \"" + word + "\"";
        return false;
      }
    }
    return true;
  }

  std::vector<std::string> words_;
  std::size_t next_ = 0;
};

class Dumper {
 public:
  explicit Dumper(du::FileReader& reader) : reader_(reader) {}

  // Reads and prints `items`; false at the first one that cannot be read.
  bool DumpItems(const std::vector<Item>& items, int depth) {
    for (const Item& item : items) {
      if (!(item.kind == Kind::kSection ? DumpSection(item, depth) : DumpValues(item, depth))) {
        return false;
      }
    }
    return true;
  }

  // Prints what is left to read, as a hex dump headed by its size.
  bool DumpRest(int depth, const char* where) {
    const unsigned start = reader_.GetPosition();
    const std::vector<unsigned char> rest = ReadAll();
    if (!rest.empty()) {
      Line(depth, start, "%zu bytes %s:", rest.size(), where);
      HexDump(rest, start, depth + 1);
    }
    if (!reader_.IsError()) return true;
    Line(depth, reader_.GetPosition(), "%s", Failure());
    return false;
  }

  void HexDump(const std::vector<unsigned char>& bytes, unsigned offset, int depth) const {
    for (std::size_t line = 0; line < bytes.size(); line += kBytesPerDumpLine) {
      std::string hex, text;
      for (std::size_t i = line; i < line + kBytesPerDumpLine; ++i) {
        char cell[4] = "   ";
        if (i < bytes.size()) {
          std::snprintf(cell, sizeof cell, "%02x ", bytes[i]);
          text += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        }
        hex += cell;
      }
      Line(depth, offset + static_cast<unsigned>(line), "%s |%s|", hex.c_str(), text.c_str());
    }
  }

  // Every byte left, up to the end of the file or section. A byte at a
  // time, checking for the end first: a refill after the end of a section
  // is an error of the reader, and the dump must not cause one.
  std::vector<unsigned char> ReadAll() {
    std::vector<unsigned char> bytes;
    unsigned char byte = 0;
    while (!reader_.IsEOF() && reader_.Read(byte)) bytes.push_back(byte);
    return bytes;
  }

  template <class... Args>
  static void Line(int depth, unsigned offset, const char* format, Args... args) {
    std::printf("%*s%08x  ", depth * 2, "", offset);
    if constexpr (sizeof...(Args) == 0) {
      std::fputs(format, stdout);
    } else {
      std::printf(format, args...);
    }
    std::putchar('\n');
  }

 private:
  template <class T>
  bool ReadValue(std::string& text) {
    T value{};
    if (!reader_.Read(value)) return false;
    char cell[48];
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
      std::snprintf(cell, sizeof cell, "%.*g", std::is_same_v<T, float> ? 9 : 17,
                    static_cast<double>(value));
    } else if constexpr (std::is_same_v<T, bool>) {
      std::snprintf(cell, sizeof cell, "%s", value ? "true" : "false");
    } else if constexpr (std::is_same_v<T, char>) {
      const auto byte = static_cast<unsigned char>(value);
      if (std::isprint(byte) && byte != '\'') {
        std::snprintf(cell, sizeof cell, "'%c'", value);
      } else {
        std::snprintf(cell, sizeof cell, "'\\x%02x'", byte);
      }
    } else if constexpr (std::is_signed_v<T>) {
      std::snprintf(cell, sizeof cell, "%lld", static_cast<long long>(value));
    } else {
      std::snprintf(cell, sizeof cell, "%llu", static_cast<unsigned long long>(value));
    }
    if (!text.empty()) text += ' ';
    text += cell;
    return true;
  }

  bool ReadOne(Kind kind, std::string& text) {
    switch (kind) {
      case Kind::kI8: {
        // Signed and unsigned bytes share the reader's char forms.
        unsigned char byte = 0;
        if (!reader_.Read(byte)) return false;
        if (!text.empty()) text += ' ';
        text += std::to_string(static_cast<signed char>(byte));
        return true;
      }
      case Kind::kU8:
        return ReadValue<unsigned char>(text);
      case Kind::kI16:
        return ReadValue<short>(text);
      case Kind::kU16:
        return ReadValue<unsigned short>(text);
      case Kind::kI32:
        return ReadValue<int>(text);
      case Kind::kU32:
        return ReadValue<unsigned>(text);
      case Kind::kF32:
        return ReadValue<float>(text);
      case Kind::kF64:
        return ReadValue<double>(text);
      case Kind::kBool:
        return ReadValue<bool>(text);
      case Kind::kChar:
        return ReadValue<char>(text);
      case Kind::kSection:
        break;
    }
    return false;
  }

  bool DumpValues(const Item& item, int depth) {
    const unsigned offset = reader_.GetPosition();
    std::string text;
    for (unsigned i = 0; i < item.count; ++i) {
      if (!ReadOne(item.kind, text)) {
        if (!text.empty()) Line(depth, offset, "%-8s %s", item.name.c_str(), text.c_str());
        Line(depth, reader_.GetPosition(), "%-8s %s", item.name.c_str(), Failure());
        return false;
      }
    }
    Line(depth, offset, "%-8s %s", item.name.c_str(), text.c_str());
    return true;
  }

  bool DumpSection(const Item& item, int depth) {
    const unsigned start = reader_.GetFilePos();
    if (!reader_.StartCompressedSection()) {
      Line(depth, start, "z        no compressed section here (%s)", Failure());
      return false;
    }
    Line(depth, start, "z        compressed section");
    const bool read =
        DumpItems(item.inside, depth + 1) &&
        DumpRest(depth + 1, item.sectionHasLayout ? "more in the section" : "inflated");
    const bool ended = reader_.EndCompressedSection(read);
    if (!read) return false;
    if (!ended) {
      Line(depth, reader_.GetFilePos(), "z        %s", Failure());
      return false;
    }
    Line(depth, reader_.GetFilePos(), "end of section: %u bytes compressed",
         reader_.GetFilePos() - start);
    return true;
  }

  const char* Failure() const {
    // Inside a section the reader cannot tell a short section from a
    // corrupt one.
    if (reader_.IsError()) return "cannot be read: the data ends early or is corrupt";
    return "missing: the data ends here";
  }

  du::FileReader& reader_;
};

// Dumps the file's `bytes` in hex, except that each gzip member that
// inflates cleanly is shown inflated. Every gzip magic number is tried.
void DumpWithSectionsFound(du::FileReader& reader, const std::string& path,
                           const std::vector<unsigned char>& bytes) {
  Dumper dumper(reader);
  std::size_t plainStart = 0;
  const auto dumpPlain = [&](std::size_t end) {
    if (end > plainStart) {
      dumper.HexDump({bytes.begin() + plainStart, bytes.begin() + end},
                     static_cast<unsigned>(plainStart), 0);
    }
  };
  for (std::size_t at = 0; at + 10 <= bytes.size(); ++at) {
    if (bytes[at] != 0x1F || bytes[at + 1] != 0x8B || bytes[at + 2] != 8 || bytes[at + 3] >= 0x20) {
      continue;
    }
    // A fresh reader for each try, since one that met the end of the file
    // fails every later refill.
    if (!reader.Open(path) || !reader.SetPosition(static_cast<unsigned>(at)) ||
        !reader.StartCompressedSection()) {
      continue;
    }
    const std::vector<unsigned char> inflated = dumper.ReadAll();
    if (reader.IsError() || !reader.EndCompressedSection(true)) continue;
    dumpPlain(at);
    const unsigned end = reader.GetFilePos();
    Dumper::Line(0, static_cast<unsigned>(at),
                 "z        gzip member, %zu bytes inflated:", inflated.size());
    dumper.HexDump(inflated, 0, 1);
    Dumper::Line(0, end, "end of section: %u bytes compressed", end - static_cast<unsigned>(at));
    plainStart = end;
    at = end - 1;
  }
  dumpPlain(bytes.size());
}

int Dump(int argc, char** argv) {
  std::string path;
  const char* layout = nullptr;
  bool bigEndian = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--big-endian") {
      bigEndian = true;
    } else if (argument == "--layout" && i + 1 < argc) {
      layout = argv[++i];
    } else if (path.empty() && !argument.starts_with("--")) {
      path = argv[i];
    } else {
      std::fputs(kUsage, stderr);
      return kUsageError;
    }
  }
  if (path.empty()) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  std::vector<Item> items;
  if (layout != nullptr) {
    std::string error;
    if (!LayoutParser(Words(layout)).Parse(items, error)) {
      std::fprintf(stderr, "qmk bin dump: bad layout: %s\n", error.c_str());
      return kUsageError;
    }
  }
  du::FileReader reader;
  if (!reader.Open(path, bigEndian ? 1 : 0)) {
    std::fprintf(stderr, "qmk bin dump: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return kFailed;
  }
  Dumper dumper(reader);
  if (layout == nullptr) {
    const std::vector<unsigned char> bytes = dumper.ReadAll();
    if (reader.IsError()) {
      std::fprintf(stderr, "qmk bin dump: cannot read %s\n", path.c_str());
      return kFailed;
    }
    DumpWithSectionsFound(reader, path, bytes);
    return kRead;
  }
  if (!dumper.DumpItems(items, 0)) return kFailed;
  return dumper.DumpRest(0, "after the layout") ? kRead : kFailed;
}

}  // namespace

int RunBinCommand(int argc, char** argv) {
  if (argc >= 1 && std::string_view(argv[0]) == "dump") return Dump(argc - 1, argv + 1);
  std::fputs(kUsage, stderr);
  return kUsageError;
}

}  // namespace qmk
