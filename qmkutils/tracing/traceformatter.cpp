#include "qmkutils/tracing/traceformatter.h"

#include <time.h>

#include <cstdarg>
#include <ctime>
#include <exception>

#include "qmkutils/platform/process.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/tracecontroller.h"

namespace dp {

namespace {

constexpr unsigned kWorkBufferSize = 512;
constexpr char kUnrecognised[] = "<unrecognised format string>";

// Calendar time in whole milliseconds at one moment, moved on with the
// monotonic counter from there.
struct TraceClock {
  TraceClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    baseTicks = Timer::GetRawValue();
    baseMilliseconds = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
    ticksPerMillisecond = Timer::GetRawFrequency() / 1000;
  }
  int64_t Now() const {
    return baseMilliseconds + (Timer::GetRawValue() - baseTicks) / ticksPerMillisecond;
  }

  int64_t baseMilliseconds;
  int64_t baseTicks;
  int64_t ticksPerMillisecond;
};

}  // namespace

int64_t TraceFormatter::Now() {
  static const TraceClock s_clock;
  return s_clock.Now();
}

void TraceFormatter::Begin(TraceController* controller, TraceType type) {
  time_ = Now();
  type_ = type;
  procId_ = Process::GetCurrentProcId();
  threadId_ = static_cast<int>(Thread::GetCurrentThreadId());
  uncaughtExceptions_ = std::uncaught_exceptions();
  controller_ = controller;
}

TraceFormatter::TraceFormatter(const TraceFormatter& other)
    : hasText_(other.hasText_),
      time_(other.time_),
      type_(other.type_),
      procId_(other.procId_),
      threadId_(other.threadId_),
      key_(other.key_),
      subKey_(other.subKey_),
      text_(other.hasText_ ? other.GetMesg() : std::string()),
      uncaughtExceptions_(std::uncaught_exceptions()),
      controller_(other.controller_) {}

TraceFormatter& TraceFormatter::operator=(const TraceFormatter& other) {
  if (this != &other) {
    hasText_ = other.hasText_;
    time_ = other.time_;
    type_ = other.type_;
    procId_ = other.procId_;
    threadId_ = other.threadId_;
    key_ = other.key_;
    subKey_ = other.subKey_;
    text_ = other.hasText_ ? other.GetMesg() : std::string();
    stream_.reset();
    controller_ = other.controller_;
  }
  return *this;
}

void TraceFormatter::Dispatch() {
  // Unwinding from an exception thrown inside the message's own expression.
  if (std::uncaught_exceptions() > uncaughtExceptions_) return;
  (controller_ != nullptr ? *controller_ : TraceController::Instance()).Dispatch(this);
}

std::ostream& TraceFormatter::Stream() {
  if (!stream_) {
    stream_ = std::make_unique<std::ostringstream>(text_, std::ios_base::ate);
    text_.clear();
  }
  return *stream_;
}

void TraceFormatter::Append(const char* text, std::size_t size) {
  if (stream_) {
    stream_->write(text, static_cast<std::streamsize>(size));
  } else {
    text_.append(text, size);
  }
}

TraceFormatter& TraceFormatter::operator<<(std::ostream& (*manipulator)(std::ostream&)) {
  if (type_ != kInertTraceType) Stream() << manipulator;
  return *this;
}

std::string TraceFormatter::GetMesg() const { return std::string(GetMesgView()); }

std::string_view TraceFormatter::GetMesgView() const {
  return stream_ ? stream_->view() : std::string_view(text_);
}

bool TraceFormatter::Format(const char* format, PrintfArgs& args) {
  if (format == nullptr) return false;
  hasText_ = true;
  PrintfFormatter formatter(format, kWorkBufferSize);
  while (formatter.SkipToNextFormat()) {
    Append(formatter.TextBegin(),
           static_cast<std::size_t>(formatter.TextEnd() - formatter.TextBegin()));
    if (formatter.ProcessFormatSequence(args)) {
      Append(formatter.FormattedArgBegin(),
             static_cast<std::size_t>(formatter.FormattedArgEnd() - formatter.FormattedArgBegin()));
    } else {
      Append(kUnrecognised, sizeof(kUnrecognised) - 1);
    }
  }
  Append(formatter.TextBegin(),
         static_cast<std::size_t>(formatter.TextEnd() - formatter.TextBegin()));
  return true;
}

bool TraceFormatter::Format(const char* format, ...) {
  PrintfArgs args;
  va_start(args.list, format);
  const bool formatted = Format(format, args);
  va_end(args.list);
  return formatted;
}

}  // namespace dp
