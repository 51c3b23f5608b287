#include "qmkutils/tracing/tracecontroller.h"

#include <unistd.h>

#include <iostream>
#include <new>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/tracing/debuglevels.h"
#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/internal/logflusher.h"
#include "qmkutils/tracing/internal/tracedispatcher.h"
#include "qmkutils/tracing/streamconsumer.h"
#include "qmkutils/tracing/tracegate.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"

namespace dp {

namespace detail {
std::atomic<std::uintptr_t> s_traceGate{kTraceClosed};
std::atomic<std::uint32_t> s_debugLevelsGeneration{0};
}  // namespace detail

namespace {

// "dir/trace.xml" and process 1234 give "dir/trace_1234.xml".
std::string WithProcessId(const std::string& path) {
  FileSpec file(path);
  std::string baseName;
  file.GetFileBaseName(&baseName);
  file.SetFileBaseName(baseName + "_" + std::to_string(Process::GetCurrentProcId()));
  std::string result;
  return file.GetFileSpec(&result) ? result : path;
}

class TraceControllerImpl : public TraceController, public ClassLevelLockable<TraceControllerImpl> {
 public:
  TraceControllerImpl();
  ~TraceControllerImpl() override = default;

  void InitFromEnvironment() override;
  void RemoveAllConsumers() override;
  TraceConsumer* AddFileConsumer(const std::string& path, bool appendProcessId) override;
  void AddConsumer(TraceConsumer* consumer) override;
  void RemoveConsumer(TraceConsumer* consumer) override;
  // The gate holds the controller itself exactly while it has consumers.
  bool IsTracing() const override {
    return detail::s_traceGate.load(std::memory_order_acquire) > detail::kTraceSilent;
  }
  // The levels never change after construction: no lock needed.
  unsigned GetDebugLevel(const std::string& key, const std::string& subKey) override {
    return debugLevels_.Get(key, subKey);
  }
  void Dispatch(const TraceFormatter* formatter) override;

  // At exit: releases the consumers, closes the trace gate and refuses every
  // later use. The object itself stays, for threads that still hold it.
  void ShutDown();

 private:
  static void FlushBuffers();
  void ConsumersChanged() QMK_REQUIRES(ClassLock());
  void StartFlusherIfNeeded() QMK_REQUIRES(ClassLock());

  // Around fork: the forking thread holds the lock and the buffers are
  // empty, so the child inherits neither a lock owned by a vanished thread
  // nor lines its parent will also write. The analysis cannot follow a lock
  // taken in one handler and released in another.
  static void BeforeFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInParent() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInChild() QMK_NO_THREAD_SAFETY_ANALYSIS;

  bool shutDown_ QMK_GUARDED_BY(ClassLock()) = false;
  detail::TraceDispatcher dispatcher_ QMK_GUARDED_BY(ClassLock());
  const DebugLevels debugLevels_;
  detail::LogFlusher* flusher_ QMK_GUARDED_BY(ClassLock()) = nullptr;
};

using ControllerSingleton = Singleton<TraceControllerImpl, SingletonExit::kShutDownAndKeep>;

TraceControllerImpl::TraceControllerImpl()
    : debugLevels_(DebugLevels::Parse(Environment::Get("QMTRACE_DEBUG"))) {
  fork::Register(fork::Participant::kTraceController,
                 {&BeforeFork, &AfterForkInParent, &AfterForkInChild});
  detail::s_debugLevelsGeneration.fetch_add(1, std::memory_order_acq_rel);
  // Nothing here may trace: the controller does not exist yet. The flusher
  // starts with the first message, not here, because starting a thread may
  // trace.
  if (const int viewer = TraceViewerEndpoint::Connect(); viewer >= 0) {
    auto* consumer = new (std::nothrow) WindowConsumer(viewer);
    if (consumer == nullptr) {
      ::close(viewer);
    } else {
      Lock guard;
      dispatcher_.Add(consumer);
    }
  }
  Lock guard;
  ConsumersChanged();
}

void TraceControllerImpl::ShutDown() {
  detail::LogFlusher* flusher;
  {
    Lock guard;
    flusher = flusher_;
    flusher_ = nullptr;
  }
  delete flusher;  // joins it; its last round takes the lock itself
  Lock guard;
  dispatcher_.RemoveAll();
  shutDown_ = true;
  detail::s_traceGate.store(detail::kTraceClosed, std::memory_order_release);
}

void TraceControllerImpl::ConsumersChanged() {
  const bool any = !dispatcher_.IsEmpty() && !shutDown_;
  const std::uintptr_t gate =
      shutDown_ ? detail::kTraceClosed
      : any     ? reinterpret_cast<std::uintptr_t>(static_cast<TraceController*>(this))
                : detail::kTraceSilent;
  detail::s_traceGate.store(gate, std::memory_order_release);
}

void TraceControllerImpl::StartFlusherIfNeeded() {
  if (flusher_ != nullptr || !dispatcher_.HasBufferingConsumers() || shutDown_) return;
  flusher_ = new detail::LogFlusher(&FlushBuffers);
  if (!flusher_->Start(true)) {
    delete flusher_;
    flusher_ = nullptr;
  }
}

void TraceControllerImpl::FlushBuffers() {
  TraceControllerImpl* controller = ControllerSingleton::Peek();
  if (controller == nullptr) return;
  Lock guard;
  if (!controller->shutDown_) controller->dispatcher_.Flush();
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
  if (shutDown_) {
    consumer->Release();
    throw DeadReference("Dead Reference Detected");
  }
  dispatcher_.Add(consumer);
  ConsumersChanged();
  StartFlusherIfNeeded();
}

void TraceControllerImpl::RemoveConsumer(TraceConsumer* consumer) {
  Lock guard;
  if (dispatcher_.Remove(consumer)) ConsumersChanged();
}

void TraceControllerImpl::RemoveAllConsumers() {
  Lock guard;
  dispatcher_.RemoveAll();
  ConsumersChanged();
}

void TraceControllerImpl::Dispatch(const TraceFormatter* formatter) {
  Lock guard;
  if (shutDown_) throw DeadReference("Dead Reference Detected");
  dispatcher_.Dispatch(*formatter);
  StartFlusherIfNeeded();  // also after a fork: the child has none yet
}

// The lock is taken whether or not the controller is published yet: a
// thread may be constructing it under the lock.
void TraceControllerImpl::BeforeFork() {
  ClassLock().Lock();
  TraceControllerImpl* controller = ControllerSingleton::Peek();
  if (controller != nullptr && !controller->shutDown_) controller->dispatcher_.Flush();
}

void TraceControllerImpl::AfterForkInParent() { ClassLock().Unlock(); }

void TraceControllerImpl::AfterForkInChild() {
  if (TraceControllerImpl* controller = ControllerSingleton::Peek()) {
    // The flusher's thread stayed in the parent, and the child's copy of it
    // already counts as ended: deleting it waits for nothing.
    delete controller->flusher_;
    controller->flusher_ = nullptr;
  }
  ClassLock().Unlock();
}

}  // namespace

TraceController* detail::PassTraceGate(std::uintptr_t state) {
  if (state > kTraceSilent) return reinterpret_cast<TraceController*>(state);
  if (state == kTraceSilent) return nullptr;
  // Closed: the first trace call creates the controller; after its shutdown
  // this throws DeadReference.
  TraceController& controller = ControllerSingleton::Instance();
  return controller.IsTracing() ? &controller : nullptr;
}

QMTraceController::QMTraceController() = default;
QMTraceController::~QMTraceController() = default;
QMTraceController& QMTraceController::Instance() { return TraceController::Instance(); }

TraceController::TraceController() = default;
TraceController& TraceController::Instance() { return ControllerSingleton::Instance(); }

unsigned GetLongevity(TraceController*) { return 0xFFFFFFFF; }
unsigned GetLongevity(QMTraceController*) {
  return GetLongevity(static_cast<TraceController*>(nullptr));
}

}  // namespace dp
