#include "qmkutils/messaging/windowsmessagequeue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "qmkutils/platform/process.h"
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

WindowsMessageQueue::WindowsMessageQueue() : ownerProcess_(dp::Process::GetCurrentProcId()) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0)
    throw std::runtime_error("CreateMessageWindow(): Cannot create WindowsMessageWindow.\n");
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd_ < 0) {
    close(wakeFd_);
    throw std::runtime_error("CreateMessageWindow(): Cannot create WindowsMessageWindow.\n");
  }
}

WindowsMessageQueue::~WindowsMessageQueue() {
  // A failed close has released the number all the same on Linux: it is
  // traced, never tried again.
  for (const int fd : {wakeFd_, timerFd_}) {
    if (close(fd) != 0 && errno != EINTR) {
      s_trace(dp::Warning, "failed to destroy window 0x%x (%d)\n", static_cast<unsigned>(fd),
              errno);
    }
  }
}

bool WindowsMessageQueue::IsDetached() const {
  return detached_.load(std::memory_order_acquire) ||
         dp::Process::GetCurrentProcId() != ownerProcess_;
}

void WindowsMessageQueue::QueueSpecificPreShutdown() {
  detached_.store(true, std::memory_order_release);
}

bool WindowsMessageQueue::WaitForDescriptors(int timeout, bool& woken, bool& timerFired) {
  if (IsDetached()) return false;
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {timerFd_, POLLIN, 0}};
  int ready;
  while ((ready = poll(fds, 2, timeout)) < 0 && errno == EINTR) {
  }
  if (ready < 0) return false;
  woken = (fds[0].revents & POLLIN) != 0;
  timerFired = (fds[1].revents & POLLIN) != 0;
  if (woken) Drain(wakeFd_);
  if (timerFired) Drain(timerFd_);
  return true;
}

void WindowsMessageQueue::RunMessageLoop() {
  while (IsInService()) {
    bool woken = false;
    bool timerFired = false;
    const bool idle = OnIdle();
    if (!WaitForDescriptors(idle ? 0 : -1, woken, timerFired)) {
      s_trace(dp::Info, "GetMessage() return -1, error = %d.\n", IsDetached() ? EBADF : errno);
      break;
    }
    if (!woken && !timerFired) continue;
    if (!idle) OnWakeup();
    if (!IsInService()) break;
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
  if (!IsDetached()) Drain(wakeFd_);
  MarkNeedWakeup();
  ForwardMessagesToHandler();
  return true;
}

bool WindowsMessageQueue::ProcessWmTimer() {
  if (!IsDetached()) Drain(timerFd_);
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
    s_trace(dp::Error, "GetMessage() return -1, error = %d.\n", IsDetached() ? EBADF : errno);
    ForwardShutdownToHandler();
  }
}

void WindowsMessageQueue::SignalNewMessages() {
  const std::uint64_t one = 1;
  for (;;) {
    if (IsDetached()) {
      s_trace(dp::Warning, "Failed To Post a message to a queue, Invalid Window Handle\n");
      return;
    }
    if (write(wakeFd_, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) return;
    if (errno != EINTR) {
      s_trace(dp::Warning, "Failed To Post a message to queue \"%s\", retrying...\n", kWindowTitle);
      dp::Thread::Yield();
    }
  }
}

void WindowsMessageQueue::QueueSpecificTimeoutWork(long long milliseconds) {
  if (milliseconds < 0 || IsDetached()) return;
  // Like a window timer it repeats until set again. A due time-out (0)
  // fires after the shortest period, 1 ms: a zero it_value would disarm the
  // timer, and a period of nanoseconds would keep the owner spinning.
  milliseconds = std::max(milliseconds, 1LL);
  itimerspec due{};
  due.it_value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  due.it_value.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  due.it_interval = due.it_value;
  timerfd_settime(timerFd_, 0, &due, nullptr);
}

}  // namespace dom
