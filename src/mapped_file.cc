#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
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

// The first `length` bytes of the file in a new[] buffer, or nullptr when they
// cannot all be read (an error, or the file is shorter than fstat said).
char* read_whole(int fd, std::size_t length) noexcept {
  char* buffer = new (std::nothrow) char[length];
  if (buffer == nullptr) return nullptr;
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      delete[] buffer;
      return nullptr;
    }
    done += static_cast<std::size_t>(n);
  }
  return buffer;
}

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
  if (address == MAP_FAILED) {
    // Some file systems cannot map files, and a process can run out of
    // mappings (vm.max_map_count) on a directory of tens of thousands of
    // tables. Reading the bytes into memory keeps such a file in the result
    // instead of silently losing it.
    const int map_error = errno;
    char* copy = read_whole(fd, static_cast<std::size_t>(length));
    if (copy == nullptr) return std::unexpected(OsError{map_error});
    file.data_ = copy;
    file.owns_heap_ = true;
  } else {
    file.data_ = static_cast<const char*>(address);
  }
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

void MappedFile::drop_pages() const noexcept {
  if (data_ == nullptr || owns_heap_) return;
  // The mapping is private and read-only, so no page holds anything but the
  // file's own bytes: dropping them loses nothing. Advice only; a failure
  // changes nothing that the reader relies on.
  ::madvise(const_cast<char*>(data_), size_, MADV_DONTNEED);
}

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
