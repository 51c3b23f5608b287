#include "qmkutils/utilities/symbol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <map>
#include <ostream>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/utilities/hashnextprime.h"
#include "qmkutils/utilities/internal/readersections.h"

namespace du {

using symbol_internal::Record;
using symbol_internal::RecordOf;

namespace {

constexpr unsigned kSymbolLongevity = 0xFFFFFFFD;
constexpr unsigned kInitialBuckets = 1543;  // HashNextPrime(1000)

// A record holds its text and a NUL after the head: length + 9 bytes.
unsigned RecordSize(std::size_t length) { return static_cast<unsigned>(length + 9); }
char* TextOf(Record* record) { return reinterpret_cast<char*>(record + 1); }

// The PJW (ELF) hash, over the bytes taken as signed chars.
uint32_t PjwHash(const char* text, std::size_t length) {
  uint32_t h = 0;
  for (std::size_t i = 0; i < length; ++i) {
    h = (h << 4) + static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(text[i])));
    if (const uint32_t g = h & 0xF0000000U; g != 0) h ^= (g >> 24) ^ g;
  }
  return h;
}

uint64_t Load64(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

uint64_t Load32(const char* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// The hash by which lookups find a text: a word at a time, so that a hit
// costs a few nanoseconds rather than the PJW hash's cycles per byte. The
// tail is read with whole-word loads (overlapping what came before), never
// byte by byte: bytes stored one at a time and read back as a word would
// stall the load.
uint64_t FastHash(const char* text, std::size_t length) {
  constexpr uint64_t kMul1 = 0xFF51AFD7ED558CCDULL;
  constexpr uint64_t kMul2 = 0xC4CEB9FE1A85EC53ULL;
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ length;
  uint64_t tail;
  if (length >= 8) {
    const char* const last = text + length - 8;
    for (; text < last; text += 8) {
      h = (h ^ Load64(text)) * kMul1;
      h ^= h >> 32;
    }
    tail = Load64(last);
  } else if (length >= 4) {
    tail = (Load32(text) << 32) | Load32(text + length - 4);
  } else if (length > 0) {
    const auto byte = [](char c) { return static_cast<uint64_t>(static_cast<unsigned char>(c)); };
    tail = (byte(text[0]) << 16) | (byte(text[length / 2]) << 8) | byte(text[length - 1]);
  } else {
    tail = 0;
  }
  h = (h ^ tail) * kMul2;
  h ^= h >> 29;
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 32);
}

struct TableCounts {
  unsigned items = 0;
  unsigned buckets = 0;
  std::map<unsigned, unsigned> bucketsByChainLength;
};

// The interned texts. The table's buckets are those of a chained hash table
// under the PJW hash: their number starts at 1543 and grows through
// HashNextPrime when the texts outnumber them, and DumpStats reports how PJW
// spreads the texts over them. Lookups go through an open-addressed index of
// the records under FastHash instead, which threads read without the lock:
// unlinked records and indexes are freed in batches once no reader can still
// see them. Everything else runs under the class lock.
class SymbolTable : public CommonAllocated, public dp::ClassLevelLockable<SymbolTable> {
 public:
  SymbolTable() : index_(NewIndex(kInitialIndexCapacity)) {}

  // Records still held by symbols stay with them (see Symbol::ReleaseLast).
  ~SymbolTable() override {
    readers::WaitForReaders();
    FreeRetired();
    FreeIndex(index_.load(std::memory_order_relaxed));
  }

  SymbolTable(const SymbolTable&) = delete;
  SymbolTable& operator=(const SymbolTable&) = delete;

  // Inside a reader section, without the lock: the record of `text` with
  // one more reference, or null when it is missing or being released.
  Record* Find(const char* text, std::size_t length, uint64_t hash) const {
    Record* record = Lookup(*index_.load(std::memory_order_acquire), text, length, hash);
    if (record == nullptr) return nullptr;
    if (record->refCount.fetch_add(1, std::memory_order_relaxed) != 0) return record;
    // Its last release is under way (the count reaches 0 only under the
    // lock, just before the record is unlinked): take the increment back.
    // The record stays readable until this section ends.
    record->refCount.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
  }

  // The record of `text` with one more reference, made when missing. On
  // failure the table is unchanged.
  Record* Intern(const char* text, std::size_t length, uint64_t hash) {
    // Under the lock every listed record is held: its count is not 0 (but
    // for a reader's passing increment).
    if (Record* record = Lookup(*index_.load(std::memory_order_relaxed), text, length, hash)) {
      record->refCount.fetch_add(1, std::memory_order_relaxed);
      return record;
    }
    return Insert(text, length, hash);
  }

  // Unlinks a record whose count has just reached 0; frees it later.
  void Remove(Record* record) noexcept {
    Index& index = *index_.load(std::memory_order_relaxed);
    std::size_t i = FastHash(TextOf(record), record->length) & index.mask;
    while (index.Slots()[i].load(std::memory_order_relaxed) != record) i = (i + 1) & index.mask;
    index.Slots()[i].store(kTombstone, std::memory_order_release);
    ++tombstones_;
    --count_;
    Retire(record, RecordSize(record->length));
  }

  TableCounts Counts() const {
    TableCounts counts{count_, bucketCount_, {}};
    std::vector<unsigned> chains(bucketCount_);
    const Index& index = *index_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i <= index.mask; ++i) {
      const Record* record = index.Slots()[i].load(std::memory_order_relaxed);
      if (record == nullptr || record == kTombstone) continue;
      ++chains[PjwHash(TextOf(const_cast<Record*>(record)), record->length) % bucketCount_];
    }
    for (unsigned chain : chains) ++counts.bucketsByChainLength[chain];
    return counts;
  }

 private:
  // The slots follow the head.
  struct Index {
    std::size_t mask;  // capacity - 1; the capacity is a power of two
    std::atomic<Record*>* Slots() { return reinterpret_cast<std::atomic<Record*>*>(this + 1); }
    const std::atomic<Record*>* Slots() const {
      return reinterpret_cast<const std::atomic<Record*>*>(this + 1);
    }
  };
  struct Retired {
    void* block;
    std::size_t size;
  };

  static constexpr std::size_t kInitialIndexCapacity = 4096;
  static constexpr unsigned kRetiredBatch = 1024;
  static inline Record* const kTombstone = reinterpret_cast<Record*>(std::uintptr_t{8});

  static Record* Lookup(const Index& index, const char* text, std::size_t length, uint64_t hash) {
    for (std::size_t i = hash & index.mask;; i = (i + 1) & index.mask) {
      Record* record = index.Slots()[i].load(std::memory_order_acquire);
      if (record == nullptr) return nullptr;
      if (record != kTombstone && record->length == length &&
          std::memcmp(TextOf(record), text, length) == 0) {
        return record;
      }
    }
  }

  Record* Insert(const char* text, std::size_t length, uint64_t hash) {
    if (length > UINT32_MAX - 9) throw std::bad_alloc();
    auto* record = static_cast<Record*>(CommonAllocatorImpl::Allocate(RecordSize(length), nullptr));
    try {
      // The index stays at most half full, so probes end soon.
      const Index& index = *index_.load(std::memory_order_relaxed);
      if ((std::size_t{count_} + tombstones_ + 1) * 2 > index.mask + 1) Rebuild();
    } catch (...) {
      CommonAllocatorImpl::Deallocate(record, RecordSize(length));
      throw;
    }
    if (count_ + 1 > bucketCount_) bucketCount_ = HashNextPrime(count_ + 1);
    new (record) Record{{1}, static_cast<uint32_t>(length)};
    std::memcpy(TextOf(record), text, length);
    TextOf(record)[length] = '\0';

    Index& index = *index_.load(std::memory_order_relaxed);
    std::size_t i = hash & index.mask;
    for (;; i = (i + 1) & index.mask) {
      Record* seen = index.Slots()[i].load(std::memory_order_relaxed);
      if (seen == nullptr) break;
      if (seen == kTombstone) {
        --tombstones_;
        break;
      }
    }
    index.Slots()[i].store(record, std::memory_order_release);
    ++count_;
    return record;
  }

  // Moves the live records to an index four times their number, dropping
  // the tombstones.
  void Rebuild() {
    std::size_t capacity = kInitialIndexCapacity;
    while (capacity < 4 * (static_cast<std::size_t>(count_) + 1)) capacity *= 2;
    Index* grown = NewIndex(capacity);
    Index* old = index_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i <= old->mask; ++i) {
      Record* record = old->Slots()[i].load(std::memory_order_relaxed);
      if (record == nullptr || record == kTombstone) continue;
      std::size_t j = FastHash(TextOf(record), record->length) & grown->mask;
      while (grown->Slots()[j].load(std::memory_order_relaxed) != nullptr)
        j = (j + 1) & grown->mask;
      grown->Slots()[j].store(record, std::memory_order_relaxed);
    }
    index_.store(grown, std::memory_order_release);
    tombstones_ = 0;
    Retire(old, IndexBytes(old->mask + 1));
  }

  void Retire(void* block, std::size_t size) noexcept {
    if (retiredCount_ == kRetiredBatch) {
      readers::WaitForReaders();
      FreeRetired();
    }
    retired_[retiredCount_++] = {block, size};
  }

  void FreeRetired() noexcept {
    for (unsigned i = 0; i < retiredCount_; ++i) {
      CommonAllocatorImpl::DeallocateBytes(retired_[i].block, retired_[i].size);
    }
    retiredCount_ = 0;
  }

  static std::size_t IndexBytes(std::size_t capacity) {
    return sizeof(Index) + capacity * sizeof(std::atomic<Record*>);
  }
  static Index* NewIndex(std::size_t capacity) {
    void* memory = CommonAllocatorImpl::AllocateBytes(IndexBytes(capacity));
    auto* index = static_cast<Index*>(memory);
    index->mask = capacity - 1;
    for (std::size_t i = 0; i < capacity; ++i)
      new (&index->Slots()[i]) std::atomic<Record*>(nullptr);
    return index;
  }
  static void FreeIndex(Index* index) {
    CommonAllocatorImpl::DeallocateBytes(index, IndexBytes(index->mask + 1));
  }

  std::atomic<Index*> index_;
  unsigned count_ = 0;
  unsigned tombstones_ = 0;
  unsigned bucketCount_ = kInitialBuckets;
  unsigned retiredCount_ = 0;
  Retired retired_[kRetiredBatch];
};

unsigned GetLongevity(SymbolTable*) { return kSymbolLongevity; }

// The table's lock is held across fork(), so a child may intern; registered
// while the library loads, so that it also guards the table's creation.
const dp::fork::Registration s_forkRegistration(
    dp::fork::Participant::kSymbolTable,
    {[]() QMK_NO_THREAD_SAFETY_ANALYSIS { SymbolTable::ClassLock().Lock(); },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS { SymbolTable::ClassLock().Unlock(); },
     []() QMK_NO_THREAD_SAFETY_ANALYSIS { SymbolTable::ClassLock().Unlock(); }});

using TableSingleton = dp::Singleton<SymbolTable>;

SymbolTable& Table() {
  if (SymbolTable* table = TableSingleton::Peek()) return *table;
  // The common allocator is made before the table's lock is first taken, so
  // its creation lock is never taken under ours (fork takes them in the
  // other order).
  CommonAllocatorImpl::GetPool();
  return TableSingleton::Instance();
}

// The text of an interned record: found without the lock when it is there.
const char* Intern(const char* text, std::size_t length) {
  const uint64_t hash = FastHash(text, length);
  {
    readers::Section section;
    if (section.Entered()) {
      if (SymbolTable* table = TableSingleton::Peek()) {
        if (Record* record = table->Find(text, length, hash)) return TextOf(record);
      }
    }
  }
  SymbolTable& table = Table();
  SymbolTable::Lock guard;
  return TextOf(table.Intern(text, length, hash));
}

const dp::QMTracer s_trace("du", "Symbol");

}  // namespace

const Symbol Symbol::EMPTY;
const DualSymbol DualSymbol::EMPTY;

unsigned GetLongevity(Symbol*) { return kSymbolLongevity; }

Symbol::Symbol(const char* text)
    : text_(text == nullptr ? nullptr : Intern(text, std::strlen(text))) {}

Symbol::Symbol(const std::string& text) : text_(Intern(text.c_str(), std::strlen(text.c_str()))) {}

Symbol::Symbol(std::string_view text)
    : text_(text.empty()
                ? Intern("", 0)
                : Intern(text.data(), std::find(text.begin(), text.end(), '\0') - text.begin())) {}

void Symbol::ReleaseLast(const char* text) noexcept {
  Record* record = RecordOf(text);
  SymbolTable::Lock guard;
  // A thread that interned the text since our first look holds it now.
  if (record->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (SymbolTable* table = TableSingleton::Peek()) {
    table->Remove(record);
  } else {
    // The table is gone (process exit): the record was ours alone.
    CommonAllocatorImpl::Deallocate(record, RecordSize(record->length));
  }
}

Symbol& Symbol::operator=(const Symbol& other) noexcept {
  if (text_ != other.text_) Symbol(other).swap(*this);
  return *this;
}

Symbol& Symbol::operator=(Symbol&& other) noexcept {
  if (this != &other) {
    clear();
    text_ = other.text_;
    other.text_ = nullptr;
  }
  return *this;
}

Symbol& Symbol::operator=(const char* text) {
  Symbol(text).swap(*this);
  return *this;
}

Symbol& Symbol::operator=(const std::string& text) {
  if (text.empty()) {
    clear();
  } else {
    Symbol(text).swap(*this);
  }
  return *this;
}

void Symbol::clear() noexcept {
  if (text_ != nullptr) Release(std::exchange(text_, nullptr));
}

std::string Symbol::substr(std::size_t pos, std::size_t n) const {
  const std::size_t len = length();
  if (pos >= len) return {};
  return std::string(text_ + pos, std::min(n, len - pos));
}

std::size_t Symbol::find(char c, std::size_t pos) const noexcept { return view().find(c, pos); }

std::size_t Symbol::rfind(char c, std::size_t pos) const noexcept { return view().rfind(c, pos); }

std::size_t Symbol::find(const char* text, std::size_t pos) const noexcept {
  return view().find(text, pos);
}

void Symbol::Print(std::ostream& out) const {
  out.write(safe_c_str(), static_cast<std::streamsize>(length()));
}

void Symbol::Read(std::istream& in) {
  std::string word;
  in >> word;
  *this = word;
}

std::ostream& operator<<(std::ostream& out, const Symbol& symbol) {
  symbol.Print(out);
  return out;
}

std::istream& operator>>(std::istream& in, Symbol& symbol) {
  symbol.Read(in);
  return in;
}

void Symbol::DumpStats() {
  TableCounts counts;
  {
    SymbolTable& table = Table();
    SymbolTable::Lock guard;
    counts = table.Counts();
  }
  // Traced outside the table's lock: a consumer may make symbols.
  const double n = counts.items;
  const double m = counts.buckets;
  s_trace("du::Symbol statistics.\n");
  s_trace("=====================.\n");
  s_trace("Items   in table     %10d.\n", static_cast<int>(counts.items));
  s_trace("Buckets in table     %10d.\n", static_cast<int>(counts.buckets));
  s_trace("Average bucket usage %10.2f.\n\n", n / m);
  s_trace("BucketUsage details\n");
  s_trace("====================\n\n");
  s_trace("Elems in Bucket | Number of buckets | Elems in buckets of this size\n");
  s_trace("----------------|-------------------|------------------------------\n");
  double bucketSum = 0;
  double itemSum = 0;
  double squareSum = 0;
  double absolute = 0;
  for (const auto& [k, c] : counts.bucketsByChainLength) {
    s_trace("%15u |%18u | %29u\n", k, c, c * k);
    bucketSum += c;
    itemSum += static_cast<double>(c) * k;
    squareSum += static_cast<double>(c) * k * k;
    absolute += static_cast<double>(c) * k * (k + 1) * 0.5;
  }
  s_trace("Totals          |%18u | %29u\n", static_cast<unsigned>(bucketSum),
          static_cast<unsigned>(itemSum));
  const double random = (n / (2 * m)) * (n + 2 * m - 1);
  // An empty table spreads perfectly rather than reporting 0/0.
  const double weighted = itemSum > 0 ? squareSum / itemSum : 0;
  const double relative = absolute > 0 ? random / absolute : 1;
  s_trace("WeightedQueueSize is   %7.2f\n", weighted);
  s_trace("Absolute uniformity is %7.2f\n", absolute);
  s_trace("Random Uniformity is   %7.2f\n", random);
  s_trace("Relative Uniformity is %7.2f\n", relative);
}

DualSymbol::DualSymbol(const char* s1, const char* s2) : s1_(s1), s2_(s2) {}
DualSymbol::DualSymbol(const std::string& s1, const std::string& s2) : s1_(s1), s2_(s2) {}
DualSymbol::DualSymbol(const Symbol& s1, const Symbol& s2) : s1_(s1), s2_(s2) {}

}  // namespace du
