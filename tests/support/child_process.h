// A child process for tests of command-line programs. It runs with the test's
// environment (argv[0] is looked up in PATH) and default signal handling; its
// standard input, output and error are pipes. Every wait is bounded by a
// generous patience, so a broken program fails the test instead of hanging
// it; a child still running at the end is killed and reaped.
#ifndef QMKUTILS_TESTS_SUPPORT_CHILD_PROCESS_H_
#define QMKUTILS_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "support/eventually.h"

extern char** environ;

namespace qmk_test {

// Reaps the child `pid`, killing it once `patience` has passed: its exit
// status, 128 + the signal that killed it, or -1 when it hung.
inline int Reap(pid_t pid, std::chrono::steady_clock::duration patience = kPatience) {
  int status = 0;
  pid_t reaped = 0;
  if (!Eventually([&] { return (reaped = waitpid(pid, &status, WNOHANG)) != 0; }, patience)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  if (reaped != pid) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv) {
    if (pipe2(in_, O_CLOEXEC) != 0 || pipe2(out_, O_CLOEXEC) != 0 || pipe2(err_, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_[1], STDERR_FILENO);
    // A SIGPIPE ignored or blocked here must not reach the child: it would
    // hide the very faults the tests look for.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int* fd : {&in_[0], &out_[1], &err_[1]}) Close(*fd);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int* pipe : {in_, out_, err_}) Close(pipe[0]), Close(pipe[1]);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& Out() const { return outText_; }
  const std::string& Err() const { return errText_; }

  // The child's next write to standard output then fails with EPIPE.
  void CloseOutput() { Close(out_[0]); }

  bool HasExited() const {
    siginfo_t info = {};
    return pid_ <= 0 || reaped_ ||
           (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_);
  }
  bool WaitForExit() const {
    return Eventually([this] { return HasExited(); });
  }

  // True once standard output holds `text`; false when it ends first.
  bool WaitForOutput(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (outText_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Ends the child's input, reads all its output and reaps it (see Reap).
  int Finish() {
    Close(in_[1]);
    if (pid_ <= 0 || reaped_) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (ReadSome(deadline)) {
    }
    reaped_ = true;
    return Reap(pid_, deadline - std::chrono::steady_clock::now());
  }

 private:
  static void Close(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  // False once both streams have ended or the deadline has passed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if ((out_[0] < 0 && err_[0] < 0) || left.count() <= 0) return false;
    pollfd streams[] = {{out_[0], POLLIN, 0}, {err_[0], POLLIN, 0}};
    if (poll(streams, 2, static_cast<int>(left.count())) <= 0) return true;
    int* fds[] = {&out_[0], &err_[0]};
    std::string* texts[] = {&outText_, &errText_};
    for (int i = 0; i < 2; ++i) {
      if (streams[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(*fds[i], buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        Close(*fds[i]);
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_[2] = {-1, -1}, out_[2] = {-1, -1}, err_[2] = {-1, -1};
  std::string outText_, errText_;
};

// Runs `argv` to its end with empty input; its exit status as Finish gives
// it (-1 when it could not start), and what it wrote.
inline int RunCommand(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  ChildProcess child(argv);
  const int status = child.Finish();
  *out = child.Out();
  *err = child.Err();
  return status;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_CHILD_PROCESS_H_
