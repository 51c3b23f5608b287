#include "qmkutils/platform/exceptionhandler.h"

#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "qmkutils/platform/internal/signalsafeio.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/stackwalker.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {
namespace {

const QMTracer s_trace("dp", "ExceptionHandler");

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kAltStackSize = std::size_t{256} * 1024;

// Built at installation, so that a report allocates nothing for it.
std::atomic<QmStackWalker*> s_walker{nullptr};
// The thread that is reporting, 0 while none is.
std::atomic<pid_t> s_reportingThread{0};

// The calling thread's alternate signal stack. When this library mapped it,
// thread exit switches it off (unless another stack replaced it) and unmaps
// it, so threads that install the handler leak nothing; a stack still in use
// or whose state cannot be read is left mapped.
struct AltStack {
  AltStack() = default;
  AltStack(const AltStack&) = delete;
  AltStack& operator=(const AltStack&) = delete;
  ~AltStack() {
    if (memory == nullptr) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0) return;
    if (current.ss_sp == memory && (current.ss_flags & SS_DISABLE) == 0) {
      if ((current.ss_flags & SS_ONSTACK) != 0) return;
      stack_t disabled{};
      disabled.ss_flags = SS_DISABLE;
      if (::sigaltstack(&disabled, nullptr) != 0) return;
    }
    ::munmap(memory, kAltStackSize);
  }

  bool present = false;    // the thread has an alternate stack, ours or another
  void* memory = nullptr;  // the one mapped here, if any
};

thread_local AltStack t_altStack;

void WriteLine(const char* text, long long value) {
  sigsafe::LineBuffer line;
  line.Append(text);
  if (value >= 0) line.AppendDecimal(value).Append("\n");
  sigsafe::WriteAll(STDOUT_FILENO, line);
}

// Pending until the handler returns (the signal is blocked while it runs);
// a fault then recurs on the faulting instruction with the default action.
void RaiseWithDefaultAction(int signal) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  ::sigaction(signal, &defaultAction, nullptr);
  (void)::raise(signal);
}

// The report proper. Whatever a part of it throws (a trace call after the
// trace controller has shut down at exit, a failed allocation) ends only
// that part, so the prompt and the re-raise always follow.
void Report(void* context) {
  QmStackWalker* const walker = s_walker.load();
  bool loaded = false;
  try {
    loaded = walker->LoadModules();
  } catch (...) {  // NOLINT(bugprone-empty-catch): reported as 0 below
  }
  WriteLine("InExecptionHandler ", loaded ? 1 : 0);
  bool shown = false;
  try {
    shown = walker->ShowCallStack(context);
  } catch (...) {  // NOLINT(bugprone-empty-catch): reported as 0 below
  }
  WriteLine("ShowCallStack retured ", shown ? 1 : 0);
}

void OnCrash(int signal, siginfo_t* /*info*/, void* context) {
  const int savedErrno = errno;
  const pid_t self = ::gettid();
  pid_t reporter = 0;
  if (!s_reportingThread.compare_exchange_strong(reporter, self)) {
    if (reporter == self) {
      RaiseWithDefaultAction(signal);  // the report itself crashed
      return;
    }
    for (;;) ::pause();  // the reporting thread ends the process
  }
  Report(context);
  WriteLine("\n>>\tPress return to finish....\n", -1);
  char answer;
  while (::read(STDIN_FILENO, &answer, 1) < 0 && errno == EINTR) {
  }
  RaiseWithDefaultAction(signal);
  errno = savedErrno;
}

void InstallAltStack() {
  AltStack& owner = t_altStack;
  if (owner.present) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
    owner.present = true;  // the thread's own, or a sanitizer's
    return;
  }
  void* memory = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) {
    s_trace("Could not allocate an alternate signal stack (code %d).\n", errno);
    return;
  }
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = kAltStackSize;
  if (::sigaltstack(&stack, nullptr) != 0) {
    s_trace("Could not set an alternate signal stack (code %d).\n", errno);
    ::munmap(memory, kAltStackSize);
    return;
  }
  owner.memory = memory;
  owner.present = true;
}

bool InstallHandlers() {
  // Done now rather than first inside a handler: loading the unwinder,
  // creating the trace controller (which may connect to a trace viewer) and
  // caching the process id.
  void* frame;
  ::backtrace(&frame, 1);
  (void)TraceController::Instance();
  (void)Process::GetCurrentProcId();
  s_walker.store(new QmStackWalker(true));
  struct sigaction action {};
  action.sa_sigaction = &OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  bool installed = true;
  for (const int signal : kCrashSignals) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      s_trace("Could not install the crash handler for signal %d (code %d).\n", signal, errno);
      installed = false;
    }
  }
  return installed;
}

std::mutex s_nameLock;

std::string& ProgrammeName() {
  static auto* const s_name = new std::string;  // usable until the very end
  return *s_name;
}

}  // namespace

bool ExceptionHandler::AddExceptionHandler(bool /*unused*/) {
  static const bool s_installed = InstallHandlers();
  InstallAltStack();
  return s_installed;
}

void ExceptionHandler::SetProgrammeName(const std::string& name) {
  std::lock_guard<std::mutex> hold(s_nameLock);
  ProgrammeName() = name;
}

}  // namespace dp
