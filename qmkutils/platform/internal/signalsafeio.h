// Output that is safe inside a signal handler. Internal; not installed.
//
// `LineBuffer` builds one line of text in fixed storage, without the C
// library's formatting (which may allocate or take locks); text that does
// not fit is cut off. `WriteAll` writes a whole buffer with write(2),
// retrying after interruptions, and never raises SIGPIPE: the signal is
// blocked for the call and one it caused is consumed. Both may be used from
// signal handlers and from ordinary code alike.
#ifndef QMKUTILS_PLATFORM_INTERNAL_SIGNALSAFEIO_H_
#define QMKUTILS_PLATFORM_INTERNAL_SIGNALSAFEIO_H_

#include <cstddef>
#include <cstdint>

namespace dp::sigsafe {

class LineBuffer {
 public:
  static constexpr std::size_t kCapacity = 1024;

  LineBuffer& Append(const char* text);
  LineBuffer& AppendDecimal(long long value);
  LineBuffer& AppendHex(std::uintptr_t value);  // "0x" and lower-case digits

  // Always NUL-terminated.
  const char* Text() const { return text_; }
  std::size_t Size() const { return size_; }

 private:
  void Put(char c) {
    if (size_ + 1 < kCapacity) text_[size_++] = c;
    text_[size_] = '\0';
  }

  char text_[kCapacity] = {};
  std::size_t size_ = 0;
};

// False when a write failed; errno is left as it was.
bool WriteAll(int fd, const char* data, std::size_t size);
bool WriteAll(int fd, const LineBuffer& line);

}  // namespace dp::sigsafe

#endif  // QMKUTILS_PLATFORM_INTERNAL_SIGNALSAFEIO_H_
