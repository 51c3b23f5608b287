// Many threads racing on one queue: every message delivered exactly once and
// in its producer's order, shutdown while producers add, and list nodes
// reclaimed while other threads still read them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "messaging/messaging_test_support.h"
#include "qmkutils/messaging/genericmessagequeue.h"
#include "qmkutils/messaging/messagequeue.h"

namespace {

using dom::GenericMessageQueue;
using dom::MessagePtr;
using dom::MessageQueue;
using dom::MessageQueuePtr;
using qmk_test::CountedMessage;
using qmk_test::RecordingHandler;
using qmk_test::Tagged;

constexpr unsigned kProducers = 6;

// Messages carry their producer in the tag and their sequence number in the
// object handle. Checks, per producer, that they come in order without gaps.
void ExpectInProducerOrder(const RecordingHandler& handler, std::vector<unsigned>& counts) {
  const auto producers = handler.Tags();
  const auto sequence = handler.Handles();
  ASSERT_EQ(producers.size(), sequence.size());
  for (std::size_t i = 0; i < producers.size(); ++i) {
    ASSERT_LT(producers[i], counts.size());
    ASSERT_EQ(sequence[i], counts[producers[i]]) << "producer " << producers[i] << " out of order";
    ++counts[producers[i]];
  }
}

TEST(MessageQueueRace, ManyProducersOneLoopEveryMessageOnceInOrder) {
  constexpr unsigned kPerProducer = 20000;
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  std::thread owner([&] {
    queue->RunMessageLoop();
    MessageQueue::ThreadRelinquishInterest();
  });
  std::vector<std::thread> producers;
  for (unsigned p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (unsigned i = 0; i < kPerProducer; ++i) ASSERT_TRUE(queue->AddMessage(Tagged(i, p)));
      MessageQueue::ThreadRelinquishInterest();
    });
  }
  for (auto& producer : producers) producer.join();
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  owner.join();

  std::vector<unsigned> counts(kProducers, 0);
  ExpectInProducerOrder(handler, counts);
  for (unsigned count : counts) EXPECT_EQ(count, kPerProducer);
  EXPECT_EQ(CountedMessage::Live(), 0);
}

TEST(MessageQueueRace, ShutdownWhileProducersAdd) {
  for (const auto mode : {MessageQueue::kShutdownGently, MessageQueue::kShutdownImmediately}) {
    MessageQueuePtr queue(new GenericMessageQueue);
    RecordingHandler handler;
    handler.SetMessageQueue(queue);
    std::thread owner([&] {
      queue->RunMessageLoop();
      MessageQueue::ThreadRelinquishInterest();
    });
    std::vector<unsigned> accepted(kProducers, 0);
    std::atomic<unsigned> started{0};
    std::vector<std::thread> producers;
    for (unsigned p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        started.fetch_add(1);
        while (queue->AddMessage(Tagged(accepted[p], p))) ++accepted[p];
        MessageQueue::ThreadRelinquishInterest();
      });
    }
    while (started.load() < kProducers || handler.Tags().size() < 1000) std::this_thread::yield();
    queue->ShutdownQueue(mode);
    for (auto& producer : producers) producer.join();
    owner.join();

    std::vector<unsigned> delivered(kProducers, 0);
    if (mode == MessageQueue::kShutdownGently) {
      ExpectInProducerOrder(handler, delivered);
      for (unsigned p = 0; p < kProducers; ++p) {
        EXPECT_EQ(delivered[p], accepted[p]) << "gentle shutdown lost messages of producer " << p;
      }
    } else {
      // The shutting-down thread drops messages while the owner still takes
      // some: the owner's share has gaps but keeps each producer's order.
      const auto producers = handler.Tags();
      const auto sequence = handler.Handles();
      std::vector<long long> last(kProducers, -1);
      for (std::size_t i = 0; i < producers.size(); ++i) {
        ASSERT_GT(sequence[i], last[producers[i]]);
        last[producers[i]] = sequence[i];
      }
    }
    EXPECT_GE(handler.Shutdowns(), 1);
    EXPECT_FALSE(queue->AddMessage(Tagged(0, 0)));
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
  std::vector<std::vector<unsigned>> lastSeen(kPollers, std::vector<unsigned>(kProducers, 0));
  std::vector<std::thread> threads;
  for (unsigned c = 0; c < kPollers; ++c) {
    threads.emplace_back([&, c] {
      for (;;) {
        MessagePtr message = queue->PollMessage();
        if (!message) {
          if (!producing.load() && queue->QueueEmpty()) break;
          std::this_thread::yield();
          continue;
        }
        // Each poller sees any one producer's messages in increasing order.
        unsigned& last = lastSeen[c][message->GetMesgTag()];
        EXPECT_GE(message->GetObjectHandle(), last);
        last = message->GetObjectHandle() + 1u;
        taken.fetch_add(1);
      }
      MessageQueue::ThreadRelinquishInterest();
    });
  }
  std::vector<std::thread> producers;
  for (unsigned p = 0; p < 2; ++p) {
    producers.emplace_back([&, p] {
      for (unsigned i = 0; i < kPerProducer; ++i) queue->AddMessage(Tagged(i, p));
      MessageQueue::ThreadRelinquishInterest();
    });
  }
  for (auto& producer : producers) producer.join();
  producing.store(false);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 2 * kPerProducer);
  EXPECT_EQ(CountedMessage::Live(), 0);
}

}  // namespace
