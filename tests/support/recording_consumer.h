// A trace consumer that keeps what it receives, for tests to inspect.
#ifndef QMKUTILS_TESTS_SUPPORT_RECORDING_CONSUMER_H_
#define QMKUTILS_TESTS_SUPPORT_RECORDING_CONSUMER_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qmkutils/tracing/traceconsumer.h"
#include "qmkutils/tracing/tracecontroller.h"

namespace qmk_test {

struct TraceRecord {
  dp::TraceType type;
  std::string key, subKey, text;
  int threadId;
};

// What a RecordingConsumer received; outlives the consumer, which the
// controller deletes when it is removed.
class TraceLog {
 public:
  void Add(TraceRecord record) {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back(std::move(record));
  }
  std::vector<TraceRecord> Records() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& record : Records()) texts.push_back(record.text);
    return texts;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TraceRecord> records_;
};

class RecordingConsumer : public dp::TraceConsumer {
 public:
  RecordingConsumer(std::shared_ptr<TraceLog> log, bool accept = true)
      : log_(std::move(log)), accept_(accept) {}
  bool ConsumeMessage(const dp::TraceFormatter* formatter) override {
    log_->Add({formatter->GetType(), formatter->GetKey(), formatter->GetSubKey(),
               formatter->GetMesg(), formatter->GetThreadId()});
    return accept_;
  }
  void Install() override {}
  void Release() override { delete this; }

 private:
  std::shared_ptr<TraceLog> log_;
  bool accept_;
};

// Installs a recording consumer as the only one for the scope's duration.
class ScopedTraceRecorder {
 public:
  ScopedTraceRecorder() : log_(std::make_shared<TraceLog>()) {
    dp::TraceController::Instance().RemoveAllConsumers();
    dp::TraceController::Instance().AddConsumer(new RecordingConsumer(log_));
  }
  ~ScopedTraceRecorder() { dp::TraceController::Instance().RemoveAllConsumers(); }
  ScopedTraceRecorder(const ScopedTraceRecorder&) = delete;
  ScopedTraceRecorder& operator=(const ScopedTraceRecorder&) = delete;

  const TraceLog& log() const { return *log_; }

 private:
  std::shared_ptr<TraceLog> log_;
};

}  // namespace qmk_test

#endif  // QMKUTILS_TESTS_SUPPORT_RECORDING_CONSUMER_H_
