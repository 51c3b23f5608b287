#include "qmkutils/platform/process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace dp {
namespace {

// 0 until first use; afterwards always this process's id, because the fork
// handler is registered before the first id is stored.
std::atomic<int> s_processId{0};

void RefreshProcessIdInChild() { s_processId.store(::getpid(), std::memory_order_relaxed); }

int CacheProcessId() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, &RefreshProcessIdInChild) == 0;
  const int id = ::getpid();
  // Without the fork handler a cached id could outlive a fork.
  if (!registered) return id;
  s_processId.store(id, std::memory_order_relaxed);
  return id;
}

}  // namespace

int Process::GetCurrentProcId() {
  const int id = s_processId.load(std::memory_order_relaxed);
  return id != 0 ? id : CacheProcessId();
}

}  // namespace dp
