// The last-chance crash handler: a call-stack report on standard output.
//
// `dp::ExceptionHandler::AddExceptionHandler` installs a handler for SIGSEGV,
// SIGBUS, SIGILL, SIGFPE and SIGABRT. On such a signal it reports the
// process's modules and the interrupted stack through a dp::QmStackWalker
// that echoes to standard output, writing "InExecptionHandler %d",
// "ShowCallStack retured %d" and the prompt "\n>>\tPress return to
// finish....\n" between the parts, reads one byte from standard input (end
// of input does as well), then restores the signal's default action and
// raises it again, so that the process ends by the original signal (and
// dumps core where the system is set to).
//
// Linux differs: a handler for signals replaces the unhandled-exception
// filter; C++ exceptions that escape reach it as SIGABRT (std::terminate).
//
// Installing changes the dispositions of those five signals and is the only
// place where the library does so; it also primes backtrace(), creates the
// trace controller and caches the process id, so that a report does none of
// these first, and gives the calling thread an alternate signal stack of
// 256 KiB (switched off and freed when the thread ends) unless it has one,
// so that a stack overflow on that thread is reported too. Other threads
// need their own alternate stack for that; their other crashes are reported
// on their own stacks. Installing again only adds the calling thread's stack,
// once per thread. A part of the report that throws is cut short; the prompt
// and the re-raise still follow.
//
// While one thread reports, a crash on another thread waits for the report
// to end the process; a crash inside the report itself ends the process at
// once by its signal. What a report does from inside the handler is listed in
// stackwalker.h: it allocates while demangling and traces, neither of which
// is async-signal-safe, an accepted risk for a process that is ending anyway.
//
// `SetProgrammeName` stores a name for the reports; nothing reads it back.
// All operations are thread-safe.
#ifndef QMKUTILS_PLATFORM_EXCEPTIONHANDLER_H_
#define QMKUTILS_PLATFORM_EXCEPTIONHANDLER_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT ExceptionHandler {
 public:
  ExceptionHandler() = delete;

  // The argument is not used. False, with a trace line, when a signal's
  // handler could not be set.
  static bool AddExceptionHandler(bool unused = false);
  static void SetProgrammeName(const std::string& name);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_EXCEPTIONHANDLER_H_
