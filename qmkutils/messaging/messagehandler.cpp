#include "qmkutils/messaging/messagehandler.h"

#include <ostream>

namespace dom {

MessageHandler::MessageHandler() : name_("<unconfigured messageHandler>") {}

MessageHandler::~MessageHandler() {
  if (queue_) queue_->SetMessageHandler(nullptr);
}

void MessageHandler::SetMessageQueue(const MessageQueuePtr& queue) {
  if (queue_) queue_->SetMessageHandler(nullptr);
  queue_ = queue;
  if (queue_) queue_->SetMessageHandler(this);
}

std::ostream& operator<<(std::ostream& out, const MessageHandler& handler) {
  out << "<quill:dom:MessageHandler ";
  if (!handler.GetName().empty()) out << "name =  \"" << handler.GetName().c_str() << '"';
  return out << " id = \"" << std::dec << handler.GetId() << "\"/>";
}

}  // namespace dom
