// Telling AddressSanitizer which bytes of our pools are free. Internal.
//
// Memory an allocator holds but has not handed out is poisoned, so a use
// after free through the library's allocators is reported as it would be for
// malloc. Without the sanitizer these compile to nothing.
#ifndef QMKUTILS_MEMORY_INTERNAL_POISON_H_
#define QMKUTILS_MEMORY_INTERNAL_POISON_H_

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define QMK_MEMORY_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMK_MEMORY_ASAN 1
#endif
#endif

#ifdef QMK_MEMORY_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

namespace du::poison {

inline void Poison(const void* address, std::size_t size) {
#ifdef QMK_MEMORY_ASAN
  __asan_poison_memory_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

inline void Unpoison(const void* address, std::size_t size) {
#ifdef QMK_MEMORY_ASAN
  __asan_unpoison_memory_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

// True when the byte at `address` is poisoned (only ever under the sanitizer).
inline bool IsPoisoned(const void* address) {
#ifdef QMK_MEMORY_ASAN
  return __asan_address_is_poisoned(address) != 0;
#else
  (void)address;
  return false;
#endif
}

// Pages mapped outside malloc that hold pointers to malloc'd memory: the
// leak checker scans them as roots while they are registered.
inline void AddLeakRoot(const void* address, std::size_t size) {
#ifdef QMK_MEMORY_ASAN
  __lsan_register_root_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

inline void RemoveLeakRoot(const void* address, std::size_t size) {
#ifdef QMK_MEMORY_ASAN
  __lsan_unregister_root_region(address, size);
#else
  (void)address;
  (void)size;
#endif
}

}  // namespace du::poison

#endif  // QMKUTILS_MEMORY_INTERNAL_POISON_H_
