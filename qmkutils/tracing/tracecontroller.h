// The process-wide trace controller.
//
// Every trace message is offered to the installed consumers, newest first,
// until one takes it; with the library's consumers that is the newest one
// able to write. All controller operations, and therefore every consumer's
// ConsumeMessage, run under one re-entrant class lock, so messages from all
// threads are written whole and in the order they reached the lock. A
// consumer must not wait for another thread that traces, nor for the reader
// of its output: the library's consumers never wait for a reader under the
// lock (see fileconsumer.h and windowconsumer.h).
//
// The controller starts silent: it connects to a running trace viewer (see
// qmkutils/tracing/viewerendpoint.h) when it is created, and otherwise waits
// for the host program to call InitFromEnvironment ("QUILL_PROC_TRACE", then
// "QUILL_TRACE": "stdout", "stderr" or a file path, a ".xml" path giving an
// XML log) or to add consumers itself. "QMTRACE_DEBUG" sets the debug masks
// (qmkutils/tracing/debuglevels.h), e.g. "dom::Exchange=0x3, du 4"; a
// malformed value sets none.
//
// Ownership: a consumer handed to AddConsumer belongs to the controller,
// which releases it when it is removed, and also when installing it fails
// (the exception then passes on). Prefer the std::unique_ptr overload.
//
// Exit: the controller is shut down after every other singleton (longevity
// 0xFFFFFFFF). Its consumers are released then, so an XML log always gets its
// closing tag on a normal exit; later trace calls throw dp::DeadReference.
// Its storage is never freed, so a thread still tracing during exit never
// touches freed memory.
//
// Fork: a child forked while other threads trace inherits the controller
// with its lock free and its consumers' buffers empty; its log flusher is
// started anew by its first message.
#ifndef QMKUTILS_TRACING_TRACECONTROLLER_H_
#define QMKUTILS_TRACING_TRACECONTROLLER_H_

#include <memory>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceconsumer.h"

namespace dp {

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
  void AddConsumer(std::unique_ptr<TraceConsumer> consumer) { AddConsumer(consumer.release()); }
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
