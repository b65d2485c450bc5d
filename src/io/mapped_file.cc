#include "io/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "io/safe_copy.h"

namespace vostrel {
namespace {

// Owns a descriptor for the length of one open or one deferred read.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }
  // Hands the descriptor over: it is no longer closed here.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int open_without_blocking(const std::string& path) noexcept {
  // A path with an embedded NUL would name another file.
  if (path.find('\0') != std::string::npos) {
    errno = ENOENT;
    return -1;
  }
  return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

// Mappings held by MappedFile objects of this process.
std::atomic<std::size_t> live_mappings{0};

// The last identity handed out (MappedFile::identity).
std::atomic<std::uint64_t> last_identity{0};

std::uint64_t next_identity() noexcept { return last_identity.fetch_add(1, std::memory_order_relaxed) + 1; }

// Descriptors held open by MappedFile objects of this process, and the most
// they may hold: a quarter of the soft descriptor limit as it is at each
// open, the rest left to the interpreter and everything else the process
// opens.
std::atomic<std::size_t> held_descriptors{0};

std::size_t descriptor_budget() noexcept {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur == RLIM_INFINITY) return 1024;
  return static_cast<std::size_t>(limit.rlim_cur / 4);
}

// Takes one descriptor's room under the budget; false when it is spent.
bool take_descriptor_room() noexcept {
  const std::size_t budget = descriptor_budget();
  std::size_t held = held_descriptors.load(std::memory_order_relaxed);
  do {
    if (held >= budget) return false;
  } while (!held_descriptors.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
  return true;
}

// Bytes of small files held copied in memory by MappedFile objects of this
// process, and the most they may hold.
std::atomic<std::size_t> copied_bytes{0};
constexpr std::size_t kCopiedBudget = std::size_t{32} << 20;

// Takes room for `length` bytes under the budget of copied files; false when
// it is spent.
bool take_copy_room(std::size_t length) noexcept {
  std::size_t held = copied_bytes.load(std::memory_order_relaxed);
  do {
    if (held > kCopiedBudget || length > kCopiedBudget - held) return false;
  } while (!copied_bytes.compare_exchange_weak(held, held + length, std::memory_order_relaxed));
  return true;
}

// Half of vm.max_map_count, read once: the rest stays for the interpreter,
// the allocator and the libraries.
std::size_t mapping_budget() noexcept {
  static const std::size_t budget = [] {
    std::size_t limit = 65530;
    if (std::FILE* f = std::fopen("/proc/sys/vm/max_map_count", "r")) {
      unsigned long value = 0;
      if (std::fscanf(f, "%lu", &value) == 1 && value > 0) limit = value;
      std::fclose(f);
    }
    return limit / 2;
  }();
  return budget;
}

// Notes up to kMaxHoles holes of an open file of `size` bytes.
std::vector<std::pair<std::uint64_t, std::uint64_t>> find_holes(int fd, std::uint64_t size) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;
  off_t at = ::lseek(fd, 0, SEEK_HOLE);
  while (at >= 0 && static_cast<std::uint64_t>(at) < size && holes.size() < MappedFile::kMaxHoles) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    const std::uint64_t end = data < 0 ? size : std::min<std::uint64_t>(static_cast<std::uint64_t>(data), size);
    if (end <= static_cast<std::uint64_t>(at)) break;
    holes.emplace_back(static_cast<std::uint64_t>(at), end);
    if (data < 0 || end >= size) break;
    at = ::lseek(fd, data, SEEK_HOLE);
  }
  return holes;
}

// Reads up to length bytes at offset; returns how many.
std::size_t pread_fully(int fd, char* out, std::size_t length, std::uint64_t offset) noexcept {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

std::string OsError::message() const {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::expected<MappedFile, OsError> MappedFile::open(const std::string& path, FileAccess access) noexcept {
  const int fd = open_without_blocking(path);
  if (fd < 0) return std::unexpected(OsError{errno});
  Descriptor descriptor(fd);

  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::unexpected(OsError{errno});
  if (!S_ISREG(status.st_mode)) return std::unexpected(OsError{ENODEV});
  if (status.st_size < 0) return std::unexpected(OsError{EINVAL});
  const auto length = static_cast<std::uint64_t>(status.st_size);
  if (length > SIZE_MAX) return std::unexpected(OsError{EFBIG});

  MappedFile file;
  if (length == 0) return file;
  try {
    if (access == FileAccess::CopySmall && length <= kCopiedFile && take_copy_room(static_cast<std::size_t>(length))) {
      const auto size = static_cast<std::size_t>(length);
      char* copy = new (std::nothrow) char[size];
      // A file that shrank since fstat keeps what could still be read.
      const std::size_t read = copy == nullptr ? 0 : pread_fully(fd, copy, size, 0);
      copied_bytes.fetch_sub(size - read, std::memory_order_relaxed);
      if (copy != nullptr && read > 0) {
        file.data_ = copy;
        file.size_ = read;
        file.owns_heap_ = true;
        file.copied_ = true;
        file.identity_ = next_identity();
        return file;
      }
      delete[] copy;
      if (copy != nullptr) return file;  // nothing left to read: as an empty file
      // Out of memory: mapped instead, as any other file.
    }
    file.holes_ = find_holes(fd, length);
    file.size_ = static_cast<std::size_t>(length);
    if (live_mappings.load(std::memory_order_relaxed) < mapping_budget()) {
      void* address = ::mmap(nullptr, file.size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (address != MAP_FAILED) {
        live_mappings.fetch_add(1, std::memory_order_relaxed);
        file.data_ = static_cast<const char*>(address);
        file.identity_ = next_identity();
        if (take_descriptor_room()) file.fd_ = descriptor.release();
        return file;
      }
    }
    // Past the budget, or a file system that cannot map: deferred.
    file.deferred_ = true;
    file.identity_ = next_identity();
    file.path_ = path;
    file.device_ = status.st_dev;
    file.inode_ = status.st_ino;
    return file;
  } catch (const std::bad_alloc&) {
    return std::unexpected(OsError{ENOMEM});
  }
}

MappedFile MappedFile::from_bytes(std::string_view bytes) {
  MappedFile file;
  if (bytes.empty()) return file;
  char* copy = new char[bytes.size()];
  std::memcpy(copy, bytes.data(), bytes.size());
  file.data_ = copy;
  file.size_ = bytes.size();
  file.owns_heap_ = true;
  file.identity_ = next_identity();
  return file;
}

std::string_view MappedFile::read(std::uint64_t offset, std::size_t length, ByteBuffer& buffer,
                                  std::size_t pread_from) const {
  if (offset >= size_) return {};
  length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
  char* out = buffer.reserve(length);
  std::size_t copied = 0;
  if (deferred_) {
    copied = read_deferred(offset, length, out);
  } else if (owns_heap_) {
    std::memcpy(out, data_ + offset, length);
    copied = length;
  } else if (fd_ >= 0 && length >= pread_from) {
    copied = pread_fully(fd_, out, length, offset);
  } else {
    copied = copy_from_mapping(out, data_ + offset, length);
  }
  return {out, copied};
}

std::size_t MappedFile::read_deferred(std::uint64_t offset, std::size_t length, char* out) const noexcept {
  const Descriptor descriptor(open_without_blocking(path_));
  if (descriptor.get() < 0) return 0;
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_dev != device_ || status.st_ino != inode_) {
    return 0;  // not the file that was opened any more
  }
  return pread_fully(descriptor.get(), out, length, offset);
}

bool MappedFile::in_hole(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (holes_.empty()) return false;
  // The last hole starting at or before offset.
  auto after = std::upper_bound(holes_.begin(), holes_.end(), offset,
                                [](std::uint64_t at, const auto& hole) { return at < hole.first; });
  if (after == holes_.begin()) return false;
  const auto& hole = *(after - 1);
  return offset < hole.second && length <= hole.second - offset;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> MappedFile::data_extents(std::uint64_t min_hole) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
  std::uint64_t start = 0;  // where the data since the last hole passed over begins
  for (const auto& [hole_start, hole_end] : holes_) {
    if (hole_end - hole_start < min_hole) continue;
    if (hole_start > start) extents.emplace_back(start, hole_start);
    start = hole_end;
  }
  if (start < size_) extents.emplace_back(start, size_);
  return extents;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      identity_(std::exchange(other.identity_, 0)),
      owns_heap_(std::exchange(other.owns_heap_, false)),
      copied_(std::exchange(other.copied_, false)),
      deferred_(std::exchange(other.deferred_, false)),
      fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_),
      holes_(std::move(other.holes_)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    identity_ = std::exchange(other.identity_, 0);
    owns_heap_ = std::exchange(other.owns_heap_, false);
    copied_ = std::exchange(other.copied_, false);
    deferred_ = std::exchange(other.deferred_, false);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    device_ = other.device_;
    inode_ = other.inode_;
    holes_ = std::move(other.holes_);
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

void MappedFile::drop_pages(std::uint64_t offset, std::uint64_t length) const noexcept {
  if (data_ == nullptr || owns_heap_ || offset >= size_) return;
  if (length > size_ - offset) length = size_ - offset;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  // Only pages wholly inside the range: the first one up, the end down.
  const std::uint64_t first = (offset + page - 1) / page * page;
  const std::uint64_t end = (offset + length) / page * page;
  if (first >= end) return;
  ::madvise(const_cast<char*>(data_) + first, static_cast<std::size_t>(end - first), MADV_DONTNEED);
}

void MappedFile::release() noexcept {
  if (data_ != nullptr) {
    if (owns_heap_) {
      delete[] data_;
      if (copied_) copied_bytes.fetch_sub(size_, std::memory_order_relaxed);
    } else {
      ::munmap(const_cast<char*>(data_), size_);
      live_mappings.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  if (fd_ >= 0) {
    ::close(fd_);
    held_descriptors.fetch_sub(1, std::memory_order_relaxed);
  }
  fd_ = -1;
  data_ = nullptr;
  size_ = 0;
  identity_ = 0;
  owns_heap_ = false;
  copied_ = false;
  deferred_ = false;
  path_.clear();
  holes_.clear();
}

std::string_view ReadWindow::read(const MappedFile& file, std::uint64_t offset, std::size_t length) {
  const bool same_file = file.identity() != 0 && file.identity() == identity_;
  if (same_file && offset >= start_) {
    const std::uint64_t into = offset - start_;
    if (into <= held_.size() && length <= held_.size() - into) {
      end_ = offset + length;  // within the window, which lies within the file
      return held_.substr(static_cast<std::size_t>(into), length);
    }
  }
  const bool onward = same_file && offset == end_;
  // Every read through the descriptor, whatever its length (see
  // window_reads_without_mapping).
  held_ = file.read(offset, onward ? std::max(length, kWindow) : length, buffer_, 0);
  identity_ = file.identity();
  start_ = offset;
  const std::string_view bytes = held_.substr(0, std::min(length, held_.size()));
  end_ = offset + bytes.size();  // no overflow: read() gives no bytes past the file's size
  return bytes;
}

}  // namespace vostrel
