// Where trace messages go.
//
// A consumer is installed in the trace controller, which offers it messages
// under its lock and releases it when it is removed (Release disposes of the
// consumer). ConsumeMessage returns true when it took the message, false to
// pass it on to the next older consumer. The base class's operations throw
// std::logic_error naming the one that was not overridden.
//
// The plain-text form of a message that the consumers write
// (dp::AppendPlainTraceLine) comes with this header, from plaintraceline.h.
#ifndef QMKUTILS_TRACING_TRACECONSUMER_H_
#define QMKUTILS_TRACING_TRACECONSUMER_H_

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/plaintraceline.h"
#include "qmkutils/tracing/traceformatter.h"

namespace dp {

class QMK_EXPORT TraceConsumer {
 public:
  TraceConsumer() = default;
  TraceConsumer(const TraceConsumer&) = default;
  TraceConsumer& operator=(const TraceConsumer&) = default;
  virtual ~TraceConsumer();

  virtual bool ConsumeMessage(const TraceFormatter* formatter);
  // Called when the controller installs the consumer.
  virtual void Install();
  // Called when the controller removes the consumer; disposes of it.
  virtual void Release();
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACECONSUMER_H_
