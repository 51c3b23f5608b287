// The process-wide common allocator, and the ways to allocate from it.
//
// du::CommonAllocatorImpl is one memory pool ("Common Mem Pool") over two
// system allocators ("Common Block Allocator" for the pool's blocks, "Common
// Extra Allocator" for requests above 16384 bytes). It is created by the
// first allocation anywhere and serves the whole library: symbols, messages,
// queues and tasks take their storage from it.
//
// - du::CommonAllocated: derive from it to give a class the common
//   allocator's operator new and delete. Its destructor is virtual, so
//   delete passes the most derived object's size, which selects the pool's
//   size class.
// - du::CommonAllocator<T>: a standard allocator for containers.
//
// Allocate throws std::bad_alloc ("bad allocation") when the pool fails (and
// while its fail switch is set); the nothrow operator new returns null
// instead. Requests over 4 GiB are refused the same way. Every block is
// 8-aligned, so types aligned beyond 8 bytes cannot use it.
//
// At exit the allocator leaves the registry but keeps its memory until the
// process ends: a static object destroyed later may still read and free
// what it holds. Allocating then throws dp::DeadReference.
//
// All functions are thread-safe.
#ifndef QMKUTILS_MEMORY_COMMONALLOCATOR_H_
#define QMKUTILS_MEMORY_COMMONALLOCATOR_H_

#include <cstddef>
#include <limits>
#include <new>

#include "qmkutils/memory/mempool.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/singleton.h"

namespace du {

class QMK_EXPORT CommonAllocatorImpl {
 public:
  static void* Allocate(unsigned size, void* hint);
  static void Deallocate(void* block, unsigned size);
  static unsigned GetRoundedSize(unsigned size) { return MemPool::GetRoundedSize(size); }
  static void PurgeEmptyBlocks();
  // The pool itself, for statistics and tests.
  static MemPool& GetPool();

  // Sizes of std::size_t: over 4 GiB throws std::bad_alloc.
  static void* AllocateBytes(std::size_t size);
  static void DeallocateBytes(void* block, std::size_t size) {
    Deallocate(block, static_cast<unsigned>(size));
  }
  // The storage of an object whose size is not known.
  static void DeallocateUnsized(void* block);

  // Unregisters the three controls and keeps their memory; at exit.
  void ShutDown();

 private:
  template <class T, dp::SingletonExit kExit>
  friend class dp::Singleton;

 public:
  struct Controls;  // defined where it is used

 private:
  CommonAllocatorImpl();
  ~CommonAllocatorImpl() = default;

  Controls* controls_;
};

QMK_EXPORT unsigned GetLongevity(CommonAllocatorImpl*);

struct QMK_EXPORT CommonAllocated {
  virtual ~CommonAllocated();

  // Only the sized delete is declared: an unsized one would be chosen
  // instead, and the pool needs the size.
  static void* operator new(std::size_t size) {  // NOLINT(cert-dcl54-cpp)
    return CommonAllocatorImpl::AllocateBytes(size);
  }
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void* operator new(std::size_t, void* place) noexcept { return place; }
  static void operator delete(void* block, std::size_t size) noexcept {
    if (block != nullptr) CommonAllocatorImpl::DeallocateBytes(block, size);
  }
  // Only reached when a constructor throws out of a nothrow new.
  static void operator delete(void* block, const std::nothrow_t&) noexcept {
    CommonAllocatorImpl::DeallocateUnsized(block);
  }
  static void operator delete(void*, void*) noexcept {}
};

// A standard allocator over an allocator implementation with the static
// Allocate/Deallocate pair of du::CommonAllocatorImpl.
template <class T, class Impl>
class Allocator {
 public:
  using value_type = T;

  static_assert(alignof(T) <= 8, "the common allocator's blocks are 8-aligned");

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U, Impl>&) noexcept {}  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(Impl::AllocateBytes(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t n) noexcept { Impl::DeallocateBytes(block, n * sizeof(T)); }

  template <class U>
  bool operator==(const Allocator<U, Impl>&) const noexcept {
    return true;
  }
};

template <class T>
using CommonAllocator = Allocator<T, CommonAllocatorImpl>;

}  // namespace du

#endif  // QMKUTILS_MEMORY_COMMONALLOCATOR_H_
