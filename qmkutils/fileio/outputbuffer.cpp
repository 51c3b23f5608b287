#include "qmkutils/fileio/outputbuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "qmkutils/fileio/internal/byteorder.h"

namespace du {

OutputBuffer::OutputBuffer() : OutputBuffer(byteorder::kLittleEndian, kDefaultCapacity) {}

OutputBuffer::OutputBuffer(int endian, unsigned initialSize)
    : bigEndian_(endian == byteorder::kBigEndian),
      mustSwap_(bigEndian_ != byteorder::kHostBigEndian) {
  const unsigned capacity = std::max(initialSize, kMinimumCapacity);
  start_ = static_cast<char*>(std::malloc(capacity));
  if (start_ != nullptr) capacity_ = capacity;
  position_ = highWater_ = start_;
}

OutputBuffer::~OutputBuffer() { std::free(start_); }

OutputBuffer::OutputBuffer(OutputBuffer&& other) noexcept
    : bigEndian_(other.bigEndian_),
      mustSwap_(other.mustSwap_),
      capacity_(std::exchange(other.capacity_, 0)),
      start_(std::exchange(other.start_, nullptr)),
      position_(std::exchange(other.position_, nullptr)),
      highWater_(std::exchange(other.highWater_, nullptr)) {}

OutputBuffer& OutputBuffer::operator=(OutputBuffer&& other) noexcept {
  if (this != &other) {
    std::free(start_);
    bigEndian_ = other.bigEndian_;
    mustSwap_ = other.mustSwap_;
    capacity_ = std::exchange(other.capacity_, 0);
    start_ = std::exchange(other.start_, nullptr);
    position_ = std::exchange(other.position_, nullptr);
    highWater_ = std::exchange(other.highWater_, nullptr);
  }
  return *this;
}

bool OutputBuffer::Extend(std::size_t needed) {
  const std::size_t free = FreeBytes();
  const std::size_t shortfall = needed - free;
  std::size_t growth = capacity_ > shortfall ? capacity_ : shortfall + kMinimumCapacity;
  growth = (growth + kMinimumCapacity - 1) / kMinimumCapacity * kMinimumCapacity;
  const std::uint64_t capacity = std::uint64_t{capacity_} + growth;
  // Positions are 32-bit, so a buffer never needs more than 4 GiB.
  if (capacity > UINT32_MAX) return false;
  char* grown = static_cast<char*>(std::malloc(capacity));
  if (grown == nullptr) return false;
  if (start_ != nullptr) std::memcpy(grown, start_, static_cast<std::size_t>(highWater_ - start_));
  const std::ptrdiff_t position = position_ - start_;
  const std::ptrdiff_t highWater = highWater_ - start_;
  std::free(start_);
  start_ = grown;
  position_ = grown + position;
  highWater_ = grown + highWater;
  capacity_ = static_cast<unsigned>(capacity);
  return true;
}

char* OutputBuffer::Reserve(std::size_t size) {
  if (FreeBytes() < size && !Extend(size)) return nullptr;
  char* at = position_;
  if (at > highWater_) std::memset(highWater_, 0, static_cast<std::size_t>(at - highWater_));
  position_ += size;
  highWater_ = std::max(highWater_, position_);
  return at;
}

template <class T>
bool OutputBuffer::PutScalar(T value) {
  char* at = Reserve(sizeof(T));
  if (at == nullptr) return false;
  byteorder::Store(reinterpret_cast<unsigned char*>(at), value, mustSwap_);
  return true;
}

template <class T>
bool OutputBuffer::PutArray(const T* values, unsigned count) {
  if (count == 0) return true;
  char* at = Reserve(std::size_t{count} * sizeof(T));
  if (at == nullptr) return false;
  byteorder::StoreArray(reinterpret_cast<unsigned char*>(at), values, count, mustSwap_);
  return true;
}

bool OutputBuffer::SetPosition(unsigned position) {
  if (position > capacity_) {
    // Extend measures from the write position, so ask for what reaches
    // `position` from there.
    const std::size_t fromHere = position - static_cast<std::size_t>(position_ - start_);
    if (!Extend(fromHere)) return false;
  }
  position_ = start_ + position;
  return true;
}

void OutputBuffer::Reset() { position_ = highWater_ = start_; }

bool OutputBuffer::Put(const char& value) { return PutScalar(value); }
bool OutputBuffer::Put(const unsigned char& value) { return PutScalar(value); }
bool OutputBuffer::Put(const bool& value) { return PutScalar(value); }
bool OutputBuffer::Put(const short& value) { return PutScalar(value); }
bool OutputBuffer::Put(const unsigned short& value) { return PutScalar(value); }
bool OutputBuffer::Put(const int& value) { return PutScalar(value); }
bool OutputBuffer::Put(const unsigned int& value) { return PutScalar(value); }
bool OutputBuffer::Put(const float& value) { return PutScalar(value); }
bool OutputBuffer::Put(const double& value) { return PutScalar(value); }

bool OutputBuffer::Put(const char* values, unsigned count) { return PutArray(values, count); }
bool OutputBuffer::Put(const unsigned char* values, unsigned count) {
  return PutArray(values, count);
}
bool OutputBuffer::Put(const short* values, unsigned count) { return PutArray(values, count); }
bool OutputBuffer::Put(const unsigned short* values, unsigned count) {
  return PutArray(values, count);
}
bool OutputBuffer::Put(const int* values, unsigned count) { return PutArray(values, count); }
bool OutputBuffer::Put(const unsigned int* values, unsigned count) {
  return PutArray(values, count);
}
bool OutputBuffer::Put(const float* values, unsigned count) { return PutArray(values, count); }
bool OutputBuffer::Put(const double* values, unsigned count) { return PutArray(values, count); }

}  // namespace du
