#include "qmkutils/tracing/streamconsumer.h"

namespace dp {

bool StreamConsumer::ConsumeMessage(const TraceFormatter* formatter) {
  line_.clear();
  AppendPlainTraceLine(*formatter, &line_);
  stream_->write(line_.data(), static_cast<std::streamsize>(line_.size()));
  stream_->flush();
  return true;
}

void StreamConsumer::Release() { delete this; }

}  // namespace dp
