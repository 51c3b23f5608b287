// The process-wide lock that every access of the library to the environment
// holds. Internal; not installed.
//
// Code that hands `environ` to a new program (posix_spawn) holds it for the
// call, so that no concurrent dp::Environment::Put frees the array the
// child is reading. The lock is held across fork().
#ifndef QMKUTILS_PLATFORM_INTERNAL_ENVIRONMENTLOCK_H_
#define QMKUTILS_PLATFORM_INTERNAL_ENVIRONMENTLOCK_H_

#include <mutex>

namespace dp::env {

std::mutex& EnvironmentLock();

}  // namespace dp::env

#endif  // QMKUTILS_PLATFORM_INTERNAL_ENVIRONMENTLOCK_H_
