#pragma once
// A growable byte buffer reused across blocks, so reading a file's blocks
// allocates only when a block is larger than every one before it.

#include <cstddef>
#include <memory>

namespace vostrel {

class ByteBuffer {
 public:
  // A buffer of at least n bytes; its contents are unspecified.
  [[nodiscard]] char* reserve(std::size_t n);
  // A buffer of at least n bytes whose first `keep` bytes (keep <= n) are
  // those of the buffer before the call.
  [[nodiscard]] char* grow(std::size_t n, std::size_t keep);

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace vostrel
