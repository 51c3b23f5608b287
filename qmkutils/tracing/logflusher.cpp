#include "qmkutils/tracing/internal/logflusher.h"

namespace dp::detail {

LogFlusher::~LogFlusher() {
  stop_.Signal();
  WaitForThreadToTerminate();
}

void LogFlusher::Run() {
  while (!stop_.Wait(kPeriodMilliseconds)) flush_();
}

}  // namespace dp::detail
