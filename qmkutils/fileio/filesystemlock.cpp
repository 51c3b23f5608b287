#include "qmkutils/fileio/filesystemlock.h"

#include <cerrno>
#include <cstring>

#include "qmkutils/platform/filesystem.h"
#include "qmkutils/platform/process.h"
#include "qmkutils/platform/timer.h"
#include "qmkutils/tracing/tracer.h"

namespace du {

namespace {

const dp::QMTracer s_trace("du", "FileSystemLock");

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r: returns the text, which need not be in `buffer`.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

FileSystemLock::FileSystemLock(const std::string& path, unsigned retryCount,
                               unsigned retryIntervalSeconds)
    : path_(path),
      retryCount_(retryCount),
      retryInterval_(retryIntervalSeconds),
      state_(State::kBound) {
  ObtainLock();
}

FileSystemLock::~FileSystemLock() { ReleaseLock(); }

void FileSystemLock::BindLock(const std::string& path, unsigned retryCount,
                              unsigned retryIntervalSeconds) {
  ReleaseLock();
  path_ = path;
  retryCount_ = retryCount;
  retryInterval_ = retryIntervalSeconds;
  state_ = State::kBound;
}

bool FileSystemLock::ObtainLock() {
  if (state_ == State::kHeld) return true;
  if (state_ == State::kUnbound) return false;
  for (unsigned attempt = 0;; ++attempt) {
    if (dp::FileSystem::Mkdir(path_.c_str()) == 0) {
      state_ = State::kHeld;
      holderProcess_ = dp::Process::GetCurrentProcId();
      return true;
    }
    const int error = errno;
    if (attempt >= retryCount_) {
      s_trace(dp::Error, "Could not obtain lock \"%s\": %s.", path_.c_str(),
              ErrorText(error).c_str());
      return false;
    }
    dp::Timer::SleepSeconds(retryInterval_);
  }
}

bool FileSystemLock::ReleaseLock() {
  if (state_ == State::kUnbound) return false;
  if (state_ == State::kBound) return true;
  if (holderProcess_ != dp::Process::GetCurrentProcId() ||
      dp::FileSystem::Rmdir(path_.c_str()) == 0) {
    state_ = State::kBound;
    return true;
  }
  const int error = errno;
  s_trace(dp::Error, "Could not release lock \"%s\": %s.", path_.c_str(), ErrorText(error).c_str());
  return false;
}

FileSystemLockHolder::~FileSystemLockHolder() {
  if (lock_ != nullptr) lock_->ReleaseLock();
}

}  // namespace du
