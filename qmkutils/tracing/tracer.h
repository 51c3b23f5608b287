// Trace sources.
//
// A tracer names a source by a key and a sub-key (string literals: they are
// not copied) and writes messages through the process-wide trace controller:
//
//   static const dp::QMTracer s_trace("dp", "Thread");
//   s_trace("Failed to create thread (%d)\n", code);          // Info
//   s_trace(dp::Warning, "Disk %s is full\n", name);
//   s_trace(dp::Error) << "Lost " << count << " messages\n";  // sent at the ';'
//
// QMDebugTracer writes Debug messages; its mask form writes only when the
// mask shares a bit with the level that "QMTRACE_DEBUG" sets for the source
// ("key::subKey"). QMNullTracer has the same calls and does nothing at all:
// it replaces a tracer that is switched off at build time.
//
// Cost: while no consumer is installed, a trace call is one load and one
// branch inlined at the call site (qmkutils/tracing/tracegate.h): nothing is
// built, formatted or called. A debug tracer remembers its source's mask, so
// a mask-filtered call costs no lookup either while the masks stay the same.
//
// Format strings are checked against the arguments when the call compiles
// (qmkutils/tracing/traceformat.h); a format computed at run time is taken
// unchecked, and a null format makes no message.
//
// Trace calls may be made from any thread, also while another thread forks;
// they are not async-signal-safe. Trace calls made after the controller has
// been shut down at process exit throw dp::DeadReference.
#ifndef QMKUTILS_TRACING_TRACER_H_
#define QMKUTILS_TRACING_TRACER_H_

#include <atomic>
#include <cstdint>
#include <ostream>
#include <type_traits>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceformat.h"
#include "qmkutils/tracing/traceformatter.h"
#include "qmkutils/tracing/tracegate.h"
#include "qmkutils/tracing/tracetype.h"

namespace dp {

namespace detail {

// Formats and dispatches one printf-style message to `controller`.
QMK_EXPORT void EmitTrace(TraceController* controller, TraceType type, const char* key,
                          const char* subKey, const char* format, ...);

}  // namespace detail

class QMK_EXPORT QMTracer {
 public:
  QMTracer(const char* key, const char* subKey) : key(key), subKey(subKey) {}

  template <class... Args>
  void operator()(TraceFormatString<std::type_identity_t<Args>...> format,
                  const Args&... args) const {
    if (TraceController* controller = detail::TracingController()) [[unlikely]] {
      detail::EmitTrace(controller, Info, key, subKey, format.Get(), args...);
    }
  }

  template <class... Args>
  void operator()(TraceType type, TraceFormatString<std::type_identity_t<Args>...> format,
                  const Args&... args) const {
    if (TraceController* controller = detail::TracingController()) [[unlikely]] {
      detail::EmitTrace(controller, type, key, subKey, format.Get(), args...);
    }
  }

  // An inert formatter when no consumer would take the message.
  TraceFormatter operator()(TraceType type) const {
    return TraceFormatter(detail::TracingController(), type, key, subKey);
  }

  const char* key;
  const char* subKey;
};

class QMK_EXPORT QMDebugTracer {
 public:
  QMDebugTracer(const char* key, const char* subKey) : key(key), subKey(subKey) {}
  QMDebugTracer(const QMDebugTracer& other) : key(other.key), subKey(other.subKey) {}
  QMDebugTracer& operator=(const QMDebugTracer& other) {
    if (this == &other) return *this;
    key = other.key;
    subKey = other.subKey;
    cachedLevel_.store(kNoCachedLevel, std::memory_order_relaxed);
    return *this;
  }

  template <class... Args>
  void operator()(TraceFormatString<std::type_identity_t<Args>...> format,
                  const Args&... args) const {
    if (TraceController* controller = detail::TracingController()) [[unlikely]] {
      detail::EmitTrace(controller, Debug, key, subKey, format.Get(), args...);
    }
  }

  // Written only when `mask` shares a bit with the source's debug level.
  template <class... Args>
  void operator()(unsigned mask, TraceFormatString<std::type_identity_t<Args>...> format,
                  const Args&... args) const {
    const std::uintptr_t state = detail::s_traceGate.load(std::memory_order_acquire);
    if (state == detail::kTraceSilent) [[likely]] {
      return;
    }
    if ((DebugLevel() & mask) == 0) return;
    if (TraceController* controller = detail::PassTraceGate(state)) {
      detail::EmitTrace(controller, Debug, key, subKey, format.Get(), args...);
    }
  }

  TraceFormatter operator()() const {
    return TraceFormatter(detail::TracingController(), Debug, key, subKey);
  }

  // The level "QMTRACE_DEBUG" sets for this source.
  unsigned DebugLevel() const {
    const std::uint64_t cached = cachedLevel_.load(std::memory_order_relaxed);
    if ((cached >> 32) == detail::s_debugLevelsGeneration.load(std::memory_order_acquire)) {
      return static_cast<unsigned>(cached);
    }
    return LookUpDebugLevel();
  }

  const char* key;
  const char* subKey;

 private:
  // A generation the controller never reaches.
  static constexpr std::uint64_t kNoCachedLevel = ~std::uint64_t{0};

  unsigned LookUpDebugLevel() const;

  // The generation of the masks in the high half, the level in the low half.
  mutable std::atomic<std::uint64_t> cachedLevel_{kNoCachedLevel};
};

// Swallows whatever is written into it.
struct NullFormatter {
  template <class Value>
  NullFormatter& operator<<(const Value&) {
    return *this;
  }
  NullFormatter& operator<<(std::ostream& (*)(std::ostream&)) { return *this; }
};

class QMNullTracer {
 public:
  QMNullTracer() = default;
  explicit QMNullTracer(int) {}
  QMNullTracer(const char*, const char*) {}

  void operator()(const char*, ...) const {}
  void operator()(unsigned, const char*, ...) const {}
  void operator()(TraceType, const char*, ...) const {}
  NullFormatter operator()() const { return {}; }
  NullFormatter operator()(TraceType) const { return {}; }
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACER_H_
