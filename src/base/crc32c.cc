#include "base/crc32c.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#include <wmmintrin.h>
#endif

namespace vostrel {
namespace {

constexpr std::uint32_t kPoly = 0x82f63b78u;  // CRC32C, reflected

// Slicing-by-8 tables: tables[0] is the classic byte table; tables[k][b] is
// the register contribution of byte b followed by k zero bytes.
struct Tables {
  std::array<std::array<std::uint32_t, 256>, 8> slice{};
  std::array<std::uint8_t, 256> byte_of_top{};  // inverse of b -> slice[0][b] >> 24
};

constexpr Tables make_tables() {
  Tables t;
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int i = 0; i < 8; ++i) r = (r & 1) ? (r >> 1) ^ kPoly : r >> 1;
    t.slice[0][b] = r;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) {
      const std::uint32_t prev = t.slice[k - 1][b];
      t.slice[k][b] = t.slice[0][prev & 0xff] ^ (prev >> 8);
    }
  }
  // The top bytes of the byte table are a permutation of 0..255 (the property
  // that makes feeding a byte invertible); the test suite checks it.
  for (std::uint32_t b = 0; b < 256; ++b) t.byte_of_top[t.slice[0][b] >> 24] = static_cast<std::uint8_t>(b);
  return t;
}

constexpr Tables kTables = make_tables();

std::uint32_t run_software(std::uint32_t crc, const unsigned char* p, std::size_t n) noexcept {
  const auto& s = kTables.slice;
  while (n >= 8) {
    std::uint32_t lo;
    std::uint32_t hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    if constexpr (std::endian::native == std::endian::big) {
      lo = __builtin_bswap32(lo);
      hi = __builtin_bswap32(hi);
    }
    lo ^= crc;
    crc = s[7][lo & 0xff] ^ s[6][(lo >> 8) & 0xff] ^ s[5][(lo >> 16) & 0xff] ^ s[4][lo >> 24] ^
          s[3][hi & 0xff] ^ s[2][(hi >> 8) & 0xff] ^ s[1][(hi >> 16) & 0xff] ^ s[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = s[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t run_hardware(std::uint32_t crc, const unsigned char* p,
                                                             std::size_t n) noexcept {
  std::uint64_t c = crc;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    c = _mm_crc32_u64(c, word);
    p += 8;
    n -= 8;
  }
  auto c32 = static_cast<std::uint32_t>(c);
  while (n-- > 0) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}

__attribute__((target("sse4.2"))) std::uint32_t step_hardware(std::uint32_t crc, std::uint8_t b) noexcept {
  return _mm_crc32_u8(crc, b);
}

__attribute__((target("sse4.2"))) void prefixes_hardware(std::uint32_t crc, const unsigned char* p,
                                                          std::size_t n, std::uint32_t* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = crc = _mm_crc32_u8(crc, p[i]);
}

// Carry-less multiplication of the two reflected values gives the product's
// 63 coefficients reversed; shifted left by one, its high half is the product's
// part below x^32 in register form, and its low half L stands for L * x^32,
// which is what feeding four zero bytes to register L computes.
__attribute__((target("sse4.2,pclmul"))) std::uint32_t multiply_hardware(std::uint32_t a,
                                                                        std::uint32_t b) noexcept {
  const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(a)),
                                               _mm_cvtsi32_si128(static_cast<int>(b)), 0);
  const std::uint64_t shifted = static_cast<std::uint64_t>(_mm_cvtsi128_si64(product)) << 1;
  return static_cast<std::uint32_t>(shifted >> 32) ^
         _mm_crc32_u32(static_cast<std::uint32_t>(shifted), 0);
}

const bool kHasSse42 = __builtin_cpu_supports("sse4.2");
const bool kHasClmul = kHasSse42 && __builtin_cpu_supports("pclmul");
#endif

// x * r mod G: one bit of shift.
constexpr std::uint32_t times_x(std::uint32_t r) noexcept { return (r & 1) ? (r >> 1) ^ kPoly : r >> 1; }

constexpr std::size_t kCachedPowers = 32768 + 16;  // every length a log block can need

const std::array<std::uint32_t, kCachedPowers>& cached_powers() {
  static const auto powers = [] {
    std::array<std::uint32_t, kCachedPowers> p{};
    p[0] = kPolyOne;
    for (std::size_t i = 1; i < kCachedPowers; ++i) p[i] = crc32c_times_x8(p[i - 1]);
    return p;
  }();
  return powers;
}

}  // namespace

std::uint32_t crc32c_run(std::uint32_t crc, std::string_view data) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
#if defined(__x86_64__)
  if (kHasSse42) return run_hardware(crc, p, data.size());
#endif
  return run_software(crc, p, data.size());
}

std::uint32_t crc32c_step(std::uint32_t crc, std::uint8_t byte) noexcept {
#if defined(__x86_64__)
  if (kHasSse42) return step_hardware(crc, byte);
#endif
  return kTables.slice[0][(crc ^ byte) & 0xff] ^ (crc >> 8);
}

void crc32c_prefixes(std::uint32_t crc, std::string_view data, std::uint32_t* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
#if defined(__x86_64__)
  if (kHasSse42) return prefixes_hardware(crc, p, data.size(), out);
#endif
  for (std::size_t i = 0; i < data.size(); ++i) out[i] = crc = kTables.slice[0][(crc ^ p[i]) & 0xff] ^ (crc >> 8);
}

std::uint32_t crc32c_multiply(std::uint32_t a, std::uint32_t b) noexcept {
#if defined(__x86_64__)
  if (kHasClmul) return multiply_hardware(a, b);
#endif
  return crc32c_multiply_portable(a, b);
}

std::uint32_t crc32c_multiply_portable(std::uint32_t a, std::uint32_t b) noexcept {
  // Schoolbook over a's coefficients from x^0 (bit 31) upwards, b taking one
  // more factor of x each round.
  std::uint32_t product = 0;
  for (std::uint32_t m = kPolyOne; a != 0; m >>= 1) {
    if (a & m) {
      product ^= b;
      a ^= m;
    }
    b = times_x(b);
  }
  return product;
}

std::uint32_t crc32c_times_x8(std::uint32_t r) noexcept {
  return kTables.slice[0][r & 0xff] ^ (r >> 8);
}

std::uint32_t crc32c_times_x_minus8(std::uint32_t r) noexcept {
  // r = y * x^8 = slice0[y & 0xff] ^ (y >> 8): the top byte of r is that of
  // slice0[y & 0xff] alone, which names y's low byte.
  const std::uint8_t low = kTables.byte_of_top[r >> 24];
  return ((r ^ kTables.slice[0][low]) << 8) | low;
}

std::uint32_t crc32c_x8_power(std::uint64_t n) noexcept {
  if (n < kCachedPowers) return cached_powers()[static_cast<std::size_t>(n)];
  std::uint32_t result = kPolyOne;
  std::uint32_t square = crc32c_times_x8(kPolyOne);  // x^8
  while (n != 0) {
    if (n & 1) result = crc32c_multiply(result, square);
    square = crc32c_multiply(square, square);
    n >>= 1;
  }
  return result;
}

}  // namespace vostrel
