#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vostrel {
namespace {

// Owns a descriptor only until the mapping is made.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string OsError::message() const {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::expected<MappedFile, OsError> MappedFile::open(const std::string& path) noexcept {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(OsError{errno});
  const Descriptor descriptor(fd);

  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(OsError{errno});
  if (status.st_size < 0) return std::unexpected(OsError{EINVAL});
  const auto length = static_cast<std::uint64_t>(status.st_size);
  if (length > SIZE_MAX) return std::unexpected(OsError{EFBIG});

  MappedFile file;
  if (length == 0) return file;
  void* address = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ, MAP_PRIVATE, fd, 0);
  if (address == MAP_FAILED) return std::unexpected(OsError{errno});
  file.data_ = static_cast<const char*>(address);
  file.size_ = static_cast<std::size_t>(length);
  return file;
}

MappedFile MappedFile::from_bytes(std::string_view bytes) {
  MappedFile file;
  if (bytes.empty()) return file;
  char* copy = new char[bytes.size()];
  std::memcpy(copy, bytes.data(), bytes.size());
  file.data_ = copy;
  file.size_ = bytes.size();
  file.owns_heap_ = true;
  return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      owns_heap_(std::exchange(other.owns_heap_, false)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    owns_heap_ = std::exchange(other.owns_heap_, false);
  }
  return *this;
}

MappedFile::~MappedFile() { release(); }

void MappedFile::release() noexcept {
  if (data_ == nullptr) return;
  if (owns_heap_) {
    delete[] data_;
  } else {
    ::munmap(const_cast<char*>(data_), size_);
  }
  data_ = nullptr;
  size_ = 0;
  owns_heap_ = false;
}

}  // namespace vostrel
