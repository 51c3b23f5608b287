// The cheap question every trace call asks first. Internal; not installed.
//
// While no consumer is installed a trace call must cost no more than a
// couple of loads: no lock, no virtual call, no formatter.
#ifndef QMKUTILS_TRACING_INTERNAL_TRACEGATE_H_
#define QMKUTILS_TRACING_INTERNAL_TRACEGATE_H_

#include <atomic>

namespace dp {

class TraceController;

namespace detail {

// The controller while it has consumers, null otherwise.
extern std::atomic<TraceController*> s_tracingController;
// Set from the controller's creation to its destruction.
extern std::atomic<bool> s_traceControllerAlive;

// Creates the controller (first trace call of the process) or throws
// dp::DeadReference after its destruction; returns it if it has consumers.
TraceController* TracingControllerSlow();

// The controller to send a message to, or null when nobody would take it.
inline TraceController* TracingController() {
  TraceController* controller = s_tracingController.load(std::memory_order_acquire);
  if (controller != nullptr || s_traceControllerAlive.load(std::memory_order_relaxed)) {
    return controller;
  }
  return TracingControllerSlow();
}

// GetDebugLevel without building strings.
unsigned DebugLevelOf(const char* key, const char* subKey);

}  // namespace detail
}  // namespace dp

#endif  // QMKUTILS_TRACING_INTERNAL_TRACEGATE_H_
