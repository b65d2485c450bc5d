#pragma once
// A walk over every record of a store in steps, for callers that must not hold
// the whole store at once: a Python iterator that hands out a few records per
// refill, or an exporter that writes as it reads. The order is exactly that of
// RawLevelDb::visit_records. Memory stays bounded by one file: each step hands
// over whole units (a table's data block, a log's write batch), and once a
// file is finished its pages are given back to the system.
//
// The stream holds positions, not the reader: each step is given the reader,
// which must be the one the stream was made for (a caller that may lose its
// reader between steps, like the iterator after close(), simply stops calling).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "read/store.h"
#include "read/decode_scratch.h"
#include "format/record.h"

namespace vostrel {

class RecordStream {
 public:
  RecordStream(const RawLevelDb& db, bool reverse)
      : order_(db.iteration_order(reverse)) {
    for (const auto& file : db.data_files()) total_bytes_ += length_of(file);
  }

  // Hands over records until at least `want` have gone to sink or the store
  // is exhausted; returns whether records remain.
  template <RecordSink Sink>
  bool step(const RawLevelDb& db, std::size_t want, Sink& sink) {
    CountingSink<Sink> counting{sink};
    while (next_ < order_.size()) {
      const std::size_t position = order_[next_];
      resume_ = db.visit_file_records_from(position, resume_, want - counting.count, counting, scratch_);
      if (resume_ == kFileDone) {
        db.drop_file_pages(position);
        finished_bytes_ += length_of(db.data_files()[position]);
        ++next_;
        resume_ = 0;
      }
      if (counting.count >= want) break;
    }
    return next_ < order_.size();
  }

  [[nodiscard]] bool done() const noexcept { return next_ >= order_.size(); }
  // Bytes of data files walked so far, of total_bytes(): the walk's progress.
  [[nodiscard]] std::uint64_t bytes_done(const RawLevelDb& db) const noexcept {
    if (done()) return finished_bytes_;
    return finished_bytes_ + db.file_bytes_before(order_[next_], resume_);
  }
  [[nodiscard]] std::uint64_t total_bytes() const noexcept { return total_bytes_; }

 private:
  std::vector<std::size_t> order_;  // positions into data_files(), in iteration order
  std::size_t next_ = 0;            // index into order_ of the file being walked
  std::uint64_t resume_ = 0;        // that file's resume point
  std::uint64_t finished_bytes_ = 0;
  std::uint64_t total_bytes_ = 0;
  DecodeScratch scratch_;
};

}  // namespace vostrel
