#include "qmkutils/messaging/internal/hazardpointers.h"

#include <algorithm>

#include "qmkutils/platform/singleton.h"

namespace dom::internal {

// Destroyed just before the common allocator, whose blocks it returns.
unsigned GetLongevity(HazardManager*) {
  return du::GetLongevity(static_cast<du::CommonAllocatorImpl*>(nullptr));
}

namespace {

using ManagerSingleton = dp::Singleton<HazardManager>;

// The free stack's head: the node's address over 8 in the low 45 bits
// (user addresses are below 2^48, nodes are 8-aligned) and a change counter
// in the high 19 bits.
constexpr unsigned kPointerBits = 45;
constexpr std::uint64_t kPointerMask = (std::uint64_t{1} << kPointerBits) - 1;
constexpr std::uint64_t kTagUnit = std::uint64_t{1} << kPointerBits;

std::uint64_t Pack(QueueNode* node) { return reinterpret_cast<std::uint64_t>(node) >> 3; }
QueueNode* Unpack(std::uint64_t packed) {
  return reinterpret_cast<QueueNode*>((packed & kPointerMask) << 3);
}

// Gives the thread's record up when the thread ends without having done so.
struct RecordHolder {
  bool armed = false;
  ~RecordHolder() {
    if (!armed) return;
    try {
      if (HazardManager* manager = HazardManager::Peek()) manager->Relinquish();
    } catch (...) {
      // The thread is ending and has no one to report to; its nodes stay
      // with the record for the next thread that scans.
    }
  }
};

thread_local RecordHolder t_holder;

void DeleteChain(QueueNode* node) {
  while (node != nullptr) {
    QueueNode* next = Unpack(node->freeNext.load(std::memory_order_relaxed));
    delete node;
    node = next;
  }
}

std::size_t ChainLength(QueueNode* node) {
  std::size_t length = 0;
  for (; node != nullptr; node = Unpack(node->freeNext.load(std::memory_order_relaxed))) ++length;
  return length;
}

}  // namespace

constinit __attribute__((tls_model("initial-exec"))) thread_local HazardRecord* t_hazardRecord =
    nullptr;

HazardManager& HazardManager::Instance() { return ManagerSingleton::Instance(); }
HazardManager* HazardManager::Peek() { return ManagerSingleton::Peek(); }

HazardManager::HazardManager() = default;

HazardManager::~HazardManager() {
  HazardRecord* record = records_.exchange(nullptr);
  while (record != nullptr) {
    DeleteChain(record->retired);
    DeleteChain(record->localFree);
    HazardRecord* next = record->nextRecord;
    delete record;
    record = next;
  }
  DeleteChain(Unpack(freeStack_.exchange(0)));
}

void HazardManager::PushFreeChain(QueueNode* first, QueueNode* last) {
  std::uint64_t old = freeStack_.load(std::memory_order_relaxed);
  do {
    last->freeNext.store(old & kPointerMask, std::memory_order_relaxed);
  } while (!freeStack_.compare_exchange_weak(old, (old & ~kPointerMask) + kTagUnit + Pack(first),
                                             std::memory_order_release, std::memory_order_relaxed));
}

QueueNode* HazardManager::TakeNode(HazardRecord& record) {
  QueueNode* node = record.localFree;
  if (node == nullptr) {
    // The whole stack at once: no node's link is read before the exchange,
    // so a stale view cannot cut the stack; the counter still advances.
    std::uint64_t old = freeStack_.load(std::memory_order_relaxed);
    while ((old & kPointerMask) != 0 && !freeStack_.compare_exchange_weak(
                                            old, (old & ~kPointerMask) + kTagUnit,
                                            std::memory_order_acquire, std::memory_order_relaxed)) {
    }
    node = Unpack(old);
    if (node == nullptr) return new QueueNode;
  }
  record.localFree = Unpack(node->freeNext.load(std::memory_order_relaxed));
  node->next.store(nullptr, std::memory_order_relaxed);
  return node;
}

void HazardManager::ReleaseNode(QueueNode* node) {
  node->message.Reset();
  PushFreeChain(node, node);
}

HazardRecord& HazardManager::ClaimRecord() {
  HazardRecord* claimed = nullptr;
  for (HazardRecord* record = records_.load(std::memory_order_acquire); record != nullptr;
       record = record->nextRecord) {
    int unused = 0;
    if (record->inUse.compare_exchange_strong(unused, 1, std::memory_order_acq_rel)) {
      claimed = record;
      break;
    }
  }
  if (claimed == nullptr) {
    claimed = new HazardRecord;
    // Acquiring the records already listed, since the count below walks
    // them.
    claimed->nextRecord = records_.load(std::memory_order_acquire);
    while (!records_.compare_exchange_weak(claimed->nextRecord, claimed, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    }
    std::size_t count = 0;
    for (HazardRecord* record = claimed; record != nullptr; record = record->nextRecord) ++count;
    scanThreshold_.store(std::max<std::size_t>(10, 3 * count), std::memory_order_relaxed);
  }
  t_holder.armed = true;
  t_hazardRecord = claimed;
  return *claimed;
}

void HazardManager::Retire(HazardRecord& record, QueueNode* node) {
  node->freeNext.store(Pack(record.retired), std::memory_order_relaxed);
  record.retired = node;
  if (++record.retiredCount >= scanThreshold_.load(std::memory_order_relaxed)) Scan(record);
}

void HazardManager::Scan(HazardRecord& record) noexcept {
  // The caller's hazard publications come before the reads of the slots.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  auto& hazards = record.scratch;
  hazards.clear();
  try {
    for (HazardRecord* other = records_.load(std::memory_order_acquire); other != nullptr;
         other = other->nextRecord) {
      int unused = 0;
      if (other != &record &&
          other->inUse.compare_exchange_strong(unused, 1, std::memory_order_acq_rel)) {
        for (QueueNode* node = other->retired; node != nullptr;) {
          QueueNode* next = Unpack(node->freeNext.load(std::memory_order_relaxed));
          node->freeNext.store(Pack(record.retired), std::memory_order_relaxed);
          record.retired = node;
          node = next;
        }
        record.retiredCount += other->retiredCount;
        other->retired = nullptr;
        other->retiredCount = 0;
        other->inUse.store(0, std::memory_order_release);
      }
      for (const auto& slot : other->hazards) {
        if (QueueNode* node = slot.load(std::memory_order_seq_cst)) hazards.push_back(node);
      }
    }
  } catch (...) {
    return;  // the retired nodes wait for the next scan
  }
  std::sort(hazards.begin(), hazards.end());
  QueueNode* kept = nullptr;
  std::size_t keptCount = 0;
  QueueNode* first = nullptr;
  QueueNode* last = nullptr;
  for (QueueNode* node = record.retired; node != nullptr;) {
    QueueNode* next = Unpack(node->freeNext.load(std::memory_order_relaxed));
    if (std::binary_search(hazards.begin(), hazards.end(), node)) {
      node->freeNext.store(Pack(kept), std::memory_order_relaxed);
      kept = node;
      ++keptCount;
    } else {
      node->message.Reset();
      node->freeNext.store(Pack(first), std::memory_order_relaxed);
      if (first == nullptr) last = node;
      first = node;
    }
    node = next;
  }
  record.retired = kept;
  record.retiredCount = keptCount;
  if (first != nullptr) PushFreeChain(first, last);
}

void HazardManager::Relinquish() {
  HazardRecord* record = t_hazardRecord;
  if (record == nullptr) return;
  Scan(*record);
  for (auto& slot : record->hazards) slot.store(nullptr, std::memory_order_release);
  t_hazardRecord = nullptr;
  record->inUse.store(0, std::memory_order_release);
}

unsigned HazardManager::RetainedNodeCount() {
  std::size_t count = ChainLength(Unpack(freeStack_.load(std::memory_order_acquire)));
  for (HazardRecord* record = records_.load(std::memory_order_acquire); record != nullptr;
       record = record->nextRecord) {
    int unused = 0;
    if (record == t_hazardRecord) {
      count += record->retiredCount + ChainLength(record->localFree);
    } else if (record->inUse.compare_exchange_strong(unused, 1, std::memory_order_acq_rel)) {
      count += record->retiredCount + ChainLength(record->localFree);
      record->inUse.store(0, std::memory_order_release);
    }
  }
  return static_cast<unsigned>(count);
}

}  // namespace dom::internal
