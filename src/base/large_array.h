#pragma once
// An array of trivially copyable elements for large tables that are probed
// at random (a hash table of millions of keys): its memory comes straight
// from mmap and is offered to the kernel for transparent huge pages, so a
// probe costs a cache miss rather than a cache miss and a page-table walk.
// Zero-filled when made. RAII: unmapped when destroyed.

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace vostrel {

template <class T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  LargeArray() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit LargeArray(std::size_t count) : count_(count) {
    if (count == 0) return;
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    bytes_ = count * sizeof(T);
    void* memory = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    ::madvise(memory, bytes_, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
    data_ = static_cast<T*>(memory);
  }
  LargeArray(LargeArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        count_(std::exchange(other.count_, 0)),
        bytes_(std::exchange(other.bytes_, 0)) {}
  LargeArray& operator=(LargeArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  LargeArray(const LargeArray&) = delete;
  LargeArray& operator=(const LargeArray&) = delete;
  ~LargeArray() { release(); }

  [[nodiscard]] std::size_t size() const noexcept { return count_; }
  [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + count_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + count_; }

 private:
  void release() noexcept {
    if (data_ != nullptr) ::munmap(data_, bytes_);
    data_ = nullptr;
  }

  T* data_ = nullptr;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace vostrel
