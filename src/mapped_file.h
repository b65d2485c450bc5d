#pragma once
// A whole file mapped read-only, and the operating-system error type that the
// file readers carry.
//
// The descriptor is closed as soon as the mapping exists: a mapping stays valid
// after close, and holding one descriptor per data file would make a directory
// with more files than the descriptor limit silently lose every file past it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vostrel {

struct OsError {
  int code = 0;
  // The system's description of the code followed by " (os error N)".
  [[nodiscard]] std::string message() const;
  friend bool operator==(const OsError&, const OsError&) = default;
};

class MappedFile {
 public:
  // Opens path read-only, takes its length from fstat and maps all of it (or,
  // where the file cannot be mapped, reads it into memory). An empty file gets
  // no mapping. No descriptor stays open afterwards.
  [[nodiscard]] static std::expected<MappedFile, OsError> open(const std::string& path) noexcept;
  // An in-memory stand-in with the same contract, for tests and fuzzing.
  [[nodiscard]] static MappedFile from_bytes(std::string_view bytes);

  MappedFile() noexcept = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // The file's bytes as they were at open; valid for the life of this object.
  [[nodiscard]] std::string_view bytes() const noexcept { return {data_, size_}; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool has_mapping() const noexcept { return data_ != nullptr; }

  // Gives the pages of a mapping that the process has touched back to the
  // system without unmapping: bytes() stays valid and reads the file again on
  // the next access. A walk that has finished a file calls this so that the
  // process's resident memory is bounded by the file it is reading, not by the
  // store. No effect on bytes read into memory.
  void drop_pages() const noexcept;

 private:
  void release() noexcept;

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool owns_heap_ = false;  // data_ came from new[] rather than mmap
};

}  // namespace vostrel
