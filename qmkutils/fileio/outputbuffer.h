// A growable in-memory byte buffer that encodes values exactly as
// du::FileWriter does, for assembling a record before it is written to a
// file or sent.
//
// du::OutputBuffer puts the primitives of the binary files (1-byte char,
// unsigned char and bool, 2-byte shorts, 4-byte ints and floats, 8-byte
// doubles, and arrays of them back to back) in little-endian (0) or
// big-endian (1) order at its write position. The position may be moved
// anywhere, inside or past the data; GetSize() counts up to the furthest
// byte ever put, and bytes skipped over read as zero.
//
// The buffer grows by at least its capacity each time, in multiples of
// 1024 bytes, and never shrinks. Get() stays valid until the next growth.
// A put fails (false) only when growing cannot be allocated, and then
// leaves the buffer as it was. Positions and sizes are 32-bit.
//
// Not thread-safe: one thread at a time may use a buffer.
#ifndef QMKUTILS_FILEIO_OUTPUTBUFFER_H_
#define QMKUTILS_FILEIO_OUTPUTBUFFER_H_

#include <cstddef>

#include "qmkutils/platform/export.h"

namespace du {

class QMK_EXPORT OutputBuffer {
 public:
  static constexpr unsigned kMinimumCapacity = 1024;
  static constexpr unsigned kDefaultCapacity = 8192;

  // Little-endian, kDefaultCapacity bytes.
  OutputBuffer();
  // Big-endian when `endian` is 1, little-endian otherwise; the capacity is
  // max(initialSize, 1024) bytes.
  OutputBuffer(int endian, unsigned initialSize);
  ~OutputBuffer();
  OutputBuffer(OutputBuffer&& other) noexcept;
  OutputBuffer& operator=(OutputBuffer&& other) noexcept;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  bool Put(const char& value);
  bool Put(const unsigned char& value);
  bool Put(const bool& value);
  bool Put(const short& value);
  bool Put(const unsigned short& value);
  bool Put(const int& value);
  bool Put(const unsigned int& value);
  bool Put(const float& value);
  bool Put(const double& value);

  bool Put(const char* values, unsigned count);
  bool Put(const unsigned char* values, unsigned count);
  bool Put(const short* values, unsigned count);
  bool Put(const unsigned short* values, unsigned count);
  bool Put(const int* values, unsigned count);
  bool Put(const unsigned int* values, unsigned count);
  bool Put(const float* values, unsigned count);
  bool Put(const double* values, unsigned count);

  // The first byte; null only when the constructor could not allocate.
  const char* Get() const { return start_; }
  unsigned GetSize() const { return static_cast<unsigned>(highWater_ - start_); }
  unsigned GetPosition() const { return static_cast<unsigned>(position_ - start_); }
  unsigned GetCapacity() const { return capacity_; }
  // Grows the buffer when `position` lies past its capacity; false (and
  // nothing moved) when that growth cannot be allocated.
  bool SetPosition(unsigned position);
  // Back to an empty buffer at position 0, keeping the capacity.
  void Reset();

  int GetEndian() const { return bigEndian_ ? 1 : 0; }
  bool IsBigEndian() const { return bigEndian_; }
  bool IsLittleEndian() const { return !bigEndian_; }

 private:
  template <class T>
  bool PutScalar(T value);
  template <class T>
  bool PutArray(const T* values, unsigned count);
  // Makes room for `size` bytes at the position, zeroing any gap left
  // between the data and the position.
  char* Reserve(std::size_t size);
  bool Extend(std::size_t needed);
  std::size_t FreeBytes() const { return static_cast<std::size_t>(start_ + capacity_ - position_); }

  bool bigEndian_ = false;
  bool mustSwap_ = false;
  unsigned capacity_ = 0;
  char* start_ = nullptr;
  char* position_ = nullptr;
  char* highWater_ = nullptr;
};

}  // namespace du

#endif  // QMKUTILS_FILEIO_OUTPUTBUFFER_H_
