#include "demo_command.h"

#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/tracing.h"

namespace qmk {
namespace {

// A source is named by a key (the component) and a sub-key (its part). Every
// line says which source wrote it, so a viewer can keep just one of them.
const dp::QMTracer s_mainTrace("demo", "Main");
const dp::QMTracer s_workerTrace("demo", "Worker");
const dp::QMDebugTracer s_workerDebug("demo", "Worker");

// Notes for the reader go to standard error: standard output may be carrying
// the trace lines themselves.
void Say(std::string_view note) { std::cerr << "qmk demo: " << note << '\n'; }

// ---- Step 1: choose where trace lines go -----------------------------------

bool ChooseTraceOutput() {
  // The controller is built on first use; if a `qmk trace` is listening then,
  // it starts out sending every line there.
  dp::TraceController& controller = dp::TraceController::Instance();
  const bool viewerRunning = controller.IsTracing();

  // A program opts in to the environment's choice: a file path, "stdout" or
  // "stderr"; QUILL_PROC_TRACE adds the process id to the file name.
  controller.InitFromEnvironment();

  const std::string procTrace = dp::Environment::Get("QUILL_PROC_TRACE");
  const std::string trace = dp::Environment::Get("QUILL_TRACE");
  if (!procTrace.empty()) {
    Say("tracing as QUILL_PROC_TRACE says: " + procTrace + " (files get the process id)");
  } else if (!trace.empty()) {
    Say("tracing as QUILL_TRACE says: " + trace + " (a path ending in .xml gives an XML log)");
  } else if (viewerRunning) {
    Say("tracing to the trace viewer listening at " + dp::TraceViewerEndpoint::GetPath());
  } else {
    // The newest consumer takes every message; this one writes plain lines.
    controller.AddConsumer(new dp::StreamConsumer(&std::cout));
    Say("no trace viewer is running and neither QUILL_TRACE nor QUILL_PROC_TRACE is set,");
    Say("so trace lines go to standard output. Run 'qmk trace' elsewhere to watch them there.");
  }
  s_mainTrace("qmk demo started in process %d\n", static_cast<int>(getpid()));
  return true;
}

// ---- Step 2: trace in the printf form and the stream form -------------------

bool ShowMessageForms() {
  // The printf form: type Info unless one is given.
  s_mainTrace("Messages have a type: Info, Debug, %s or %s\n", "Warning", "Error");
  s_mainTrace(dp::Warning, "A %s stands out in the viewer\n", "Warning");
  // The stream form: the message goes out at the end of the statement.
  s_mainTrace(dp::Info) << "The stream form takes anything an ostream takes: " << 42 << ", " << 2.5
                        << '\n';
  s_mainTrace("A line feed inside a message\nkeeps a plain line whole; XML logs keep it\n");
  s_mainTrace("Markup such as <b>&\"quoted\"</b> is escaped in XML logs\n");
  return true;
}

// ---- Step 3: threads with thread-exit calls ----------------------------------

// Thread-exit calls are plain functions that run on the ending thread after
// Run, lowest longevity first: after an exception from Run as well.
void ReleaseBuffers() { s_workerTrace("Exit call with longevity 10 runs first\n"); }
void CloseFiles() { s_workerTrace("Exit call with longevity 20 runs next\n"); }
void SayGoodbye() { s_workerTrace("Exit call with longevity 30 runs last\n"); }

class Worker : public dp::Thread {
 public:
  Worker(int number, bool failsOnPurpose) : number_(number), failsOnPurpose_(failsOnPurpose) {}
  // Run reads this object's members, so it must end before they go.
  ~Worker() override { WaitForThreadToTerminate(); }

  void Run() override {
    // Scheduled out of order on purpose: they still run 10, 20, 30.
    ScheduleAtThreadExitCall(30, &SayGoodbye);
    ScheduleAtThreadExitCall(10, &ReleaseBuffers);
    ScheduleAtThreadExitCall(20, &CloseFiles);

    s_workerDebug() << "Worker " << number_ << " runs on thread " << GetCurrentThreadId()
                    << (GetCurrentThread() == this ? ", and GetCurrentThread() finds it\n" : "\n");
    // The mask form writes only when QMTRACE_DEBUG gives this source a
    // matching bit: QMTRACE_DEBUG=demo::Worker=1 shows these lines.
    s_workerDebug(0x1, "Worker %d: a detail for those who asked for it\n", number_);
    if (failsOnPurpose_) {
      s_workerTrace(dp::Error, "Worker %d throws on purpose; the library catches it\n", number_);
      throw std::runtime_error("worker " + std::to_string(number_) + " failed on purpose");
    }
    std::uint64_t sum = 0;
    for (int i = 1; i <= number_ * 1000; ++i) sum += static_cast<std::uint64_t>(i) * i;
    s_workerTrace("Worker %d: the squares of 1..%d add up to %llu\n", number_, number_ * 1000,
                  static_cast<unsigned long long>(sum));
  }

 private:
  const int number_;
  const bool failsOnPurpose_;
};

bool RunWorkers() {
  constexpr int kWorkers = 4;
  std::vector<std::unique_ptr<Worker>> workers;
  for (int number = 1; number <= kWorkers; ++number) {
    workers.push_back(std::make_unique<Worker>(number, number == kWorkers));
    if (!workers.back()->Start()) {
      Say("could not start a thread");
      return false;
    }
  }
  for (const auto& worker : workers) worker->WaitForThreadToTerminate();
  s_mainTrace("qmk demo finished: every worker has ended and its exit calls have run\n");
  return true;
}

// ---- The tour ----------------------------------------------------------------

struct Step {
  const char* title;
  bool (*run)();  // false when the tour cannot go on
};

const Step kSteps[] = {
    {"choose where trace lines go", &ChooseTraceOutput},
    {"trace in the printf and the stream form", &ShowMessageForms},
    {"run threads with thread-exit calls", &RunWorkers},
};

// Waits for Enter; false once standard input has ended.
bool WaitForEnter(const Step& step) {
  std::cerr << "qmk demo: press Enter to " << step.title << ' ' << std::flush;
  std::string ignored;
  return static_cast<bool>(std::getline(std::cin, ignored));
}

}  // namespace

int RunDemoCommand(int argc, char** argv) {
  bool stepping = argc == 1 && std::string_view(argv[0]) == "--step";
  if (argc > 0 && !stepping) {
    std::cerr << "qmk demo: unknown option '" << argv[0] << "'\nRun 'qmk help' for usage.\n";
    return 2;
  }
  for (const Step& step : kSteps) {
    if (stepping && &step != &kSteps[0]) stepping = WaitForEnter(step);
    if (!step.run()) return 1;
  }
  return 0;
}

}  // namespace qmk
