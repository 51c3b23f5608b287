// The platform layer: threads, locks, singletons, time, the environment,
// installation paths and parsed file paths.
#ifndef QMKUTILS_PLATFORM_PLATFORM_H_
#define QMKUTILS_PLATFORM_PLATFORM_H_

#include "platform/badalloc.h"
#include "platform/environment.h"
#include "platform/exitcalls.h"
#include "platform/export.h"
#include "platform/filespec.h"
#include "platform/lockable.h"
#include "platform/locks.h"
#include "platform/process.h"
#include "platform/qminfo.h"
#include "platform/readwritelock.h"
#include "platform/singleton.h"
#include "platform/thread.h"
#include "platform/timer.h"

#endif  // QMKUTILS_PLATFORM_PLATFORM_H_
