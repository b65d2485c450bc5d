#pragma once
// Undoing the compression of one stored table block: the single entry point
// through which every block (index or data) is decompressed, whatever its
// compression type byte says. Type 0 blocks are stored raw and never come here.
//
// Snappy (raw, unframed) through the platform's libsnappy. A Snappy buffer
// begins with its uncompressed length as a varint, and that length is
// untrusted: the library would allocate it before looking any further, so five
// corrupt bytes could ask for 4 GiB. The declared length is therefore checked
// against the most that the compressed bytes can expand to before any memory is
// reserved for it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace vostrel {

struct DecompressError {
  std::string description;  // what went wrong, in the decompressor's terms
  // "Decompression error: {description}"
  [[nodiscard]] std::string message() const;
};

// The largest output that `compressed_size` bytes of Snappy data (preamble
// excluded) can produce: a 3-byte copy element yields at most 64 bytes.
[[nodiscard]] constexpr std::size_t snappy_max_expansion(std::size_t compressed_size) noexcept {
  return compressed_size / 3 * 64 + 64;
}

// A growable output buffer reused across blocks, so decompressing a file's
// blocks allocates only when a block is larger than every one before it.
class DecompressBuffer {
 public:
  // A buffer of at least n bytes; its contents are unspecified.
  [[nodiscard]] char* reserve(std::size_t n);

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

// Decompresses a block stored with compression type `type` (non-zero) into
// buffer and returns a view of the output, valid until the next use of buffer.
[[nodiscard]] std::expected<std::string_view, DecompressError> decompress_block(
    std::uint8_t type, std::string_view stored, DecompressBuffer& buffer);

}  // namespace vostrel
