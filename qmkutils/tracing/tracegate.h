// The question every trace call asks first: would anybody take a message?
//
// It is answered inline, by one load of s_traceGate and one branch, so a
// trace call made while no consumer is installed costs no call into the
// library, builds nothing and formats nothing. The gate holds kTraceSilent
// while the trace controller exists without consumers, the controller itself
// while it has some, and kTraceClosed before the controller is created (the
// first trace call creates it) and after it is shut down at exit (trace
// calls then throw dp::DeadReference).
//
// Everything here is the tracers' machinery, not an interface to call.
#ifndef QMKUTILS_TRACING_TRACEGATE_H_
#define QMKUTILS_TRACING_TRACEGATE_H_

#include <atomic>
#include <cstdint>

#include "qmkutils/platform/export.h"

namespace dp {

class TraceController;

namespace detail {

inline constexpr std::uintptr_t kTraceClosed = 0;
inline constexpr std::uintptr_t kTraceSilent = 1;

QMK_EXPORT extern std::atomic<std::uintptr_t> s_traceGate;

// Bumped whenever the debug masks of the controller change, so tracers that
// cache their source's mask know to look it up again.
QMK_EXPORT extern std::atomic<std::uint32_t> s_debugLevelsGeneration;

// The slow side of the gate: creates the controller on the first trace call
// or throws dp::DeadReference once it is shut down; returns the controller
// when it has consumers, else null.
QMK_EXPORT TraceController* PassTraceGate(std::uintptr_t state);

// The controller to hand a message to, or null when nobody would take it.
inline TraceController* TracingController() {
  const std::uintptr_t state = s_traceGate.load(std::memory_order_acquire);
  if (state == kTraceSilent) [[likely]] {
    return nullptr;
  }
  return PassTraceGate(state);
}

}  // namespace detail
}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACEGATE_H_
