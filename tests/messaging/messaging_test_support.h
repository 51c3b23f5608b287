// Handlers, messages and threads that record what a queue does.
#ifndef QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_
#define QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "qmkutils/messaging/message.h"
#include "qmkutils/messaging/messagehandler.h"
#include "qmkutils/messaging/messagequeue.h"
#include "support/run_threads.h"

namespace qmk_test {

// A message that counts the live instances of its kind.
class CountedMessage : public dom::Message {
 public:
  explicit CountedMessage(unsigned tag) : dom::Message(0, 0, static_cast<unsigned short>(tag), 8) {
    s_live.fetch_add(1);
  }
  ~CountedMessage() override { s_live.fetch_sub(1); }
  static int Live() { return s_live.load(); }

 private:
  static inline std::atomic<int> s_live{0};
};

inline dom::MessagePtr Tagged(unsigned handle, unsigned tag) {
  dom::MessagePtr message(new CountedMessage(tag));
  message->SetObjectHandle(handle);
  message->FinaliseMessage();
  return message;
}

// Keeps every message's object handle and tag with the queue's size as it
// was handled, and counts shutdowns and time-outs.
class RecordingHandler : public dom::MessageHandler {
 public:
  struct Delivery {
    unsigned handle, tag, queueSize;
  };
  void HandleMessage(const dom::MessagePtr& message) override {
    std::lock_guard<std::mutex> guard(mutex_);
    deliveries_.push_back({message->GetObjectHandle(), message->GetMesgTag(),
                           GetMessageQueue() ? GetMessageQueue()->QueueSize() : 0});
  }
  void HandleShutdown() override { shutdowns_.fetch_add(1); }
  void HandleTimeout(long long) override { timeouts_.fetch_add(1); }

  std::vector<Delivery> Deliveries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_;
  }
  int Shutdowns() const { return shutdowns_.load(); }
  int Timeouts() const { return timeouts_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;
  std::atomic<int> shutdowns_{0};
  std::atomic<int> timeouts_{0};
};

// Adds Tagged(i, producer) for i from 0 to count − 1.
inline void Produce(const dom::MessageQueuePtr& queue, unsigned producer, unsigned count) {
  for (unsigned i = 0; i < count; ++i) EXPECT_TRUE(queue->AddMessage(Tagged(i, producer)));
  dom::MessageQueue::ThreadRelinquishInterest();
}

// Runs the producers together and returns when all have added everything.
inline void RunProducers(const dom::MessageQueuePtr& queue, unsigned producers, unsigned count) {
  RunThreads(static_cast<int>(producers),
             [&](int p) { Produce(queue, static_cast<unsigned>(p), count); });
}

inline std::thread StartOwner(const dom::MessageQueuePtr& queue) {
  return std::thread([queue] {
    queue->RunMessageLoop();
    dom::MessageQueue::ThreadRelinquishInterest();
  });
}

// Per producer (the tag), the messages handled in sequence (the handle)
// from 0 without gaps; returns how many each had.
inline std::vector<unsigned> CountInProducerOrder(const RecordingHandler& handler,
                                                  unsigned producers) {
  std::vector<unsigned> counts(producers, 0);
  for (const auto& delivery : handler.Deliveries()) {
    if (delivery.tag >= producers || delivery.handle != counts[delivery.tag]) {
      ADD_FAILURE() << "producer " << delivery.tag << " out of order at " << delivery.handle;
      break;
    }
    ++counts[delivery.tag];
  }
  return counts;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_
