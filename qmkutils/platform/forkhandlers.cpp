#include "qmkutils/platform/internal/forkhandlers.h"

#include <pthread.h>

#include <atomic>

namespace dp::fork {
namespace {

constexpr int kCount = static_cast<int>(Participant::kCount);

using Step = void (*)();

// Constant-initialised, so usable at any point of the process's life.
std::atomic<Step> s_prepare[kCount];
std::atomic<Step> s_parent[kCount];
std::atomic<Step> s_child[kCount];

void RunPrepare() {
  for (int i = 0; i < kCount; ++i) {
    if (Step step = s_prepare[i].load(std::memory_order_acquire)) step();
  }
}

void RunReverse(std::atomic<Step>* steps) {
  for (int i = kCount - 1; i >= 0; --i) {
    if (Step step = steps[i].load(std::memory_order_acquire)) step();
  }
}

void RunParent() { RunReverse(s_parent); }
void RunChild() { RunReverse(s_child); }

// Installed while the library loads, before any thread of the process can
// fork; the steps are read at each fork.
[[maybe_unused]] const bool s_installed = pthread_atfork(&RunPrepare, &RunParent, &RunChild) == 0;

}  // namespace

void Register(Participant participant, Steps steps) {
  const int i = static_cast<int>(participant);
  // Child and parent first: a fork that sees the prepare step must also see
  // the steps that undo it.
  s_child[i].store(steps.child, std::memory_order_release);
  s_parent[i].store(steps.parent, std::memory_order_release);
  s_prepare[i].store(steps.prepare, std::memory_order_release);
}

}  // namespace dp::fork
