// One trace message under construction.
//
// A TraceFormatter carries a message's type, time (milliseconds since
// 1970-01-01 UTC on the trace clock), process and thread ids, its source's
// key and sub-key, and its text. Text is added printf-style with Format or
// stream-style with <<; when the formatter is destroyed and holds text, the
// message goes to the trace controller. A formatter of type kInertTraceType
// ignores everything written into it and is never dispatched: tracers hand
// one out when no consumer would take the message.
//
// A formatter built by a tracer carries the controller the tracer's check
// found, and hands its message to that controller. Dispatching after the
// trace controller has been shut down at process exit throws
// dp::DeadReference, which is why the destructor may throw. A formatter
// destroyed by an exception that leaves its expression half written
// (`trace(Info) << Risky()`) is not dispatched. A copy is a second message
// with the same fields and text: each copy that holds text is dispatched.
//
// The trace clock reads the calendar time in whole milliseconds once per
// process and moves on with the monotonic counter, so message times never go
// backwards, whatever happens to the wall clock, and the times of several
// processes line up.
#ifndef QMKUTILS_TRACING_TRACEFORMATTER_H_
#define QMKUTILS_TRACING_TRACEFORMATTER_H_

#include <cstdint>
#include <exception>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/printfformatter.h"
#include "qmkutils/tracing/tracetype.h"

namespace dp {

class TraceController;

class QMK_EXPORT TraceFormatter {
 public:
  TraceFormatter(int64_t time, TraceType type, int procId, int threadId, const char* key,
                 const char* subKey)
      : time_(time),
        type_(type),
        procId_(procId),
        threadId_(threadId),
        key_(key),
        subKey_(subKey),
        uncaughtExceptions_(type == kInertTraceType ? 0 : std::uncaught_exceptions()) {}
  // A message of `type` from the calling thread, now, for `controller`; an
  // inert formatter when `controller` is null.
  TraceFormatter(TraceController* controller, TraceType type, const char* key, const char* subKey)
      : TraceFormatter(0, kInertTraceType, 0, 0, key, subKey) {
    if (controller != nullptr) Begin(controller, type);
  }
  TraceFormatter(const TraceFormatter& other);
  TraceFormatter& operator=(const TraceFormatter& other);
  ~TraceFormatter() noexcept(false) {
    if (hasText_ && type_ != kInertTraceType) Dispatch();
  }

  // Appends `format` formatted with `args`; unrecognised conversions appear
  // as "<unrecognised format string>". False for a null format, which adds
  // no text.
  bool Format(const char* format, PrintfArgs& args);
  bool Format(const char* format, ...) QMK_PRINTF_FORMAT(2, 3);

  template <class Value>
  TraceFormatter& operator<<(const Value& value) {
    if (type_ != kInertTraceType) {
      Stream() << value;
      hasText_ = true;
    }
    return *this;
  }
  // Manipulators such as std::hex.
  TraceFormatter& operator<<(std::ostream& (*manipulator)(std::ostream&));

  int64_t GetTime() const { return time_; }
  TraceType GetType() const { return type_; }
  int GetProcId() const { return procId_; }
  int GetThreadId() const { return threadId_; }
  const char* GetKey() const { return key_; }
  const char* GetSubKey() const { return subKey_; }
  std::string GetMesg() const;
  // The text without copying it; valid until the formatter changes.
  std::string_view GetMesgView() const;
  bool HasText() const { return hasText_; }

  // Now on the trace clock, in milliseconds since 1970-01-01 UTC.
  static int64_t Now();

 private:
  void Begin(TraceController* controller, TraceType type);
  void Dispatch();
  std::ostream& Stream();
  void Append(const char* text, std::size_t size);

  bool hasText_ = false;
  int64_t time_;
  TraceType type_;
  int procId_;
  int threadId_;
  const char* key_;
  const char* subKey_;
  // Printf-style text goes straight into `text_`; a stream is only built for
  // the first <<, and from then on holds the whole text.
  std::string text_;
  std::unique_ptr<std::ostringstream> stream_;
  int uncaughtExceptions_;
  // Null: the controller is looked up when the message is dispatched.
  TraceController* controller_ = nullptr;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACEFORMATTER_H_
