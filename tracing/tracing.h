// Tracing: trace sources, the trace controller and its consumers.
#ifndef QMKUTILS_TRACING_TRACING_H_
#define QMKUTILS_TRACING_TRACING_H_

#include "tracing/fileconsumer.h"
#include "tracing/printfformatter.h"
#include "tracing/streamconsumer.h"
#include "tracing/traceconsumer.h"
#include "tracing/tracecontroller.h"
#include "tracing/traceformatter.h"
#include "tracing/tracer.h"
#include "tracing/tracetype.h"
#include "tracing/viewerendpoint.h"
#include "tracing/windowconsumer.h"

#endif  // QMKUTILS_TRACING_TRACING_H_
