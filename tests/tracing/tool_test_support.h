// Support for the tests of the qmk tool: child processes, temporary
// directories and a strict reader of plain trace lines.
//
// A ChildProcess is started with posix_spawn, with default signal handling,
// the test's environment changed as asked, and its standard output and error
// (and, on request, input) connected to pipes that the test reads. Every wait
// is for a condition, bounded by a generous patience so that a broken tool
// fails the test instead of hanging it; a child still running at the end is
// killed and reaped.
#ifndef QMKUTILS_TESTS_TRACING_TOOL_TEST_SUPPORT_H_
#define QMKUTILS_TESTS_TRACING_TOOL_TEST_SUPPORT_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace qmk_test {

inline constexpr std::chrono::seconds kPatience{120};

// A fresh directory below the temporary directory, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class ChildProcess {
 public:
  // `changes` edits the test's environment: "NAME=value" sets, "NAME" unsets.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& changes,
               bool pipeInput = false) {
    int out[2], err[2], in[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0 || (pipeInput && pipe2(in, O_CLOEXEC) != 0)) {
      for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) CloseIfOpen(fd);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipeInput) {
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // The child must meet signals as a freshly started program does: a
    // SIGPIPE ignored here would hide the very faults the tests look for.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> environment = ChangedEnvironment(changes);
    std::vector<char*> envp, args;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (std::string& arg : argvCopy) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : {out[1], err[1], in[0]}) CloseIfOpen(fd);
    out_ = out[0];
    err_ = err[0];
    in_ = in[1];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_, in_}) CloseIfOpen(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  const std::string& Out() const { return outText_; }
  const std::string& Err() const { return errText_; }

  void Signal(int signal) const {
    if (pid_ > 0 && !reaped_) kill(pid_, signal);
  }
  void CloseInput() { CloseIfOpen(in_); }
  // The child's next write to standard output then fails with EPIPE.
  void CloseOutput() { CloseIfOpen(out_); }

  // True once standard output holds `text`; false when the output ends or
  // the patience runs out first.
  bool WaitForOutput(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (outText_.find(text) == std::string::npos) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Reads all output and reaps the child: its exit status, 128 + the signal
  // that killed it, or -1 when it outlasted the patience (it is killed then).
  int Finish() {
    if (pid_ <= 0 || reaped_) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (ReadSome(deadline)) {
    }
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reaped_ = true;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

  bool HasExited() const {
    if (pid_ <= 0 || reaped_) return true;
    siginfo_t info = {};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
  }

 private:
  static void CloseIfOpen(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }

  static std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      bool changed = false;
      for (const std::string& change : changes) changed |= nameOf(change) == nameOf(*entry);
      if (!changed) result.emplace_back(*entry);
    }
    for (const std::string& change : changes) {
      if (change.find('=') != std::string::npos) result.push_back(change);
    }
    return result;
  }

  // Reads what either stream has; false when both have ended or the
  // deadline has passed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    pollfd streams[] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(streams, 2, static_cast<int>(left.count())) <= 0) return true;
    int* fds[] = {&out_, &err_};
    std::string* texts[] = {&outText_, &errText_};
    for (int i = 0; i < 2; ++i) {
      if (streams[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(*fds[i], buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        CloseIfOpen(*fds[i]);
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1;
  int err_ = -1;
  int in_ = -1;
  std::string outText_;
  std::string errText_;
};

// The fields of a plain trace line.
struct PlainLine {
  std::string type, procId, threadId, key, subKey, text;
};

// Reads "Warning 9:5:07.042  6 Dec 2026 4711 4712 dp Thread text" (without
// its line end); false when the layout is off anywhere.
inline bool ReadPlainLine(std::string_view line, PlainLine* fields) {
  auto isNumber = [](std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
  };
  const std::string_view paddedType = line.substr(0, 8);
  const std::string_view type = paddedType.substr(0, paddedType.find(' '));
  if (paddedType.size() != 8 ||
      paddedType.find_first_not_of(' ', type.size()) != std::string::npos ||
      (type != "Info" && type != "Debug" && type != "Warning" && type != "Error")) {
    return false;
  }
  // time, the second blank, day, month, year, process, thread, key, sub-key
  std::string_view parts[9];
  std::size_t position = 8;
  for (std::string_view& part : parts) {
    const std::size_t blank = line.find(' ', position);
    if (blank == std::string_view::npos) return false;
    part = line.substr(position, blank - position);
    position = blank + 1;
  }
  const auto& [time, gap, day, month, year, procId, threadId, key, subKey] = parts;
  const std::size_t colon = time.find(':'), secondColon = time.find(':', colon + 1);
  if (colon == std::string_view::npos || secondColon == std::string_view::npos ||
      !isNumber(time.substr(0, colon)) ||
      !isNumber(time.substr(colon + 1, secondColon - colon - 1)) ||
      time.size() != secondColon + 7 || time[secondColon + 3] != '.' ||
      !isNumber(time.substr(secondColon + 1, 2)) || !isNumber(time.substr(secondColon + 4)) ||
      !gap.empty() || !isNumber(day) || month.empty() || !isNumber(year) || !isNumber(procId) ||
      !isNumber(threadId)) {
    return false;
  }
  *fields = {std::string(type), std::string(procId), std::string(threadId), std::string(key),
             std::string(subKey), std::string(line.substr(position))};
  return true;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_TRACING_TOOL_TEST_SUPPORT_H_
