// A program built against the installed library: includes the umbrella
// headers, starts a thread and traces to standard output.
#include <iostream>
#include <string>
#include <sys/stat.h>

#include "qmkutils/platform/platform.h"
#include "qmkutils/tracing/tracing.h"

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

  std::string styleSheet;
  struct stat status;
  if (dp::QmInfo::GetQmTraceXslFile(&styleSheet) &&
      stat(styleSheet.substr(std::string("file://").size()).c_str(), &status) == 0) {
    s_trace("style sheet found\n");
  }
  return 0;
}
