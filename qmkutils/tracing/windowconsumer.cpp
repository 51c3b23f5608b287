#include "qmkutils/tracing/windowconsumer.h"

#include <errno.h>
#include <unistd.h>

#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/viewerendpoint.h"

namespace dp {
namespace {

std::int64_t NowMilliseconds() { return Timer::GetRawValue() / 1'000'000; }

// True when a failed send only means the viewer has no room right now.
bool ViewerIsBusy() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS; }

}  // namespace

WindowConsumer::~WindowConsumer() {
  if (window_ >= 0) ::close(window_);
}

bool WindowConsumer::ConsumeMessage(const TraceFormatter* formatter) {
  if (failed_) return true;
  line_.clear();
  AppendPlainTraceLine(*formatter, &line_);
  if (line_.size() > TraceViewerEndpoint::kMaxLine) return true;
  if (backOffUntil_ != 0) {
    const std::int64_t now = NowMilliseconds();
    if (now < backOffUntil_) return true;
    backOffUntil_ = 0;
  }
  if (queue_.empty()) {
    if (TraceViewerEndpoint::SendLine(window_, line_, false)) return true;
    if (!ViewerIsBusy()) {
      failed_ = true;
      return true;
    }
    lastProgress_ = NowMilliseconds();
  }
  queuedBytes_ += line_.size();
  queue_.push_back(line_);
  SendQueued(NowMilliseconds());
  return true;
}

void WindowConsumer::Flush() {
  if (!queue_.empty()) SendQueued(NowMilliseconds());
}

void WindowConsumer::SendQueued(std::int64_t now) {
  while (!queue_.empty()) {
    if (!TraceViewerEndpoint::SendLine(window_, queue_.front(), false)) {
      if (ViewerIsBusy()) break;
      failed_ = true;
      queue_.clear();
      queuedBytes_ = 0;
      return;
    }
    queuedBytes_ -= queue_.front().size();
    queue_.pop_front();
    lastProgress_ = now;
  }
  if (!queue_.empty() &&
      (now - lastProgress_ >= kStallMilliseconds || queuedBytes_ >= kMaxQueuedBytes)) {
    Stall(now);
  }
}

void WindowConsumer::Stall(std::int64_t now) {
  queue_.clear();
  queuedBytes_ = 0;
  backOffUntil_ = now + kStallMilliseconds;
}

void WindowConsumer::Release() { delete this; }

}  // namespace dp
