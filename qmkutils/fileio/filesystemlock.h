// An advisory lock between processes (and threads) made of a directory that
// exists exactly while the lock is held.
//
// du::FileSystemLock creates its directory to obtain the lock and removes it
// to release it. Creating a directory is atomic, so of all the lock objects
// bound to one path, in one process or in several, at most one holds it at a
// time. Obtaining retries a given number of times, sleeping a given number of
// seconds between attempts. A lock directory whose holder ended without
// releasing it (a crash, a kill) keeps blocking every later attempt until
// someone removes it: the lock cannot tell a dead holder from a slow one.
// Parent directories are not created: a path below a missing directory
// cannot be obtained.
//
// Fork: a held lock belongs to the process that obtained it. A fork child
// that releases or destroys its copy only forgets it, so a child's exit
// never frees the parent's lock.
//
// Failures are results (false) with a trace line (key "du", sub-key
// "FileSystemLock", Error) carrying the system's error text; nothing throws.
// A lock object is not synchronised: each thread uses its own objects.
//
// du::FileSystemLockHolder releases a lock when it goes out of scope, unless
// told to stop tracking it.
#ifndef QMKUTILS_FILEIO_FILESYSTEMLOCK_H_
#define QMKUTILS_FILEIO_FILESYSTEMLOCK_H_

#include <string>

#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT FileSystemLock {
 public:
  // Unbound: obtaining and releasing fail.
  FileSystemLock() = default;
  // Binds and tries to obtain the lock at once.
  FileSystemLock(const std::string& path, unsigned retryCount, unsigned retryIntervalSeconds);
  // Releases a held lock.
  ~FileSystemLock();
  FileSystemLock(const FileSystemLock&) = delete;
  FileSystemLock& operator=(const FileSystemLock&) = delete;

  // Releases a held lock, then binds to the new path without obtaining it.
  void BindLock(const std::string& path, unsigned retryCount, unsigned retryIntervalSeconds);
  // True when held (also when it already was); false when unbound or when
  // every attempt failed.
  bool ObtainLock();
  // False when unbound or when the directory cannot be removed (the lock
  // then stays held); true otherwise, also when it was not held.
  bool ReleaseLock();
  // Held. Implicit, as callers test a lock like a flag.
  operator bool() const { return state_ == State::kHeld; }  // NOLINT(google-explicit-constructor)

 private:
  enum class State { kUnbound, kBound, kHeld };

  std::string path_;
  unsigned retryCount_ = 0;
  unsigned retryInterval_ = 0;
  State state_ = State::kUnbound;
  int holderProcess_ = 0;  // the process that obtained it, while held
};

class QMK_EXPORT FileSystemLockHolder {
 public:
  explicit FileSystemLockHolder(FileSystemLock* lock) : lock_(lock) {}
  ~FileSystemLockHolder();
  FileSystemLockHolder(const FileSystemLockHolder&) = delete;
  FileSystemLockHolder& operator=(const FileSystemLockHolder&) = delete;

  // The lock is then left as it is by the destructor.
  void StopTrackingLock() { lock_ = nullptr; }

 private:
  FileSystemLock* lock_;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_FILESYSTEMLOCK_H_
