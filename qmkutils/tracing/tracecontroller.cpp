#include "qmkutils/tracing/tracecontroller.h"

#include <pthread.h>

#include <iostream>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/internal/tracegate.h"
#include "qmkutils/tracing/streamconsumer.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"

namespace dp {

namespace detail {
std::atomic<TraceController*> s_tracingController{nullptr};
std::atomic<bool> s_traceControllerAlive{false};
}  // namespace detail

namespace {

using DebugLevels = std::map<std::string, unsigned, std::less<>>;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// An unsigned number in C notation: decimal, 0x hexadecimal or 0 octal.
bool ParseNumber(std::string_view text, std::size_t* position, unsigned* value) {
  std::size_t i = *position;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  unsigned base = 10;
  if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  } else if (text[i] == '0') {
    base = 8;
  }
  const std::size_t digitsStart = i;
  unsigned long long number = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    number = number * base + digit;
    if (number > 0xFFFFFFFFull) return false;
  }
  if (i == digitsStart && base == 16) return false;
  *position = i;
  *value = static_cast<unsigned>(number);
  return true;
}

// "name sep number, name sep number ...", where sep is any run of blanks,
// tabs and '='. Any syntax error rejects the whole value.
DebugLevels ParseDebugLevels(std::string_view text) {
  DebugLevels levels;
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  while (i < text.size()) {
    const std::size_t nameStart = i;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != '=' && text[i] != ',') ++i;
    const std::size_t nameEnd = i;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == '=')) ++i;
    unsigned level;
    if (nameEnd == nameStart || i == nameEnd || !ParseNumber(text, &i, &level)) return {};
    levels[std::string(text.substr(nameStart, nameEnd - nameStart))] = level;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    if (text[i] != ',') return {};
    ++i;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) return {};  // a comma promises another entry
  }
  return levels;
}

// "dir/trace.xml" and process 1234 give "dir/trace_1234.xml".
std::string WithProcessId(const std::string& path) {
  FileSpec file(path);
  std::string baseName;
  file.GetFileBaseName(&baseName);
  file.SetFileBaseName(baseName + "_" + std::to_string(Process::GetCurrentProcId()));
  std::string result;
  return file.GetFileSpec(&result) ? result : path;
}

constexpr unsigned kFlushPeriodMilliseconds = 200;

class TraceControllerImpl;

// Writes the file consumers' buffered lines out every 200 ms, so that no
// line waits in memory for the next message.
class LogFlusher : public Thread {
 public:
  explicit LogFlusher(TraceControllerImpl* controller) : controller_(controller) {}
  ~LogFlusher() override {
    stop_.Signal();
    WaitForThreadToTerminate();
  }
  void Run() override;

 private:
  TraceControllerImpl* controller_;
  Semaphore stop_;
};

class TraceControllerImpl : public TraceController, public ClassLevelLockable<TraceControllerImpl> {
 public:
  TraceControllerImpl();
  ~TraceControllerImpl() override;

  void InitFromEnvironment() override;
  void RemoveAllConsumers() override;
  TraceConsumer* AddFileConsumer(const std::string& path, bool appendProcessId) override;
  void AddConsumer(TraceConsumer* consumer) override;
  void RemoveConsumer(TraceConsumer* consumer) override;
  bool IsTracing() const override { return hasConsumers_.load(std::memory_order_acquire); }
  unsigned GetDebugLevel(const std::string& key, const std::string& subKey) override {
    return DebugLevel(key, subKey);
  }
  void Dispatch(const TraceFormatter* formatter) override;

  // The levels never change after construction: no lock needed.
  unsigned DebugLevel(std::string_view key, std::string_view subKey) const;
  void FlushFiles();

  // Around fork: the lock is held and the file buffers are empty, so the
  // child inherits neither a lock owned by a vanished thread nor lines its
  // parent will also write.
  // The lock is taken in BeforeFork and released by the handler that runs
  // after the fork, which the analysis cannot follow.
  static void BeforeFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInParent() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInChild() QMK_NO_THREAD_SAFETY_ANALYSIS;

 private:
  void ConsumersChanged() QMK_REQUIRES(ClassLock());
  void StartFlusherIfNeeded() QMK_REQUIRES(ClassLock());

  // Cleared, under the lock, when destruction begins: a thread that was
  // already waiting for the lock then finds the controller gone without
  // touching its members.
  static inline std::atomic<bool> s_alive{false};

  std::atomic<bool> hasConsumers_{false};
  std::vector<TraceConsumer*> consumers_ QMK_GUARDED_BY(ClassLock());
  const DebugLevels debugLevels_;
  bool hasFileConsumers_ QMK_GUARDED_BY(ClassLock()) = false;
  LogFlusher* flusher_ QMK_GUARDED_BY(ClassLock()) = nullptr;
};

void LogFlusher::Run() {
  while (!stop_.Wait(kFlushPeriodMilliseconds)) controller_->FlushFiles();
}

std::once_flag s_forkHandlersOnce;
thread_local ClassLevelLockable<TraceControllerImpl>::Lock* t_forkLock = nullptr;

TraceControllerImpl::TraceControllerImpl()
    : debugLevels_(ParseDebugLevels(Environment::Get("QMTRACE_DEBUG"))) {
  std::call_once(s_forkHandlersOnce, [] {
    pthread_atfork(&TraceControllerImpl::BeforeFork, &TraceControllerImpl::AfterForkInParent,
                   &TraceControllerImpl::AfterForkInChild);
  });
  s_alive.store(true, std::memory_order_release);
  // Nothing here may trace: the controller does not exist yet.
  if (int viewer = TraceViewerEndpoint::Connect(); viewer >= 0) {
    AddConsumer(new WindowConsumer(viewer));
  }
  detail::s_traceControllerAlive.store(true, std::memory_order_release);
}

TraceControllerImpl::~TraceControllerImpl() {
  delete flusher_;  // joins it; it takes the lock itself
  Lock guard;
  RemoveAllConsumers();
  s_alive.store(false, std::memory_order_release);
  detail::s_traceControllerAlive.store(false, std::memory_order_release);
}

void TraceControllerImpl::ConsumersChanged() {
  const bool any = !consumers_.empty();
  hasConsumers_.store(any, std::memory_order_release);
  detail::s_tracingController.store(any ? this : nullptr, std::memory_order_release);
  hasFileConsumers_ = false;
  for (TraceConsumer* consumer : consumers_) {
    hasFileConsumers_ = hasFileConsumers_ || dynamic_cast<FileConsumer*>(consumer) != nullptr;
  }
}

void TraceControllerImpl::StartFlusherIfNeeded() {
  if (flusher_ != nullptr || !hasFileConsumers_) return;
  flusher_ = new LogFlusher(this);
  if (!flusher_->Start(true)) {
    delete flusher_;
    flusher_ = nullptr;
  }
}

void TraceControllerImpl::InitFromEnvironment() {
  Lock guard;
  std::string target = Environment::Get("QUILL_PROC_TRACE");
  const bool perProcess = !target.empty();
  if (!perProcess) target = Environment::Get("QUILL_TRACE");
  if (target.empty()) return;
  TraceConsumer* consumer;
  if (target == "stdout") {
    consumer = new StreamConsumer(&std::cout);
  } else if (target == "stderr") {
    consumer = new StreamConsumer(&std::cerr);
  } else {
    consumer = new FileConsumer(perProcess ? WithProcessId(target) : target);
  }
  AddConsumer(consumer);
}

TraceConsumer* TraceControllerImpl::AddFileConsumer(const std::string& path, bool appendProcessId) {
  if (path.empty()) return nullptr;
  auto* consumer = new FileConsumer(appendProcessId ? WithProcessId(path) : path);
  AddConsumer(consumer);
  return consumer;
}

void TraceControllerImpl::AddConsumer(TraceConsumer* consumer) {
  if (consumer == nullptr) return;
  Lock guard;
  consumer->Install();
  consumers_.push_back(consumer);
  ConsumersChanged();
  StartFlusherIfNeeded();
}

void TraceControllerImpl::RemoveConsumer(TraceConsumer* consumer) {
  Lock guard;
  for (auto it = consumers_.rbegin(); it != consumers_.rend(); ++it) {
    if (*it == consumer) {
      consumers_.erase(std::next(it).base());
      ConsumersChanged();
      consumer->Release();
      return;
    }
  }
}

void TraceControllerImpl::RemoveAllConsumers() {
  Lock guard;
  while (!consumers_.empty()) {
    TraceConsumer* newest = consumers_.back();
    consumers_.pop_back();
    ConsumersChanged();
    newest->Release();
  }
}

void TraceControllerImpl::Dispatch(const TraceFormatter* formatter) {
  Lock guard;
  if (!s_alive.load(std::memory_order_acquire)) return;
  for (auto it = consumers_.rbegin(); it != consumers_.rend(); ++it) {
    if ((*it)->ConsumeMessage(formatter)) break;
  }
  StartFlusherIfNeeded();  // after a fork the child has none yet
}

void TraceControllerImpl::FlushFiles() {
  Lock guard;
  if (!s_alive.load(std::memory_order_acquire)) return;
  for (TraceConsumer* consumer : consumers_) {
    if (auto* file = dynamic_cast<FileConsumer*>(consumer)) file->Flush();
  }
}

unsigned TraceControllerImpl::DebugLevel(std::string_view key, std::string_view subKey) const {
  if (debugLevels_.empty() || key.empty()) return 0;
  auto it = subKey.empty() ? debugLevels_.find(key)
                           : debugLevels_.find(std::string(key).append("::").append(subKey));
  return it == debugLevels_.end() ? 0 : it->second;
}

void TraceControllerImpl::BeforeFork() {
  TraceControllerImpl* controller = Singleton<TraceControllerImpl>::Peek();
  if (controller == nullptr) return;
  t_forkLock = new Lock;
  controller->FlushFiles();
}

void TraceControllerImpl::AfterForkInParent() {
  delete t_forkLock;
  t_forkLock = nullptr;
}

void TraceControllerImpl::AfterForkInChild() {
  if (t_forkLock == nullptr) return;
  // The flusher's thread stayed in the parent; its object is left behind
  // unused, since destroying it would wait for a thread that is not here.
  if (TraceControllerImpl* controller = Singleton<TraceControllerImpl>::Peek()) {
    controller->flusher_ = nullptr;
  }
  AfterForkInParent();
}

}  // namespace

TraceController* detail::TracingControllerSlow() {
  TraceController& controller = Singleton<TraceControllerImpl>::Instance();
  return controller.IsTracing() ? &controller : nullptr;
}

unsigned detail::DebugLevelOf(const char* key, const char* subKey) {
  return Singleton<TraceControllerImpl>::Instance().DebugLevel(key ? key : "",
                                                               subKey ? subKey : "");
}

QMTraceController::QMTraceController() = default;
QMTraceController::~QMTraceController() = default;
QMTraceController& QMTraceController::Instance() { return TraceController::Instance(); }

TraceController::TraceController() = default;
TraceController& TraceController::Instance() { return Singleton<TraceControllerImpl>::Instance(); }

unsigned GetLongevity(TraceController*) { return 0xFFFFFFFF; }
unsigned GetLongevity(QMTraceController*) {
  return GetLongevity(static_cast<TraceController*>(nullptr));
}

}  // namespace dp
