#include "qmkutils/tracing/windowconsumer.h"

#include <unistd.h>

#include "qmkutils/tracing/viewerendpoint.h"

namespace dp {

WindowConsumer::~WindowConsumer() {
  if (window_ >= 0) ::close(window_);
}

bool WindowConsumer::ConsumeMessage(const TraceFormatter* formatter) {
  line_.clear();
  AppendPlainTraceLine(*formatter, &line_);
  if (line_.size() <= TraceViewerEndpoint::kMaxLine) {
    // A stalled viewer costs the program one time-out, not one per line.
    stalled_ = !TraceViewerEndpoint::SendLine(window_, line_, !stalled_);
  }
  return true;
}

void WindowConsumer::Release() { delete this; }

}  // namespace dp
