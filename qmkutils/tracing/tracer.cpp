#include "qmkutils/tracing/tracer.h"

#include <cstdarg>

#include "qmkutils/platform/process.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/internal/tracegate.h"

namespace dp {

namespace {

// Ends the argument list however the message ends.
struct ArgsScope {
  PrintfArgs& args;
  ~ArgsScope() { va_end(args.list); }
};

void Emit(TraceType type, const char* key, const char* subKey, const char* format,
          PrintfArgs& args) {
  TraceFormatter formatter(TraceFormatter::Now(), type, Process::GetCurrentProcId(),
                           static_cast<int>(Thread::GetCurrentThreadId()), key, subKey);
  formatter.Format(format, args);
}  // dispatched here, by the formatter's destructor

TraceFormatter Begin(TraceType type, const char* key, const char* subKey) {
  if (detail::TracingController() == nullptr) {
    return TraceFormatter(0, kInertTraceType, 0, 0, key, subKey);
  }
  return TraceFormatter(TraceFormatter::Now(), type, Process::GetCurrentProcId(),
                        static_cast<int>(Thread::GetCurrentThreadId()), key, subKey);
}

}  // namespace

void QMTracer::operator()(const char* format, ...) const {
  if (detail::TracingController() == nullptr) return;
  PrintfArgs args;
  va_start(args.list, format);
  ArgsScope scope{args};
  Emit(Info, key, subKey, format, args);
}

void QMTracer::operator()(TraceType type, const char* format, ...) const {
  if (detail::TracingController() == nullptr) return;
  PrintfArgs args;
  va_start(args.list, format);
  ArgsScope scope{args};
  Emit(type, key, subKey, format, args);
}

TraceFormatter QMTracer::operator()(TraceType type) const { return Begin(type, key, subKey); }

void QMDebugTracer::operator()(const char* format, ...) const {
  if (detail::TracingController() == nullptr) return;
  PrintfArgs args;
  va_start(args.list, format);
  ArgsScope scope{args};
  Emit(Debug, key, subKey, format, args);
}

void QMDebugTracer::operator()(unsigned mask, const char* format, ...) const {
  if (detail::TracingController() == nullptr) return;
  if ((detail::DebugLevelOf(key, subKey) & mask) == 0) return;
  PrintfArgs args;
  va_start(args.list, format);
  ArgsScope scope{args};
  Emit(Debug, key, subKey, format, args);
}

TraceFormatter QMDebugTracer::operator()() const { return Begin(Debug, key, subKey); }

}  // namespace dp
