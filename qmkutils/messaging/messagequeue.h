// Message queues: the inbox of one thread.
//
// Any thread may add messages to a dom::MessageQueue; the one thread that
// owns it takes them out in arrival order and hands each to the queue's
// dom::MessageHandler. Adding never blocks and takes no lock: the queue is a
// lock-free first-in-first-out list whose nodes are reclaimed with hazard
// pointers and recycled through a shared free stack, so once that stack is
// warm producers do not allocate. Messages from one producer arrive in the
// order it added them.
//
// The owner sleeps between messages. A need-wakeup flag, set by the owner
// after every wake-up and cleared by the first producer after that, keeps
// signalling to one wake-up per sleep, however many messages arrive. How it
// sleeps is left to the concrete queues: dom::GenericMessageQueue waits on a
// semaphore, dom::WindowsMessageQueue on descriptors an application's own
// poll loop can watch.
//
// A queue also carries a repeating time-out interval; when it falls due the
// handler's HandleTimeout runs on the owning thread.
//
// Shutdown: after ShutdownQueue no message is accepted (AddMessage returns
// false). Gently, every message accepted before is still handled, also one
// that arrived after the owner's last wake-up: the loops end only after
// them. Immediately, they are dropped. The owner runs HandleShutdown each time it notices the
// shutdown, so a handler that returns normally from it can be called twice.
//
// A removed message leaves its list node at once (the node stays behind as
// the list's dummy), so a handled message is not kept alive until its node
// is reclaimed. When no node can be allocated, AddMessage throws
// std::bad_alloc having linked nothing.
//
// Thread safety: AddMessage, PollMessage, QueueSize, QueueEmpty, IsInService
// and ShutdownQueue may be called from any thread; the loops, PendMessage,
// the Forward operations and CheckTimeRemaining on the owning thread only, so
// the handler is only ever called from that thread. A thread that has used a
// queue should call ThreadRelinquishInterest before it ends; it is done for
// it when it ends otherwise.
//
// Fork: the queues take no lock, so a child may use them; the records of
// the parent's other threads stay claimed in the child and keep the few
// nodes they held. A queue that another thread was adding to at the moment
// of the fork counts that add forever in the child: shutting it down there
// would wait for it, so a child shuts down only queues of its own.
#ifndef QMKUTILS_MESSAGING_MESSAGEQUEUE_H_
#define QMKUTILS_MESSAGING_MESSAGEQUEUE_H_

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/memory/refcounted.h"
#include "qmkutils/memory/smartptr.h"
#include "qmkutils/messaging/message.h"
#include "qmkutils/platform/export.h"

namespace dom {

class MessageHandler;

class QMK_EXPORT MessageQueue : public du::RefCounted, public du::CommonAllocated {
 public:
  enum ShutdownMode { kShutdownGently = 0, kShutdownImmediately = 1 };

  MessageQueue();
  ~MessageQueue() override;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Adds at the tail; false, adding nothing, once the queue is shut down.
  bool AddMessage(const MessagePtr& message);
  // Removes the head entry; null when the queue is empty (nothing removed)
  // or when the entry removed was the shutdown's end marker.
  MessagePtr PollMessage();
  // Owning thread: waits up to `milliseconds` (0 or less: no limit) for a
  // message and returns it without passing it to the handler; null when the
  // time ran out or the queue was shut down. Time-outs of the queue's
  // interval that fall due meanwhile go to the handler.
  MessagePtr PendMessage(int milliseconds);
  // Any thread; a second shutdown does nothing.
  void ShutdownQueue(ShutdownMode mode);

  // Entries in the list: messages and end markers.
  unsigned QueueSize() const;
  bool QueueEmpty() const { return QueueSize() == 0; }
  bool IsInService() const;

  // The handler is not owned; null detaches it.
  void SetMessageHandler(MessageHandler* handler);
  MessageHandler* GetMessageHandler() const;

  // Both return the clock reading, or 0 when the interval made the alarm
  // inactive (0 or less).
  long long SetTimeoutInterval(long long interval);
  long long SetTimeoutInterval(long long interval, long long firstAlarm);
  long long TimeNow() const;

  // The calling thread gives up its hazard-pointer record.
  static void ThreadRelinquishInterest();
  // List nodes kept for reuse (free or awaiting reclamation), for statistics.
  static unsigned RetainedNodeCount();

  // The overridable steps, in the order of their slots. The loops, the
  // Forward operations and CheckTimeRemaining run on the owning thread.

  // Handles messages until the queue is shut down.
  virtual void RunMessageLoop();
  // Releases what the concrete queue holds for waking its owner; called by
  // a handler that has seen the shutdown.
  virtual void QueueSpecificPreShutdown();
  // Fires a due time-out; milliseconds till the next, −1 when inactive.
  virtual int CheckTimeRemaining();
  virtual void ForwardShutdownToHandler();
  // Hands the entries present now to the handler; runs the shutdown path at
  // the end marker.
  virtual void ForwardMessagesToHandler();
  // Called before each sleep of the loop: true to poll instead of sleeping.
  virtual bool OnIdle();
  virtual void OnWakeup();
  // Sleeps until a signal or `milliseconds` (0: no limit) have passed.
  virtual void WaitForNewMessages(int milliseconds);
  // Wakes the owner once.
  virtual void SignalNewMessages();
  // Told the milliseconds till the next time-out, −1 when inactive.
  virtual void QueueSpecificTimeoutWork(long long milliseconds);
  virtual void QueueSpecificAddDebugInfo(const char* name);

 protected:
  void MarkNeedWakeup();

 private:
  class Impl;
  Impl* impl_;
};

using MessageQueuePtr = du::SmartPtr<MessageQueue>;

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_MESSAGEQUEUE_H_
