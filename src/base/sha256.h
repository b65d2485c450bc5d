#pragma once
// SHA-256 (FIPS 180-4), fed in pieces: what a blob file's content is known
// by, so that an examiner can match it against other copies without the
// tool ever holding the whole file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vostrel {

class Sha256 {
 public:
  void update(std::string_view bytes) noexcept;
  // The digest of everything fed; the object is spent afterwards.
  [[nodiscard]] std::array<std::uint8_t, 32> finish() noexcept;

 private:
  void block(const std::uint8_t* data) noexcept;
  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;  // bytes fed
};

}  // namespace vostrel
