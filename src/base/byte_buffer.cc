#include "base/byte_buffer.h"

#include <cstdint>
#include <new>

namespace vostrel {

char* ByteBuffer::reserve(std::size_t n) {
  if (n > capacity_ || !data_) {
    // The first size as asked (at least 4 KiB); then grow geometrically, so a
    // file of slowly growing blocks reallocates rarely.
    std::size_t capacity = capacity_ == 0 ? (n < 4096 ? 4096 : n) : capacity_;
    while (capacity < n) capacity = capacity > SIZE_MAX / 2 ? n : capacity * 2;
    data_.reset();  // nothing is kept: the old bytes are never copied
    data_.reset(static_cast<char*>(std::malloc(capacity)));
    capacity_ = data_ ? capacity : 0;
    if (!data_) throw std::bad_alloc();
  }
  return data_.get();
}

char* ByteBuffer::grow(std::size_t n, std::size_t keep) {
  if (n <= capacity_ && data_) return data_.get();
  if (keep == 0) return reserve(n);
  // keep > 0 means there is a buffer; realloc keeps its first bytes (all of
  // them, which includes the `keep` asked for) and leaves it intact on failure.
  char* grown = static_cast<char*>(std::realloc(data_.get(), n));
  if (grown == nullptr) throw std::bad_alloc();
  static_cast<void>(data_.release());
  data_.reset(grown);
  capacity_ = n;
  return grown;
}

}  // namespace vostrel
