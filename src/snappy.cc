#include "snappy.h"

// The C interface, so that this module's own "snappy.h" cannot shadow the library's.
#include <snappy-c.h>

#include "varint.h"

namespace vostrel::snappy {
namespace {

// Reads and checks the declared uncompressed length without allocating.
std::expected<std::size_t, SnappyError> checked_length(std::string_view compressed) {
  std::size_t length = 0;
  if (::snappy_uncompressed_length(compressed.data(), compressed.size(), &length) != SNAPPY_OK) {
    return std::unexpected(SnappyError{"corrupt input: unreadable uncompressed length"});
  }
  const auto preamble = decode_varint(compressed, 0, /*narrow=*/true);
  const std::size_t body = preamble ? compressed.size() - preamble->length : 0;
  if (length > max_expansion(body)) {
    return std::unexpected(SnappyError{"corrupt input: declared uncompressed length " +
                                       std::to_string(length) + " exceeds what " +
                                       std::to_string(body) + " compressed bytes can hold"});
  }
  return length;
}

}  // namespace

std::string SnappyError::message() const { return "Decompression error: " + description; }

char* ScratchBuffer::reserve(std::size_t n) {
  if (n > capacity_ || !data_) {
    // Grow geometrically so a file of slowly growing blocks reallocates rarely.
    std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity < n) capacity = capacity > SIZE_MAX / 2 ? n : capacity * 2;
    data_ = std::make_unique_for_overwrite<char[]>(capacity);
    capacity_ = capacity;
  }
  return data_.get();
}

std::expected<std::string_view, SnappyError> decompress_into(std::string_view compressed,
                                                             ScratchBuffer& scratch) {
  const auto length = checked_length(compressed);
  if (!length) return std::unexpected(length.error());
  char* out = scratch.reserve(*length);
  std::size_t produced = *length;
  if (::snappy_uncompress(compressed.data(), compressed.size(), out, &produced) != SNAPPY_OK ||
      produced != *length) {
    return std::unexpected(SnappyError{"corrupt input"});
  }
  return std::string_view(out, *length);
}

std::expected<std::string, SnappyError> decompress(std::string_view compressed) {
  const auto length = checked_length(compressed);
  if (!length) return std::unexpected(length.error());
  std::string out(*length, '\0');
  std::size_t produced = *length;
  if (::snappy_uncompress(compressed.data(), compressed.size(), out.data(), &produced) !=
          SNAPPY_OK ||
      produced != *length) {
    return std::unexpected(SnappyError{"corrupt input"});
  }
  return out;
}

}  // namespace vostrel::snappy
