#include "qmkutils/messaging/messagequeue.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
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

// Keeps the owner's fields, the producers' and the need-wakeup flag on lines
// of their own. (The common allocator aligns to 8 only, so padding stands in
// for alignas.)
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
  Impl() {
    HazardManager& manager = HazardManager::Instance();
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
      if (tail.load(std::memory_order_seq_cst) != last) continue;
      QueueNode* next = last->next.load(std::memory_order_acquire);
      if (next == nullptr) {
        // Sequentially consistent, like the consumer's reads of the links:
        // the need-wakeup exchange relies on one order of link, flag and
        // size for everybody.
        if (last->next.compare_exchange_weak(next, node, std::memory_order_seq_cst,
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

  // `marker` is a node taken beforehand, so that a shutdown cannot fail
  // for want of one half-way.
  void AppendEndMarker(QueueNode* marker) {
    size.fetch_add(1, std::memory_order_seq_cst);
    Append(HazardManager::Instance().MyRecord(), marker);
  }

  // False when the list is empty; otherwise the entry's message (null for an
  // end marker).
  bool Remove(MessagePtr& message) {
    HazardManager& manager = HazardManager::Instance();
    HazardRecord& record = manager.MyRecord();
    for (;;) {
      QueueNode* first = head.load(std::memory_order_acquire);
      Protect(record, 0, first);
      // The re-reads that validate a published hazard must not pass the
      // publication: sequentially consistent on both sides.
      if (head.load(std::memory_order_seq_cst) != first) continue;
      QueueNode* next = first->next.load(std::memory_order_seq_cst);
      Protect(record, 1, next);
      if (head.load(std::memory_order_seq_cst) != first) continue;
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
    if (HazardRecord* record = HazardManager::MyRecordIfAny()) {
      HazardManager::Instance().Scan(*record);
    }
  }

  MessageHandler* Handler() const { return handler.load(std::memory_order_acquire); }

  // Set by any thread, read by the owner.
  std::atomic<MessageHandler*> handler{nullptr};
  du::IntervalAlarm alarm;
  char padOwner[kLine] = {};
  std::atomic<QueueNode*> head{nullptr};  // the owner's
  char padHead[kLine] = {};
  // A producer's tail and service count, on one line: it moves to the
  // producer's core once per add instead of once per field.
  std::atomic<QueueNode*> tail{nullptr};
  std::atomic<int> serviceCount{0};
  char padTail[kLine] = {};
  // Written once per add and read by the owner while it watches the queue,
  // so that its looking does not pull the line above away from a producer.
  std::atomic<unsigned> size{0};
  char padSize[kLine] = {};
  std::atomic<int> needWakeup{1};  // read by every add, written once per sleep
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
    HazardManager& manager = HazardManager::Instance();
    record = &manager.MyRecord();
    node = manager.TakeNode(*record);
  } catch (...) {
    impl_->serviceCount.fetch_sub(1, std::memory_order_acq_rel);
    throw;
  }
  node->message = message;
  // Counted before it is linked, so the size never falls below the entries
  // a consumer can remove.
  impl_->size.fetch_add(1, std::memory_order_seq_cst);
  impl_->Append(*record, node);
  impl_->serviceCount.fetch_sub(1, std::memory_order_acq_rel);
  // While the owner is awake the flag stays 0 and a load spares the
  // exchange. The owner sets the flag before it looks at the list, and
  // this load follows the link, all sequentially consistent: either the
  // owner finds this message or this load sees the flag.
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
  MessagePtr message = PollMessage();
  if (message) return message;
  // Without a limit there is no deadline, and no clock to read.
  std::optional<du::IntervalAlarm> deadline;
  if (milliseconds > 0) deadline.emplace(milliseconds);
  while (!message) {
    if (!IsInService()) {
      ForwardShutdownToHandler();
      return nullptr;
    }
    // Fires a due time-out and tells the time to the next one, never 0: a
    // wait of 0 would be a wait without limit.
    std::int64_t wait = CheckTimeRemaining();
    const std::int64_t left = deadline ? deadline->TimeTillNextAlarm() : -1;
    if (left == 0) return nullptr;
    if (left > 0 && (wait < 0 || left < wait)) wait = left;
    WaitForNewMessages(wait > 0 ? static_cast<int>(wait) : 0);
    message = PollMessage();
  }
  return message;
}

void MessageQueue::ShutdownQueue(ShutdownMode mode) {
  HazardManager& manager = HazardManager::Instance();
  HazardRecord& record = manager.MyRecord();
  QueueNode* marker = manager.TakeNode(record);
  QueueNode* dropMarker = nullptr;
  if (mode == kShutdownImmediately) {
    try {
      dropMarker = manager.TakeNode(record);
    } catch (...) {
      manager.ReleaseNode(marker);
      throw;
    }
  }
  int failures = 0;
  for (;;) {
    int expected = 0;
    if (impl_->serviceCount.compare_exchange_weak(expected, -1, std::memory_order_acq_rel)) break;
    if (expected < 0) {
      manager.ReleaseNode(marker);
      if (dropMarker != nullptr) manager.ReleaseNode(dropMarker);
      return;
    }
    if (++failures % kSpinsBeforeYield == 0) dp::Thread::Yield();
  }
  if (dropMarker != nullptr) {
    impl_->AppendEndMarker(dropMarker);
    MessagePtr dropped;
    while (impl_->Remove(dropped)) {
      impl_->size.fetch_sub(1, std::memory_order_acq_rel);
      dropped.Reset();
    }
    impl_->AdoptAndScan();
  }
  impl_->AppendEndMarker(marker);
  if (impl_->needWakeup.exchange(0, std::memory_order_acq_rel) > 0) SignalNewMessages();
}

unsigned MessageQueue::QueueSize() const { return impl_->size.load(std::memory_order_seq_cst); }

bool MessageQueue::IsInService() const {
  return impl_->serviceCount.load(std::memory_order_acquire) >= 0;
}

void MessageQueue::SetMessageHandler(MessageHandler* handler) {
  impl_->handler.store(handler, std::memory_order_release);
  if (handler != nullptr) QueueSpecificAddDebugInfo(handler->GetName().safe_c_str());
}

MessageHandler* MessageQueue::GetMessageHandler() const { return impl_->Handler(); }

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
  if (remaining == 0) {
    if (MessageHandler* handler = impl_->Handler()) handler->HandleTimeout(TimeNow());
    // A due tick has moved the alarm past now: the next reading is not 0
    // unless the handler took a whole interval.
    while ((remaining = impl_->alarm.TimeTillNextAlarm()) == 0) {
    }
  }
  // Intervals beyond 24 days are waited for in steps.
  return static_cast<int>(std::min<std::int64_t>(remaining, INT_MAX));
}

void MessageQueue::ForwardShutdownToHandler() {
  impl_->AdoptAndScan();
  if (MessageHandler* handler = impl_->Handler()) handler->HandleShutdown();
}

void MessageQueue::ForwardMessagesToHandler() {
  const unsigned count = QueueSize();
  for (unsigned i = 0; i < count; ++i) {
    MessagePtr message;
    const bool removed = impl_->Remove(message);
    if (removed) impl_->size.fetch_sub(1, std::memory_order_seq_cst);
    if (message) {
      if (MessageHandler* handler = impl_->Handler()) handler->HandleMessage(message);
    } else if (!IsInService()) {
      ForwardShutdownToHandler();
      return;
    } else if (!removed) {
      // Counted but not linked yet: its producer signals once it is.
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
