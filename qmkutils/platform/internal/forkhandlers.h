// The library's one fork handler. Internal; not installed.
//
// Each part of the library whose locks a fork child may need registers here
// what it does around fork(). Before the fork the prepare steps run in the
// order of Participant, so the forking thread holds every such lock and the
// state they guard is consistent in the child; after it, the parent and
// child steps run in the reverse order. The order follows the library's lock
// hierarchy: a lock that may be taken while another is held comes after it.
// A prepare step may wait for its lock; no step may trace or fork.
//
// Forking while the process runs its exit handlers is not supported.
#ifndef QMKUTILS_PLATFORM_INTERNAL_FORKHANDLERS_H_
#define QMKUTILS_PLATFORM_INTERNAL_FORKHANDLERS_H_

namespace dp::fork {

enum class Participant {
  // The map of localizer implementations, held while one loads its strings
  // files, which interns symbols, traces, reads the environment and
  // allocates: comes before all of those.
  kLocalizers,
  // Taken while the common allocator is built, which schedules it with the
  // singletons' exit schedule: comes before the lifetime lock.
  kCommonAllocatorCreation,
  // Held while the table is created, which schedules it with the exit
  // schedule, and while records are allocated (which may trace): comes
  // before the lifetime lock and the trace controller.
  kSymbolTable,
  kTraceController,     // the controller's lock, then its log buffers
  kSingletonLifetime,   // the exit schedule of singletons
  kThreads,             // the Thread registry and each Thread's state
  kEnvironment,         // the environment lock
  kLocale,              // the lock of the string-locale count
  kSocketOps,           // the lock of dp::Socket's name-service calls
  kAllocationRegistry,  // the allocation-control registry's lock
  kCommonAllocator,     // the common allocator's thread caches and locks
  kUserData,            // the key and slot locks of du::UserData
  kReaderSections,      // marks of lock-free readers (child step only)
  kThreadId,            // the forking thread's cached id (child step only)
  kProcessId,           // the cached process id (child step only; runs first)
  kCount
};

struct Steps {
  void (*prepare)() = nullptr;
  void (*parent)() = nullptr;
  void (*child)() = nullptr;
};

// Sets the steps of `participant`; registering it again replaces them.
// Lock-free, so safe at any time, also while the library loads (the fork
// handler itself is installed then).
void Register(Participant participant, Steps steps);

// Registers steps while the library loads, as a namespace-scope object: a
// registration made on first use behind a function-local static could meet
// a fork half done, and the child would wait forever for that static.
struct Registration {
  Registration(Participant participant, Steps steps) { Register(participant, steps); }
};

}  // namespace dp::fork

#endif  // QMKUTILS_PLATFORM_INTERNAL_FORKHANDLERS_H_
