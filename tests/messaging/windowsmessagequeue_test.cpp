#include "qmkutils/messaging/windowsmessagequeue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "messaging/messaging_test_support.h"
#include "support/recording_consumer.h"

namespace {

using dom::MessageQueue;
using dom::WindowsMessageQueue;
using qmk_test::RecordingHandler;
using qmk_test::Tagged;

// An application's own loop: it watches the queue's descriptors next to one
// of its own (a pipe) and lets the queue work when they are readable.
TEST(WindowsMessageQueueRace, DrivenFromAPlainPollLoop) {
  constexpr unsigned kProducers = 4;
  constexpr unsigned kPerProducer = 5000;
  du::SmartPtr<WindowsMessageQueue> queue(new WindowsMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  EXPECT_NE(fcntl(queue->GetWakeDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(fcntl(queue->GetTimerDescriptor(), F_GETFD) & FD_CLOEXEC, 0);
  queue->SetTimeoutInterval(1);
  int appPipe[2];
  ASSERT_EQ(pipe2(appPipe, O_CLOEXEC), 0);
  std::thread closer([&] {
    qmk_test::RunProducers(queue, kProducers, kPerProducer);
    EXPECT_EQ(write(appPipe[1], "q", 1), 1);
    queue->ShutdownQueue(MessageQueue::kShutdownGently);
  });

  bool appEvent = false;
  while (handler.Shutdowns() == 0 || !appEvent) {
    pollfd fds[3] = {{queue->GetWakeDescriptor(), POLLIN, 0},
                     {queue->GetTimerDescriptor(), POLLIN, 0},
                     {appPipe[0], POLLIN, 0}};
    ASSERT_GE(poll(fds, 3, -1), 1);
    EXPECT_TRUE((fds[0].revents & POLLIN) == 0 || queue->ProcessWmUser());
    EXPECT_TRUE((fds[1].revents & POLLIN) == 0 || queue->ProcessWmTimer());
    char byte;
    if ((fds[2].revents & POLLIN) != 0 && !appEvent) appEvent = read(appPipe[0], &byte, 1) == 1;
  }
  closer.join();
  MessageQueue::ThreadRelinquishInterest();
  close(appPipe[0]);
  close(appPipe[1]);
  EXPECT_GE(handler.Timeouts(), 1);
  EXPECT_EQ(qmk_test::CountInProducerOrder(handler, kProducers),
            std::vector<unsigned>(kProducers, kPerProducer));
}

TEST(WindowsMessageQueueTest, OwnLoopPendAndLostDescriptors) {
  du::SmartPtr<WindowsMessageQueue> queue(new WindowsMessageQueue);
  RecordingHandler handler;
  handler.SetMessageQueue(queue);
  EXPECT_FALSE(queue->PendMessage(10));  // honours its limit without a timer
  queue->SetTimeoutInterval(1);
  std::thread owner = qmk_test::StartOwner(queue);
  for (unsigned i = 0; i < 50; ++i) queue->AddMessage(Tagged(0, i));
  while (handler.Deliveries().size() < 50 || handler.Timeouts() < 2) std::this_thread::yield();
  queue->ShutdownQueue(MessageQueue::kShutdownImmediately);
  owner.join();
  EXPECT_GE(handler.Shutdowns(), 1);

  qmk_test::ScopedTraceRecorder recorder;
  du::SmartPtr<WindowsMessageQueue> closed(new WindowsMessageQueue);
  closed->QueueSpecificPreShutdown();
  EXPECT_TRUE(closed->AddMessage(Tagged(0, 1)));  // queued; the wake-up is lost
  ASSERT_EQ(
      recorder.log().Texts(),
      (std::vector<std::string>{"Failed To Post a message to a queue, Invalid Window Handle\n"}));
  EXPECT_EQ(recorder.log().Records()[0].subKey, "WindowsMessageQueue");
  EXPECT_EQ(closed->PollMessage()->GetMesgTag(), 1);
}

// A fork child shares the eventfd with its parent: its signals must not
// reach the parent's owner, whose wake-up they would steal or fake.
TEST(WindowsMessageQueueTest, AForkChildLeavesTheParentsDescriptorsAlone) {
  du::SmartPtr<WindowsMessageQueue> queue(new WindowsMessageQueue);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    queue->AddMessage(Tagged(0, 1));
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  pollfd wake{queue->GetWakeDescriptor(), POLLIN, 0};
  EXPECT_EQ(poll(&wake, 1, 0), 0);
  EXPECT_TRUE(queue->AddMessage(Tagged(0, 2)));
  EXPECT_EQ(poll(&wake, 1, 0), 1);
}

}  // namespace
