// A message queue whose owner can wait in its own event loop.
//
// dom::WindowsMessageQueue wakes its owner through an eventfd and keeps its
// time-outs on a timerfd (both close-on-exec, non-blocking), so a thread
// that also serves a user interface or sockets can run one loop for both:
// it watches GetWakeDescriptor() and GetTimerDescriptor() for POLLIN in its
// own poll/epoll/GLib/Qt loop and calls ProcessWmUser() or ProcessWmTimer()
// when one is readable; ProcessWmUser hands the queued messages to the
// handler and, after a shutdown, runs HandleShutdown. RunMessageLoop is that
// loop for a thread that has nothing else to wait for.
//
// A signal writes the eventfd once per sleep of the owner (the need-wakeup
// flag of dom::MessageQueue). Once the queue is detached
// (QueueSpecificPreShutdown), a signal traces "Failed To Post a message to a
// queue, Invalid Window Handle" and is dropped, and a wait ends at once by
// running the shutdown path.
//
// Fork: the descriptors are kernel objects the child would share with the
// parent, so a queue belongs to the process that made it; in a fork child
// it behaves as a detached queue and never touches them.
//
// Unlike a wait for window messages, WaitForNewMessages honours its time
// limit, so PendMessage returns on time without a timer.
//
// Thread safety as for dom::MessageQueue; the Process operations and the
// loop belong to the owning thread.
#ifndef QMKUTILS_MESSAGING_WINDOWSMESSAGEQUEUE_H_
#define QMKUTILS_MESSAGING_WINDOWSMESSAGEQUEUE_H_

#include <atomic>

#include "qmkutils/messaging/messagequeue.h"
#include "qmkutils/platform/export.h"

namespace dom {

class QMK_EXPORT WindowsMessageQueue : public MessageQueue {
 public:
  // Throws std::runtime_error when the descriptors cannot be created.
  WindowsMessageQueue();
  ~WindowsMessageQueue() override;

  void RunMessageLoop() override;
  // Detaches the queue from its descriptors: from now on signals trace and
  // are dropped, and waits end at once. The descriptors themselves stay
  // open until the queue is destroyed, since a producer may be about to
  // write to one and a closed number could already name another file.
  void QueueSpecificPreShutdown() override;
  void WaitForNewMessages(int milliseconds) override;
  void SignalNewMessages() override;
  // Arms the timer to fire in `milliseconds` and every as many after (at
  // least 1 ms); negative leaves it alone.
  void QueueSpecificTimeoutWork(long long milliseconds) override;

  // Readable when messages (or the shutdown) await ProcessWmUser.
  int GetWakeDescriptor() const { return wakeFd_; }
  // Readable when a time-out is due.
  int GetTimerDescriptor() const { return timerFd_; }

  // For a caller running its own loop: consume the descriptor's readiness
  // and do the queue's work. Both return true.
  bool ProcessWmUser();
  bool ProcessWmTimer();
  // The loop is ending: the handler's HandleShutdown.
  void ProcessWmQuit();

 private:
  // Waits for either descriptor (−1: no limit) and consumes what is
  // readable; false when the wait failed or the queue is detached.
  bool WaitForDescriptors(int timeout, bool& woken, bool& timerFired);
  // Detached, or used in a process other than the one that made it.
  bool IsDetached() const;

  int wakeFd_ = -1;
  int timerFd_ = -1;
  int ownerProcess_ = 0;
  std::atomic<bool> detached_{false};
};

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_WINDOWSMESSAGEQUEUE_H_
