#include "qmkutils/tracing/tracer.h"

#include <cstdarg>

#include "qmkutils/tracing/tracecontroller.h"

namespace dp {

namespace detail {

void EmitTrace(TraceController* controller, TraceType type, const char* key, const char* subKey,
               const char* format, ...) {
  PrintfArgs args;
  va_start(args.list, format);
  // Ends the argument list however the message ends.
  struct ArgsScope {
    PrintfArgs& args;
    ~ArgsScope() { va_end(args.list); }
  } scope{args};
  TraceFormatter formatter(controller, type, key, subKey);
  formatter.Format(format, args);
}  // dispatched here, by the formatter's destructor

}  // namespace detail

unsigned QMDebugTracer::LookUpDebugLevel() const {
  // The generation first: masks that change meanwhile bump it again, and
  // the next call looks up anew.
  const std::uint32_t generation = detail::s_debugLevelsGeneration.load(std::memory_order_acquire);
  const unsigned level =
      TraceController::Instance().GetDebugLevel(key ? key : "", subKey ? subKey : "");
  cachedLevel_.store((std::uint64_t{generation} << 32) | level, std::memory_order_relaxed);
  return level;
}

}  // namespace dp
