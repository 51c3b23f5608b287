// Work items and the pool of threads that runs them, highest priority first.
//
// A du::Task is a reference-counted work item handled through du::TaskPtr.
// Running it calls GetName(), Run(), GetName() again and TaskComplete(); the
// names go to the debug trace (key "du", sub-key "TaskPool", mask 1). A task
// still queued when its pool stops is never run: its Abort() is called
// instead. Every task inserted with success is therefore either run (or at
// least started, if its Run throws) or aborted, exactly once.
//
// du::TaskPool runs tasks on worker threads. Tasks of larger priority leave
// the queue first; tasks of equal priority come in no defined order. A pool
// whose target thread count is 0 runs each inserted task at once on the
// inserting thread. An exception escaping a task (on a worker or inline) is
// traced as an Error and the pool goes on with the next task.
//
// Lowering the target thread count never abandons queued tasks: a worker
// leaves only when it finds the queue empty. StopTaskPool waits for every
// worker to leave after its current task, aborts what is still queued and
// refuses insertions until StartTaskPool; the destructor stops the pool.
//
// Thread safety: every operation may be called from any thread, including
// InsertTask from within a running task. StopTaskPool, CompletePendingTasks
// and the destructor wait for the workers, so a task must not call them on
// its own pool. A pool is neither copyable nor movable.
#ifndef QMKUTILS_UTILITIES_TASKPOOL_H_
#define QMKUTILS_UTILITIES_TASKPOOL_H_

#include <cstddef>

#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace du {

class QMK_EXPORT Task : public virtual RefCounted {
 public:
  Task() = default;
  ~Task() override;

  // "<unknown task>" unless overridden.
  virtual Symbol GetName() const;
  // 1.0 unless overridden; larger runs earlier.
  virtual float GetPriority() const;
  // Throws std::logic_error("Task::Run() not implemented") unless overridden.
  virtual void Run();
  // Called after a Run that returned; calls FlushResults unless overridden.
  virtual void TaskComplete();
  virtual void FlushResults();
  // Called instead of Run for a task still queued when its pool stops.
  virtual void Abort();
};

using TaskPtr = SmartPtr<Task>;

class QMK_EXPORT TaskPool {
 public:
  // Starts `numThreads` workers and accepts tasks.
  explicit TaskPool(unsigned numThreads = 3);
  // Stops the pool (aborting the queued tasks) and frees it.
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  // Queues `task`, or runs it at once when the target thread count is 0;
  // true in both cases. False when the pool does not accept tasks (stopped,
  // or draining in CompletePendingTasks). A null task is refused (false).
  bool InsertTask(const TaskPtr& task);
  // The tasks queued and not yet taken by a worker.
  std::size_t GetNumTasks() const;
  // Starts or dismisses workers to reach `n`; returns the previous target.
  unsigned SetTargetThreads(unsigned n);
  // After StopTaskPool: starts workers up to the target and accepts tasks.
  void StartTaskPool();
  // Refuses new tasks, waits for every worker to leave after its current
  // task, then aborts the tasks still queued. The target count is kept for
  // StartTaskPool.
  void StopTaskPool();
  // Refuses new tasks until the queue is empty. Tasks still running when it
  // returns are not waited for.
  void CompletePendingTasks();

 private:
  class Impl;
  Impl* impl_;
};

}  // namespace du

#endif  // QMKUTILS_UTILITIES_TASKPOOL_H_
