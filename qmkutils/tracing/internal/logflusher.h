// The trace controller's background thread. Internal; not installed.
//
// While consumers that buffer their output are installed, it calls its flush
// function every 200 ms, so no line waits in memory for the next message and
// output a slow reader could not take at once goes out once it can.
#ifndef QMKUTILS_TRACING_INTERNAL_LOGFLUSHER_H_
#define QMKUTILS_TRACING_INTERNAL_LOGFLUSHER_H_

#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/thread.h"

namespace dp::detail {

class LogFlusher : public Thread {
 public:
  static constexpr unsigned kPeriodMilliseconds = 200;

  explicit LogFlusher(void (*flush)()) : flush_(flush) {}
  // Stops the thread and waits for its current round to end.
  ~LogFlusher() override;
  LogFlusher(const LogFlusher&) = delete;
  LogFlusher& operator=(const LogFlusher&) = delete;

  void Run() override;

 private:
  void (*flush_)();
  Semaphore stop_;
};

}  // namespace dp::detail

#endif  // QMKUTILS_TRACING_INTERNAL_LOGFLUSHER_H_
