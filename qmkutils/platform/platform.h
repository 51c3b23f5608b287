// The platform layer: threads, locks, singletons, time, the environment,
// installation paths, languages and locales, machine facts, parsed file
// paths, the file system, sockets, child processes, shared libraries, crash
// reports and lock annotations.
#ifndef QMKUTILS_PLATFORM_PLATFORM_H_
#define QMKUTILS_PLATFORM_PLATFORM_H_

#include "qmkutils/platform/badalloc.h"
#include "qmkutils/platform/busylock.h"
#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/exceptionhandler.h"
#include "qmkutils/platform/exitcalls.h"
#include "qmkutils/platform/export.h"
#include "qmkutils/platform/filespec.h"
#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/homesearch.h"
#include "qmkutils/platform/locale.h"
#include "qmkutils/platform/lockable.h"
#include "qmkutils/platform/locks.h"
#include "qmkutils/platform/memorymap.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/qminfo.h"
#include "qmkutils/platform/qmsysinfo.h"
#include "qmkutils/platform/readwritelock.h"
#include "qmkutils/platform/sharedlib.h"
#include "qmkutils/platform/singleton.h"
#include "qmkutils/platform/socket.h"
#include "qmkutils/platform/stackwalker.h"
#include "qmkutils/platform/system.h"
#include "qmkutils/platform/thread.h"
#include "qmkutils/platform/threadannotations.h"
#include "qmkutils/platform/timer.h"

#endif  // QMKUTILS_PLATFORM_PLATFORM_H_
