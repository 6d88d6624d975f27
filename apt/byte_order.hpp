#pragma once

// Byte order of the binary data files, converted explicitly: the bytes are
// copied into an integer of the same size (no pointer casts of unaligned
// bytes), swapped when the file's order is not the machine's, then given the
// value's type with std::bit_cast.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace veltrane::apt {

/// The byte order a file stores its numbers in.
enum class byte_order { little, big };

/// `value` with its bytes in reverse order (std::byteswap of C++23).
constexpr std::uint16_t byteswap(std::uint16_t value) { return __builtin_bswap16(value); }
constexpr std::uint32_t byteswap(std::uint32_t value) { return __builtin_bswap32(value); }
constexpr std::uint64_t byteswap(std::uint64_t value) { return __builtin_bswap64(value); }

namespace detail {
template <std::size_t size>
struct same_size_uint;
template <>
struct same_size_uint<2> {
  using type = std::uint16_t;
};
template <>
struct same_size_uint<4> {
  using type = std::uint32_t;
};
template <>
struct same_size_uint<8> {
  using type = std::uint64_t;
};
template <class T>
using uint_of = typename same_size_uint<sizeof(T)>::type;

template <class T>
concept file_number = (std::is_integral_v<T> || std::is_floating_point_v<T>)&&(sizeof(T) == 2 ||
                                                                               sizeof(T) == 4 ||
                                                                               sizeof(T) == 8);

constexpr bool native_is(byte_order order) {
  return (order == byte_order::little) == (std::endian::native == std::endian::little);
}
}  // namespace detail

/// The number of type T stored at `bytes` (sizeof(T) bytes, any alignment)
/// in the given byte order.
template <detail::file_number T>
T load(const std::byte* bytes, byte_order order) {
  detail::uint_of<T> raw;
  std::memcpy(&raw, bytes, sizeof raw);
  if (!detail::native_is(order)) raw = byteswap(raw);
  return std::bit_cast<T>(raw);
}

/// load() of a little-endian number.
template <detail::file_number T>
T load_le(const std::byte* bytes) {
  return load<T>(bytes, byte_order::little);
}

/// load() of a big-endian number.
template <detail::file_number T>
T load_be(const std::byte* bytes) {
  return load<T>(bytes, byte_order::big);
}

/// Stores `value` at `bytes` (sizeof(T) bytes, any alignment) in the given
/// byte order; the inverse of load().
template <detail::file_number T>
void store(T value, std::byte* bytes, byte_order order) {
  auto raw = std::bit_cast<detail::uint_of<T>>(value);
  if (!detail::native_is(order)) raw = byteswap(raw);
  std::memcpy(bytes, &raw, sizeof raw);
}

}  // namespace veltrane::apt
