// The memory pool's size classes, inline for the allocation fast paths.
// Internal.
#ifndef QMKUTILS_MEMORY_INTERNAL_SIZECLASSES_H_
#define QMKUTILS_MEMORY_INTERNAL_SIZECLASSES_H_

#include <array>
#include <cstdint>

namespace du::sizeclass {

constexpr unsigned kCount = 128;
constexpr unsigned kSmallCount = 8;  // packed slots, no back pointer
constexpr unsigned kLargest = 16384;

constexpr unsigned SizeOf(unsigned index) {
  if (index < 32) return 8 * (index + 1);
  if (index < 48) return (index - 15) * 16;
  if (index < 64) return (index - 31) * 32;
  if (index < 80) return (index - 47) * 64;
  if (index < 96) return (index - 63) * 128;
  if (index < 112) return (index - 79) * 256;
  return (index - 95) * 512;
}

// Class boundaries fall on multiples of 8, so (n - 1) / 8 picks the class.
inline constexpr auto kOfEighth = [] {
  std::array<std::uint8_t, kLargest / 8> table{};
  unsigned index = 0;
  for (unsigned eighth = 0; eighth < table.size(); ++eighth) {
    while (SizeOf(index) < (eighth + 1) * 8) ++index;
    table[eighth] = static_cast<std::uint8_t>(index);
  }
  return table;
}();

inline constexpr auto kSizes = [] {
  std::array<unsigned, kCount> sizes{};
  for (unsigned index = 0; index < kCount; ++index) sizes[index] = SizeOf(index);
  return sizes;
}();

// How many free slots a thread cache keeps per class: 32 KiB worth, at
// least 2 and at most 64.
inline constexpr auto kCacheLimits = [] {
  std::array<unsigned, kCount> limits{};
  for (unsigned index = 0; index < kCount; ++index) {
    const unsigned bySize = 32768 / SizeOf(index);
    limits[index] = bySize < 2 ? 2 : bySize > 64 ? 64 : bySize;
  }
  return limits;
}();

// The class of a size of at most kLargest.
inline unsigned IndexOf(unsigned size) { return size == 0 ? 0 : kOfEighth[(size - 1) / 8]; }

}  // namespace du::sizeclass

#endif  // QMKUTILS_MEMORY_INTERNAL_SIZECLASSES_H_
