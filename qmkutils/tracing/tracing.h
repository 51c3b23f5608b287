// Tracing: trace sources, the trace controller and its consumers.
#ifndef QMKUTILS_TRACING_TRACING_H_
#define QMKUTILS_TRACING_TRACING_H_

#include "qmkutils/tracing/debuglevels.h"
#include "qmkutils/tracing/fileconsumer.h"
#include "qmkutils/tracing/plaintraceline.h"
#include "qmkutils/tracing/printfformatter.h"
#include "qmkutils/tracing/streamconsumer.h"
#include "qmkutils/tracing/traceconsumer.h"
#include "qmkutils/tracing/tracecontroller.h"
#include "qmkutils/tracing/traceformat.h"
#include "qmkutils/tracing/traceformatter.h"
#include "qmkutils/tracing/tracegate.h"
#include "qmkutils/tracing/tracer.h"
#include "qmkutils/tracing/tracetype.h"
#include "qmkutils/tracing/viewerendpoint.h"
#include "qmkutils/tracing/windowconsumer.h"

#endif  // QMKUTILS_TRACING_TRACING_H_
