// An intrusive reference count for shared objects.
//
// du::RefCounted is meant as a virtual base. Its count starts at 0 and is
// changed with atomic operations, so any thread may add or remove
// references. A copy starts at 0: copying an object does not share its
// count.
//
// Release() is the protocol every counted pointer follows: when the count
// drops to 0 it is raised again for the duration of ZeroReferenceCountHook(),
// which may keep the object alive by taking a reference; only if the count
// is then 0 again is the object deleted through its virtual destructor.
#ifndef QMKUTILS_MEMORY_REFCOUNTED_H_
#define QMKUTILS_MEMORY_REFCOUNTED_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) {}
  // The count stays: it counts references to this object, not to the other.
  RefCounted& operator=(const RefCounted&) { return *this; }  // NOLINT(cert-oop54-cpp)
  virtual ~RefCounted();

  virtual void ZeroReferenceCountHook() const {}

  // Both return the new count.
  int AddReference() const { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  int RemoveReference() const { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  int GetReferenceCount() const { return count_.load(std::memory_order_relaxed); }

  // Hooks for reference tracing; they do nothing.
  void TraceOn() {}
  void TraceOff() {}
  void TraceCheck(bool) const {}

  // Drops one reference of `object` by the protocol above; null is ignored.
  static void Release(const RefCounted* object) {
    if (object == nullptr || object->RemoveReference() != 0) return;
    object->AddReference();
    object->ZeroReferenceCountHook();
    if (object->RemoveReference() == 0) delete object;
  }

 private:
  mutable std::atomic<std::int32_t> count_{0};
};

}  // namespace du

#endif  // QMKUTILS_MEMORY_REFCOUNTED_H_
