// Threads with thread-exit calls.
//
// dp::Thread is the library's one way to run code on a thread of its own:
// derive from it, override Run, call Start. Start returns once the new thread
// exists and GetThreadId() is valid. Each Thread keeps an ordered list of
// thread-exit calls: plain functions that run on the thread after Run has
// returned, lowest longevity first and, among equal longevities, the one
// scheduled last first. An exception escaping Run or an exit call never
// leaves the thread: it is traced (key "dp", sub-key "Thread") and the thread
// ends normally.
//
// Destroying a Thread waits for its thread to end. Run may still be using the
// derived object at that point, so a derived class whose Run touches its own
// members calls WaitForThreadToTerminate() in its destructor. A Thread
// destroyed on its own thread (a Run that deletes its object) detaches
// instead of waiting for itself. Copies share one thread and one exit-call
// list; the shared state goes with the last copy.
//
// Fork: a child forked while other threads run inherits their Thread objects
// as ended, with nothing to wait for or join, and may start threads with them
// or with new ones; the forking thread's own Thread lives on in the child.
// GetCurrentThreadId is async-signal-safe once the calling thread has called
// it before; nothing else here is.
//
// ThreadLocalStorage wraps the system's thread-local keys.
#ifndef QMKUTILS_PLATFORM_THREAD_H_
#define QMKUTILS_PLATFORM_THREAD_H_

#include "qmkutils/platform/export.h"

namespace dp {

class ThreadLifeTimeTracker;

class QMK_EXPORT Thread {
 public:
  Thread();
  Thread(const Thread& other);
  Thread& operator=(const Thread& other);
  virtual ~Thread();

  // The thread body. The base version throws std::logic_error.
  virtual void Run();

  // Starts a thread that calls Run. False when the previous thread is still
  // running or the thread cannot be created (both traced). The thread's id is
  // valid when Start returns, whichever the argument.
  bool Start(bool waitForStart = true);
  // Waits until the thread has ended; returns at once when none was started.
  // Any number of threads may wait at once.
  void WaitForThreadToTerminate();
  bool ThreadIsRunning() const;
  // The system id of the running thread; 0 before Start and after the end.
  unsigned GetThreadId() const;

  void ScheduleAtThreadExitCall(unsigned longevity, void (*call)());
  void CancelAtThreadExitCall(void (*call)());

  static unsigned GetCurrentThreadId();
  // The Thread whose thread is calling; null on threads not started by one.
  static Thread* GetCurrentThread();
  static void Yield();

 private:
  ThreadLifeTimeTracker* tracker_;
};

struct QMK_EXPORT ThreadLocalStorage {
  // The new key, or -1 when none is left.
  static int AllocKey();
  static bool FreeKey(int key);
  static void* GetValue(int key);
  static bool SetValue(int key, void* value);
};

}  // namespace dp

#endif  // QMKUTILS_PLATFORM_THREAD_H_
