// Processes: the calling process's id, and child programs with optional
// redirection of their standard streams.
//
// `dp::Process::GetCurrentProcId()` returns the calling process's id without
// a system call: the id is cached on first use and refreshed in the child of
// every fork() (through the library's fork handler), so a forked child sees
// its own id. After its first call in a process it is async-signal-safe. A
// child made by vfork() or a raw clone() bypasses the fork handlers and must
// not call it before exec.
//
// A `dp::Process` object starts one child at a time. `Tie` opens a file for
// one of the child's standard streams (close-on-exec in this process; the
// next `Run` that finds its program hands it to the child and closes it
// here). `Run` finds the program by its extension as a Windows shell would:
// "name.exe" runs directly, "name.bat" and "name.cmd" are scripts, and a name
// without either is tried with ".exe", ".bat" and ".cmd" appended, in that
// order, taking the first that is a regular file; when none is and the name
// itself is an executable file, that file runs. Relative names are taken
// from the current directory; PATH is not searched. The command line is
// built as on Windows ("CMD /C " before a script, the program in double
// quotes, each argument after a blank, an argument with a blank quoted unless
// `verbatim`), appears in the trace as built, and is split into the child's
// argument vector by the Windows rules (backslashes escape only double
// quotes; "" inside quotes is a literal double quote).
//
// Linux differs: scripts run under /bin/sh, which receives the argument
// vector after "CMD /C". The calling process's standard streams are never
// swapped; tied files are given to the child alone (posix_spawn). The child
// inherits this process's credentials, environment and open descriptors that
// are not close-on-exec, and starts with no signals blocked and every signal
// at its default action (one ignored here is not ignored there);
// `creationFlags`, `asCurrentUser` and `hidden` have no effect. A child
// killed by a signal reports exit code -1 (0xFFFFFFFF).
//
// A child is waited for without blocking: `GetProcState` reaps it once it has
// exited and keeps its status. A child whose object is destroyed (or which a
// second `Run` replaces) is neither killed nor waited for; if it is still
// running it is handed to a process-wide list from which later `Run` calls
// and destructors of any `dp::Process` reap it without blocking, so exited
// children do not linger as zombies while the library starts others (a
// bounded list: beyond 256 abandoned running children, the excess is left
// to the caller). A program that reaps with waitpid(-1) itself takes
// children from under these objects.
//
// One object is used by one thread at a time; distinct objects may be used
// concurrently. Trace lines use key "du", sub-key "Process".
#ifndef QMKUTILS_PLATFORM_PROCESS_H_
#define QMKUTILS_PLATFORM_PROCESS_H_

#include <memory>
#include <string>
#include <vector>

#include "qmkutils/platform/export.h"

namespace dp {

class QMK_EXPORT Process {
 public:
  enum Stream { kStdIn = 0, kStdOut = 1, kStdErr = 2 };
  enum ProcState { kRunning = 0, kExited = 1, kUnknown = 2 };
  // Any value other than kProcessTree means the child alone.
  enum KillOption { kChildOnly = 0, kProcessTree = 1 };

  // The exit code reported while the child runs.
  static constexpr int kStillActive = 259;

  Process();
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Input opens an existing file for reading, without waiting for the writer
  // of a FIFO; output and error open it for writing, created or truncated
  // (error writes through, O_SYNC). False with a trace line when the file
  // cannot be opened or is a directory (code EISDIR).
  bool Tie(Stream stream, const char* path);
  bool Tie(Stream stream, const std::string& path);

  // `args` is a null-terminated array, or null. True once the child runs.
  bool Run(const char* program, const char** args, unsigned creationFlags = 0,
           bool verbatim = false, bool asCurrentUser = false, bool hidden = false);
  bool Run(const std::string& program, const std::vector<std::string>& args,
           unsigned creationFlags = 0, bool verbatim = false, bool asCurrentUser = false,
           bool hidden = false);

  // The child's id; 0 before the first successful Run.
  int GetProcId() const;
  static int GetCurrentProcId();

  // kUnknown when no child was started or its status cannot be read;
  // kRunning with `exitCode` kStillActive; otherwise kExited with its code.
  ProcState GetProcState(int& exitCode);

  // Not supported: always false.
  bool KillNicely(KillOption option);
  // SIGKILL to the child, or to the child and all its descendants (parents
  // before their children). True when every process was killed; false, and
  // nothing killed, when the child has already exited (it is reaped then).
  // A descendant whose parent has already exited is no longer found.
  bool KillForcefully(KillOption option);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_PROCESS_H_
