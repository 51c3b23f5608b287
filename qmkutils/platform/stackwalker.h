// Call-stack reports: the modules of the process and the frames of a stack.
//
// `dp::CallStackReporter` walks the calling thread's stack, or, given the
// context of a signal handler (a `ucontext_t*`), the stack of the code the
// signal interrupted, starting at the interrupted instruction. It reports
// through six overridable operations: its destructor, a notice before the
// modules are reported, one notice per loaded module, one per frame, one per
// error of the lookups, and the text output. The base notices format one line
// each and pass it to `OnOutput`, which does nothing in the base.
//
// Linux differs: modules come from dl_iterate_phdr, frames from backtrace(),
// and names from dladdr, so a function appears by name only when its module
// exports it (functions of the main program need -rdynamic; static and
// hidden functions appear as their module and offset). There is no source
// line information. C++ names are demangled.
//
// Signal safety: a report may be made from a signal handler, as the last-
// chance handler does, with care taken but no guarantee. Lines are built in
// fixed buffers and written with write(2), but demangling allocates with
// malloc, and module enumeration and dladdr take the dynamic loader's lock;
// a crash inside the allocator or the loader can therefore block a report.
// The first backtrace() of a process loads libgcc_s; call it once in
// ordinary code before reporting from a handler (dp::ExceptionHandler does).
//
// `dp::QmStackWalker` prints "OnLoadModule", "OnCallStackEntry" and
// "OnDbgHelpErr" lines to standard output before passing each notice on, and
// sends every output line to the trace (key and sub-key "QmStackWalker",
// type Info unless chosen otherwise) and, when `echo` is set, first to
// standard output. A trace call that throws (after the trace controller
// has shut down at exit) is skipped. Tracing is not async-signal-safe (see
// tracer.h); writes to standard output never raise SIGPIPE.
//
// An object reports on one thread at a time.
#ifndef QMKUTILS_PLATFORM_STACKWALKER_H_
#define QMKUTILS_PLATFORM_STACKWALKER_H_

#include <climits>
#include <cstddef>
#include <cstdint>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/tracetype.h"

namespace dp {

struct StackModule {
  const char* path;  // never null
  std::uintptr_t base;
};

struct StackFrame {
  int index;              // 0 for the innermost frame reported
  const void* address;    // the instruction, or the return address
  const char* module;     // the module's path, or null when unknown
  const char* function;   // the demangled name, or null when unknown
  std::uintptr_t offset;  // from the function's start, or from the module's base
};

class QMK_EXPORT CallStackReporter {
 public:
  static constexpr int kMaxFrames = 128;

  CallStackReporter();
  virtual ~CallStackReporter();
  CallStackReporter(const CallStackReporter&) = delete;
  CallStackReporter& operator=(const CallStackReporter&) = delete;

  // OnSymbolInit, then OnModuleLoaded for each module. True when at least
  // one module was reported.
  bool LoadModules();
  // OnCallStackEntry for each frame (OnWalkError first for a frame whose
  // module cannot be found). False when no frame could be read.
  bool ShowCallStack(const void* signalContext = nullptr);

 protected:
  virtual void OnSymbolInit(int processId);
  virtual void OnModuleLoaded(const StackModule& module);
  virtual void OnCallStackEntry(const StackFrame& frame);
  virtual void OnWalkError(const char* operation, int error, const void* address);
  virtual void OnOutput(const char* text);

 private:
  void ReportFrame(int index, const void* address, bool isReturnAddress);

  // The main program's path, which the loader leaves empty.
  char programPath_[PATH_MAX] = {};
};

class QMK_EXPORT QmStackWalker : public CallStackReporter {
 public:
  explicit QmStackWalker(bool echo = false, TraceType traceType = Info);

 protected:
  void OnModuleLoaded(const StackModule& module) override;
  void OnCallStackEntry(const StackFrame& frame) override;
  void OnWalkError(const char* operation, int error, const void* address) override;
  void OnOutput(const char* text) override;

 private:
  bool echo_;
  TraceType traceType_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_STACKWALKER_H_
