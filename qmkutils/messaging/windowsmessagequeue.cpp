#include "qmkutils/messaging/windowsmessagequeue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "qmkutils/platform/thread.h"
#include "qmkutils/tracing/tracer.h"

namespace dom {

namespace {

const dp::QMTracer s_trace("dom", "WindowsMessageQueue");

// What the queue's wake-ups were called where a window carried them; the
// retry trace names the queue by it.
constexpr const char* kWindowTitle = "Invisible Window";

void Drain(int fd) {
  std::uint64_t count;
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace

WindowsMessageQueue::WindowsMessageQueue() {
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0)
    throw std::runtime_error("CreateMessageWindow(): Cannot create WindowsMessageWindow.\n");
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer < 0) {
    close(wake);
    throw std::runtime_error("CreateMessageWindow(): Cannot create WindowsMessageWindow.\n");
  }
  wakeFd_.store(wake, std::memory_order_release);
  timerFd_.store(timer, std::memory_order_release);
}

WindowsMessageQueue::~WindowsMessageQueue() { CloseDescriptors(false); }

void WindowsMessageQueue::CloseDescriptors(bool keepOnFailure) {
  for (std::atomic<int>* descriptor : {&wakeFd_, &timerFd_}) {
    const int fd = descriptor->load(std::memory_order_acquire);
    if (fd < 0) continue;
    if (close(fd) != 0 && errno != EINTR) {
      s_trace(dp::Warning, "failed to destroy window 0x%x (%d)\n", static_cast<unsigned>(fd),
              errno);
      if (keepOnFailure) continue;
    }
    descriptor->store(-1, std::memory_order_release);
  }
}

void WindowsMessageQueue::QueueSpecificPreShutdown() { CloseDescriptors(true); }

bool WindowsMessageQueue::WaitForDescriptors(int timeout, bool& woken, bool& timerFired) {
  pollfd fds[2] = {{GetWakeDescriptor(), POLLIN, 0}, {GetTimerDescriptor(), POLLIN, 0}};
  int ready;
  while ((ready = poll(fds, 2, timeout)) < 0 && errno == EINTR) {
  }
  if (ready < 0) return false;
  woken = (fds[0].revents & POLLIN) != 0;
  timerFired = (fds[1].revents & POLLIN) != 0;
  if (woken) Drain(fds[0].fd);
  if (timerFired) Drain(fds[1].fd);
  return true;
}

void WindowsMessageQueue::RunMessageLoop() {
  while (IsInService()) {
    bool woken = false;
    bool timerFired = false;
    if (!WaitForDescriptors(OnIdle() ? 0 : -1, woken, timerFired)) {
      s_trace(dp::Info, "GetMessage() return -1, error = %d.\n", errno);
      break;
    }
    if (!woken && !timerFired) continue;
    OnWakeup();
    if (timerFired) ProcessWmTimer();
    if (woken) {
      MarkNeedWakeup();
      ForwardMessagesToHandler();
    }
  }
  // Accepted messages that arrived since the last wake-up come first.
  while (!QueueEmpty()) ForwardMessagesToHandler();
  ForwardShutdownToHandler();
}

bool WindowsMessageQueue::ProcessWmUser() {
  if (GetWakeDescriptor() >= 0) Drain(GetWakeDescriptor());
  MarkNeedWakeup();
  ForwardMessagesToHandler();
  return true;
}

bool WindowsMessageQueue::ProcessWmTimer() {
  if (GetTimerDescriptor() >= 0) Drain(GetTimerDescriptor());
  const int remaining = CheckTimeRemaining();
  if (remaining >= 1) QueueSpecificTimeoutWork(remaining);
  return true;
}

void WindowsMessageQueue::ProcessWmQuit() { ForwardShutdownToHandler(); }

void WindowsMessageQueue::WaitForNewMessages(int milliseconds) {
  bool woken = false;
  bool timerFired = false;
  const bool waited = WaitForDescriptors(milliseconds > 0 ? milliseconds : -1, woken, timerFired);
  MarkNeedWakeup();
  if (!waited) {
    s_trace(dp::Error, "GetMessage() return -1, error = %d.\n", errno);
    ForwardShutdownToHandler();
  }
}

void WindowsMessageQueue::SignalNewMessages() {
  const std::uint64_t one = 1;
  for (;;) {
    const int fd = GetWakeDescriptor();
    if (fd >= 0 && write(fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) return;
    if (fd < 0 || errno == EBADF) {
      s_trace(dp::Warning, "Failed To Post a message to a queue, Invalid Window Handle\n");
      return;
    }
    if (errno != EINTR) {
      s_trace(dp::Warning, "Failed To Post a message to queue \"%s\", retrying...\n", kWindowTitle);
      dp::Thread::Yield();
    }
  }
}

void WindowsMessageQueue::QueueSpecificTimeoutWork(long long milliseconds) {
  const int fd = GetTimerDescriptor();
  if (milliseconds < 0 || fd < 0) return;
  // Like a window timer it repeats until set again. A zero it_value would
  // disarm it: a due time-out fires in 1 ns.
  itimerspec due{};
  due.it_value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  due.it_value.tv_nsec = milliseconds == 0 ? 1 : static_cast<long>(milliseconds % 1000) * 1000000L;
  due.it_interval = due.it_value;
  timerfd_settime(fd, 0, &due, nullptr);
}

}  // namespace dom
