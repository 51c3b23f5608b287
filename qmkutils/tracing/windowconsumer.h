// A trace consumer that sends plain lines to a running trace viewer.
//
// Lines are sent one record each over the viewer's socket (see
// qmkutils/tracing/viewerendpoint.h), synchronously, so the viewer shows them in
// order and none is lost while it keeps up. A line of 1024 bytes or more,
// and a line the viewer does not take within 5 s or at all (it stopped, or
// died), is dropped; after such a drop, lines go out only while the viewer
// has room for them, until it takes one again. The consumer keeps accepting
// messages either way, so a stalled viewer holds the program up for one
// time-out at most, and a vanished one not at all.
#ifndef QMKUTILS_TRACING_WINDOWCONSUMER_H_
#define QMKUTILS_TRACING_WINDOWCONSUMER_H_

#include <string>

#include "qmkutils/platform/export.h"
#include "qmkutils/tracing/traceconsumer.h"

namespace dp {

class QMK_EXPORT WindowConsumer : public TraceConsumer {
 public:
  // Takes ownership of `window`, a socket connected to the viewer.
  explicit WindowConsumer(int window) : window_(window) {}
  ~WindowConsumer() override;
  WindowConsumer(const WindowConsumer&) = delete;
  WindowConsumer& operator=(const WindowConsumer&) = delete;

  bool ConsumeMessage(const TraceFormatter* formatter) override;
  void Install() override {}
  // Closes the connection and deletes the consumer.
  void Release() override;

 private:
  int window_;
  bool stalled_ = false;
  std::string line_;
};

}  // namespace dp

#endif  // QMKUTILS_TRACING_WINDOWCONSUMER_H_
