#pragma once
// A growable byte buffer reused across blocks, so reading a file's blocks
// allocates only when a block is larger than every one before it.
//
// The memory comes from malloc, so that grow() is realloc: a large buffer
// (the allocator maps those on their own) is enlarged by remapping its pages,
// not by copying its bytes, and never needs the old and the new size at once.
// Output whose size is known only once it is all there (a streaming
// decompressor's) therefore costs its size, not twice it.

#include <cstddef>
#include <cstdlib>
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
  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t capacity_ = 0;
};

}  // namespace vostrel
