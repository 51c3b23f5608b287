#include "qmkutils/platform/internal/signalsafeio.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace dp::sigsafe {

LineBuffer& LineBuffer::Append(const char* text) {
  for (; text != nullptr && *text != '\0'; ++text) Put(*text);
  return *this;
}

LineBuffer& LineBuffer::AppendDecimal(long long value) {
  char digits[24];
  int count = 0;
  // In unsigned arithmetic, so that the most negative value converts too.
  unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                           : static_cast<unsigned long long>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) Put('-');
  while (count > 0) Put(digits[--count]);
  return *this;
}

LineBuffer& LineBuffer::AppendHex(std::uintptr_t value) {
  char digits[2 * sizeof value];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  Append("0x");
  while (count > 0) Put(digits[--count]);
  return *this;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  const int savedErrno = errno;
  sigset_t pipeSignal, previousMask, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
  bool written = true;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      break;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  if (!written && errno == EPIPE && !wasPending) {
    const timespec noWait{};
    while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  errno = savedErrno;
  return written;
}

bool WriteAll(int fd, const LineBuffer& line) { return WriteAll(fd, line.Text(), line.Size()); }

}  // namespace dp::sigsafe
