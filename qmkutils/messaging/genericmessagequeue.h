// A message queue whose owner sleeps on a counting semaphore.
//
// dom::GenericMessageQueue is the queue of a thread that does nothing but
// serve its handler: RunMessageLoop sleeps on the semaphore until a producer
// signals it (once per sleep, see dom::MessageQueue) or the next time-out
// falls due. Before it sleeps the owner watches the queue for a few
// microseconds: a message that arrives then is taken without a signal, so two
// threads that answer each other quickly never touch the semaphore. Thread
// safety as for dom::MessageQueue.
#ifndef QMKUTILS_MESSAGING_GENERICMESSAGEQUEUE_H_
#define QMKUTILS_MESSAGING_GENERICMESSAGEQUEUE_H_

#include "qmkutils/messaging/messagequeue.h"
#include "qmkutils/platform/export.h"

namespace dom {

class QMK_EXPORT GenericMessageQueue : public MessageQueue {
 public:
  GenericMessageQueue();
  ~GenericMessageQueue() override;

  // Returns at once if a message arrives while it watches the queue;
  // otherwise waits on the semaphore (0: without limit), then asks for the
  // next signal.
  void WaitForNewMessages(int milliseconds) override;
  void SignalNewMessages() override;

 private:
  class Impl;
  Impl* impl_;
};

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_GENERICMESSAGEQUEUE_H_
