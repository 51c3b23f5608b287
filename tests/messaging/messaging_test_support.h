// Handlers and messages that record what a queue does with them.
#ifndef QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_
#define QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_

#include <atomic>
#include <mutex>
#include <vector>

#include "qmkutils/messaging/message.h"
#include "qmkutils/messaging/messagehandler.h"

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

// Keeps the object handle and tag of every message, and counts shutdowns
// and time-outs. Only the queue's owner calls it.
class RecordingHandler : public dom::MessageHandler {
 public:
  void HandleMessage(const dom::MessagePtr& message) override {
    std::lock_guard<std::mutex> guard(mutex_);
    handles_.push_back(message->GetObjectHandle());
    tags_.push_back(message->GetMesgTag());
    sizes_.push_back(GetMessageQueue() ? GetMessageQueue()->QueueSize() : 0);
  }
  void HandleShutdown() override { shutdowns_.fetch_add(1); }
  void HandleTimeout(long long) override { timeouts_.fetch_add(1); }

  std::vector<unsigned> Handles() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return handles_;
  }
  std::vector<unsigned> Tags() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return tags_;
  }
  // The queue's size as each message was handled.
  std::vector<unsigned> Sizes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sizes_;
  }
  int Shutdowns() const { return shutdowns_.load(); }
  int Timeouts() const { return timeouts_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<unsigned> handles_;
  std::vector<unsigned> tags_;
  std::vector<unsigned> sizes_;
  std::atomic<int> shutdowns_{0};
  std::atomic<int> timeouts_{0};
};

inline dom::MessagePtr Tagged(unsigned handle, unsigned tag) {
  dom::MessagePtr message(new CountedMessage(tag));
  message->SetObjectHandle(handle);
  message->FinaliseMessage();
  return message;
}

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_MESSAGING_MESSAGING_TEST_SUPPORT_H_
