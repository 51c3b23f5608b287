#include "qmkutils/platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "qmkutils/platform/internal/asciitext.h"
#include "qmkutils/platform/internal/commandline.h"
#include "qmkutils/platform/internal/environmentlock.h"
#include "qmkutils/platform/internal/filesystem.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/internal/processtree.h"
#include "qmkutils/tracing/tracer.h"

extern char** environ;

namespace dp {
namespace {

const QMTracer s_trace("du", "Process");

// 0 until first use; afterwards always this process's id, because the fork
// handler is registered before the first id is stored.
std::atomic<int> s_processId{0};

void RefreshProcessIdInChild() { s_processId.store(::getpid(), std::memory_order_relaxed); }

const fork::Registration s_forkRegistration(fork::Participant::kProcessId,
                                            {nullptr, nullptr, &RefreshProcessIdInChild});

int CacheProcessId() {
  const int id = ::getpid();
  s_processId.store(id, std::memory_order_relaxed);
  return id;
}

// Children abandoned while still running, 0 in free slots. A slot's pid is
// taken out with an exchange before it is waited for, so exactly one thread
// ever waits for it. A fork child inherits the list; waitpid then fails
// there with ECHILD and the entry is dropped.
std::array<std::atomic<int>, 256> s_abandoned{};

void Abandon(int pid) {
  if (::waitpid(pid, nullptr, WNOHANG) != 0) return;  // reaped now, or not ours
  for (std::atomic<int>& slot : s_abandoned) {
    int expected = 0;
    if (slot.compare_exchange_strong(expected, pid, std::memory_order_relaxed)) return;
  }
}

void ReapAbandoned() {
  for (std::atomic<int>& slot : s_abandoned) {
    if (slot.load(std::memory_order_relaxed) == 0) continue;
    const int pid = slot.exchange(0, std::memory_order_relaxed);
    if (pid != 0) Abandon(pid);
  }
}

const char* ErrorText(int error, char (&buffer)[256]) {
  return ::strerror_r(error, buffer, sizeof buffer);  // GNU form: returns the text
}

const char* StreamName(int stream) {
  static const char* const s_names[] = {"stdin", "stdout", "stderr"};
  return s_names[stream];
}

// A directory or device that carries a probed name is passed over.
using ascii::EqualsIgnoringCase;
using fsutil::IsRegularFile;

bool IsExecutableFile(const std::string& path) {
  return IsRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
}

// The file to start for `program` and whether it is a script; false when
// there is none. The extension is the text after the last dot of the file
// name (a dot in a directory name does not count).
bool Resolve(const std::string& program, std::string& file, bool& isScript) {
  const std::size_t slash = program.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = program.rfind('.');
  if (dot != std::string::npos && dot >= nameStart) {
    const std::string_view extension = std::string_view(program).substr(dot + 1);
    isScript = EqualsIgnoringCase(extension, "bat") || EqualsIgnoringCase(extension, "cmd");
    if (isScript || EqualsIgnoringCase(extension, "exe")) {
      file = program;
      return true;
    }
  }
  static const char* const s_probes[] = {".exe", ".bat", ".cmd"};
  for (const char* probe : s_probes) {
    file = program + probe;
    isScript = probe != s_probes[0];
    if (IsRegularFile(file)) return true;
  }
  file = program;
  isScript = false;
  return IsExecutableFile(program);
}

}  // namespace

struct Process::Impl {
  std::array<int, 3> tied{-1, -1, -1};
  int pid = 0;
  bool reaped = false;
  int exitCode = 0;

  void CloseTied() {
    for (int& fd : tied) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }
  void ReleaseChild() {
    if (pid > 0 && !reaped) Abandon(pid);
    pid = 0;
    reaped = false;
  }
  // posix_spawn with the tied files as the child's standard streams: 0 or
  // the error.
  int Spawn(const char* file, std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (::posix_spawn_file_actions_init(&actions) != 0) return ENOMEM;
    if (::posix_spawnattr_init(&attributes) != 0) {
      ::posix_spawn_file_actions_destroy(&actions);
      return ENOMEM;
    }
    int error = 0;
    for (int stream = 0; stream < 3 && error == 0; ++stream) {
      if (tied[stream] >= 0)
        error = ::posix_spawn_file_actions_adddup2(&actions, tied[stream], stream);
    }
    sigset_t none;
    sigemptyset(&none);
    // Every signal starts with its default action: dispositions this process
    // ignores (SIGPIPE, typically) are not passed on.
    sigset_t all;
    sigfillset(&all);
    if (error == 0) error = ::posix_spawnattr_setsigmask(&attributes, &none);
    if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes, &all);
    if (error == 0)
      error =
          ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (error == 0) {
      pid_t child = 0;
      std::lock_guard<std::mutex> hold(env::EnvironmentLock());
      error = ::posix_spawn(&child, file, &actions, &attributes, pointers.data(), environ);
      if (error == 0) pid = child;
    }
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
  }
};

Process::Process() : impl_(std::make_unique<Impl>()) {}

Process::~Process() {
  impl_->CloseTied();
  impl_->ReleaseChild();
  ReapAbandoned();
}

bool Process::Tie(Stream stream, const char* path) {
  if (stream < kStdIn || stream > kStdErr) {
    s_trace("Could not tie child process stream %d: there is no such stream.\n", int(stream));
    return false;
  }
  // Input opens without blocking, so that a FIFO without a writer cannot
  // hold up Tie; the flag is cleared again below. Output to a directory
  // already fails in open() (EISDIR); input from one is refused after it.
  static const int s_flags[] = {O_RDONLY | O_NONBLOCK, O_WRONLY | O_CREAT | O_TRUNC,
                                O_WRONLY | O_CREAT | O_TRUNC | O_SYNC};
  int fd = path ? ::open(path, s_flags[stream] | O_CLOEXEC, 0666) : -1;
  int error = path ? errno : EINVAL;
  if (fd >= 0 && stream == kStdIn) {
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      error = errno;
      ::close(fd);
      fd = -1;
    } else if (S_ISDIR(info.st_mode)) {
      error = EISDIR;
      ::close(fd);
      fd = -1;
    }
  }
  // Kept above the standard descriptors, so that handing it to the child's
  // stream is always a real dup2, which clears close-on-exec there.
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    error = errno;
    ::close(fd);
    fd = moved;
  }
  if (fd < 0) {
    s_trace("Could not tie child process %s to \"%s\" (code %d).\n", StreamName(stream),
            path ? path : "", error);
    return false;
  }
  int& tied = impl_->tied[stream];
  if (tied >= 0) ::close(tied);
  tied = fd;
  return true;
}

bool Process::Tie(Stream stream, const std::string& path) { return Tie(stream, path.c_str()); }

bool Process::Run(const char* program, const char** args, unsigned creationFlags, bool verbatim,
                  bool asCurrentUser, bool hidden) {
  std::vector<std::string> arguments;
  for (const char** arg = args; arg != nullptr && *arg != nullptr; ++arg)
    arguments.emplace_back(*arg);
  return Run(std::string(program ? program : ""), arguments, creationFlags, verbatim, asCurrentUser,
             hidden);
}

bool Process::Run(const std::string& program, const std::vector<std::string>& args,
                  unsigned /*creationFlags*/, bool verbatim, bool /*asCurrentUser*/,
                  bool /*hidden*/) {
  ReapAbandoned();
  std::string file;
  bool isScript = false;
  if (!Resolve(program, file, isScript)) {
    s_trace(
        "FAILED to launch \"%s\" (no such file with either '.exe', '.cmd' or '.bat' "
        "extension).\n",
        program.c_str());
    return false;
  }
  impl_->ReleaseChild();
  const std::string commandLine = cmdline::Build(file, args, isScript, verbatim);
  std::vector<std::string> argv = cmdline::Split(commandLine);
  if (isScript) {
    argv.erase(argv.begin(), argv.begin() + 2);  // "CMD /C"
    argv.insert(argv.begin(), "/bin/sh");
  }
  const std::string executable = argv[0];
  const int error = impl_->Spawn(executable.c_str(), argv);
  impl_->CloseTied();
  if (error != 0) {
    char buffer[256];
    s_trace(dp::Error) << "FAILED to launch\n\t\"" << commandLine << "\"\nError\n\t\""
                       << ErrorText(error, buffer) << "\".";
    return false;
  }
  s_trace("Successfully launched:\n    \"%s\n", commandLine.c_str());
  return true;
}

int Process::GetProcId() const { return impl_->pid; }

int Process::GetCurrentProcId() {
  const int id = s_processId.load(std::memory_order_relaxed);
  return id != 0 ? id : CacheProcessId();
}

Process::ProcState Process::GetProcState(int& exitCode) {
  if (impl_->pid <= 0) return kUnknown;
  if (!impl_->reaped) {
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(impl_->pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (result < 0) return kUnknown;  // reaped by someone else
    if (result == 0) {
      exitCode = kStillActive;
      return kRunning;
    }
    impl_->reaped = true;
    impl_->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  exitCode = impl_->exitCode;
  return kExited;
}

bool Process::KillNicely(KillOption /*option*/) { return false; }

bool Process::KillForcefully(KillOption option) {
  char buffer[256];
  // A child that has exited is reaped first and not killed: its id may
  // belong to another process once it is reaped, and killing a zombie would
  // report a success that did not happen. One that some other waiter reaped
  // (kUnknown) is treated alike.
  int exitCode = 0;
  if (impl_->pid <= 0 || GetProcState(exitCode) != kRunning) {
    s_trace("Couldn't get handle for  process %d. - %s.\n", impl_->pid, ErrorText(ESRCH, buffer));
    return false;
  }
  if (option != kProcessTree) {
    if (::kill(impl_->pid, SIGKILL) == 0) return true;
    s_trace("Couldn't terminate process %d. - %s.\n", impl_->pid, ErrorText(errno, buffer));
    return false;
  }
  proctree::Failure failure;
  const std::vector<int> tree = proctree::Collect(impl_->pid, failure);
  if (failure != proctree::Failure::kNone) {
    const char* text = ErrorText(errno, buffer);
    if (failure == proctree::Failure::kOpen) {
      s_trace("Can't open process snapshot handle to find procs to kill - %s.\n", text);
    } else {
      s_trace("Couldn't snapshot processList - %s.\n", text);
    }
    return false;
  }
  bool killedAll = true;
  for (const int pid : tree) {
    if (::kill(pid, SIGKILL) == 0) {
      s_trace("Group Terminated process %d.\n", pid);
      continue;
    }
    killedAll = false;
    const int error = errno;
    if (error == ESRCH || error == EPERM) {
      s_trace("Couldn't get handle for  process %d. - %s.\n", pid, ErrorText(error, buffer));
    } else {
      s_trace("Couldn't terminate process %d. - %s.\n", pid, ErrorText(error, buffer));
    }
  }
  return killedAll;
}

}  // namespace dp
