#include "base/byte_buffer.h"

#include <cstdint>
#include <cstring>

namespace vostrel {

char* ByteBuffer::reserve(std::size_t n) {
  if (n > capacity_ || !data_) {
    // The first size as asked (at least 4 KiB); then grow geometrically, so a
    // file of slowly growing blocks reallocates rarely.
    std::size_t capacity = capacity_ == 0 ? (n < 4096 ? 4096 : n) : capacity_;
    while (capacity < n) capacity = capacity > SIZE_MAX / 2 ? n : capacity * 2;
    data_ = std::make_unique_for_overwrite<char[]>(capacity);
    capacity_ = capacity;
  }
  return data_.get();
}

char* ByteBuffer::grow(std::size_t n, std::size_t keep) {
  if (n <= capacity_ && data_) return data_.get();
  auto data = std::make_unique_for_overwrite<char[]>(n);
  if (keep > 0) std::memcpy(data.get(), data_.get(), keep);
  data_ = std::move(data);
  capacity_ = n;
  return data_.get();
}

}  // namespace vostrel
