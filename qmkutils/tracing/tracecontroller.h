// The process-wide trace controller.
//
// Every trace message is offered to the installed consumers, newest first,
// until one takes it; with the library's consumers that is the newest one
// able to write. All controller operations, and therefore every consumer's
// ConsumeMessage, run under one re-entrant class lock, so messages from all
// threads are written whole and in the order they reached the lock. A
// consumer must not wait for another thread that traces.
//
// The controller starts silent: it connects to a running trace viewer (see
// qmkutils/tracing/viewerendpoint.h) when it is created, and otherwise waits for the
// host program to call InitFromEnvironment ("QUILL_PROC_TRACE", then
// "QUILL_TRACE": "stdout", "stderr" or a file path, a ".xml" path giving an
// XML log) or to add consumers itself. "QMTRACE_DEBUG" sets the debug masks,
// e.g. "dom::Exchange=0x3, du 4"; a malformed value sets none.
//
// It is destroyed after every other singleton (longevity 0xFFFFFFFF); its
// consumers are released then, so an XML log always gets its closing tag on
// a normal exit.
#ifndef QMKUTILS_TRACING_TRACECONTROLLER_H_
#define QMKUTILS_TRACING_TRACECONTROLLER_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class TraceConsumer;
class TraceFormatter;

class QMK_EXPORT QMTraceController {
 public:
  static QMTraceController& Instance();

  // Installs the consumer that the environment names, if any.
  virtual void InitFromEnvironment() = 0;
  virtual void RemoveAllConsumers() = 0;
  // A file consumer for `path` ("_<pid>" inserted before the extension when
  // `appendProcessId`), installed; null for an empty path.
  virtual TraceConsumer* AddFileConsumer(const std::string& path, bool appendProcessId) = 0;
  // Installs `consumer`; the controller owns it from now on and releases it
  // when it is removed.
  virtual void AddConsumer(TraceConsumer* consumer) = 0;
  virtual void RemoveConsumer(TraceConsumer* consumer) = 0;
  virtual ~QMTraceController();

 protected:
  QMTraceController();
};

class QMK_EXPORT TraceController : public QMTraceController {
 public:
  static TraceController& Instance();

  // True while at least one consumer is installed.
  virtual bool IsTracing() const = 0;
  // The mask "QMTRACE_DEBUG" gives the source "key::subKey" (or "key" when
  // the sub-key is empty), 0 when none.
  virtual unsigned GetDebugLevel(const std::string& key, const std::string& subKey) = 0;
  virtual void Dispatch(const TraceFormatter* formatter) = 0;

 protected:
  TraceController();
};

QMK_EXPORT unsigned GetLongevity(TraceController*);
QMK_EXPORT unsigned GetLongevity(QMTraceController*);

}  // namespace dp

#endif  // QMKUTILS_TRACING_TRACECONTROLLER_H_
