// A trace consumer that sends plain lines to a running trace viewer.
//
// Lines are sent one record each over the viewer's socket (see
// qmkutils/tracing/viewerendpoint.h), in order, and never with a wait for the
// viewer: a line the viewer has no room for waits in a queue and goes out
// with the next message or the trace controller's next flush round (every
// 200 ms), so none is lost while the viewer keeps up. A viewer that takes
// nothing for 5 s, or lets the queue reach 256 KiB, has stalled: the queue is
// dropped, and for the next 5 s lines are dropped without being offered;
// then the consumer tries again. A line of 1024 bytes or more is dropped, and
// a viewer that has gone (its socket fails) gets nothing more. The consumer
// accepts every message either way, so no viewer, however slow, holds a
// traced program up.
#ifndef QMKUTILS_TRACING_WINDOWCONSUMER_H_
#define QMKUTILS_TRACING_WINDOWCONSUMER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceconsumer.h"

namespace dp {

class QMK_EXPORT WindowConsumer : public TraceConsumer {
 public:
  static constexpr std::int64_t kStallMilliseconds = 5000;
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{256} * 1024;

  // Takes ownership of `window`, a socket connected to the viewer.
  explicit WindowConsumer(int window) : window_(window) {}
  ~WindowConsumer() override;
  WindowConsumer(const WindowConsumer&) = delete;
  WindowConsumer& operator=(const WindowConsumer&) = delete;

  bool ConsumeMessage(const TraceFormatter* formatter) override;
  void Install() override {}
  // Closes the connection and deletes the consumer.
  void Release() override;

  // Sends what is queued and the viewer takes now.
  void Flush();

 private:
  void SendQueued(std::int64_t now);
  void Stall(std::int64_t now);

  int window_;
  bool failed_ = false;
  std::deque<std::string> queue_;
  std::size_t queuedBytes_ = 0;
  // Monotonic milliseconds: the last time the viewer took a line while lines
  // were queued, and the end of the current back-off (0: none).
  std::int64_t lastProgress_ = 0;
  std::int64_t backOffUntil_ = 0;
  std::string line_;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_WINDOWCONSUMER_H_
