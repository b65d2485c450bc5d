#pragma once
// CRC32C (Castagnoli, reflected polynomial 0x82f63b78), the checksum LevelDB
// stores with every table block and every physical log record, and the
// arithmetic on CRC registers that lets the carvers test a checksum over any
// byte range in constant time.
//
// LevelDB never stores a CRC as computed: it masks it first,
// ((crc >> 15) | (crc << 17)) + 0xa282ead8, so that a CRC over data that
// itself contains CRCs does not degenerate.
//
// Register algebra. Take the CRC register r as a polynomial over GF(2)
// modulo the CRC polynomial G (bit 31 holds the constant term: the reflected
// form). Feeding a byte b is then linear: step(r, b) = (r + b) * x^8, with b
// in the register's low byte. Over bytes D of length L from register r:
//   run(r, D) = r * x^(8L) + run(0, D),
// and crc32c(D) = run(0xffffffff, D) ^ 0xffffffff. So with P(i) the register
// after the first i bytes of a file (from 0xffffffff), the CRC of the bytes
// [s, e) is (P(s) ^ 0xffffffff) * x^(8(e-s)) ^ P(e) ^ 0xffffffff: one
// multiplication instead of a pass over the bytes.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vostrel {

inline constexpr std::uint32_t kCrc32cInit = 0xffffffffu;

// The register after feeding data to register `crc` (no inversion on either
// side): crc32c(data) == crc32c_run(kCrc32cInit, data) ^ kCrc32cInit.
// Uses the SSE4.2 crc32 instruction where the processor has it.
[[nodiscard]] std::uint32_t crc32c_run(std::uint32_t crc, std::string_view data) noexcept;

// One byte fed to a register (same result as crc32c_run over that byte).
[[nodiscard]] std::uint32_t crc32c_step(std::uint32_t crc, std::uint8_t byte) noexcept;

// The register after each byte of data, from register `crc`: out[i] is the
// register after data[0..i]. REQUIRES: out has room for data.size() values.
void crc32c_prefixes(std::uint32_t crc, std::string_view data, std::uint32_t* out) noexcept;

[[nodiscard]] inline std::uint32_t crc32c(std::string_view data) noexcept {
  return crc32c_run(kCrc32cInit, data) ^ kCrc32cInit;
}

[[nodiscard]] constexpr std::uint32_t crc32c_mask(std::uint32_t crc) noexcept {
  return ((crc >> 15) | (crc << 17)) + 0xa282ead8u;
}
[[nodiscard]] constexpr std::uint32_t crc32c_unmask(std::uint32_t masked) noexcept {
  const std::uint32_t rotated = masked - 0xa282ead8u;
  return (rotated >> 17) | (rotated << 15);
}

// --- Polynomial arithmetic modulo G, reflected form -------------------------

inline constexpr std::uint32_t kPolyOne = 0x80000000u;  // the polynomial 1

// a * b mod G: carry-less multiplication where the processor has it, else
// the portable shift-and-add (the same function; tests compare the two).
[[nodiscard]] std::uint32_t crc32c_multiply(std::uint32_t a, std::uint32_t b) noexcept;
[[nodiscard]] std::uint32_t crc32c_multiply_portable(std::uint32_t a, std::uint32_t b) noexcept;
// r * x^8 mod G and r * x^-8 mod G (x is invertible modulo G).
[[nodiscard]] std::uint32_t crc32c_times_x8(std::uint32_t r) noexcept;
[[nodiscard]] std::uint32_t crc32c_times_x_minus8(std::uint32_t r) noexcept;
// x^(8n) mod G, by squaring.
[[nodiscard]] std::uint32_t crc32c_x8_power(std::uint64_t n) noexcept;

// The CRC32C of the bytes [s, e) of a file, from the registers P(s) and P(e)
// after its first s and e bytes (see the register algebra above).
[[nodiscard]] inline std::uint32_t crc32c_of_range(std::uint32_t register_at_s,
                                                   std::uint32_t register_at_e,
                                                   std::uint64_t length) noexcept {
  return crc32c_multiply(register_at_s ^ kCrc32cInit, crc32c_x8_power(length)) ^ register_at_e ^
         kCrc32cInit;
}

}  // namespace vostrel
