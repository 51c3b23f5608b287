// The process-wide registry of allocation controls and of who supplies whom.
//
// Every du::MallocCtrl registers itself; an allocator that draws its memory
// from another records the pair with RegisterRelationship(supplier,
// consumer). Entries are indexed in registration order and never removed: a
// control that leaves keeps its index with an empty row, so indexes stay
// valid for the life of the process and GetMallocCtrlCount() only grows.
//
// VisitAll walks the graph in post-order along consumer edges: every control
// is accepted after all the consumers reachable from it, so pools come before
// the allocators that feed them, and those before the ones that talk to the
// operating system. Cycles cannot make it loop.
//
// Thread safety: changes take the registry lock for writing, queries and
// VisitAll take it for reading. Hold GetLock() for reading across a series of
// index-based queries to see one consistent graph. A visitor must not create
// or destroy controls from Visit (that needs the write lock).
//
// The registry is created on first use and destroyed after every other
// process-wide object; a control destroyed later still (a static one) leaves
// quietly.
#ifndef QMKUTILS_MEMORY_MALLOCCTRLREGISTRY_H_
#define QMKUTILS_MEMORY_MALLOCCTRLREGISTRY_H_

#include <cstdint>
#include <string>

#include "qmkutils/memory/mallocctrl.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/readwritelock.h"

namespace du {

class QMK_EXPORT MallocCtrlRegistry {
 public:
  // Throws dp::DeadReference once the registry has been destroyed at exit.
  static MallocCtrlRegistry& Instance();

  MallocCtrlRegistry(const MallocCtrlRegistry&) = delete;
  MallocCtrlRegistry& operator=(const MallocCtrlRegistry&) = delete;

  // Registering a present control, or unregistering an absent one, does
  // nothing.
  virtual void Register(MallocCtrl* control) = 0;
  virtual void Unregister(MallocCtrl* control) = 0;
  // Throws std::logic_error, changing nothing, when either is unregistered.
  virtual void RegisterRelationship(MallocCtrl* supplier, MallocCtrl* consumer) = 0;
  virtual dp::ReadWriteLock& GetLock() = 0;
  // The raw timer value of the last change; 0 before the first. Strictly
  // increasing, so a saved value tells whether a snapshot is stale.
  virtual std::int64_t GetLastChangeTime() = 0;
  // Counts and indexes are -1 for an index out of range.
  virtual int GetSupplierCount(unsigned index) = 0;
  virtual int GetSupplier(unsigned index, unsigned n) = 0;
  virtual int GetConsumerCount(unsigned index) = 0;
  virtual int GetConsumer(unsigned index, unsigned n) = 0;
  // Includes entries whose control has left.
  virtual unsigned GetMallocCtrlCount() = 0;
  // Null when out of range or the control has left.
  virtual MallocCtrl* GetMallocCtrl(unsigned index) = 0;
  virtual int GetIndex(MallocCtrl* control) = 0;
  virtual void VisitAll(MallocCtrlVisitor* visitor) = 0;
  virtual ~MallocCtrlRegistry();

 protected:
  MallocCtrlRegistry() = default;
};

QMK_EXPORT unsigned GetLongevity(MallocCtrlRegistry*);

// The allocator graph as text, one line per live control, suppliers above
// their consumers: its index, its name indented by its depth in the graph,
// its kind, reserved and in-use bytes, and the indexes of its suppliers.
// Taken under the registry's read lock.
QMK_EXPORT std::string FormatAllocatorGraph();

}  // namespace du

#endif  // QMKUTILS_MEMORY_MALLOCCTRLREGISTRY_H_
