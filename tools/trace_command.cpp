#include "trace_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/tracing/plaintraceline.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/viewerendpoint.h"

namespace qmk {
namespace {

constexpr dp::TraceType kTypes[] = {dp::Info, dp::Debug, dp::Warning, dp::Error};
constexpr std::string_view kOptionNames[] = {"--type", "--key", "--color", "--count"};

// Records read from one connection before the others get their turn.
constexpr int kRecordsPerTurn = 64;

enum class ColorMode { kAuto, kAlways, kNever };

struct ViewerOptions {
  std::vector<dp::TraceType> types;
  std::vector<std::string> keys;  // "key" or "key::subkey"
  ColorMode color = ColorMode::kAuto;
  unsigned long long count = 0;  // 0: no limit
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// "a,b,c"; false when an item is empty.
bool SplitList(std::string_view list, std::vector<std::string_view>* items) {
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (item.empty()) return false;
    items->push_back(item);
    if (comma == std::string_view::npos) return true;
    list.remove_prefix(comma + 1);
  }
}

bool ParseTypes(std::string_view value, ViewerOptions* options, std::string* error) {
  std::vector<std::string_view> items;
  if (!SplitList(value, &items)) {
    *error = "--type needs a comma-separated list of Info, Debug, Warning, Error";
    return false;
  }
  for (std::string_view item : items) {
    const auto* known = std::find_if(std::begin(kTypes), std::end(kTypes), [&](dp::TraceType type) {
      return EqualsIgnoringCase(dp::GetTraceTypeName(type), item);
    });
    if (known == std::end(kTypes)) {
      *error = "unknown message type '" + std::string(item) + "' (Info, Debug, Warning or Error)";
      return false;
    }
    options->types.push_back(*known);
  }
  return true;
}

bool ParseOptionValue(std::string_view name, std::string_view value, ViewerOptions* options,
                      std::string* error) {
  if (name == "--type") return ParseTypes(value, options, error);
  if (name == "--key") {
    std::vector<std::string_view> items;
    if (!SplitList(value, &items)) {
      *error = "--key needs a comma-separated list of key or key::subkey names";
      return false;
    }
    options->keys.insert(options->keys.end(), items.begin(), items.end());
    return true;
  }
  if (name == "--color") {
    if (value == "auto") {
      options->color = ColorMode::kAuto;
    } else if (value == "always") {
      options->color = ColorMode::kAlways;
    } else if (value == "never") {
      options->color = ColorMode::kNever;
    } else {
      *error = "--color takes auto, always or never";
      return false;
    }
    return true;
  }
  // What is left is --count.
  const char* end = value.data() + value.size();
  const auto [stop, failure] = std::from_chars(value.data(), end, options->count);
  if (failure != std::errc() || stop != end || options->count == 0) {
    *error = "--count needs a positive whole number";
    return false;
  }
  return true;
}

// Options come as "--name value" or "--name=value".
bool ParseOptions(int argc, char** argv, ViewerOptions* options, std::string* error) {
  for (int i = 0; i < argc; ++i) {
    std::string_view name = argv[i];
    std::string_view value;
    const std::size_t equals = name.find('=');
    const bool inlineValue = name.starts_with("--") && equals != std::string_view::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (std::find(std::begin(kOptionNames), std::end(kOptionNames), name) ==
        std::end(kOptionNames)) {
      *error = "unknown option '" + std::string(name) + "'";
      return false;
    }
    if (!inlineValue) {
      if (++i == argc) {
        *error = std::string(name) + " needs a value";
        return false;
      }
      value = argv[i];
    }
    if (!ParseOptionValue(name, value, options, error)) return false;
  }
  return true;
}

// A line that is not a trace line passes only when nothing is filtered.
bool Accepts(const ViewerOptions& options, const dp::PlainTraceLine* fields) {
  if (options.types.empty() && options.keys.empty()) return true;
  if (fields == nullptr) return false;
  if (!options.types.empty() &&
      std::find(options.types.begin(), options.types.end(), fields->type) == options.types.end()) {
    return false;
  }
  if (options.keys.empty()) return true;
  std::string source(fields->key);
  source.append("::").append(fields->subKey);
  return std::any_of(options.keys.begin(), options.keys.end(),
                     [&](const std::string& key) { return key == fields->key || key == source; });
}

std::string_view ColorOf(dp::TraceType type) {
  if (type == dp::Warning) return "\x1b[33m";
  if (type == dp::Error) return "\x1b[31m";
  if (type == dp::Debug) return "\x1b[2m";
  return {};
}

// Writes each line to standard output with one write, so that it reaches a
// pipe whole and at once. The text is written visibly escaped
// (dp::AppendVisibleText): a line from any process of the user cannot send
// control sequences to the terminal.
//
// A reader that stops reading must not keep the viewer from its stop
// signals. A write blocked on a full pipe sees none of them: they arrive
// through the signal descriptor; a handler that only sets a flag can run
// just before the write that then blocks for good; and leaving them their
// default action during writes would end the viewer without removing its
// endpoint. So output to anything but a terminal is made non-blocking, and
// a full one is waited for together with the signal descriptor. The flag
// belongs to the open file description, which others may share: the viewer
// restores it when it ends. A terminal stays blocking, as the shell shares
// its description; a terminal held by Ctrl-S is released by Ctrl-C itself.
class LineWriter {
 public:
  LineWriter() = default;
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Makes standard output non-blocking unless it is a terminal; `signals`
  // becomes readable on a stop signal.
  void Open(int signals);

  enum class Result { kWritten, kStopped, kFailed };
  // kFailed, with errno set, when standard output takes no more lines;
  // kStopped when a stop signal came while standard output was full.
  Result Write(std::string_view text, std::string_view color);

 private:
  int signals_ = -1;
  int originalFlags_ = -1;  // to restore; -1 when unchanged
  std::string buffer_;
};

LineWriter::~LineWriter() {
  if (originalFlags_ >= 0) fcntl(STDOUT_FILENO, F_SETFL, originalFlags_);
}

void LineWriter::Open(int signals) {
  signals_ = signals;
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0 && !isatty(STDOUT_FILENO) &&
      fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) == 0) {
    originalFlags_ = flags;
  }
}

LineWriter::Result LineWriter::Write(std::string_view text, std::string_view color) {
  buffer_.assign(color);
  dp::AppendVisibleText(text, &buffer_);
  if (!color.empty()) buffer_.append("\x1b[0m");
  buffer_.push_back('\n');
  std::size_t written = 0;
  while (written < buffer_.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + written, buffer_.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waited[] = {{STDOUT_FILENO, POLLOUT, 0}, {signals_, POLLIN, 0}};
      if (poll(waited, 2, -1) > 0 && waited[1].revents != 0) return Result::kStopped;
    } else if (n == 0 || errno != EINTR) {
      if (n == 0) errno = EIO;
      return Result::kFailed;
    }
  }
  return Result::kWritten;
}

class Viewer {
 public:
  Viewer(ViewerOptions options, bool color) : options_(std::move(options)), color_(color) {}
  ~Viewer();
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Takes the stop signals and the endpoint; false, with the reason, when the
  // viewer cannot run.
  bool Open(std::string* error);
  // Serves until a stop signal, the line count, or a failed write to standard
  // output; returns the exit status.
  int Run();

  const std::string& GetPath() const { return path_; }

 private:
  static constexpr std::size_t kSignals = 0;
  static constexpr std::size_t kListener = 1;
  static constexpr std::size_t kFirstConnection = 2;

  void AcceptConnections();
  // False when the connection has ended or failed.
  bool ReadRecords(int connection);
  void Show(std::string_view record);
  bool Stopped() const { return exitStatus_ >= 0; }
  void RemoveEndpoint();

  ViewerOptions options_;
  bool color_;
  LineWriter writer_;
  std::vector<pollfd> polled_;  // the signal descriptor, the listener, the connections
  std::string path_;
  bool ownsEndpoint_ = false;
  dev_t endpointDevice_ = 0;
  ino_t endpointInode_ = 0;
  bool acceptPaused_ = false;
  unsigned long long printed_ = 0;
  int exitStatus_ = -1;
  // A longer record is cut short by the kernel and skipped.
  char record_[dp::TraceViewerEndpoint::kMaxRecord];
};

Viewer::~Viewer() {
  if (ownsEndpoint_) RemoveEndpoint();
  for (const pollfd& polled : polled_) ::close(polled.fd);
}

bool Viewer::Open(std::string* error) {
  // With SIGPIPE ignored a closed standard output shows up as a failed write,
  // after which the viewer still removes its endpoint.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, stop);
  const int signals = sigprocmask(SIG_BLOCK, &stopSignals, nullptr) == 0
                          ? signalfd(-1, &stopSignals, SFD_CLOEXEC)
                          : -1;
  if (signals < 0) {
    *error = std::string("cannot take the stop signals: ") + strerror(errno);
    return false;
  }
  polled_.push_back({signals, POLLIN, 0});
  writer_.Open(signals);

  // Were the trace controller built after the endpoint exists, a trace call
  // of the library in this process would connect to the viewer itself and
  // stall on its own unread records. Built now, it cannot.
  dp::TraceController::Instance();

  const int listener = dp::TraceViewerEndpoint::Listen(error);
  if (listener < 0) return false;
  polled_.push_back({listener, POLLIN, 0});
  path_ = dp::TraceViewerEndpoint::GetPath();
  struct stat endpoint;
  if (lstat(path_.c_str(), &endpoint) != 0) {
    *error = "the endpoint " + path_ + " vanished: " + strerror(errno);
    return false;
  }
  ownsEndpoint_ = true;
  endpointDevice_ = endpoint.st_dev;
  endpointInode_ = endpoint.st_ino;
  if (fcntl(listener, F_SETFL, O_NONBLOCK) != 0) {
    *error = std::string("cannot configure the endpoint: ") + strerror(errno);
    return false;
  }
  return true;
}

int Viewer::Run() {
  while (!Stopped()) {
    polled_[kListener].events = acceptPaused_ ? 0 : POLLIN;
    if (poll(polled_.data(), polled_.size(), -1) < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "qmk trace: poll failed: %s\n", strerror(errno));
      return 1;
    }
    if (polled_[kSignals].revents != 0) return 0;
    for (std::size_t i = kFirstConnection; i < polled_.size() && !Stopped();) {
      if (polled_[i].revents != 0 && !ReadRecords(polled_[i].fd)) {
        ::close(polled_[i].fd);
        polled_.erase(polled_.begin() + static_cast<std::ptrdiff_t>(i));
        acceptPaused_ = false;
      } else {
        ++i;
      }
    }
    if (!Stopped() && (polled_[kListener].revents & POLLIN) != 0) AcceptConnections();
  }
  return exitStatus_;
}

void Viewer::AcceptConnections() {
  for (;;) {
    const int connection = dp::TraceViewerEndpoint::Accept(polled_[kListener].fd);
    if (connection >= 0) {
      polled_.push_back({connection, POLLIN, 0});
    } else if (errno != EINTR && errno != ECONNABORTED && errno != EPERM) {
      // Out of descriptors the listener stays readable: wait for a
      // connection to end instead of spinning on it.
      if (errno == EMFILE || errno == ENFILE) acceptPaused_ = true;
      return;
    }
  }
}

bool Viewer::ReadRecords(int connection) {
  for (int i = 0; i < kRecordsPerTurn && !Stopped(); ++i) {
    iovec buffer{record_, sizeof record_};
    msghdr message = {};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    const ssize_t size = recvmsg(connection, &message, MSG_DONTWAIT);
    if (size > 0) {
      if ((message.msg_flags & MSG_TRUNC) == 0) {
        Show(std::string_view(record_, static_cast<std::size_t>(size)));
      }
    } else if (size == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      return false;
    } else if (errno != EINTR) {
      return true;
    }
  }
  return true;
}

void Viewer::Show(std::string_view record) {
  std::string_view line;
  if (!dp::TraceViewerEndpoint::DecodeRecord(record, &line)) return;
  if (line.ends_with('\n')) line.remove_suffix(1);
  dp::PlainTraceLine fields;
  const bool parsed = dp::ParsePlainTraceLine(line, &fields);
  if (!Accepts(options_, parsed ? &fields : nullptr)) return;
  switch (writer_.Write(line, color_ && parsed ? ColorOf(fields.type) : std::string_view())) {
    case LineWriter::Result::kWritten:
      if (++printed_ == options_.count) exitStatus_ = 0;
      return;
    case LineWriter::Result::kStopped:
      exitStatus_ = 0;
      return;
    case LineWriter::Result::kFailed: {
      // A reader that went away (`qmk trace | head`) is a normal end.
      const int failure = errno;
      if (failure != EPIPE) {
        fprintf(stderr, "qmk trace: cannot write to standard output: %s\n", strerror(failure));
      }
      exitStatus_ = failure == EPIPE ? 0 : 1;
      return;
    }
  }
}

// Removes the endpoint only while it is still the socket this viewer bound.
void Viewer::RemoveEndpoint() {
  struct stat endpoint;
  if (lstat(path_.c_str(), &endpoint) == 0 && endpoint.st_dev == endpointDevice_ &&
      endpoint.st_ino == endpointInode_) {
    unlink(path_.c_str());
  }
}

}  // namespace

int RunTraceCommand(int argc, char** argv) {
  ViewerOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "qmk trace: %s\nRun 'qmk help' for usage.\n", error.c_str());
    return 2;
  }
  const bool color = options.color == ColorMode::kAlways ||
                     (options.color == ColorMode::kAuto && isatty(STDOUT_FILENO) &&
                      dp::Environment::Get("NO_COLOR").empty());
  Viewer viewer(std::move(options), color);
  if (!viewer.Open(&error)) {
    fprintf(stderr, "qmk trace: %s\n", error.c_str());
    return 1;
  }
  fprintf(stderr, "Listening on %s\n", viewer.GetPath().c_str());
  return viewer.Run();
}

}  // namespace qmk
