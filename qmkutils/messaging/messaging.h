// Messaging: messages, message queues and the handlers they deliver to.
#ifndef QMKUTILS_MESSAGING_MESSAGING_H_
#define QMKUTILS_MESSAGING_MESSAGING_H_

#include "qmkutils/messaging/genericmessagequeue.h"
#include "qmkutils/messaging/message.h"
#include "qmkutils/messaging/messagehandler.h"
#include "qmkutils/messaging/messagequeue.h"
#include "qmkutils/messaging/windowsmessagequeue.h"

#endif  // QMKUTILS_MESSAGING_MESSAGING_H_
