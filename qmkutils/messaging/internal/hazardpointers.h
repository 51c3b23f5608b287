// List nodes of the message queues and their reclamation by hazard pointers.
//
// A queue's consumer may retire a node that another thread is still reading
// (it read the node's address just before the head moved). Each thread
// publishes the nodes it is about to read in the two hazard slots of its
// record; retired nodes wait in their thread's record until a scan finds no
// slot naming them, and then go, their message released, to a shared free
// stack from which every queue takes its nodes. Nodes are only returned to
// the common allocator when the manager is destroyed at process exit, so a
// stale pointer into the free stack always points at a node.
//
// The free stack is a tagged Treiber stack: its head packs the node's
// address with a counter that every change advances, so a pop whose view of
// the head went stale (the node left and came back) fails its
// compare-and-swap instead of corrupting the stack.
//
// Threads take free nodes from the shared stack all at once (one exchange)
// and give reclaimed ones back as one chain per scan, so the stack is not
// contended per message.
//
// A released record keeps its own free nodes for the thread that claims it
// next (records are reused before new ones are made): handing them back
// would mean walking the whole chain at every thread's end.
//
// A thread's record is claimed on its first use and given up by
// ThreadRelinquishInterest, or at the latest when the thread ends.
#ifndef QMKUTILS_MESSAGING_INTERNAL_HAZARDPOINTERS_H_
#define QMKUTILS_MESSAGING_INTERNAL_HAZARDPOINTERS_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/messaging/message.h"

namespace dom::internal {

struct QueueNode : du::CommonAllocated {
  MessagePtr message;  // null: a dummy or an end marker
  std::atomic<QueueNode*> next{nullptr};
  // The next node on the free stack (as the stack packs it), or on the
  // retired chain of a record: a node is on at most one of them.
  std::atomic<std::uint64_t> freeNext{0};
};

struct HazardRecord {
  std::atomic<int> inUse{1};
  std::atomic<QueueNode*> hazards[2] = {};
  // Touched only by the thread that has claimed the record. Retired nodes
  // are chained through their own links, so retiring never allocates and
  // cannot fail after a node has left its list.
  QueueNode* retired = nullptr;
  std::size_t retiredCount = 0;
  // The hazards a scan collects, kept to spare an allocation per scan.
  std::vector<QueueNode*> scratch;
  // Free nodes taken from the shared stack in one go, chained by freeNext.
  QueueNode* localFree = nullptr;
  HazardRecord* nextRecord = nullptr;  // fixed once the record is listed
};

// The calling thread's record, or null before its first use.
extern constinit
    __attribute__((tls_model("initial-exec"))) thread_local HazardRecord* t_hazardRecord;

class HazardManager {
 public:
  // The process-wide manager; throws dp::DeadReference after its exit.
  static HazardManager& Instance();
  // The manager if it is alive, never creating one.
  static HazardManager* Peek();

  // A node with a null message and next: from the thread's own free nodes,
  // else the whole shared stack at once, else new.
  QueueNode* TakeNode(HazardRecord& record);
  // Returns a node that no thread can reach any more, releasing its message.
  void ReleaseNode(QueueNode* node);

  // The calling thread's record, claimed on first use.
  HazardRecord& MyRecord() {
    HazardRecord* record = t_hazardRecord;
    return record != nullptr ? *record : ClaimRecord();
  }
  // The calling thread's record if it has claimed one.
  static HazardRecord* MyRecordIfAny() { return t_hazardRecord; }
  // Retires a node unlinked from a list; scans when enough have gathered.
  void Retire(HazardRecord& record, QueueNode* node);
  // Adopts the retired nodes of unclaimed records and frees every retired
  // node that no hazard slot names. Never throws: without memory for the
  // list of hazards it frees nothing this time.
  void Scan(HazardRecord& record) noexcept;
  // Scans, clears the slots and gives the calling thread's record up.
  void Relinquish();

  // Nodes on the free stacks and nodes waiting in retired lists; exact only
  // while no other thread uses a queue.
  unsigned RetainedNodeCount();

  HazardManager();
  ~HazardManager();
  HazardManager(const HazardManager&) = delete;
  HazardManager& operator=(const HazardManager&) = delete;

 private:
  HazardRecord& ClaimRecord();
  // Pushes the chain first..last (linked by freeNext) with one exchange.
  void PushFreeChain(QueueNode* first, QueueNode* last);

  std::atomic<std::uint64_t> freeStack_{0};
  std::atomic<HazardRecord*> records_{nullptr};
  // max(10, 3 × the number of records).
  std::atomic<std::size_t> scanThreshold_{10};
};

}  // namespace dom::internal

#endif  // QMKUTILS_MESSAGING_INTERNAL_HAZARDPOINTERS_H_
