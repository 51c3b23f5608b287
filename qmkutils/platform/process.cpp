#include "qmkutils/platform/process.h"

#include <unistd.h>

#include <atomic>

#include "qmkutils/platform/internal/forkhandlers.h"

namespace dp {
namespace {

// 0 until first use; afterwards always this process's id, because the fork
// handler is registered before the first id is stored.
std::atomic<int> s_processId{0};

void RefreshProcessIdInChild() { s_processId.store(::getpid(), std::memory_order_relaxed); }

int CacheProcessId() {
  static const bool s_registered = [] {
    fork::Register(fork::Participant::kProcessId, {nullptr, nullptr, &RefreshProcessIdInChild});
    return true;
  }();
  (void)s_registered;
  const int id = ::getpid();
  s_processId.store(id, std::memory_order_relaxed);
  return id;
}

}  // namespace

int Process::GetCurrentProcId() {
  const int id = s_processId.load(std::memory_order_relaxed);
  return id != 0 ? id : CacheProcessId();
}

}  // namespace dp
