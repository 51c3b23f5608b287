// Many threads racing on one queue: every message delivered exactly once and
// in its producer's order, shutdown while producers add, and list nodes
// reclaimed while other threads still read them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "messaging/messaging_test_support.h"
#include "qmkutils/messaging/genericmessagequeue.h"

namespace {

using dom::GenericMessageQueue;
using dom::MessagePtr;
using dom::MessageQueue;
using dom::MessageQueuePtr;
using qmk_test::CountedMessage;
using qmk_test::RecordingHandler;
using qmk_test::Tagged;

constexpr unsigned kProducers = 6;

TEST(MessageQueueRace, ManyProducersOneLoopEveryMessageOnceInOrder) {
  constexpr unsigned kPerProducer = 20000;
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  std::thread owner = qmk_test::StartOwner(queue);
  qmk_test::RunProducers(queue, kProducers, kPerProducer);
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  owner.join();
  EXPECT_EQ(qmk_test::CountInProducerOrder(handler, kProducers),
            std::vector<unsigned>(kProducers, kPerProducer));
  EXPECT_EQ(CountedMessage::Live(), 0);
}

TEST(MessageQueueRace, ShutdownWhileProducersAdd) {
  for (const auto mode : {MessageQueue::kShutdownGently, MessageQueue::kShutdownImmediately}) {
    MessageQueuePtr queue(new GenericMessageQueue);
    RecordingHandler handler;
    handler.SetMessageQueue(queue);
    std::thread owner = qmk_test::StartOwner(queue);
    std::vector<unsigned> accepted(kProducers, 0);
    std::vector<std::thread> producers;
    for (unsigned p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        while (queue->AddMessage(Tagged(accepted[p], p))) ++accepted[p];
        MessageQueue::ThreadRelinquishInterest();
      });
    }
    while (handler.Deliveries().size() < 1000) std::this_thread::yield();
    queue->ShutdownQueue(mode);
    for (auto& producer : producers) producer.join();
    owner.join();

    if (mode == MessageQueue::kShutdownGently) {
      EXPECT_EQ(qmk_test::CountInProducerOrder(handler, kProducers), accepted);
    } else {
      // Messages are dropped while the owner still takes some: its share
      // has gaps but keeps each producer's order.
      std::vector<long long> last(kProducers, -1);
      for (const auto& delivery : handler.Deliveries()) {
        ASSERT_GT(delivery.handle, last[delivery.tag]);
        last[delivery.tag] = delivery.handle;
      }
    }
    EXPECT_GE(handler.Shutdowns(), 1);
    EXPECT_EQ(CountedMessage::Live(), 0);
  }
}

// Producers and several pollers on one queue, so that nodes are retired by
// one thread while others still hold them in hazard slots; a node freed too
// early is a use after free under AddressSanitizer.
TEST(MessageQueueRace, HazardPointersReclaimUnderLoad) {
  constexpr unsigned kPerProducer = 30000;
  constexpr unsigned kPollers = 3;
  MessageQueuePtr queue(new GenericMessageQueue);
  std::atomic<unsigned> taken{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> pollers;
  for (unsigned c = 0; c < kPollers; ++c) {
    pollers.emplace_back([&] {
      std::vector<unsigned> next(2, 0);  // each poller sees a producer's order
      for (;;) {
        MessagePtr message = queue->PollMessage();
        if (!message) {
          if (!producing.load() && queue->QueueEmpty()) break;
          std::this_thread::yield();
          continue;
        }
        unsigned& expected = next[message->GetMesgTag()];
        EXPECT_GE(message->GetObjectHandle(), expected);
        expected = message->GetObjectHandle() + 1u;
        taken.fetch_add(1);
      }
      MessageQueue::ThreadRelinquishInterest();
    });
  }
  qmk_test::RunProducers(queue, 2, kPerProducer);
  producing.store(false);
  for (auto& poller : pollers) poller.join();
  EXPECT_EQ(taken.load(), 2 * kPerProducer);
  EXPECT_EQ(CountedMessage::Live(), 0);
}

}  // namespace
