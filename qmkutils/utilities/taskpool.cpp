#include "qmkutils/utilities/taskpool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/tracer.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "TaskPool");
const dp::QMDebugTracer s_debugTrace("du", "TaskPool");

// The debug mask of the lines that follow each task.
constexpr unsigned kTaskDebugMask = 1;

constexpr unsigned kCompletePollMilliseconds = 10;
constexpr unsigned kStopPollMilliseconds = 5;

// Calls `step` on `task`; an exception escaping it is traced, never passed
// on, so that one failing task cannot end a worker or an abort loop.
template <class Step>
void Guarded(Task& task, const char* stage, Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    try {
      s_trace(dp::Error, "Task \"%s\" threw an exception in %s: %s\n", task.GetName().safe_c_str(),
              stage, e.what());
    } catch (...) {  // tracing after the controller's end at exit: nothing to tell
    }
  } catch (...) {
    try {
      s_trace(dp::Error, "Task \"%s\" threw an unknown exception in %s\n",
              task.GetName().safe_c_str(), stage);
    } catch (...) {  // as above
    }
  }
}

void RunTask(Task& task) {
  Guarded(task, "Run", [&task] {
    s_debugTrace(kTaskDebugMask, "Task \"%s\" started\n", task.GetName().safe_c_str());
    task.Run();
    s_debugTrace(kTaskDebugMask, "Task \"%s\" finished\n", task.GetName().safe_c_str());
    task.TaskComplete();
  });
}

}  // namespace

Task::~Task() = default;

// The default name is interned once and kept for the life of the process
// (a symbol nobody holds would be made and freed on every call). It is
// published with one compare-and-swap rather than through a function-local
// static, whose guard a fork could leave held in the child.
Symbol Task::GetName() const {
  static std::atomic<const Symbol*> s_unknownTask{nullptr};
  const Symbol* name = s_unknownTask.load(std::memory_order_acquire);
  if (name == nullptr) {
    const auto* made = new Symbol("<unknown task>");
    if (s_unknownTask.compare_exchange_strong(name, made, std::memory_order_acq_rel)) {
      name = made;
    } else {
      delete made;  // another thread published first; `name` is its symbol
    }
  }
  return *name;
}

float Task::GetPriority() const { return 1.0F; }

void Task::Run() { throw std::logic_error("Task::Run() not implemented"); }

void Task::TaskComplete() { FlushResults(); }

void Task::FlushResults() {}

void Task::Abort() {}

namespace {

// The queued tasks as a max-heap on their priority, with the semaphore that
// wakes the workers: one count per inserted task and one per worker asked
// to leave. Elements only ever swap places, so a priority that throws
// leaves every queued task in the heap.
class TaskQueue : public dp::ObjectLevelLockable<TaskQueue> {
 public:
  // Appends `task` and signals the semaphore, unless the queue refuses
  // tasks. The caller holds the lock.
  bool Push(TaskPtr task, float priority) {
    if (!accepting_ || pauses_ != 0) return false;
    heap_.push_back(std::move(task));
    std::size_t i = heap_.size() - 1;
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!(heap_[parent]->GetPriority() < priority)) break;
      std::swap(heap_[parent], heap_[i]);
      i = parent;
    }
    semaphore_.Signal();
    return true;
  }

  // The top task, removed; empty when the heap is. The caller holds the lock.
  TaskPtr Pop() {
    if (heap_.empty()) return {};
    std::swap(heap_.front(), heap_.back());
    TaskPtr top = std::move(heap_.back());
    heap_.pop_back();
    if (heap_.empty()) return top;
    const float priority = heap_.front()->GetPriority();
    const std::size_t size = heap_.size();
    std::size_t i = 0;
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= size) break;
      if (child + 1 < size && heap_[child + 1]->GetPriority() > heap_[child]->GetPriority()) {
        ++child;
      }
      if (!(heap_[child]->GetPriority() > priority)) break;
      std::swap(heap_[child], heap_[i]);
      i = child;
    }
    return top;
  }

  // Waits for a count, then hands out the top task. Empty means "leave":
  // the queue was empty, or the pool is stopping.
  TaskPtr Take() {
    semaphore_.Wait(0);
    Lock guard(*this);
    if (stopping_) return {};
    return Pop();
  }

  std::size_t Size() const {
    Lock guard(*this);
    return heap_.size();
  }

  void SignalLeave() { semaphore_.Signal(); }
  // Takes every count left, without waiting.
  void DrainSignals() {
    while (semaphore_.Poll()) {
    }
  }

  // The caller holds the lock for all of these.
  void SetAccepting(bool accepting) { accepting_ = accepting; }
  void SetStopping(bool stopping) { stopping_ = stopping; }
  void Pause() { ++pauses_; }
  void Resume() { --pauses_; }

 private:
  std::vector<TaskPtr, CommonAllocator<TaskPtr>> heap_;
  dp::Semaphore semaphore_{0};
  bool accepting_ = true;
  // Workers leave at their next wake-up instead of taking a task.
  bool stopping_ = false;
  // CompletePendingTasks calls in progress: each refuses tasks meanwhile,
  // without touching the accepting flag that Stop and Start own.
  unsigned pauses_ = 0;
};

}  // namespace

class TaskPool::Impl : public CommonAllocated {
 public:
  explicit Impl(unsigned numThreads) {
    try {
      SetTargetThreads(numThreads);
    } catch (...) {
      StopTaskPool();  // the workers already started use this object
      throw;
    }
  }
  ~Impl() override = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool InsertTask(const TaskPtr& task);
  std::size_t GetNumTasks() const { return queue_.Size(); }
  unsigned SetTargetThreads(unsigned n);
  void StartTaskPool();
  void StopTaskPool();
  void CompletePendingTasks();

 private:
  class Thread;

  // The worker's loop: an empty task ends it.
  void Work() {
    while (TaskPtr task = queue_.Take()) RunTask(*task);
  }
  // Starts one serving worker; false (and nothing kept) when its thread
  // cannot be created. The caller holds the pool lock.
  bool StartWorker();
  // Frees the workers whose threads have ended, keeping the order of the
  // others.
  void ReapFinishedWorkers();

  mutable dp::SpinLock poolLock_{500};
  // Written under the pool lock; read also by inserters under the queue
  // lock, so that no insertion can see workers that have all left.
  std::atomic<unsigned> target_{0};
  TaskQueue queue_;
  std::vector<Thread*> workers_;
  // Workers started and not asked to leave. It equals the target except
  // after a stop, when the target is kept for StartTaskPool while no worker
  // serves: asking a worker that does not exist to leave would make the
  // next one started leave in its place.
  unsigned serving_ = 0;
  // StopTaskPool calls in progress, and the target the first of them found:
  // the last one to finish restores it.
  unsigned stoppers_ = 0;
  unsigned stoppedTarget_ = 0;
};

class TaskPool::Impl::Thread : public dp::Thread, public CommonAllocated {
 public:
  explicit Thread(Impl* pool) : pool_(pool) {}
  // Run uses pool_ until the thread ends.
  ~Thread() override { WaitForThreadToTerminate(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Run() override { pool_->Work(); }

 private:
  Impl* pool_;
};

bool TaskPool::Impl::StartWorker() {
  auto* worker = new Thread(this);
  if (!worker->Start()) {
    delete worker;
    return false;
  }
  workers_.push_back(worker);
  ++serving_;
  return true;
}

void TaskPool::Impl::ReapFinishedWorkers() {
  dp::SpinLockGuard guard(poolLock_);
  const auto finished = std::remove_if(workers_.begin(), workers_.end(), [](Thread* worker) {
    if (worker->ThreadIsRunning()) return false;
    delete worker;
    return true;
  });
  workers_.erase(finished, workers_.end());
}

bool TaskPool::Impl::InsertTask(const TaskPtr& task) {
  if (!task) {
    s_trace(dp::Warning, "InsertTask refused a null task\n");
    return false;
  }
  ReapFinishedWorkers();
  // Read once, before the lock; the heap compares against it.
  const float priority = task->GetPriority();
  {
    TaskQueue::Lock guard(queue_);
    if (target_.load(std::memory_order_relaxed) != 0) return queue_.Push(task, priority);
  }
  RunTask(*task);
  return true;
}

unsigned TaskPool::Impl::SetTargetThreads(unsigned n) {
  dp::SpinLockGuard guard(poolLock_);
  const unsigned previous = target_.load(std::memory_order_relaxed);
  unsigned target = previous;
  // A worker that cannot be started is not counted, so the target stays
  // the number of workers that will serve the queue.
  while (target < n && StartWorker()) target_.store(++target, std::memory_order_relaxed);
  while (target > n) {
    target_.store(--target, std::memory_order_relaxed);
    if (serving_ > target) {
      --serving_;
      queue_.SignalLeave();
    }
  }
  return previous;
}

void TaskPool::Impl::StartTaskPool() {
  ReapFinishedWorkers();
  {
    dp::SpinLockGuard guard(poolLock_);
    while (serving_ < target_.load(std::memory_order_relaxed) && StartWorker()) {
    }
  }
  TaskQueue::Lock guard(queue_);
  queue_.SetAccepting(true);
}

void TaskPool::Impl::StopTaskPool() {
  {
    dp::SpinLockGuard poolGuard(poolLock_);
    TaskQueue::Lock queueGuard(queue_);
    queue_.SetAccepting(false);
    queue_.SetStopping(true);
    const unsigned previous = SetTargetThreads(0);
    if (stoppers_++ == 0) stoppedTarget_ = previous;
  }
  for (;;) {
    {
      dp::SpinLockGuard guard(poolLock_);
      if (workers_.empty()) break;
    }
    dp::Timer::SleepMilliSeconds(kStopPollMilliseconds);
    ReapFinishedWorkers();
    // Someone raised the target meanwhile: those workers must leave too.
    if (target_.load(std::memory_order_relaxed) != 0) SetTargetThreads(0);
  }
  dp::SpinLockGuard poolGuard(poolLock_);
  if (--stoppers_ != 0) return;  // the last stopper finishes the job
  target_.store(stoppedTarget_, std::memory_order_relaxed);
  TaskQueue::Lock queueGuard(queue_);
  queue_.DrainSignals();
  while (TaskPtr task = queue_.Pop()) Guarded(*task, "Abort", [&task] { task->Abort(); });
  queue_.SetAccepting(false);
  queue_.SetStopping(false);
}

void TaskPool::Impl::CompletePendingTasks() {
  {
    TaskQueue::Lock guard(queue_);
    queue_.Pause();
  }
  while (queue_.Size() != 0) dp::Timer::SleepMilliSeconds(kCompletePollMilliseconds);
  {
    TaskQueue::Lock guard(queue_);
    queue_.Resume();
  }
  ReapFinishedWorkers();
}

TaskPool::TaskPool(unsigned numThreads) : impl_(new Impl(numThreads)) {}

TaskPool::~TaskPool() {
  try {
    impl_->StopTaskPool();
  } catch (...) {
    // Only a semaphore that cannot be signalled gets here. Workers may still
    // use the implementation, so it is left to them rather than freed.
    return;
  }
  delete impl_;
}

bool TaskPool::InsertTask(const TaskPtr& task) { return impl_->InsertTask(task); }

std::size_t TaskPool::GetNumTasks() const { return impl_->GetNumTasks(); }

unsigned TaskPool::SetTargetThreads(unsigned n) { return impl_->SetTargetThreads(n); }

void TaskPool::StartTaskPool() { impl_->StartTaskPool(); }

void TaskPool::StopTaskPool() { impl_->StopTaskPool(); }

void TaskPool::CompletePendingTasks() { impl_->CompletePendingTasks(); }

}  // namespace du
