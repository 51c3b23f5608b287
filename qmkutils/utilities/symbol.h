// Interned strings.
//
// A du::Symbol is one pointer to a text stored once per process in the symbol
// table, with a reference count. Equal non-empty texts alive as symbols share
// one record, so comparing two symbols compares pointers, and copying one is a
// single atomic increment. The null symbol (default constructed) and the
// interned empty text are both *empty*: they compare equal and have length
// 0, but only the latter is true in a boolean context and has a non-zero id.
//
// Records come from the common allocator. The table counts its buckets as a
// chained table under the PJW hash would (1543 at first, grown through
// du::HashNextPrime when the texts outnumber them, never shrunk), and
// Symbol::DumpStats traces how PJW spreads the texts over them. Lookups go
// through an open-addressed index under a faster hash that threads read
// without the lock, so making a symbol of a text already interned takes no
// lock; only adding a text and dropping its last symbol do. Records unlinked
// from the index are freed in batches, once no reader can still see them.
//
// Ordering and hashing make symbols keys of the standard containers:
// operator< compares the texts' bytes as unsigned (a null symbol as ""), and
// std::hash<du::Symbol> hashes the id, with every empty symbol hashing alike
// because they compare equal.
//
// Thread safety: symbols may be made, copied, compared and dropped on any
// thread; a single Symbol object is not safe for concurrent mutation. The
// last release of a record happens under the table's lock, so a thread that
// interns the same text meanwhile either revives the record or makes a new
// one, and never sees a freed one. c_str() and GetId() stay valid while some
// symbol keeps the record.
//
// Fork: the table's lock is held across fork(), so a child may intern.
//
// Exit: the table is destroyed after every singleton of lower longevity
// (0xFFFFFFFD, just before the common allocator) and frees its index then.
// Records that symbols still hold (static symbols destroyed later) stay with
// them and are returned by the last release; making a symbol from text after
// that throws dp::DeadReference.
#ifndef QMKUTILS_UTILITIES_SYMBOL_H_
#define QMKUTILS_UTILITIES_SYMBOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>

#include "qmkutils/platform/export.h"

namespace du {

namespace symbol_internal {

// The head of a symbol's record; the text and a NUL follow it.
struct Record {
  std::atomic<uint32_t> refCount;
  uint32_t length;
};

inline Record* RecordOf(const char* text) {
  return reinterpret_cast<Record*>(const_cast<char*>(text) - sizeof(Record));
}

}  // namespace symbol_internal

class QMK_EXPORT Symbol {
 public:
  static const Symbol EMPTY;  // NOLINT(readability-identifier-naming): the library's name

  constexpr Symbol() noexcept = default;
  // A null `text` gives the null symbol; "" the interned empty text.
  Symbol(const char* text);         // NOLINT(google-explicit-constructor)
  Symbol(const std::string& text);  // NOLINT(google-explicit-constructor)
  // Stops at the first NUL, as the other two do.
  Symbol(std::string_view text);  // NOLINT(google-explicit-constructor)
  Symbol(const Symbol& other) noexcept : text_(other.text_) {
    if (text_ != nullptr)
      symbol_internal::RecordOf(text_)->refCount.fetch_add(1, std::memory_order_relaxed);
  }
  Symbol(Symbol&& other) noexcept : text_(other.text_) { other.text_ = nullptr; }
  ~Symbol() {
    if (text_ != nullptr) Release(text_);
  }

  Symbol& operator=(const Symbol& other) noexcept;
  Symbol& operator=(Symbol&& other) noexcept;
  // A null `text` gives the null symbol.
  Symbol& operator=(const char* text);
  // Unlike the constructor, an empty string gives the null symbol.
  Symbol& operator=(const std::string& text);

  void clear() noexcept;
  void swap(Symbol& other) noexcept { std::swap(text_, other.text_); }

  std::size_t length() const noexcept {
    return text_ == nullptr ? 0 : symbol_internal::RecordOf(text_)->length;
  }
  std::size_t size() const noexcept { return length(); }
  bool empty() const noexcept { return length() == 0; }
  explicit operator bool() const noexcept { return text_ != nullptr; }

  // Null for the null symbol.
  const char* c_str() const noexcept { return text_; }
  const char* begin() const noexcept { return text_; }
  const char* end() const noexcept { return text_ + length(); }
  // "" for the null symbol.
  const char* safe_c_str() const noexcept { return text_ == nullptr ? "" : text_; }
  std::string_view view() const noexcept { return {safe_c_str(), length()}; }

  // The address of the text; 0 for the null symbol.
  std::uintptr_t GetId() const noexcept { return reinterpret_cast<std::uintptr_t>(text_); }

  // '\0' past the end.
  char operator[](unsigned i) const noexcept { return i < length() ? text_[i] : '\0'; }
  operator std::string() const {
    return std::string(view());
  }  // NOLINT(google-explicit-constructor)

  // The results of std::string's operations of the same names.
  std::string substr(std::size_t pos, std::size_t n = std::string::npos) const;
  std::size_t find(char c, std::size_t pos = 0) const noexcept;
  std::size_t rfind(char c, std::size_t pos = std::string::npos) const noexcept;
  std::size_t find(const char* text, std::size_t pos = 0) const noexcept;

  void Print(std::ostream& out) const;
  // Reads one whitespace-delimited word, assigned as a std::string.
  void Read(std::istream& in);

  // Traces the table's statistics (key "du", sub-key "Symbol").
  static void DumpStats();

  friend bool operator==(const Symbol& a, const Symbol& b) noexcept {
    return a.text_ == b.text_ || (a.empty() && b.empty());
  }
  // `text` must not be null.
  friend bool operator==(const Symbol& a, const char* text) noexcept {
    return a.view() == std::string_view(text);
  }
  friend bool operator==(const Symbol& a, const std::string& text) noexcept {
    return a.view() == std::string_view(text);
  }
  friend bool operator<(const Symbol& a, const Symbol& b) noexcept {
    return a.text_ != b.text_ && a.view() < b.view();
  }

 private:
  // Drops one reference; the last one, under the table's lock.
  static void Release(const char* text) noexcept {
    auto& count = symbol_internal::RecordOf(text)->refCount;
    uint32_t seen = count.load(std::memory_order_relaxed);
    while (seen > 1) {
      if (count.compare_exchange_weak(seen, seen - 1, std::memory_order_release,
                                      std::memory_order_relaxed)) {
        return;
      }
    }
    ReleaseLast(text);
  }
  static void ReleaseLast(const char* text) noexcept;

  const char* text_ = nullptr;
};

QMK_EXPORT std::ostream& operator<<(std::ostream& out, const Symbol& symbol);
QMK_EXPORT std::istream& operator>>(std::istream& in, Symbol& symbol);

// The symbol table's longevity, 0xFFFFFFFD.
QMK_EXPORT unsigned GetLongevity(Symbol*);

// A thing named by two texts at once.
class QMK_EXPORT DualSymbol {
 public:
  static const DualSymbol EMPTY;  // NOLINT(readability-identifier-naming)

  DualSymbol() = default;
  // Each null pointer gives a null symbol.
  DualSymbol(const char* s1, const char* s2);
  DualSymbol(const std::string& s1, const std::string& s2);
  DualSymbol(const Symbol& s1, const Symbol& s2);

  Symbol& S1() noexcept { return s1_; }
  const Symbol& S1() const noexcept { return s1_; }
  Symbol& S2() noexcept { return s2_; }
  const Symbol& S2() const noexcept { return s2_; }

  bool empty() const noexcept { return s1_.empty() && s2_.empty(); }

  friend bool operator==(const DualSymbol& a, const DualSymbol& b) noexcept {
    return a.s1_ == b.s1_ && a.s2_ == b.s2_;
  }
  friend bool operator<(const DualSymbol& a, const DualSymbol& b) noexcept {
    return a.s1_ < b.s1_ || (a.s1_ == b.s1_ && a.s2_ < b.s2_);
  }

 private:
  Symbol s1_;
  Symbol s2_;
};

}  // namespace du

template <>
struct std::hash<du::Symbol> {
  std::size_t operator()(const du::Symbol& symbol) const noexcept {
    return symbol.empty() ? 0 : std::hash<std::uintptr_t>()(symbol.GetId());
  }
};

template <>
struct std::hash<du::DualSymbol> {
  std::size_t operator()(const du::DualSymbol& pair) const noexcept {
    const std::hash<du::Symbol> hash;
    return hash(pair.S1()) * 31 + hash(pair.S2());
  }
};

#endif  // QMKUTILS_UTILITIES_SYMBOL_H_
