// Locking policies for classes: one lock per object or one lock per class.
//
// A class derives from ObjectLevelLockable<Self> to get a lock of its own, or
// from ClassLevelLockable<Self> to share one lock among all its objects (and
// its static members); in both, the nested Lock guard holds the lock for its
// scope. Both locks are re-entrant SpinLocks with a spin count of 500.
//
// The guards are clang thread-safety scoped capabilities, so data can be
// marked QMK_GUARDED_BY the lock a guard takes.
//
// A class lock is created on first use, installed with one compare-and-swap
// and never destroyed, so it can be taken at any point of process exit. It
// lives in the shared object that instantiates ClassLevelLockable<Self>.
#ifndef QMKUTILS_PLATFORM_LOCKABLE_H_
#define QMKUTILS_PLATFORM_LOCKABLE_H_

#include <atomic>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/locks.h"

namespace dp {

// The common base of the locking policies.
struct AtomicOps {};

// Returns the lock held in `slot`, creating it on first use. Never destroyed.
QMK_EXPORT SpinLock& LazySpinLock(std::atomic<SpinLock*>& slot);

// Holds a SpinLock for its scope.
class QMK_SCOPED_CAPABILITY SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) QMK_ACQUIRE(lock) : lock_(lock) { lock_.Lock(); }
  ~SpinLockGuard() QMK_RELEASE() { lock_.Unlock(); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinLock& lock_;
};

template <class Host>
class ObjectLevelLockable : public AtomicOps {
 public:
  ObjectLevelLockable() : lock_(500) {}
  // A copy gets a lock of its own: locks are not shared by copying.
  ObjectLevelLockable(const ObjectLevelLockable&) : lock_(500) {}
  // Copies nothing, so self-assignment is harmless.
  ObjectLevelLockable& operator=(const ObjectLevelLockable&) {  // NOLINT(cert-oop54-cpp)
    return *this;
  }
  virtual ~ObjectLevelLockable() = default;

  class QMK_SCOPED_CAPABILITY Lock : public SpinLockGuard {
   public:
    explicit Lock(const ObjectLevelLockable& host) QMK_ACQUIRE(host.lock_)
        : SpinLockGuard(host.lock_) {}
    ~Lock() QMK_RELEASE() = default;
  };

 private:
  mutable SpinLock lock_;
};

template <class Host>
class ClassLevelLockable : public AtomicOps {
 public:
  // The lock shared by all objects of Host.
  static SpinLock& ClassLock() { return LazySpinLock(s_classLock); }

  class QMK_SCOPED_CAPABILITY Lock : public SpinLockGuard {
   public:
    Lock() QMK_ACQUIRE(ClassLock()) : SpinLockGuard(ClassLock()) {}
    explicit Lock(const ClassLevelLockable&) QMK_ACQUIRE(ClassLock()) : Lock() {}
    ~Lock() QMK_RELEASE() = default;
  };

 private:
  static inline std::atomic<SpinLock*> s_classLock{nullptr};
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_LOCKABLE_H_
