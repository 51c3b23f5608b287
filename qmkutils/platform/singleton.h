// Process-wide singletons, created on first use and destroyed at exit in a
// fixed order.
//
// Singleton<T>::Instance() creates the one T on its first call (under T's
// class lock; later calls take no lock) and schedules its destruction with
// the longevity that `GetLongevity(T*)`, found by argument-dependent lookup,
// returns. At exit, singletons are destroyed in ascending longevity, whatever
// their creation order, so a singleton may use those of higher longevity
// while it is destroyed. Instance() after destruction throws
// dp::DeadReference("Dead Reference Detected"); a singleton is never created
// twice.
//
// Singleton<T, SingletonExit::kShutDownAndKeep> serves a singleton that
// lock-free fast paths hand out: a thread may still hold a pointer it read
// without a lock when exit runs. At exit such a singleton is unpublished and
// its ShutDown() is called (it releases what it holds and refuses further
// use), but its storage is never freed, so the late pointer stays valid.
//
// Fork: the exit schedule's lock is held across fork(), so a child may create
// singletons; a class lock that another thread holds at that moment (it is
// creating that singleton) stays held in the child, except the trace
// controller's, which is held across fork too.
//
// The instance lives in the shared object that instantiates Singleton<T>:
// instantiate it in one library only.
#ifndef QMKUTILS_PLATFORM_SINGLETON_H_
#define QMKUTILS_PLATFORM_SINGLETON_H_

#include <atomic>
#include <stdexcept>

#include "qmkutils/platform/export.h"
#include "qmkutils/platform/lockable.h"

namespace dp {

struct QMK_EXPORT DeadReference : std::runtime_error {
  explicit DeadReference(const char* what);
  DeadReference(const DeadReference& other);
  ~DeadReference() override;
};

// Schedules `destroyer` to run at process exit in longevity order: lowest
// first, and among equal longevities the one scheduled last first. `object`
// is the instance the destroyer will delete; scheduling a destroyer for no
// object is a programming error (std::logic_error).
QMK_EXPORT void SetLongevity(const void* object, unsigned longevity, void (*destroyer)());

enum class SingletonExit { kDelete, kShutDownAndKeep };

template <class T, SingletonExit kExit = SingletonExit::kDelete>
class Singleton {
 public:
  // Creates the instance on first use; throws DeadReference once destroyed.
  static T& Instance() {
    if (T* instance = s_instance.load(std::memory_order_acquire)) return *instance;
    return *Create(true);
  }

  // As Instance(), but null instead of DeadReference once destroyed: for
  // code that may run during process exit and can do without the singleton.
  static T* InstanceIfAlive() {
    if (T* instance = s_instance.load(std::memory_order_acquire)) return instance;
    return Create(false);
  }

  // The instance if it exists now; never creates one.
  static T* Peek() { return s_instance.load(std::memory_order_acquire); }

  static bool IsDestroyed() { return s_destroyed.load(std::memory_order_acquire); }

 private:
  static T* Create(bool throwIfDead) {
    typename ClassLevelLockable<T>::Lock guard;
    if (T* instance = s_instance.load(std::memory_order_acquire)) return instance;
    if (s_destroyed.load(std::memory_order_relaxed)) {
      if (throwIfDead) throw DeadReference("Dead Reference Detected");
      return nullptr;
    }
    T* created = new T;
    try {
      SetLongevity(created, GetLongevity(created), &Destroy);
    } catch (...) {
      delete created;
      throw;
    }
    s_instance.store(created, std::memory_order_release);
    return created;
  }

  // Unpublishes the instance before disposing of it, so that callers
  // arriving meanwhile get DeadReference instead of an object being
  // destroyed.
  static void Destroy() {
    T* instance;
    {
      typename ClassLevelLockable<T>::Lock guard;
      instance = s_instance.exchange(nullptr, std::memory_order_acq_rel);
      s_destroyed.store(true, std::memory_order_release);
    }
    if constexpr (kExit == SingletonExit::kDelete) {
      delete instance;
    } else {
      s_shutDown = instance;  // still reachable: leak checkers see no leak
      instance->ShutDown();
    }
  }

  static inline std::atomic<T*> s_instance{nullptr};
  static inline std::atomic<bool> s_destroyed{false};
  static inline T* s_shutDown = nullptr;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_SINGLETON_H_
