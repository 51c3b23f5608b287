#include "qmkutils/tracing/traceconsumer.h"

#include <stdexcept>

namespace dp {

TraceConsumer::~TraceConsumer() = default;

bool TraceConsumer::ConsumeMessage(const TraceFormatter*) {
  throw std::logic_error(
      " Missing override for pure virtual function TraceConsumer::ConsumeMessage(const "
      "TraceFormatter* formatter)");
}

void TraceConsumer::Install() {
  throw std::logic_error(" Missing override for pure virtual function TraceConsumer::Install()");
}

void TraceConsumer::Release() {
  throw std::logic_error(" Missing override for pure virtual function TraceConsumer::Release()");
}

}  // namespace dp
