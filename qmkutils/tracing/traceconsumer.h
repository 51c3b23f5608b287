// Where trace messages go.
//
// A consumer is installed in the trace controller, which offers it messages
// under its lock and releases it when it is removed (Release disposes of the
// consumer). ConsumeMessage returns true when it took the message, false to
// pass it on to the next older consumer. The base class's operations throw
// std::logic_error naming the one that was not overridden.
//
// AppendPlainTraceLine writes the plain-text form of a message shared by the
// standard-stream, file and viewer consumers:
//
//   Warning 9:5:07.042  6 Dec 2026 4711 4712 dp Thread the text
//
// the type name padded to 7 characters, the local time (hour and minute
// unpadded, as dp::LocalTimeVal writes it), process id, thread
// id, key, sub-key and text, single blanks between, line feeds in the text
// turned into blanks, and one line feed at the end.
#ifndef QMKUTILS_TRACING_TRACECONSUMER_H_
#define QMKUTILS_TRACING_TRACECONSUMER_H_

#include <string>

#include "qmkutils/platform/export.h"
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

// Appends the message's plain line to `line`; nothing for an inert message.
QMK_EXPORT void AppendPlainTraceLine(const TraceFormatter& formatter, std::string* line);

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACECONSUMER_H_
