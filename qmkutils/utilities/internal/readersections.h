// Read-side critical sections that cost no atomic read-modify-write, for
// lock-free lookups in structures whose writers free what they unlink.
// Internal; not installed.
//
// A reader brackets its lookup with a ReaderSection: it marks its own slot
// with a plain store and (where the kernel offers membarrier) only a compiler
// fence. A writer that has unlinked something calls WaitForReaders() before
// freeing it: one membarrier makes every thread's marks visible, then it
// waits until each marked reader has left its section. Anything unlinked
// before the call is then unreachable. Without membarrier, and under
// ThreadSanitizer (which does not model it), readers mark with a full fence.
//
// A section must be short and must not block: WaitForReaders spins on it.
// A thread's slot is given back when the thread ends; sections opened after
// that (from later thread-exit code) report failure and the caller takes its
// locked path. Fork: a child resets the marks of threads it does not have.
#ifndef QMKUTILS_UTILITIES_INTERNAL_READERSECTIONS_H_
#define QMKUTILS_UTILITIES_INTERNAL_READERSECTIONS_H_

#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define QMK_READERS_FULL_FENCE 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QMK_READERS_FULL_FENCE 1
#endif
#endif

namespace du::readers {

// One per thread, on a cache line of its own: a reader's marks must not
// disturb the lines of other readers.
struct alignas(64) Slot {
  std::atomic<uint32_t> inside{0};
  std::atomic<bool> inUse{false};
  std::atomic<Slot*> next{nullptr};
};

inline Slot* const kRetiredSlot = reinterpret_cast<Slot*>(std::uintptr_t{1});

extern constinit __attribute__((tls_model("initial-exec"))) thread_local Slot* t_slot;

// The calling thread's slot, made on first use; null when none can be had.
Slot* AttachSlot();
// Whether readers may mark with a compiler fence only. Set once during
// static initialisation; a reader that runs earlier sees false and fences.
extern bool s_asymmetric;

class Section {
 public:
  Section() : slot_(t_slot) {
    if (slot_ == nullptr) slot_ = AttachSlot();
    if (slot_ == nullptr) return;
#if defined(QMK_READERS_FULL_FENCE)
    slot_->inside.store(1, std::memory_order_seq_cst);
#else
    slot_->inside.store(1, std::memory_order_relaxed);
    if (s_asymmetric) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
#endif
  }
  ~Section() {
    if (slot_ != nullptr) slot_->inside.store(0, std::memory_order_release);
  }
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;

  // False when no slot could be had: the caller must not read lock-free.
  bool Entered() const { return slot_ != nullptr; }

 private:
  Slot* slot_;
};

// Returns once no reader is inside a section it entered before the call.
// Never call it from inside a section.
void WaitForReaders();

}  // namespace du::readers

#endif  // QMKUTILS_UTILITIES_INTERNAL_READERSECTIONS_H_
