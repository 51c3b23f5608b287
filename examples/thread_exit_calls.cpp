// Threads with thread-exit calls.
//
// A dp::Thread runs its Run on a thread of its own; the functions scheduled
// with ScheduleAtThreadExitCall run on that thread after Run returns, lowest
// longevity first. Here they release per-thread resources in the order the
// resources depend on each other.
#include <cstdio>

#include "qmkutils/platform/thread.h"

namespace {

thread_local int t_connection = 0;  // stands for a per-thread resource
thread_local int t_cache = 0;       // built on top of the connection

void CloseCache() {
  std::printf("  thread %u: close the cache (%d)\n", dp::Thread::GetCurrentThreadId(), t_cache);
}
void CloseConnection() {
  std::printf("  thread %u: close the connection (%d)\n", dp::Thread::GetCurrentThreadId(),
              t_connection);
}

class Worker : public dp::Thread {
 public:
  explicit Worker(int id) : id_(id) {
    // The cache goes first: it has the lower longevity.
    ScheduleAtThreadExitCall(20, &CloseConnection);
    ScheduleAtThreadExitCall(10, &CloseCache);
  }
  ~Worker() override { WaitForThreadToTerminate(); }

  void Run() override {
    t_connection = 100 + id_;
    t_cache = 200 + id_;
    std::printf("  thread %u: worker %d at work\n", GetThreadId(), id_);
  }

 private:
  int id_;
};

}  // namespace

int main() {
  std::printf("Two workers, each closing its resources on its own thread:\n");
  Worker first(1);
  first.Start(true);
  first.WaitForThreadToTerminate();
  Worker second(2);
  second.Start(true);
  second.WaitForThreadToTerminate();
  return 0;
}
