// Allocation controls: the common face of every allocator of the library.
//
// Each allocator derives from one of the four kinds of du::MallocCtrl. A
// control carries a name (at most 63 characters), a fail switch that makes
// every allocation it is asked for fail until the switch is cleared (the
// library's hook for testing out-of-memory paths), and statistics: the bytes
// it holds from its supplier (reserved) and the bytes it has handed out
// (in use). A control enters the process-wide du::MallocCtrlRegistry when it
// is constructed and leaves it when it is destroyed; a copy is not entered.
//
// Reporting is pulled, never pushed: walk the registry by index, or hand it a
// du::MallocCtrlVisitor (qmkutils/memory/mallocctrlregistry.h).
//
// Statistics are exact when the allocator is quiescent; read while other
// threads allocate, each figure is one the allocator really had. The fail
// switch may be flipped from any thread.
#ifndef QMKUTILS_MEMORY_MALLOCCTRL_H_
#define QMKUTILS_MEMORY_MALLOCCTRL_H_

#include <atomic>
#include <utility>

#include "qmkutils/platform/export.h"

namespace du {

class MallocCtrlVisitor;

class QMK_EXPORT MallocCtrl {
 public:
  static constexpr unsigned NAME_LENGTH = 64;

  // A null name reads "<Unnamed Malloc Control>"; longer names are cut to 63
  // characters.
  explicit MallocCtrl(const char* name);
  // Copies name and fail switch; the copy is not registered.
  MallocCtrl(const MallocCtrl& other);
  MallocCtrl& operator=(const MallocCtrl& other);
  virtual ~MallocCtrl() = 0;

  virtual void Accept(MallocCtrlVisitor* visitor) = 0;
  // Null pointers are not written.
  virtual void GetAllocationStats(unsigned* reserved, unsigned* inUse) const = 0;

  const char* GetName() const { return name_; }
  void SetFailOnNextRequest() { failOnNextRequest_.store(true, std::memory_order_relaxed); }
  void ClearFailOnNextRequest() { failOnNextRequest_.store(false, std::memory_order_relaxed); }
  bool ShouldFailOnNextRequest() const {
    return failOnNextRequest_.load(std::memory_order_relaxed);
  }

 private:
  char name_[NAME_LENGTH];
  std::atomic<bool> failOnNextRequest_{false};
};

// Talks to the operating system (or a heap): hands out variable-sized blocks.
class QMK_EXPORT SystemMallocCtrl : public MallocCtrl {
 public:
  explicit SystemMallocCtrl(const char* name) : MallocCtrl(name) {}
  void Accept(MallocCtrlVisitor* visitor) override;
  // The block and the bytes actually granted, or {null, 0}.
  virtual std::pair<void*, unsigned> Allocate(unsigned size) = 0;
  virtual void Free(void* block) = 0;
  // The payload a block of `size` bytes, headers included, leaves its user.
  virtual unsigned SpaceAvailableInBlockSize(unsigned size) const { return size; }
};

// Hands out slots of one size.
class QMK_EXPORT FixedSizeMallocCtrl : public MallocCtrl {
 public:
  explicit FixedSizeMallocCtrl(const char* name) : MallocCtrl(name) {}
  void Accept(MallocCtrlVisitor* visitor) override;
  virtual void GetAllocationDetails(unsigned* blocks, unsigned* capacitySlots,
                                    unsigned* usedSlots) const = 0;
  virtual void* Allocate(void* hint) = 0;
  virtual void Free(void* slot) = 0;
};

// Its fields are left to an implementation; nothing in the library fills one.
struct MallocBlockStat;

// A general-purpose allocator; the library ships none.
class QMK_EXPORT GeneralMallocCtrl : public MallocCtrl {
 public:
  explicit GeneralMallocCtrl(const char* name) : MallocCtrl(name) {}
  void Accept(MallocCtrlVisitor* visitor) override;
  virtual void GetAllocationDetails(unsigned* freeBlocks, MallocBlockStat** freeStats,
                                    unsigned* usedBlocks, MallocBlockStat** usedStats) const = 0;
  virtual void* Allocate(unsigned size) = 0;
  virtual void Free(void* block) = 0;
};

// Routes each request by its size, which the caller repeats when freeing.
class QMK_EXPORT HandOffMallocCtrl : public MallocCtrl {
 public:
  explicit HandOffMallocCtrl(const char* name) : MallocCtrl(name) {}
  void Accept(MallocCtrlVisitor* visitor) override;
  virtual void* Allocate(unsigned size, void* hint) = 0;
  virtual void Free(void* block, unsigned size) = 0;
};

// Every Visit must be overridden; the base bodies throw std::logic_error
// naming the overload.
class QMK_EXPORT MallocCtrlVisitor {
 public:
  MallocCtrlVisitor() = default;
  MallocCtrlVisitor(const MallocCtrlVisitor&) = default;
  MallocCtrlVisitor& operator=(const MallocCtrlVisitor&) = default;
  virtual ~MallocCtrlVisitor() = 0;

  virtual void Visit(HandOffMallocCtrl* control) = 0;
  virtual void Visit(GeneralMallocCtrl* control) = 0;
  virtual void Visit(FixedSizeMallocCtrl* control) = 0;
  virtual void Visit(SystemMallocCtrl* control) = 0;
  virtual void Visit(MallocCtrl* control) = 0;
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_MALLOCCTRL_H_
