#include "compression.h"

// The C interface of libsnappy.
#include <snappy-c.h>

#include "varint.h"

namespace vostrel {
namespace {

// Reads and checks the declared uncompressed length without allocating.
std::expected<std::size_t, DecompressError> snappy_checked_length(std::string_view compressed) {
  std::size_t length = 0;
  if (::snappy_uncompressed_length(compressed.data(), compressed.size(), &length) != SNAPPY_OK) {
    return std::unexpected(DecompressError{"corrupt input: unreadable uncompressed length"});
  }
  const auto preamble = decode_varint(compressed, 0, /*narrow=*/true);
  const std::size_t body = preamble ? compressed.size() - preamble->length : 0;
  if (length > snappy_max_expansion(body)) {
    return std::unexpected(DecompressError{"corrupt input: declared uncompressed length " +
                                           std::to_string(length) + " exceeds what " +
                                           std::to_string(body) + " compressed bytes can hold"});
  }
  return length;
}

std::expected<std::string_view, DecompressError> snappy_decompress(std::string_view compressed,
                                                                   DecompressBuffer& buffer) {
  const auto length = snappy_checked_length(compressed);
  if (!length) return std::unexpected(length.error());
  char* out = buffer.reserve(*length);
  std::size_t produced = *length;
  if (::snappy_uncompress(compressed.data(), compressed.size(), out, &produced) != SNAPPY_OK ||
      produced != *length) {
    return std::unexpected(DecompressError{"corrupt input"});
  }
  return std::string_view(out, *length);
}

}  // namespace

std::string DecompressError::message() const { return "Decompression error: " + description; }

char* DecompressBuffer::reserve(std::size_t n) {
  if (n > capacity_ || !data_) {
    // Grow geometrically so a file of slowly growing blocks reallocates rarely.
    std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity < n) capacity = capacity > SIZE_MAX / 2 ? n : capacity * 2;
    data_ = std::make_unique_for_overwrite<char[]>(capacity);
    capacity_ = capacity;
  }
  return data_.get();
}

std::expected<std::string_view, DecompressError> decompress_block(std::uint8_t /*type*/,
                                                                  std::string_view stored,
                                                                  DecompressBuffer& buffer) {
  // Every non-zero type is Snappy, the only codec LevelDB writes by default.
  return snappy_decompress(stored, buffer);
}

}  // namespace vostrel
