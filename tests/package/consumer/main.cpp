// A program of a library user: includes the umbrella headers, locks the
// library's locks through the standard guards, starts a thread and traces to
// standard output.
#include <sys/stat.h>

#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <qmkutils/platform/platform.h>
#include <qmkutils/tracing/tracing.h>

namespace {

const dp::QMTracer s_trace("consumer", "Main");

class Worker : public dp::Thread {
 public:
  ~Worker() override { WaitForThreadToTerminate(); }
  void Run() override { s_trace("consumer thread ran\n"); }
};

}  // namespace

int main() {
  dp::TraceController::Instance().AddConsumer(new dp::StreamConsumer(&std::cout));
  Worker worker;
  if (!worker.Start(true)) return 1;
  worker.WaitForThreadToTerminate();

  dp::SpinLock spinLock;
  dp::ReadWriteLock readWriteLock;
  { std::scoped_lock both(spinLock, readWriteLock); }
  {
    std::shared_lock reading(readWriteLock);
    std::unique_lock<dp::SpinLock> holding(spinLock);
    s_trace("standard guards hold the library's locks\n");
  }

  std::string styleSheet;
  struct stat status;
  if (dp::QmInfo::GetQmTraceXslFile(&styleSheet) &&
      stat(styleSheet.substr(std::string("file://").size()).c_str(), &status) == 0) {
    s_trace("style sheet found\n");
  }
  return 0;
}
