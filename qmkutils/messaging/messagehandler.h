// The interface a message queue delivers to.
//
// A dom::MessageHandler serves one queue: the queue calls HandleMessage for
// each message, HandleTimeout when the queue's interval falls due and
// HandleShutdown when it notices its shutdown, always on the queue's owning
// thread. The handler has a name and a directory id (10000, no address,
// until registered) by which traces name it.
//
// Setting the queue makes the handler that queue's handler and detaches it
// from the one before; destroying the handler detaches it, so a queue never
// calls a destroyed handler as long as the handler is destroyed on the
// queue's owning thread or while the queue's loop does not run.
//
// Posting messages to an address and returning undeliverable ones go
// through the directory of actor ids; they are not offered here, so a
// handler needs nothing but its queue. A class that registers in the
// directory adds them on top of GetId() and GetMessageQueue().
#ifndef QMKUTILS_MESSAGING_MESSAGEHANDLER_H_
#define QMKUTILS_MESSAGING_MESSAGEHANDLER_H_

#include <iosfwd>

#include "qmkutils/messaging/message.h"
#include "qmkutils/messaging/messagequeue.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/utilities/symbol.h"

namespace dom {

class QMK_EXPORT MessageHandler {
 public:
  MessageHandler();
  virtual ~MessageHandler();
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;

  virtual void HandleMessage(const MessagePtr& message) = 0;
  virtual void HandleShutdown() = 0;
  // `now`: the queue's clock in milliseconds.
  virtual void HandleTimeout(long long now) = 0;

  void SetName(const du::Symbol& name) { name_ = name; }
  const du::Symbol& GetName() const { return name_; }
  void SetId(unsigned id) { id_ = id; }
  unsigned GetId() const { return id_; }
  // Detaches from the current queue and attaches to `queue` (may be null).
  void SetMessageQueue(const MessageQueuePtr& queue);
  const MessageQueuePtr& GetMessageQueue() const { return queue_; }

 private:
  MessageQueuePtr queue_;
  unsigned id_ = Message::kNoAddress;
  du::Symbol name_;
};

// The text form used in traces:
// <quill:dom:MessageHandler name =  "n" id = "7"/>, without the name part
// while the name is empty.
QMK_EXPORT std::ostream& operator<<(std::ostream& out, const MessageHandler& handler);

}  // namespace dom

#endif  // QMKUTILS_MESSAGING_MESSAGEHANDLER_H_
