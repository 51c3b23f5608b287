#include "qmkutils/platform/lockable.h"

namespace dp {

SpinLock& LazySpinLock(std::atomic<SpinLock*>& slot) {
  SpinLock* lock = slot.load(std::memory_order_acquire);
  if (lock != nullptr) return *lock;
  auto* created = new SpinLock(500);
  if (slot.compare_exchange_strong(lock, created, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return *created;
  }
  delete created;  // another thread installed its lock first
  return *lock;
}

}  // namespace dp
