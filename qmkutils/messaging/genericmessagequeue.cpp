#include "qmkutils/messaging/genericmessagequeue.h"

#include "qmkutils/memory/commonallocator.h"
#include "qmkutils/platform/internal/futex.h"
#include "qmkutils/platform/locks.h"

namespace dom {

namespace {

// Looks this many times, a pause apart (about five microseconds, what the
// semaphore itself would spin), before sleeping: a producer on another core
// usually answers within that, and a sleep costs both sides a system call
// and a context switch.
constexpr int kSpinsBeforeSleep = 200;

}  // namespace

class GenericMessageQueue::Impl : public du::CommonAllocated {
 public:
  dp::Semaphore semaphore{0};
};

GenericMessageQueue::GenericMessageQueue() : impl_(new Impl) {}

GenericMessageQueue::~GenericMessageQueue() { delete impl_; }

void GenericMessageQueue::WaitForNewMessages(int milliseconds) {
  // A message that arrives while the owner watches is taken without
  // sleeping and without asking for the next signal: the need-wakeup flag
  // stays 0 once a producer has signalled, so while messages keep coming in
  // time producers neither signal nor write the flag.
  for (int i = 0; i < kSpinsBeforeSleep; ++i) {
    if (!QueueEmpty()) return;
    dp::futex::CpuRelax();
  }
  // About to sleep: the signal given meanwhile, if any, is taken now, so the
  // semaphore never holds more than one count, and the next is asked for
  // before the last look at the queue. Having watched, it sleeps at once.
  if (impl_->semaphore.Poll()) {
    MarkNeedWakeup();
    if (!QueueEmpty()) return;
  }
  impl_->semaphore.WaitWithoutSpinning(milliseconds > 0 ? static_cast<unsigned>(milliseconds) : 0);
  MarkNeedWakeup();
}

void GenericMessageQueue::SignalNewMessages() { impl_->semaphore.Signal(); }

}  // namespace dom
