#include "qmkutils/messaging/messagequeue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "messaging/messaging_test_support.h"
#include "qmkutils/messaging/genericmessagequeue.h"
#include "qmkutils/messaging/messagehandler.h"

namespace {

using dom::GenericMessageQueue;
using dom::MessagePtr;
using dom::MessageQueue;
using dom::MessageQueuePtr;
using qmk_test::CountedMessage;
using qmk_test::RecordingHandler;
using qmk_test::Tagged;

// Counts its signals and lets a test play the owner's wake-up.
class CountingQueue : public GenericMessageQueue {
 public:
  int Signals() const { return signals_.load(); }
  void WakeUp() { WaitForNewMessages(1); }

 protected:
  void SignalNewMessages() override {
    signals_.fetch_add(1);
    GenericMessageQueue::SignalNewMessages();
  }

 private:
  std::atomic<int> signals_{0};
};

TEST(MessageQueueTest, GentleShutdownDeliversQueuedMessagesThenShutdown) {
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  for (unsigned tag = 1; tag <= 3; ++tag) ASSERT_TRUE(queue->AddMessage(Tagged(0, tag)));
  EXPECT_EQ(queue->QueueSize(), 3u);
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  EXPECT_FALSE(queue->IsInService());
  EXPECT_FALSE(queue->AddMessage(Tagged(0, 4)));
  queue->ShutdownQueue(MessageQueue::kShutdownImmediately);  // does nothing
  EXPECT_EQ(queue->QueueSize(), 4u);
  queue->ForwardMessagesToHandler();
  EXPECT_EQ(handler.Tags(), (std::vector<unsigned>{1, 2, 3}));
  // Each removal counts at once, also while the handler runs.
  EXPECT_EQ(handler.Sizes(), (std::vector<unsigned>{3, 2, 1}));
  EXPECT_EQ(handler.Shutdowns(), 1);
  EXPECT_TRUE(queue->QueueEmpty());
  EXPECT_EQ(CountedMessage::Live(), 0);
}

TEST(MessageQueueTest, ImmediateShutdownDropsQueuedMessages) {
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  for (unsigned tag = 1; tag <= 3; ++tag) queue->AddMessage(Tagged(0, tag));
  queue->ShutdownQueue(MessageQueue::kShutdownImmediately);
  EXPECT_EQ(CountedMessage::Live(), 0);
  EXPECT_EQ(queue->QueueSize(), 1u);  // the end marker
  queue->RunMessageLoop();            // ends at once, shutdown path only
  EXPECT_TRUE(handler.Tags().empty());
  EXPECT_GE(handler.Shutdowns(), 1);

  MessageQueuePtr empty(new GenericMessageQueue);
  empty->ShutdownQueue(MessageQueue::kShutdownGently);
  EXPECT_EQ(empty->QueueSize(), 1u);
  EXPECT_FALSE(empty->PollMessage());
  EXPECT_EQ(empty->QueueSize(), 0u);
  EXPECT_FALSE(empty->PollMessage());  // nothing left: nothing removed
  EXPECT_EQ(empty->QueueSize(), 0u);
}

TEST(MessageQueueTest, OneSignalPerSleep) {
  du::SmartPtr<CountingQueue> queue(new CountingQueue);
  queue->AddMessage(Tagged(0, 1));
  queue->AddMessage(Tagged(0, 2));
  EXPECT_EQ(queue->Signals(), 1);
  queue->WakeUp();  // takes the pending signal and asks for the next
  queue->AddMessage(Tagged(0, 3));
  queue->AddMessage(Tagged(0, 4));
  EXPECT_EQ(queue->Signals(), 2);
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  EXPECT_EQ(queue->Signals(), 2);  // the owner has not slept since
  queue->WakeUp();
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  EXPECT_EQ(queue->Signals(), 2);  // a second shutdown does nothing
  EXPECT_EQ(queue->PollMessage()->GetMesgTag(), 1);
}

TEST(MessageQueueTest, PendMessageTakesWaitsTimesOutAndNoticesShutdown) {
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  queue->AddMessage(Tagged(0, 7));
  MessagePtr message = queue->PendMessage(0);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->GetMesgTag(), 7);
  EXPECT_TRUE(handler.Tags().empty());  // not passed to the handler

  EXPECT_FALSE(queue->PendMessage(20));

  // Time-outs of the queue's interval fall due while it waits.
  EXPECT_GT(queue->SetTimeoutInterval(2), 0);
  EXPECT_FALSE(queue->PendMessage(40));
  EXPECT_GE(handler.Timeouts(), 1);
  EXPECT_EQ(queue->SetTimeoutInterval(0), 0);
  // Waiting without limit, time-outs keep coming until a message does.
  queue->SetTimeoutInterval(1);
  const int before = handler.Timeouts();
  std::thread producer([&] {
    while (handler.Timeouts() < before + 30) std::this_thread::yield();
    queue->AddMessage(Tagged(0, 8));
  });
  message = queue->PendMessage(-1);
  producer.join();
  queue->SetTimeoutInterval(0);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->GetMesgTag(), 8);

  std::thread stopper([&] { queue->ShutdownQueue(MessageQueue::kShutdownGently); });
  EXPECT_FALSE(queue->PendMessage(0));
  stopper.join();
  EXPECT_GE(handler.Shutdowns(), 1);
}

TEST(MessageQueueTest, LoopDeliversTimeoutsAndEndsOnShutdown) {
  MessageQueuePtr queue(new GenericMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  queue->SetTimeoutInterval(1);
  std::thread owner([&] {
    queue->RunMessageLoop();
    MessageQueue::ThreadRelinquishInterest();
  });
  for (unsigned tag = 0; tag < 100; ++tag) queue->AddMessage(Tagged(0, tag));
  while (handler.Timeouts() < 3 || handler.Tags().size() < 100) std::this_thread::yield();
  queue->ShutdownQueue(MessageQueue::kShutdownGently);
  owner.join();
  EXPECT_EQ(handler.Tags().size(), 100u);
  EXPECT_GE(handler.Shutdowns(), 1);
  EXPECT_LE(handler.Shutdowns(), 2);
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
  try {
    queue->AddMessage(Tagged(0, 1));
    FAIL() << "no exception";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "MessageQueue::SignalNewMessages() has not been overidden.");
  }
  queue->PollMessage();
  try {
    queue->PendMessage(5);
    FAIL() << "no exception";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "MessageQueue::WaitForNewMessages() has not been overidden.");
  }
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

  MessageQueuePtr first(new GenericMessageQueue);
  MessageQueuePtr second(new GenericMessageQueue);
  handler->SetMessageQueue(first);
  EXPECT_EQ(first->GetMessageHandler(), handler.get());
  handler->SetMessageQueue(second);
  EXPECT_EQ(first->GetMessageHandler(), nullptr);
  EXPECT_EQ(second->GetMessageHandler(), handler.get());
  handler.reset();
  EXPECT_EQ(second->GetMessageHandler(), nullptr);
}

}  // namespace
