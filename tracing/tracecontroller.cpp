#include "tracing/tracecontroller.h"

#include <pthread.h>

#include <iostream>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/filespec.h"
#include "platform/lockable.h"
#include "platform/process.h"
#include "platform/singleton.h"
#include "tracing/fileconsumer.h"
#include "tracing/streamconsumer.h"
#include "tracing/tracegate.h"
#include "tracing/viewerendpoint.h"
#include "tracing/windowconsumer.h"

namespace dp {

namespace detail {
std::atomic<TraceController*> g_tracingController{nullptr};
std::atomic<bool> g_traceControllerAlive{false};
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
  FileSpec spec(path);
  std::string baseName;
  spec.GetFileBaseName(&baseName);
  spec.SetFileBaseName(baseName + "_" + std::to_string(Process::GetCurrentProcId()));
  std::string result;
  return spec.GetFileSpec(&result) ? result : path;
}

class TraceControllerImpl : public TraceController,
                            public ClassLevelLockable<TraceControllerImpl> {
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

  unsigned DebugLevel(std::string_view key, std::string_view subKey);

  // Around fork: the lock is held and the file buffers are empty, so the
  // child inherits neither a lock owned by a vanished thread nor lines its
  // parent will also write.
  static void BeforeFork();
  static void AfterFork();

 private:
  void ConsumersChanged();

  std::atomic<bool> hasConsumers_{false};
  std::vector<TraceConsumer*> consumers_;
  DebugLevels debugLevels_;
};

std::once_flag g_forkHandlersOnce;
thread_local ClassLevelLockable<TraceControllerImpl>::Lock* t_forkLock = nullptr;

TraceControllerImpl::TraceControllerImpl()
    : debugLevels_(ParseDebugLevels(Environment::Get("QMTRACE_DEBUG"))) {
  std::call_once(g_forkHandlersOnce, [] {
    pthread_atfork(&TraceControllerImpl::BeforeFork, &TraceControllerImpl::AfterFork,
                   &TraceControllerImpl::AfterFork);
  });
  // Nothing here may trace: the controller does not exist yet.
  if (int viewer = TraceViewerEndpoint::Connect(); viewer >= 0) {
    AddConsumer(new WindowConsumer(viewer));
  }
  detail::g_traceControllerAlive.store(true, std::memory_order_release);
}

TraceControllerImpl::~TraceControllerImpl() {
  RemoveAllConsumers();
  detail::g_traceControllerAlive.store(false, std::memory_order_release);
}

void TraceControllerImpl::ConsumersChanged() {
  const bool any = !consumers_.empty();
  hasConsumers_.store(any, std::memory_order_release);
  detail::g_tracingController.store(any ? this : nullptr, std::memory_order_release);
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

TraceConsumer* TraceControllerImpl::AddFileConsumer(const std::string& path,
                                                    bool appendProcessId) {
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
  for (auto it = consumers_.rbegin(); it != consumers_.rend(); ++it) {
    if ((*it)->ConsumeMessage(formatter)) return;
  }
}

unsigned TraceControllerImpl::DebugLevel(std::string_view key, std::string_view subKey) {
  Lock guard;
  if (debugLevels_.empty()) return 0;
  std::string name(key);
  if (!key.empty() && !subKey.empty()) {
    name.append("::");
    name.append(subKey);
  }
  auto it = debugLevels_.find(name);
  return it == debugLevels_.end() ? 0 : it->second;
}

void TraceControllerImpl::BeforeFork() {
  TraceControllerImpl* controller = Singleton<TraceControllerImpl>::Peek();
  if (controller == nullptr) return;
  t_forkLock = new Lock;
  for (TraceConsumer* consumer : controller->consumers_) {
    if (auto* file = dynamic_cast<FileConsumer*>(consumer)) file->Flush();
  }
}

void TraceControllerImpl::AfterFork() {
  delete t_forkLock;
  t_forkLock = nullptr;
}

}  // namespace

TraceController* detail::TracingControllerSlow() {
  TraceController& controller = Singleton<TraceControllerImpl>::Instance();
  return controller.IsTracing() ? &controller : nullptr;
}

unsigned detail::DebugLevelOf(const char* key, const char* subKey) {
  return Singleton<TraceControllerImpl>::Instance().DebugLevel(key ? key : "", subKey ? subKey : "");
}

QMTraceController::QMTraceController() = default;
QMTraceController::~QMTraceController() = default;
QMTraceController& QMTraceController::Instance() { return TraceController::Instance(); }

TraceController::TraceController() = default;
TraceController& TraceController::Instance() { return Singleton<TraceControllerImpl>::Instance(); }

unsigned GetLongevity(TraceController*) { return 0xFFFFFFFF; }
unsigned GetLongevity(QMTraceController*) { return GetLongevity(static_cast<TraceController*>(nullptr)); }

}  // namespace dp
