// A trace consumer that writes plain lines to a standard stream.
//
// Each line is flushed as it is written, so output interleaves sensibly with
// the program's own. The stream is not owned.
#ifndef QMKUTILS_TRACING_STREAMCONSUMER_H_
#define QMKUTILS_TRACING_STREAMCONSUMER_H_

#include <ostream>
#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceconsumer.h"

namespace dp {

class QMK_EXPORT StreamConsumer : public TraceConsumer {
 public:
  explicit StreamConsumer(std::ostream* stream) : stream_(stream) {}

  bool ConsumeMessage(const TraceFormatter* formatter) override;
  void Install() override {}
  // Deletes the consumer; the stream stays open.
  void Release() override;

 private:
  std::ostream* stream_;
  std::string line_;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_STREAMCONSUMER_H_
