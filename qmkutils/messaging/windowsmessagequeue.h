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
// flag of dom::MessageQueue). Once the descriptors are gone
// (QueueSpecificPreShutdown), a signal traces "Failed To Post a message to a
// queue, Invalid Window Handle" and is dropped.
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

  // Readable when messages (or the shutdown) await ProcessWmUser; −1 once
  // closed.
  int GetWakeDescriptor() const { return wakeFd_.load(std::memory_order_acquire); }
  // Readable when a time-out is due; −1 once closed.
  int GetTimerDescriptor() const { return timerFd_.load(std::memory_order_acquire); }

  // For a caller running its own loop: consume the descriptor's readiness
  // and do the queue's work. Both return true.
  bool ProcessWmUser();
  bool ProcessWmTimer();
  // The loop is ending: the handler's HandleShutdown.
  void ProcessWmQuit();

 protected:
  // Closes both descriptors.
  void QueueSpecificPreShutdown() override;
  void WaitForNewMessages(int milliseconds) override;
  void SignalNewMessages() override;
  // Arms the timer to fire in `milliseconds`; negative leaves it alone.
  void QueueSpecificTimeoutWork(long long milliseconds) override;

 private:
  // Waits for either descriptor (−1: no limit) and consumes what is
  // readable; false when the wait failed.
  bool WaitForDescriptors(int timeout, bool& woken, bool& timerFired);
  void CloseDescriptors(bool keepOnFailure);

  std::atomic<int> wakeFd_{-1};
  std::atomic<int> timerFd_{-1};
};

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_WINDOWSMESSAGEQUEUE_H_
