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
// ("key::subKey"). While no consumer is installed a trace call builds and
// formats nothing. QMNullTracer has the same calls and does nothing at all:
// it replaces a tracer that is switched off at build time.
//
// Trace calls made after the controller has been destroyed at process exit
// throw dp::DeadReference.
#ifndef QMKUTILS_TRACING_TRACER_H_
#define QMKUTILS_TRACING_TRACER_H_

#include <ostream>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceformatter.h"
#include "qmkutils/tracing/tracetype.h"

namespace dp {

class QMK_EXPORT QMTracer {
 public:
  QMTracer(const char* key, const char* subKey) : key(key), subKey(subKey) {}

  void operator()(const char* format, ...) const QMK_PRINTF_FORMAT(2, 3);
  void operator()(TraceType type, const char* format, ...) const QMK_PRINTF_FORMAT(3, 4);
  TraceFormatter operator()(TraceType type) const;

  const char* key;
  const char* subKey;
};

class QMK_EXPORT QMDebugTracer {
 public:
  QMDebugTracer(const char* key, const char* subKey) : key(key), subKey(subKey) {}

  void operator()(const char* format, ...) const QMK_PRINTF_FORMAT(2, 3);
  void operator()(unsigned mask, const char* format, ...) const QMK_PRINTF_FORMAT(3, 4);
  TraceFormatter operator()() const;

  const char* key;
  const char* subKey;
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
