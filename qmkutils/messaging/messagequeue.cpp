#include "qmkutils/messaging/messagequeue.h"

#include <atomic>
#include <stdexcept>

#include "qmkutils/messaging/internal/hazardpointers.h"
#include "qmkutils/messaging/messagehandler.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/utilities/intervalalarm.h"

namespace dom {

using internal::HazardManager;
using internal::HazardRecord;
using internal::QueueNode;

namespace {

// Keeps the fields that producers write off the lines the consumer writes.
// (The common allocator aligns to 8 only, so padding stands in for alignas.)
constexpr std::size_t kLine = 64;

constexpr int kSpinsBeforeYield = 5000;

// Publishes `node` in a hazard slot: the store must be visible before the
// re-read that validates it, hence sequential consistency.
void Protect(HazardRecord& record, int slot, QueueNode* node) {
  record.hazards[slot].store(node, std::memory_order_seq_cst);
}

void ClearHazards(HazardRecord& record) {
  record.hazards[0].store(nullptr, std::memory_order_release);
  record.hazards[1].store(nullptr, std::memory_order_release);
}

}  // namespace

class MessageQueue::Impl : public du::CommonAllocated {
 public:
  Impl() : manager(HazardManager::Instance()) {
    QueueNode* dummy = manager.TakeNode(manager.MyRecord());
    head.store(dummy, std::memory_order_relaxed);
    tail.store(dummy, std::memory_order_relaxed);
  }

  ~Impl() override {
    // No other thread uses the queue any more: what is left is unlinked
    // directly.
    QueueNode* node = head.load(std::memory_order_relaxed);
    HazardManager* alive = HazardManager::Peek();
    while (node != nullptr) {
      QueueNode* next = node->next.load(std::memory_order_relaxed);
      if (alive != nullptr) {
        alive->ReleaseNode(node);
      } else {
        delete node;
      }
      node = next;
    }
  }

  void Append(HazardRecord& record, QueueNode* node) {
    QueueNode* last;
    for (;;) {
      last = tail.load(std::memory_order_acquire);
      Protect(record, 0, last);
      if (tail.load(std::memory_order_acquire) != last) continue;
      QueueNode* next = last->next.load(std::memory_order_acquire);
      if (next == nullptr) {
        if (last->next.compare_exchange_weak(next, node, std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
          break;
        }
      } else {
        tail.compare_exchange_weak(last, next, std::memory_order_acq_rel,
                                   std::memory_order_relaxed);
      }
    }
    tail.compare_exchange_strong(last, node, std::memory_order_acq_rel, std::memory_order_relaxed);
    ClearHazards(record);
  }

  void AppendEndMarker() {
    HazardRecord& record = manager.MyRecord();
    Append(record, manager.TakeNode(record));
    size.fetch_add(1, std::memory_order_seq_cst);
  }

  // False when the list is empty; otherwise the entry's message (null for an
  // end marker).
  bool Remove(MessagePtr& message) {
    HazardRecord& record = manager.MyRecord();
    for (;;) {
      QueueNode* first = head.load(std::memory_order_acquire);
      Protect(record, 0, first);
      if (head.load(std::memory_order_acquire) != first) continue;
      QueueNode* next = first->next.load(std::memory_order_acquire);
      Protect(record, 1, next);
      if (head.load(std::memory_order_acquire) != first) continue;
      if (next == nullptr) {
        ClearHazards(record);
        return false;
      }
      QueueNode* last = tail.load(std::memory_order_acquire);
      if (first == last) {
        tail.compare_exchange_weak(last, next, std::memory_order_acq_rel,
                                   std::memory_order_relaxed);
        continue;
      }
      if (head.compare_exchange_weak(first, next, std::memory_order_acq_rel,
                                     std::memory_order_relaxed)) {
        // `next` is the new dummy. Its message is moved out rather than
        // copied, so a handled message is released at once instead of when
        // its node is reclaimed; only the thread whose exchange succeeded
        // touches it.
        message = std::move(next->message);
        ClearHazards(record);
        manager.Retire(record, first);
        return true;
      }
    }
  }

  void AdoptAndScan() {
    if (HazardRecord* record = HazardManager::MyRecordIfAny()) manager.Scan(*record);
  }

  HazardManager& manager;
  MessageHandler* handler = nullptr;
  du::IntervalAlarm alarm;
  char padOwner[kLine] = {};
  std::atomic<QueueNode*> head{nullptr};
  char padHead[kLine] = {};
  std::atomic<QueueNode*> tail{nullptr};
  char padTail[kLine] = {};
  std::atomic<int> serviceCount{0};  // producers
  char padService[kLine] = {};
  std::atomic<unsigned> size{0};  // producers and the owner
  char padSize[kLine] = {};
  std::atomic<int> needWakeup{1};  // written by the owner once per wake-up
};

MessageQueue::MessageQueue() : impl_(new Impl) {}

MessageQueue::~MessageQueue() { delete impl_; }

bool MessageQueue::AddMessage(const MessagePtr& message) {
  int count = impl_->serviceCount.load(std::memory_order_acquire);
  do {
    if (count < 0) return false;
  } while (!impl_->serviceCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel,
                                                      std::memory_order_acquire));
  HazardRecord* record;
  QueueNode* node;
  try {
    record = &impl_->manager.MyRecord();
    node = impl_->manager.TakeNode(*record);
  } catch (...) {
    impl_->serviceCount.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
  node->message = message;
  impl_->Append(*record, node);
  impl_->size.fetch_add(1, std::memory_order_seq_cst);
  impl_->serviceCount.fetch_sub(1, std::memory_order_acq_rel);
  // While the owner is awake the flag stays 0 and a load spares the
  // exchange. The owner sets the flag before it reads the size, and this
  // load follows the size's increment, all sequentially consistent: either
  // the owner counts this message or this load sees the flag.
  if (impl_->needWakeup.load(std::memory_order_seq_cst) > 0 &&
      impl_->needWakeup.exchange(0, std::memory_order_acq_rel) > 0) {
    SignalNewMessages();
  }
  return true;
}

MessagePtr MessageQueue::PollMessage() {
  MessagePtr message;
  if (impl_->Remove(message)) impl_->size.fetch_sub(1, std::memory_order_acq_rel);
  return message;
}

MessagePtr MessageQueue::PendMessage(int milliseconds) {
  du::IntervalAlarm deadline(milliseconds);
  MessagePtr message = PollMessage();
  while (!message) {
    if (!IsInService()) {
      ForwardShutdownToHandler();
      return nullptr;
    }
    // Fires a due time-out and tells the time to the next one, never 0: a
    // wait of 0 would be a wait without limit.
    std::int64_t wait = CheckTimeRemaining();
    const std::int64_t left = deadline.TimeTillNextAlarm();
    if (left == 0) return nullptr;
    if (left > 0 && (wait < 0 || left < wait)) wait = left;
    WaitForNewMessages(wait > 0 ? static_cast<int>(wait) : 0);
    message = PollMessage();
  }
  return message;
}

void MessageQueue::ShutdownQueue(ShutdownMode mode) {
  int failures = 0;
  for (;;) {
    int expected = 0;
    if (impl_->serviceCount.compare_exchange_weak(expected, -1, std::memory_order_acq_rel)) break;
    if (expected < 0) return;
    if (++failures % kSpinsBeforeYield == 0) dp::Thread::Yield();
  }
  if (mode == kShutdownImmediately) {
    impl_->AppendEndMarker();
    MessagePtr dropped;
    while (impl_->Remove(dropped)) {
      impl_->size.fetch_sub(1, std::memory_order_acq_rel);
      dropped.Reset();
    }
    impl_->AdoptAndScan();
  }
  impl_->AppendEndMarker();
  if (impl_->needWakeup.exchange(0, std::memory_order_acq_rel) > 0) SignalNewMessages();
}

unsigned MessageQueue::QueueSize() const { return impl_->size.load(std::memory_order_seq_cst); }

bool MessageQueue::IsInService() const {
  return impl_->serviceCount.load(std::memory_order_acquire) >= 0;
}

void MessageQueue::SetMessageHandler(MessageHandler* handler) {
  impl_->handler = handler;
  if (handler != nullptr) QueueSpecificAddDebugInfo(handler->GetName().c_str());
}

MessageHandler* MessageQueue::GetMessageHandler() const { return impl_->handler; }

long long MessageQueue::SetTimeoutInterval(long long interval) {
  const long long now = impl_->alarm.SetAlarmInterval(interval);
  QueueSpecificTimeoutWork(impl_->alarm.TimeTillNextAlarm());
  return now;
}

long long MessageQueue::SetTimeoutInterval(long long interval, long long firstAlarm) {
  const long long now = impl_->alarm.SetAlarmInterval(interval, firstAlarm);
  QueueSpecificTimeoutWork(impl_->alarm.TimeTillNextAlarm());
  return now;
}

long long MessageQueue::TimeNow() const { return impl_->alarm.TimeNow(); }

void MessageQueue::ThreadRelinquishInterest() {
  if (HazardManager* manager = HazardManager::Peek()) manager->Relinquish();
}

unsigned MessageQueue::RetainedNodeCount() {
  HazardManager* manager = HazardManager::Peek();
  return manager == nullptr ? 0 : manager->RetainedNodeCount();
}

void MessageQueue::RunMessageLoop() {
  while (IsInService()) {
    OnIdle();
    const int remaining = CheckTimeRemaining();
    WaitForNewMessages(remaining > 0 ? remaining : 0);
    OnWakeup();
    ForwardMessagesToHandler();
  }
  // Messages that arrived after the last wake-up but before the shutdown
  // were accepted: they are handled before the end marker.
  while (!QueueEmpty()) ForwardMessagesToHandler();
  ForwardShutdownToHandler();
}

int MessageQueue::CheckTimeRemaining() {
  std::int64_t remaining = impl_->alarm.TimeTillNextAlarm();
  if (remaining != 0) return static_cast<int>(remaining);
  if (impl_->handler != nullptr) impl_->handler->HandleTimeout(TimeNow());
  // A due tick has moved the alarm past now: the next reading is not 0
  // unless the handler took a whole interval.
  while ((remaining = impl_->alarm.TimeTillNextAlarm()) == 0) {
  }
  return static_cast<int>(remaining);
}

void MessageQueue::ForwardShutdownToHandler() {
  impl_->AdoptAndScan();
  if (impl_->handler != nullptr) impl_->handler->HandleShutdown();
}

void MessageQueue::ForwardMessagesToHandler() {
  const unsigned count = QueueSize();
  // The size drops once for the whole batch (also when a handler throws):
  // one contended update instead of one per message.
  struct SizeUpdate {
    std::atomic<unsigned>& size;
    unsigned removed = 0;
    ~SizeUpdate() {
      if (removed != 0) size.fetch_sub(removed, std::memory_order_seq_cst);
    }
  } update{impl_->size};
  for (unsigned i = 0; i < count; ++i) {
    MessagePtr message;
    if (impl_->Remove(message)) ++update.removed;
    if (message) {
      if (impl_->handler != nullptr) impl_->handler->HandleMessage(message);
    } else if (!IsInService()) {
      ForwardShutdownToHandler();
      return;
    }
  }
}

void MessageQueue::QueueSpecificPreShutdown() {}
bool MessageQueue::OnIdle() { return false; }
void MessageQueue::OnWakeup() {}

void MessageQueue::WaitForNewMessages(int) {
  throw std::logic_error("MessageQueue::WaitForNewMessages() has not been overidden.");
}

void MessageQueue::SignalNewMessages() {
  throw std::logic_error("MessageQueue::SignalNewMessages() has not been overidden.");
}

void MessageQueue::QueueSpecificTimeoutWork(long long) {}
void MessageQueue::QueueSpecificAddDebugInfo(const char*) {}

void MessageQueue::MarkNeedWakeup() { impl_->needWakeup.store(1, std::memory_order_seq_cst); }

}  // namespace dom
