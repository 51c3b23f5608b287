#include "qmkutils/platform/exceptionhandler.h"

#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "qmkutils/platform/internal/signalsafeio.h"
#include "qmkutils/platform/stackwalker.h"
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

thread_local bool t_hasAltStack = false;

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
  WriteLine("InExecptionHandler ", s_walker.load()->LoadModules() ? 1 : 0);
  WriteLine("ShowCallStack retured ", s_walker.load()->ShowCallStack(context) ? 1 : 0);
  WriteLine("\n>>\tPress return to finish....\n", -1);
  char answer;
  while (::read(STDIN_FILENO, &answer, 1) < 0 && errno == EINTR) {
  }
  RaiseWithDefaultAction(signal);
  errno = savedErrno;
}

void InstallAltStack() {
  if (t_hasAltStack) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
    t_hasAltStack = true;  // the thread's own, or a sanitizer's
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
  t_hasAltStack = true;
}

bool InstallHandlers() {
  void* frame;
  ::backtrace(&frame, 1);  // loads the unwinder now rather than in a handler
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
