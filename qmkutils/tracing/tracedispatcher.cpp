#include "qmkutils/tracing/internal/tracedispatcher.h"

#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/traceconsumer.h"
#include "qmkutils/tracing/windowconsumer.h"

namespace dp::detail {

TraceDispatcher::~TraceDispatcher() { RemoveAll(); }

void TraceDispatcher::ReleaseQuietly(TraceConsumer* consumer) {
  try {
    consumer->Release();
  } catch (...) {  // the failure being reported matters more
  }
}

void TraceDispatcher::Add(TraceConsumer* consumer) {
  if (consumer == nullptr) return;
  try {
    consumer->Install();
    consumers_.push_back(consumer);
  } catch (...) {
    ReleaseQuietly(consumer);
    throw;
  }
  Recount();
}

bool TraceDispatcher::Remove(TraceConsumer* consumer) {
  for (auto it = consumers_.rbegin(); it != consumers_.rend(); ++it) {
    if (*it == consumer) {
      consumers_.erase(std::next(it).base());
      Recount();
      consumer->Release();
      return true;
    }
  }
  return false;
}

void TraceDispatcher::RemoveAll() {
  while (!consumers_.empty()) {
    TraceConsumer* newest = consumers_.back();
    consumers_.pop_back();
    Recount();
    newest->Release();
  }
}

void TraceDispatcher::Dispatch(const TraceFormatter& formatter) {
  for (auto it = consumers_.rbegin(); it != consumers_.rend(); ++it) {
    if ((*it)->ConsumeMessage(&formatter)) return;
  }
}

void TraceDispatcher::Flush() {
  for (TraceConsumer* consumer : consumers_) {
    if (auto* file = dynamic_cast<FileConsumer*>(consumer)) {
      file->Flush();
    } else if (auto* window = dynamic_cast<WindowConsumer*>(consumer)) {
      window->Flush();
    }
  }
}

void TraceDispatcher::Recount() {
  bufferingConsumers_ = 0;
  for (TraceConsumer* consumer : consumers_) {
    if (dynamic_cast<FileConsumer*>(consumer) != nullptr ||
        dynamic_cast<WindowConsumer*>(consumer) != nullptr) {
      ++bufferingConsumers_;
    }
  }
}

}  // namespace dp::detail
