// The byte encodings of the binary file primitives, shared by everything
// that reads or writes them.
//
// Values are copied to and from raw bytes with memcpy (never by overlaying a
// buffer), reversed on the way when the file's byte order differs from the
// host's, so a swap costs nothing beyond the copy. bool is stored as 0 or 1
// and read back as true for any non-zero byte.
#ifndef QMKUTILS_FILEIO_INTERNAL_BYTEORDER_H_
#define QMKUTILS_FILEIO_INTERNAL_BYTEORDER_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace du::byteorder {

inline constexpr bool kHostBigEndian = std::endian::native == std::endian::big;

// The byte-order codes of the binary files.
inline constexpr int kLittleEndian = 0;
inline constexpr int kBigEndian = 1;

template <class T>
concept Primitive = std::is_arithmetic_v<T> &&
    (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

namespace detail {

// The unsigned integer of N bytes (N being 1, 2, 4 or 8).
template <std::size_t N>
using UnsignedOfSize = std::conditional_t<
    N == 1, std::uint8_t,
    std::conditional_t<N == 2, std::uint16_t,
                       std::conditional_t<N == 4, std::uint32_t, std::uint64_t>>>;

template <class U>
constexpr U Reverse(U value) {
  if constexpr (sizeof(U) == 1) {
    return value;
  } else if constexpr (sizeof(U) == 2) {
    return __builtin_bswap16(value);
  } else if constexpr (sizeof(U) == 4) {
    return __builtin_bswap32(value);
  } else {
    return __builtin_bswap64(value);
  }
}

}  // namespace detail

// Stores `value` at `out` (sizeof(T) bytes), reversed when `swap` is set.
template <Primitive T>
inline void Store(unsigned char* out, T value, bool swap) {
  if constexpr (std::is_same_v<T, bool>) {
    *out = value ? 1 : 0;
  } else {
    using U = detail::UnsignedOfSize<sizeof(T)>;
    U bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (swap) bits = detail::Reverse(bits);
    std::memcpy(out, &bits, sizeof bits);
  }
}

// Loads a T from the sizeof(T) bytes at `in`, reversed when `swap` is set.
template <Primitive T>
inline T Load(const unsigned char* in, bool swap) {
  if constexpr (std::is_same_v<T, bool>) {
    return *in != 0;
  } else {
    using U = detail::UnsignedOfSize<sizeof(T)>;
    U bits;
    std::memcpy(&bits, in, sizeof bits);
    if (swap) bits = detail::Reverse(bits);
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
}

template <Primitive T>
inline void StoreArray(unsigned char* out, const T* values, std::size_t count, bool swap) {
  if (!swap && !std::is_same_v<T, bool>) {
    std::memcpy(out, values, count * sizeof(T));
    return;
  }
  for (std::size_t i = 0; i < count; ++i) Store(out + i * sizeof(T), values[i], swap);
}

template <Primitive T>
inline void LoadArray(T* values, const unsigned char* in, std::size_t count, bool swap) {
  if (!swap && !std::is_same_v<T, bool>) {
    std::memcpy(values, in, count * sizeof(T));
    return;
  }
  for (std::size_t i = 0; i < count; ++i) values[i] = Load<T>(in + i * sizeof(T), swap);
}

// Fixed little-endian fields (the gzip header and trailer), whatever the
// order of the file around them.
inline void StoreLittleEndian32(unsigned char* out, std::uint32_t value) {
  Store(out, value, kHostBigEndian);
}
inline std::uint16_t LoadLittleEndian16(const unsigned char* in) {
  return Load<std::uint16_t>(in, kHostBigEndian);
}

}  // namespace du::byteorder

#endif  // QMKUTILS_FILEIO_INTERNAL_BYTEORDER_H_
