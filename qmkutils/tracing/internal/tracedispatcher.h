// The installed trace consumers and the delivery of messages to them.
// Internal; not installed.
//
// Consumers are kept in the order of installation and offered each message
// newest first until one takes it. The dispatcher owns them: a consumer
// handed to Add is released when it is removed, also when its installation
// fails. Not thread-safe by itself: the trace controller calls it under its
// lock.
#ifndef QMKUTILS_TRACING_INTERNAL_TRACEDISPATCHER_H_
#define QMKUTILS_TRACING_INTERNAL_TRACEDISPATCHER_H_

#include <vector>

namespace dp {

class TraceConsumer;
class TraceFormatter;

namespace detail {

class TraceDispatcher {
 public:
  TraceDispatcher() = default;
  ~TraceDispatcher();
  TraceDispatcher(const TraceDispatcher&) = delete;
  TraceDispatcher& operator=(const TraceDispatcher&) = delete;

  // Installs `consumer`. When Install or the bookkeeping throws, the
  // consumer is released and the exception passes on.
  void Add(TraceConsumer* consumer);
  // Releases `consumer` if installed; false when it is not.
  bool Remove(TraceConsumer* consumer);
  // Releases every consumer, newest first.
  void RemoveAll();

  void Dispatch(const TraceFormatter& formatter);
  // Writes out what the buffering consumers (log files, the viewer) hold.
  void Flush();

  bool IsEmpty() const { return consumers_.empty(); }
  // True while a consumer buffers output that needs the periodic flush.
  bool HasBufferingConsumers() const { return bufferingConsumers_ > 0; }

 private:
  static void ReleaseQuietly(TraceConsumer* consumer);
  void Recount();

  std::vector<TraceConsumer*> consumers_;
  unsigned bufferingConsumers_ = 0;
};

}  // namespace detail
}  // namespace dp

#endif  // QMKUTILS_TRACING_INTERNAL_TRACEDISPATCHER_H_
