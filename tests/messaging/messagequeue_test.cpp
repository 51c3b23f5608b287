#include "qmkutils/messaging/messagequeue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
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
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Counts its signals and lets a test play the owner's wait.
class CountingQueue : public GenericMessageQueue {
 public:
  int Signals() const { return signals_.load(); }
  void Wait() { WaitForNewMessages(1); }

 protected:
  void SignalNewMessages() override {
    signals_.fetch_add(1);
    GenericMessageQueue::SignalNewMessages();
  }

 private:
  std::atomic<int> signals_{0};
};

TEST(MessageQueueTest, ShutdownGentlyDeliversImmediatelyDrops) {
  for (const auto mode : {MessageQueue::kShutdownGently, MessageQueue::kShutdownImmediately}) {
    MessageQueuePtr queue(new GenericMessageQueue);
    RecordingHandler handler;
    handler.SetMessageQueue(queue);
    for (unsigned tag = 1; tag <= 3; ++tag) ASSERT_TRUE(queue->AddMessage(Tagged(0, tag)));
    queue->ShutdownQueue(mode);
    EXPECT_FALSE(queue->IsInService());
    EXPECT_FALSE(queue->AddMessage(Tagged(0, 4)));
    queue->ShutdownQueue(MessageQueue::kShutdownImmediately);  // does nothing
    const bool gently = mode == MessageQueue::kShutdownGently;
    EXPECT_EQ(queue->QueueSize(), gently ? 4u : 1u);  // with the end marker
    queue->RunMessageLoop();
    // One size per message handled; each removal counts at once, also while
    // the handler runs. The order is checked by the race tests.
    std::vector<unsigned> sizes;
    for (const auto& delivery : handler.Deliveries()) sizes.push_back(delivery.queueSize);
    EXPECT_EQ(sizes, (gently ? std::vector<unsigned>{3, 2, 1} : std::vector<unsigned>{}));
    // At the end marker, and once more as the loop ends.
    EXPECT_EQ(handler.Shutdowns(), 2);
    EXPECT_TRUE(queue->QueueEmpty());
    EXPECT_FALSE(queue->PollMessage());  // nothing left: nothing removed
    EXPECT_EQ(queue->QueueSize(), 0u);
    EXPECT_EQ(CountedMessage::Live(), 0);
  }
}

TEST(MessageQueueTest, OneSignalPerSleep) {
  du::SmartPtr<CountingQueue> queue(new CountingQueue);
  queue->AddMessage(Tagged(0, 1));
  queue->AddMessage(Tagged(0, 2));
  EXPECT_EQ(queue->Signals(), 1);
  queue->PollMessage();
  queue->PollMessage();
  queue->Wait();  // finds the queue empty, takes the signal, asks for the next
  queue->AddMessage(Tagged(0, 3));
  queue->Wait();  // a message is there: no sleep, no new signal asked for
  queue->AddMessage(Tagged(0, 4));
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  EXPECT_EQ(queue->Signals(), 2);
  EXPECT_EQ(queue->PollMessage()->GetMesgTag(), 3);
}

TEST(MessageQueueTest, PendMessageTakesWaitsTimesOutAndNoticesShutdown) {
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  queue->AddMessage(Tagged(0, 7));
  EXPECT_TRUE(queue->PendMessage(0));
  EXPECT_TRUE(handler.Deliveries().empty());  // not passed to the handler
  EXPECT_FALSE(queue->PendMessage(20));

  // Waiting without limit, time-outs of the queue's interval keep coming
  // until a message does.
  EXPECT_GT(queue->SetTimeoutInterval(1), 0);
  std::thread producer([&] {
    while (handler.Timeouts() < 30) std::this_thread::yield();
    queue->AddMessage(Tagged(0, 8));
  });
  const MessagePtr message = queue->PendMessage(-1);
  producer.join();
  EXPECT_EQ(queue->SetTimeoutInterval(0), 0);
  EXPECT_TRUE(message && message->GetMesgTag() == 8);

  std::thread stopper([&] { queue->ShutdownQueue(MessageQueue::kShutdownGently); });
  EXPECT_FALSE(queue->PendMessage(0));
  stopper.join();
  EXPECT_GE(handler.Shutdowns(), 1);
}

TEST(MessageQueueTest, ListNodesAreRecycled) {
  MessageQueuePtr queue(new GenericMessageQueue);
  auto burst = [&] {
    for (unsigned i = 0; i < 1000; ++i) queue->AddMessage(Tagged(0, i));
    while (queue->PollMessage()) {
    }
    MessageQueue::ThreadRelinquishInterest();
    return MessageQueue::RetainedNodeCount();
  };
  const unsigned afterFirst = burst();
  EXPECT_GE(afterFirst, 1000u);
  EXPECT_EQ(burst(), afterFirst);  // the second burst took every node from the free stack
}

TEST(MessageQueueTest, BaseQueueHasNoWayToSleepOrSignal) {
  MessageQueuePtr queue(new MessageQueue);
  EXPECT_THAT([&] { queue->AddMessage(Tagged(0, 1)); },
              ThrowsMessage<std::logic_error>(
                  StrEq("MessageQueue::SignalNewMessages() has not been overidden.")));
  queue->PollMessage();
  EXPECT_THAT([&] { queue->PendMessage(5); },
              ThrowsMessage<std::logic_error>(
                  StrEq("MessageQueue::WaitForNewMessages() has not been overidden.")));
}

TEST(MessageHandlerTest, TextFormAndQueueAttachment) {
  auto handler = std::make_unique<RecordingHandler>();
  std::ostringstream text;
  text << *handler;
  EXPECT_EQ(text.str(),
            "<quill:dom:MessageHandler name =  \"<unconfigured messageHandler>\" id = \"10000\"/>");
  handler->SetName(du::Symbol());
  handler->SetId(17);
  text.str("");
  text << std::hex << *handler;
  EXPECT_EQ(text.str(), "<quill:dom:MessageHandler  id = \"17\"/>");

  MessageQueuePtr first(new GenericMessageQueue), second(new GenericMessageQueue);
  handler->SetMessageQueue(first);
  handler->SetMessageQueue(second);
  EXPECT_EQ(first->GetMessageHandler(), nullptr);
  EXPECT_EQ(second->GetMessageHandler(), handler.get());
  handler.reset();
  EXPECT_EQ(second->GetMessageHandler(), nullptr);
}

}  // namespace
