#include "qmkutils/platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <stdexcept>

#include "qmkutils/platform/exitcalls.h"
#include "qmkutils/platform/internal/forkhandlers.h"
#include "qmkutils/platform/internal/futex.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/tracing/tracer.h"

namespace dp {

namespace {

const QMTracer s_trace("dp", "Thread");

// Hot per-thread values use the initial-exec model: a plain %fs-relative
// load instead of a call into the dynamic linker.
__attribute__((tls_model("initial-exec"))) thread_local unsigned t_threadId = 0;
// A fork child's only thread has a new id: the fork step forgets the cached
// one.
const fork::Registration s_threadIdForkRegistration(fork::Participant::kThreadId,
                                                    {nullptr, nullptr, [] { t_threadId = 0; }});
__attribute__((tls_model("initial-exec"))) thread_local Thread* t_currentThread = nullptr;

__attribute__((tls_model("initial-exec"))) thread_local ThreadLifeTimeTracker* t_currentTracker =
    nullptr;

// Guards the registry of live trackers; never destroyed.
std::atomic<SpinLock*> s_registryLock{nullptr};

}  // namespace

// The state a Thread shares with its copies and with the running thread.
// Each holds one reference; the last one deletes it. Every tracker is in the
// registry, so that a fork child can tell the ones whose threads it did not
// inherit.
class ThreadLifeTimeTracker {
 public:
  ThreadLifeTimeTracker();
  ~ThreadLifeTimeTracker();
  ThreadLifeTimeTracker(const ThreadLifeTimeTracker&) = delete;
  ThreadLifeTimeTracker& operator=(const ThreadLifeTimeTracker&) = delete;

  // Starts the system thread for `thread`: 0, kAlreadyRunning, or the
  // error of pthread_create. On success the start gate is left closed for
  // the new thread to open.
  static constexpr int kAlreadyRunning = -1;
  int Launch(Thread* thread) QMK_NO_THREAD_SAFETY_ANALYSIS;

  void Acquire() { references.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Holds every tracker's locks across fork; the child marks the trackers
  // of threads it did not inherit as ended, and frees all the locks.
  static void BeforeFork() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInParent() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static void AfterForkInChild() QMK_NO_THREAD_SAFETY_ANALYSIS;
  static const fork::Registration s_forkRegistration;

  SpinLock exitCallLock;
  TrackerStackImpl tracker QMK_GUARDED_BY(exitCallLock);

  std::atomic<Thread*> owner{nullptr};
  std::atomic<unsigned> threadId{0};
  // Opened by the new thread once its id is known; Start waits for it.
  WaitLock startGate;
  // 1 once Run and the exit calls are over; waiters sleep on it.
  std::atomic<uint32_t> ended{1};

  // The system thread.
  SpinLock handleLock;
  pthread_t handle QMK_GUARDED_BY(handleLock){};
  bool hasHandle QMK_GUARDED_BY(handleLock) = false;
  // Joined or detached: nobody may join it again.
  bool joined QMK_GUARDED_BY(handleLock) = false;

  std::atomic<int> references{1};

 private:
  static void UnlockAll() QMK_NO_THREAD_SAFETY_ANALYSIS;

  // The registry's links, guarded by the registry lock.
  static inline ThreadLifeTimeTracker* s_first = nullptr;
  ThreadLifeTimeTracker* previous_ = nullptr;
  ThreadLifeTimeTracker* next_ = nullptr;
};

const fork::Registration ThreadLifeTimeTracker::s_forkRegistration(
    fork::Participant::kThreads,
    {&ThreadLifeTimeTracker::BeforeFork, &ThreadLifeTimeTracker::AfterForkInParent,
     &ThreadLifeTimeTracker::AfterForkInChild});

ThreadLifeTimeTracker::ThreadLifeTimeTracker() {
  SpinLockGuard guard(LazySpinLock(s_registryLock));
  next_ = s_first;
  if (next_ != nullptr) next_->previous_ = this;
  s_first = this;
}

ThreadLifeTimeTracker::~ThreadLifeTimeTracker() {
  {
    SpinLockGuard guard(LazySpinLock(s_registryLock));
    (previous_ != nullptr ? previous_->next_ : s_first) = next_;
    if (next_ != nullptr) next_->previous_ = previous_;
  }
  // Exit calls left behind by a thread that stopped early are dropped.
  for (unsigned i = 0; i < tracker.count; ++i) std::free(tracker.array[i]);
  std::free(tracker.array);
  if (hasHandle && !joined) pthread_detach(handle);
}

void ThreadLifeTimeTracker::BeforeFork() {
  LazySpinLock(s_registryLock).Lock();
  for (ThreadLifeTimeTracker* t = s_first; t != nullptr; t = t->next_) {
    t->exitCallLock.Lock();
    t->handleLock.Lock();
  }
}

void ThreadLifeTimeTracker::UnlockAll() {
  for (ThreadLifeTimeTracker* t = s_first; t != nullptr; t = t->next_) {
    t->handleLock.Unlock();
    t->exitCallLock.Unlock();
  }
  LazySpinLock(s_registryLock).Unlock();
}

void ThreadLifeTimeTracker::AfterForkInParent() { UnlockAll(); }

void ThreadLifeTimeTracker::AfterForkInChild() {
  for (ThreadLifeTimeTracker* t = s_first; t != nullptr; t = t->next_) {
    if (t == t_currentTracker) continue;  // the forking thread lives on here
    // Its thread exists only in the parent: nothing to wait for or join.
    t->hasHandle = false;
    t->owner.store(nullptr, std::memory_order_relaxed);
    t->threadId.store(0, std::memory_order_relaxed);
    t->ended.store(1, std::memory_order_release);
    // A thread that had not yet opened the start gate never will here.
    t->startGate.TryLock();
    t->startGate.Unlock();
  }
  UnlockAll();
}

namespace {

// Runs one step of the thread. An escaping exception is traced, clears the
// owner and id, and reports false so that no further step runs.
template <class Step>
bool RunGuarded(ThreadLifeTimeTracker* t, Step step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    try {
      s_trace(Info) << " Thread " << t->threadId.load() << " caught exception(\"" << e.what()
                    << "\").\n";
    } catch (...) {
    }
  } catch (...) {
    try {
      s_trace(Info) << " Thread " << t->threadId.load() << " caught unknown exception.\n";
    } catch (...) {
    }
  }
  t->owner.store(nullptr);
  t->threadId.store(0);
  return false;
}

void RunExitCalls(ThreadLifeTimeTracker* t) {
  for (;;) {
    void (*call)();
    {
      SpinLockGuard guard(t->exitCallLock);
      if (t->tracker.count == 0) return;
      // Unlinked under the lock, called outside it: an exit call may itself
      // schedule or cancel exit calls.
      ExitCallEntry* last = t->tracker.array[t->tracker.count - 1];
      call = last->call;
      last->call = nullptr;
      PopBack(&t->tracker);
    }
    if (call != nullptr && !RunGuarded(t, call)) return;
  }
}

// Opens the start gate that Launch closed on the starting thread.
void* ThreadProcedure(void* argument) QMK_NO_THREAD_SAFETY_ANALYSIS {
  auto* t = static_cast<ThreadLifeTimeTracker*>(argument);
  t->threadId.store(Thread::GetCurrentThreadId(), std::memory_order_release);
  Thread* owner = t->owner.load(std::memory_order_acquire);
  t_currentThread = owner;
  t_currentTracker = t;
  t->startGate.Unlock();  // from here on Start returns, maybe before Run begins
  if (owner != nullptr) {
    RunGuarded(t, [owner] { owner->Run(); });
    RunExitCalls(t);
  }
  t_currentThread = nullptr;
  t_currentTracker = nullptr;
  t->threadId.store(0, std::memory_order_release);
  t->ended.store(1, std::memory_order_release);
  futex::Wake(&t->ended, 0x7FFFFFFF);
  t->Release();
  return nullptr;
}

}  // namespace

Thread::Thread() : tracker_(new ThreadLifeTimeTracker) {}

Thread::Thread(const Thread& other) : tracker_(other.tracker_) { tracker_->Acquire(); }

Thread& Thread::operator=(const Thread& other) {
  if (this != &other && tracker_ != other.tracker_) {
    tracker_->Release();
    tracker_ = other.tracker_;
    tracker_->Acquire();
  }
  return *this;
}

Thread::~Thread() {
  ThreadLifeTimeTracker* t = tracker_;
  bool detached = false;
  {
    SpinLockGuard guard(t->handleLock);
    if (t->hasHandle && !t->joined && pthread_equal(t->handle, pthread_self())) {
      // Waiting here would wait for ourselves: let the thread finish alone.
      pthread_detach(t->handle);
      t->joined = true;
      detached = true;
    }
  }
  if (detached) {
    try {
      s_trace("Thread %u destroyed its own Thread object; the thread detaches.\n",
              t->threadId.load());
    } catch (...) {
    }
  } else {
    WaitForThreadToTerminate();
  }
  t->Release();
}

void Thread::Run() { throw std::logic_error("dp::Thread::Run() has not been overridden"); }

int ThreadLifeTimeTracker::Launch(Thread* thread) {
  SpinLockGuard guard(handleLock);
  if (hasHandle && ended.load(std::memory_order_acquire) == 0) return kAlreadyRunning;
  // The previous thread has done its work; reclaim it unless a waiter
  // already does.
  if (hasHandle && !joined) pthread_join(handle, nullptr);
  hasHandle = false;
  startGate.Lock();
  owner.store(thread, std::memory_order_release);
  ended.store(0, std::memory_order_relaxed);
  Acquire();  // the running thread's reference
  const int rc = pthread_create(&handle, nullptr, &ThreadProcedure, this);
  if (rc != 0) {
    owner.store(nullptr);
    threadId.store(0);
    ended.store(1, std::memory_order_release);
    startGate.Unlock();
    Release();
    return rc;
  }
  hasHandle = true;
  joined = false;
  return 0;
}

bool Thread::Start(bool waitForStart) {
  (void)waitForStart;  // Start always waits: the new thread's id must be known on return.
  // Held for this call: a Run that deletes its object may drop the object's
  // reference before Start returns.
  ThreadLifeTimeTracker* t = tracker_;
  t->Acquire();
  const int rc = t->Launch(this);
  if (rc == 0) {
    t->startGate.Lock();  // opened by the new thread
    t->startGate.Unlock();
  }
  t->Release();
  if (rc == ThreadLifeTimeTracker::kAlreadyRunning) {
    s_trace("Failed to create thread - thread is already running.\n");
  } else if (rc != 0) {
    s_trace("Failed to create thread (%d)\n", rc);
  }
  return rc == 0;
}

void Thread::WaitForThreadToTerminate() {
  ThreadLifeTimeTracker* t = tracker_;
  {
    SpinLockGuard guard(t->handleLock);
    if (!t->hasHandle) return;
  }
  while (t->ended.load(std::memory_order_acquire) == 0) futex::Wait(&t->ended, 0);

  pthread_t handle;
  {
    SpinLockGuard guard(t->handleLock);
    if (!t->hasHandle || t->joined || pthread_equal(t->handle, pthread_self())) return;
    t->joined = true;
    handle = t->handle;
  }
  // The thread has finished its work; joining reclaims it and waits out its
  // thread-local destructors.
  pthread_join(handle, nullptr);
}

bool Thread::ThreadIsRunning() const {
  ThreadLifeTimeTracker* t = tracker_;
  SpinLockGuard guard(t->handleLock);
  return t->hasHandle && t->ended.load(std::memory_order_acquire) == 0;
}

unsigned Thread::GetThreadId() const { return tracker_->threadId.load(std::memory_order_acquire); }

void Thread::ScheduleAtThreadExitCall(unsigned longevity, void (*call)()) {
  SpinLockGuard guard(tracker_->exitCallLock);
  ScheduleAtExitCall(&tracker_->tracker, longevity, call);
}

void Thread::CancelAtThreadExitCall(void (*call)()) {
  SpinLockGuard guard(tracker_->exitCallLock);
  CancelAtExitCall(&tracker_->tracker, call);
}

unsigned Thread::GetCurrentThreadId() {
  if (t_threadId == 0) {
    t_threadId = static_cast<unsigned>(gettid());
  }
  return t_threadId;
}

Thread* Thread::GetCurrentThread() { return t_currentThread; }

void Thread::Yield() { sched_yield(); }

int ThreadLocalStorage::AllocKey() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) != 0) return -1;
  return static_cast<int>(key);
}

bool ThreadLocalStorage::FreeKey(int key) {
  return key >= 0 && pthread_key_delete(static_cast<pthread_key_t>(key)) == 0;
}

void* ThreadLocalStorage::GetValue(int key) {
  return key >= 0 ? pthread_getspecific(static_cast<pthread_key_t>(key)) : nullptr;
}

bool ThreadLocalStorage::SetValue(int key, void* value) {
  return key >= 0 && pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}

}  // namespace dp
