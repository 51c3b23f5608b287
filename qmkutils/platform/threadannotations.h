// Thread-safety annotations for locks and the data they guard.
//
// Under clang with -Wthread-safety these macros let the compiler check, one
// function at a time, that data marked QMK_GUARDED_BY is touched only with
// its lock held, that a function marked QMK_REQUIRES is called only with the
// lock held, and that every lock a function takes is released on every path.
// Under other compilers they expand to nothing. The library's lock types and
// their guards carry them, so callers may annotate their own data with
// QMK_GUARDED_BY(myLock) and get the same checks.
//
// The analysis does not know that the library's locks are re-entrant: taking
// a lock twice in one function is reported even where it is legal.
#ifndef QMKUTILS_PLATFORM_THREADANNOTATIONS_H_
#define QMKUTILS_PLATFORM_THREADANNOTATIONS_H_

#if defined(__clang__)
#define QMK_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define QMK_THREAD_ANNOTATION(attribute)
#endif

// A type whose objects are locks.
#define QMK_CAPABILITY(kind) QMK_THREAD_ANNOTATION(capability(kind))
// A guard: holds the locks its constructor acquires until it is destroyed.
#define QMK_SCOPED_CAPABILITY QMK_THREAD_ANNOTATION(scoped_lockable)

#define QMK_GUARDED_BY(lock) QMK_THREAD_ANNOTATION(guarded_by(lock))
#define QMK_PT_GUARDED_BY(lock) QMK_THREAD_ANNOTATION(pt_guarded_by(lock))
#define QMK_REQUIRES(...) QMK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QMK_REQUIRES_SHARED(...) QMK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define QMK_EXCLUDES(...) QMK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#define QMK_ACQUIRE(...) QMK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QMK_ACQUIRE_SHARED(...) QMK_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define QMK_TRY_ACQUIRE(...) QMK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QMK_TRY_ACQUIRE_SHARED(...) \
  QMK_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define QMK_RELEASE(...) QMK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QMK_RELEASE_SHARED(...) QMK_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// The lock a function returns a reference to.
#define QMK_RETURN_CAPABILITY(lock) QMK_THREAD_ANNOTATION(lock_returned(lock))

// Turns the analysis off for one function: for lock implementations, and for
// code that takes a lock on one thread and releases it on another.
#define QMK_NO_THREAD_SAFETY_ANALYSIS QMK_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QMKUTILS_PLATFORM_THREADANNOTATIONS_H_
