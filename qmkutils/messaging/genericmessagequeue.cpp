#include "qmkutils/messaging/genericmessagequeue.h"

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/locks.h"

namespace dom {

class GenericMessageQueue::Impl : public du::CommonAllocated {
 public:
  dp::Semaphore semaphore{0};
};

GenericMessageQueue::GenericMessageQueue() : impl_(new Impl) {}

GenericMessageQueue::~GenericMessageQueue() { delete impl_; }

void GenericMessageQueue::WaitForNewMessages(int milliseconds) {
  impl_->semaphore.Wait(milliseconds > 0 ? static_cast<unsigned>(milliseconds) : 0);
  MarkNeedWakeup();
}

void GenericMessageQueue::SignalNewMessages() { impl_->semaphore.Signal(); }

}  // namespace dom
