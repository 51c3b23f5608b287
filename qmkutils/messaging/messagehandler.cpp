#include "qmkutils/messaging/messagehandler.h"

#include <ostream>

namespace dom {

MessageHandler::MessageHandler() : name_("<unconfigured messageHandler>") {}

namespace {

// Leaves `queue` without a handler unless another has taken this one's
// place since.
void Detach(const MessageQueuePtr& queue, const MessageHandler* handler) {
  if (queue && queue->GetMessageHandler() == handler) queue->SetMessageHandler(nullptr);
}

}  // namespace

MessageHandler::~MessageHandler() { Detach(queue_, this); }

void MessageHandler::SetMessageQueue(const MessageQueuePtr& queue) {
  Detach(queue_, this);
  queue_ = queue;
  if (queue_) queue_->SetMessageHandler(this);
}

std::ostream& operator<<(std::ostream& out, const MessageHandler& handler) {
  out << "<quill:dom:MessageHandler ";
  if (!handler.GetName().empty()) out << "name =  \"" << handler.GetName().c_str() << '"';
  return out << " id = \"" << std::dec << handler.GetId() << "\"/>";
}

}  // namespace dom
