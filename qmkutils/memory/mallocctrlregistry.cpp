#include "qmkutils/memory/mallocctrlregistry.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qmkutils/memory/internal/registryaccess.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/utilities/hashnextprime.h"

namespace du {
namespace {

// Control address to entry index, chained, with a prime bucket count that
// grows through HashNextPrime once the entries outnumber the buckets.
class ControlIndexMap {
 public:
  ControlIndexMap() : buckets_(HashNextPrime(100)) {}

  const unsigned* Find(const MallocCtrl* control) const {
    for (const auto& [key, index] : buckets_[BucketOf(control, buckets_.size())]) {
      if (key == control) return &index;
    }
    return nullptr;
  }

  void Insert(const MallocCtrl* control, unsigned index) {
    if (size_ + 1 > buckets_.size()) Rehash(HashNextPrime(static_cast<unsigned>(size_ + 1)));
    buckets_[BucketOf(control, buckets_.size())].emplace_back(control, index);
    ++size_;
  }

  void Erase(const MallocCtrl* control) {
    auto& bucket = buckets_[BucketOf(control, buckets_.size())];
    auto found = std::find_if(bucket.begin(), bucket.end(),
                              [control](const auto& entry) { return entry.first == control; });
    if (found == bucket.end()) return;
    bucket.erase(found);
    --size_;
  }

 private:
  using Bucket = std::vector<std::pair<const MallocCtrl*, unsigned>>;

  static size_t BucketOf(const MallocCtrl* control, size_t count) {
    return (reinterpret_cast<uintptr_t>(control) / 4) % count;
  }

  void Rehash(size_t count) {
    std::vector<Bucket> rehashed(count);
    for (const Bucket& bucket : buckets_) {
      for (const auto& entry : bucket) rehashed[BucketOf(entry.first, count)].push_back(entry);
    }
    buckets_.swap(rehashed);
  }

  std::vector<Bucket> buckets_;
  size_t size_ = 0;
};

// Ascending, without duplicates.
using IndexList = std::vector<unsigned>;

void InsertSorted(IndexList& list, unsigned value) {
  auto at = std::lower_bound(list.begin(), list.end(), value);
  if (at == list.end() || *at != value) list.insert(at, value);
}

void EraseSorted(IndexList& list, unsigned value) {
  auto at = std::lower_bound(list.begin(), list.end(), value);
  if (at != list.end() && *at == value) list.erase(at);
}

struct ControlEntry {
  MallocCtrl* control;
  IndexList suppliers;
  IndexList consumers;
};

class MallocCtrlRegistryImpl final : public MallocCtrlRegistry {
 public:
  // The lock is held across fork(), so a child can register controls.
  MallocCtrlRegistryImpl() {
    s_forkLock = &lock_;
    dp::fork::Register(dp::fork::Participant::kAllocationRegistry,
                       {&LockForFork, &UnlockAfterFork, &UnlockAfterFork});
  }

  void Register(MallocCtrl* control) override {
    std::unique_lock guard(lock_);
    if (indexByCtrl_.Find(control) != nullptr) return;
    Touch();
    const auto index = static_cast<unsigned>(entries_.size());
    entries_.push_back({control, {}, {}});
    indexByCtrl_.Insert(control, index);
  }

  void Unregister(MallocCtrl* control) override {
    std::unique_lock guard(lock_);
    const unsigned* found = indexByCtrl_.Find(control);
    if (found == nullptr) return;
    const unsigned index = *found;
    Touch();
    ControlEntry& entry = entries_[index];
    for (unsigned supplier : entry.suppliers) EraseSorted(entries_[supplier].consumers, index);
    for (unsigned consumer : entry.consumers) EraseSorted(entries_[consumer].suppliers, index);
    entry = {nullptr, {}, {}};
    indexByCtrl_.Erase(control);
  }

  void RegisterRelationship(MallocCtrl* supplier, MallocCtrl* consumer) override {
    std::unique_lock guard(lock_);
    const unsigned* supplierIndex = indexByCtrl_.Find(supplier);
    const unsigned* consumerIndex = indexByCtrl_.Find(consumer);
    if (supplierIndex == nullptr || consumerIndex == nullptr) {
      throw std::logic_error(
          "MallocCtrlRegistry::RegisterRelationship() both supplier and consumer must be "
          "preregistered.");
    }
    Touch();
    InsertSorted(entries_[*supplierIndex].consumers, *consumerIndex);
    InsertSorted(entries_[*consumerIndex].suppliers, *supplierIndex);
  }

  dp::ReadWriteLock& GetLock() override { return lock_; }

  std::int64_t GetLastChangeTime() override {
    std::shared_lock guard(lock_);
    return lastChangeTime_;
  }

  int GetSupplierCount(unsigned index) override {
    std::shared_lock guard(lock_);
    return index < entries_.size() ? static_cast<int>(entries_[index].suppliers.size()) : -1;
  }

  int GetSupplier(unsigned index, unsigned n) override {
    std::shared_lock guard(lock_);
    return index < entries_.size() ? Nth(entries_[index].suppliers, n) : -1;
  }

  int GetConsumerCount(unsigned index) override {
    std::shared_lock guard(lock_);
    return index < entries_.size() ? static_cast<int>(entries_[index].consumers.size()) : -1;
  }

  int GetConsumer(unsigned index, unsigned n) override {
    std::shared_lock guard(lock_);
    return index < entries_.size() ? Nth(entries_[index].consumers, n) : -1;
  }

  unsigned GetMallocCtrlCount() override {
    std::shared_lock guard(lock_);
    return static_cast<unsigned>(entries_.size());
  }

  MallocCtrl* GetMallocCtrl(unsigned index) override {
    std::shared_lock guard(lock_);
    return index < entries_.size() ? entries_[index].control : nullptr;
  }

  int GetIndex(MallocCtrl* control) override {
    std::shared_lock guard(lock_);
    const unsigned* found = indexByCtrl_.Find(control);
    return found != nullptr ? static_cast<int>(*found) : -1;
  }

  void VisitAll(MallocCtrlVisitor* visitor) override {
    std::shared_lock guard(lock_);
    std::vector<unsigned> marks(entries_.size(), 0);
    unsigned counter = 0;
    for (unsigned i = 0; i < entries_.size(); ++i) {
      if (marks[i] == 0) Visit(i, visitor, marks, counter);
    }
  }

 private:
  static int Nth(const IndexList& list, unsigned n) {
    return n < list.size() ? static_cast<int>(list[n]) : -1;
  }

  // Post-order along consumer edges; a node is marked before its consumers
  // are walked, so a cycle ends the walk instead of looping.
  void Visit(unsigned index, MallocCtrlVisitor* visitor, std::vector<unsigned>& marks,
             unsigned& counter) {
    MallocCtrl* control = entries_[index].control;
    if (control == nullptr) return;
    marks[index] = ++counter;
    for (unsigned consumer : entries_[index].consumers) {
      if (marks[consumer] == 0) Visit(consumer, visitor, marks, counter);
    }
    control->Accept(visitor);
  }

  // Two changes within one clock tick still compare as ordered.
  void Touch() { lastChangeTime_ = std::max(dp::Timer::GetRawValue(), lastChangeTime_ + 1); }

  static void LockForFork() QMK_NO_THREAD_SAFETY_ANALYSIS { s_forkLock->WriteLock(); }
  static void UnlockAfterFork() QMK_NO_THREAD_SAFETY_ANALYSIS { s_forkLock->WriteUnlock(); }

  static inline dp::ReadWriteLock* s_forkLock = nullptr;
  dp::ReadWriteLock lock_;
  std::int64_t lastChangeTime_ = 0;
  ControlIndexMap indexByCtrl_;
  std::vector<ControlEntry> entries_;
};

unsigned GetLongevity(MallocCtrlRegistryImpl*) {
  return GetLongevity(static_cast<MallocCtrlRegistry*>(nullptr));
}

using RegistrySingleton = dp::Singleton<MallocCtrlRegistryImpl>;

}  // namespace

MallocCtrlRegistry& MallocCtrlRegistry::Instance() { return RegistrySingleton::Instance(); }

MallocCtrlRegistry* RegistryIfAlive() { return RegistrySingleton::InstanceIfAlive(); }

MallocCtrlRegistry::~MallocCtrlRegistry() = default;

unsigned GetLongevity(MallocCtrlRegistry*) { return 0xFFFFFFFF; }

}  // namespace du
