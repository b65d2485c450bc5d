#pragma once
// A file's bytes, read in pieces that survive the file changing underneath,
// and the operating-system error type that the file readers carry.
//
// Opening: the file is opened without blocking (O_NONBLOCK: a FIFO put in
// place of a table between listing and open must not hang the process), the
// opened descriptor must be a regular file, and only then is it mapped. The
// descriptor is kept open beside the mapping while the process's files hold
// fewer than a quarter of its descriptor limit, and closed otherwise: a
// mapping stays valid after close (and keeps a deleted file's bytes, as an
// open descriptor does), and holding one descriptor per data file would make
// a directory with more files than the descriptor limit lose every file past
// it.
//
// Reading: only through read(), which copies a range out of the file, no
// decoder ever touching mapped memory. A read of kPreadFrom bytes or more is
// a pread() on the kept descriptor: one copy by the kernel out of its page
// cache, where copying out of the mapping would first fault each page into
// the process's page tables (the larger part of the cost of reading a table
// whose pages are cached). Shorter reads (headers, footers), and every read
// of a file whose descriptor was not kept, copy out of the mapping with
// copy_from_mapping (safe_copy.h). Either way a file that shrank since open
// yields its bytes up to where it now ends (for the mapping: the first lost
// page) and then nothing.
//
// Mappings are a limited resource (vm.max_map_count, 65,530 by default) that
// the interpreter's own allocator needs too. Past a budget of half that limit
// held by this process's files, a file is not mapped but deferred: read()
// then opens it again by path (checking it is still the same file: device and
// inode), preads the range and closes it. The same happens when a file cannot
// be mapped at all. So a directory of 100,000 tables reads whole, with a
// bounded number of mappings and memory.
//
// With FileAccess::CopySmall, small files (up to kCopiedFile) are read into
// memory at open instead, up to a budget for the process: mapping and
// unmapping costs a system call each and, in a process with threads on
// several cores, a TLB flush on every core, which for the many small tables,
// logs and manifests of small stores, opened and closed one after another,
// costs more than copying their bytes. A copy is what the file held at open.
//
// Sparse files: the holes of a file are noted at open (SEEK_HOLE / SEEK_DATA,
// at most kMaxHoles of them), so that walks can pass over ranges that hold no
// data instead of reading gigabytes of zeros (in_hole).

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/byte_buffer.h"

namespace vostrel {

struct OsError {
  int code = 0;
  // The system's description of the code followed by " (os error N)".
  [[nodiscard]] std::string message() const;
  friend bool operator==(const OsError&, const OsError&) = default;
};

// How an opened file's bytes are reached: always mapped (or deferred, see
// above), or with small files copied into memory at open (see above).
enum class FileAccess : std::uint8_t { Map, CopySmall };

class MappedFile {
 public:
  // The most holes noted per file: a file with more holes is read as data past
  // the last one noted.
  static constexpr std::size_t kMaxHoles = 64;
  // The largest file read into memory at open rather than mapped.
  static constexpr std::size_t kCopiedFile = std::size_t{256} << 10;
  // The smallest read of a mapped file made with pread on its descriptor
  // rather than copied out of the mapping (see above).
  static constexpr std::size_t kPreadFrom = 512;

  // Opens path read-only without blocking, requires a regular file (ENODEV
  // otherwise), takes its length from fstat, notes its holes and maps it (or
  // defers it, see above). An empty file gets no mapping. No descriptor stays
  // open afterwards.
  [[nodiscard]] static std::expected<MappedFile, OsError> open(const std::string& path,
                                                              FileAccess access = FileAccess::Map) noexcept;
  // An in-memory stand-in with the same contract, for tests and fuzzing.
  [[nodiscard]] static MappedFile from_bytes(std::string_view bytes);

  MappedFile() noexcept = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // The size at open.
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  // Whether there are bytes to read: false for an empty file and a
  // default-constructed or moved-from object.
  [[nodiscard]] bool has_mapping() const noexcept { return size_ != 0; }
  // Whether the file was deferred rather than mapped (see above).
  [[nodiscard]] bool is_deferred() const noexcept { return deferred_; }
  // A number no other MappedFile of this process has had (0 for an empty
  // one): what a ReadWindow knows its file by.
  [[nodiscard]] std::uint64_t identity() const noexcept { return identity_; }

  // Copies up to `length` bytes from `offset` into buffer and returns them:
  // fewer past the size at open, and fewer where the file has lost bytes since
  // (it shrank, was replaced or removed: a deferred file is read again by
  // path). Never fails; a range it cannot read comes back short or empty. A
  // caller reading a mapping calls prepare_fault_guard() (safe_copy.h) once
  // per walk first.
  [[nodiscard]] std::string_view read(std::uint64_t offset, std::size_t length,
                                      ByteBuffer& buffer) const {
    return read(offset, length, buffer, kPreadFrom);
  }
  // Whether reads through a ReadWindow never touch the mapping (the
  // descriptor is kept, or the bytes are in memory, deferred or none): a walk
  // reading only so needs no prepare_fault_guard() and its system call.
  [[nodiscard]] bool window_reads_without_mapping() const noexcept {
    return data_ == nullptr || owns_heap_ || fd_ >= 0;
  }

  // Whether the whole range lay in a hole of the file at open, reading as
  // zeros without holding any data.
  [[nodiscard]] bool in_hole(std::uint64_t offset, std::uint64_t length) const noexcept;
  // The stretches [start, end) that are not in a hole noted at open, in
  // order, holes shorter than `min_hole` counted as the zeros they read as:
  // the whole file when it had no hole.
  [[nodiscard]] std::vector<std::pair<std::uint64_t, std::uint64_t>> data_extents(
      std::uint64_t min_hole) const;
  // Whether the file had any hole at open.
  [[nodiscard]] bool has_holes() const noexcept { return !holes_.empty(); }

  // Gives the pages of a mapping that the process has touched back to the
  // system without unmapping: bytes() stays valid and reads the file again on
  // the next access. A walk that has finished a file calls this so that the
  // process's resident memory is bounded by the file it is reading, not by the
  // store. No effect on bytes read into memory.
  void drop_pages() const noexcept;
  // The same for the whole pages inside [offset, offset + length): what a
  // long walk has already copied out, given back while it goes on.
  void drop_pages(std::uint64_t offset, std::uint64_t length) const noexcept;

 private:
  friend class ReadWindow;
  // Reads of `pread_from` bytes or more go to the kept descriptor.
  [[nodiscard]] std::string_view read(std::uint64_t offset, std::size_t length, ByteBuffer& buffer,
                                      std::size_t pread_from) const;
  void release() noexcept;
  std::size_t read_deferred(std::uint64_t offset, std::size_t length, char* out) const noexcept;

  const char* data_ = nullptr;  // the mapping or the heap copy; nullptr when deferred
  std::size_t size_ = 0;
  std::uint64_t identity_ = 0;
  bool owns_heap_ = false;  // data_ came from new[] rather than mmap
  bool copied_ = false;     // ...read from a small file at open (counted against the budget)
  bool deferred_ = false;
  int fd_ = -1;  // held open for pread (see above), or -1
  std::string path_;  // deferred files only
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> holes_;  // [start, end), ascending
};

// A walk's reads of one file at a time through a window read ahead: a walk
// over a table's data blocks, one after another, asks for a few kilobytes at
// a time, and reading each with its own system call costs more than the
// copy. A read that the window does not hold fills it from the read's offset
// with the larger of the read and kWindow bytes (fewer at the file's end or
// where the file lost bytes, which then come back short as from read()) when
// it goes on where the read before it ended, in the same file; any other read
// (the first, a jump, walks of several files taking turns) is read alone, so
// that reading ahead never costs more than it saves. A file that keeps its
// descriptor is read through it whatever the length (so that such a walk
// never touches the mapping: window_reads_without_mapping). The window's bytes are
// the file's when they were read, a few blocks earlier; a view returned stays
// valid until the next read.
class ReadWindow {
 public:
  static constexpr std::size_t kWindow = std::size_t{128} << 10;

  [[nodiscard]] std::string_view read(const MappedFile& file, std::uint64_t offset, std::size_t length);

 private:
  ByteBuffer buffer_;
  std::uint64_t identity_ = 0;  // the file the window holds bytes of, 0 none
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;  // where the last read ended
  std::string_view held_;
};

}  // namespace vostrel
