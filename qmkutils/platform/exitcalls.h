// Ordered stacks of exit calls.
//
// An exit-call stack holds plain functions, each with a longevity, kept
// sorted so that PopBack always runs the call of lowest longevity and, among
// equal longevities, the one scheduled last. The same stack orders the
// process-exit destruction of singletons and the exit calls of each
// dp::Thread. The functions here do no locking: callers guard the stack.
#ifndef QMKUTILS_PLATFORM_EXITCALLS_H_
#define QMKUTILS_PLATFORM_EXITCALLS_H_

#include "qmkutils/platform/export.h"

namespace dp {

struct ExitCallEntry {
  unsigned longevity;
  void (*call)();  // null once cancelled
};

// Sorted by descending longevity: the last entry runs first. Both the array
// and the entries are malloc'ed.
struct TrackerStackImpl {
  ExitCallEntry** array = nullptr;
  unsigned count = 0;
};

// Inserts `call` after every entry of equal or greater longevity. Throws
// std::bad_alloc ("bad allocation") and leaves the entries unchanged when
// memory runs out.
QMK_EXPORT void ScheduleAtExitCall(TrackerStackImpl* stack, unsigned longevity, void (*call)());

// Clears every entry whose call is `call`; the entries stay and pop as no-ops.
QMK_EXPORT void CancelAtExitCall(TrackerStackImpl* stack, void (*call)());

// Removes the last entry and runs its call, if any. The stack must not be
// empty. The entry is gone before the call runs, so a call that schedules or
// pops further entries sees a consistent stack.
QMK_EXPORT void PopBack(TrackerStackImpl* stack);

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_EXITCALLS_H_
