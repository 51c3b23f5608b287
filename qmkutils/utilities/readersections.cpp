#include "qmkutils/utilities/internal/readersections.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "qmkutils/platform/internal/forkhandlers.h"

namespace du::readers {

constinit __attribute__((tls_model("initial-exec"))) thread_local Slot* t_slot = nullptr;

namespace {

std::atomic<Slot*> s_slots{nullptr};  // every slot ever made; never freed

bool RegisterForBarriers() {
#if defined(QMK_READERS_FULL_FENCE)
  return false;
#else
  const long commands = syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
  return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
         syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#endif
}

// In the child only the forking thread lives: every other mark is stale.
void ResetOtherSlotsInChild() {
  for (Slot* slot = s_slots.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    if (slot == t_slot) continue;
    slot->inside.store(0, std::memory_order_relaxed);
    slot->inUse.store(false, std::memory_order_relaxed);
  }
}

const dp::fork::Registration s_forkRegistration(dp::fork::Participant::kReaderSections,
                                                {nullptr, nullptr, &ResetOtherSlotsInChild});

struct SlotOwner {
  bool attached = false;
  ~SlotOwner() {
    if (t_slot != nullptr && t_slot != kRetiredSlot) {
      t_slot->inside.store(0, std::memory_order_relaxed);
      t_slot->inUse.store(false, std::memory_order_release);
    }
    t_slot = kRetiredSlot;
  }
};
thread_local SlotOwner t_owner;

}  // namespace

bool s_asymmetric = RegisterForBarriers();

Slot* AttachSlot() {
  if (t_slot == kRetiredSlot) return nullptr;
  Slot* slot = s_slots.load(std::memory_order_acquire);
  for (; slot != nullptr; slot = slot->next.load(std::memory_order_acquire)) {
    bool expected = false;
    if (!slot->inUse.load(std::memory_order_relaxed) &&
        slot->inUse.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      break;
    }
  }
  if (slot == nullptr) {
    slot = new (std::align_val_t{alignof(Slot)}, std::nothrow) Slot;
    if (slot == nullptr) return nullptr;
    slot->inUse.store(true, std::memory_order_relaxed);
    Slot* head = s_slots.load(std::memory_order_relaxed);
    do {
      slot->next.store(head, std::memory_order_relaxed);
    } while (!s_slots.compare_exchange_weak(head, slot, std::memory_order_release,
                                            std::memory_order_relaxed));
  }
  t_owner.attached = true;  // its destructor gives the slot back
  t_slot = slot;
  return slot;
}

void WaitForReaders() {
  if (s_asymmetric) {
    syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
  } else {
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }
  for (Slot* slot = s_slots.load(std::memory_order_acquire); slot != nullptr;
       slot = slot->next.load(std::memory_order_acquire)) {
    if (slot == t_slot) continue;
    while (slot->inside.load(std::memory_order_acquire) != 0) sched_yield();
  }
}

}  // namespace du::readers
