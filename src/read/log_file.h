#pragma once
// The write-ahead log reader: frames a .log file (log_format.h) and decodes
// each logical record as a write batch (write_batch.h).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "read/data_file_base.h"
#include "read/decode_scratch.h"
#include "read/framed_file.h"
#include "io/mapped_file.h"
#include "format/record.h"
#include "format/write_batch.h"

namespace vostrel {

struct LogError {
  OsError error;
  // "IO error: {system text}"
  [[nodiscard]] std::string message() const;
};

// An opened write-ahead log file. Immutable after open; movable, not copyable.
class LogFile : public DataFileBase<LogFile> {
 public:
  [[nodiscard]] static std::expected<LogFile, LogError> open(std::string path,
                                                             FileAccess access = FileAccess::Map);
  // Wraps bytes already in memory under a path, as open would have mapped them.
  [[nodiscard]] static LogFile from_mapped(std::string path, MappedFile file);

  // Every entry of every write batch, in file order, one record each. Never
  // fails; ends early when scratch.stop asks, polled before each block. With
  // scratch.positions, each record carries the physical records its entry
  // lies in and whether every checksum of its batch holds.
  template <RecordSink Sink>
  void visit_records(Sink& sink, DecodeScratch& scratch) const {
    std::vector<LogFragment>* fragments = scratch.positions ? &scratch.fragments : nullptr;
    walk_logical_records(
        file_, scratch.stored, scratch.joined, scratch.stop,
        [&](std::uint64_t offset, std::string_view payload) {
          decode_write_batch(offset, payload, &path_, sink, fragments);
        },
        fragments);
  }

  // The resumable walk (data_file_base.h); the resume point is a byte offset
  // at which no fragment is pending.
  template <RecordSink Sink>
  std::uint64_t visit_records_from(std::uint64_t resume, std::size_t want, Sink& sink,
                                   DecodeScratch& scratch) const {
    if (resume >= length()) return kFileDone;
    CountingSink<Sink> counting{sink};
    std::vector<LogFragment>* fragments = scratch.positions ? &scratch.fragments : nullptr;
    const std::uint64_t stop = walk_logical_records_from(
        file_, resume, scratch.stored, scratch.joined, scratch.stop,
        [&](std::uint64_t offset, std::string_view payload) {
          decode_write_batch(offset, payload, &path_, counting, fragments);
          return counting.count < want;
        },
        fragments);
    return stop >= length() ? kFileDone : stop;
  }
  // How many of the file's bytes lie before a resume point: the walk's progress.
  [[nodiscard]] std::uint64_t bytes_before(std::uint64_t resume) const noexcept {
    return resume >= length() ? length() : resume;
  }


 private:
  LogFile(std::string path, MappedFile file) : DataFileBase(std::move(path), std::move(file)) {}
};

}  // namespace vostrel
