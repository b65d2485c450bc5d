#pragma once
// The walk over a store's records: the units of its reading order
// (RawLevelDb::reading_order), each a data file's normal read or its carving,
// handed to a sink in order. A walk whose scratch asks for positions
// (DecodeScratch::positions) hands every record with where its bytes lie and
// whether their checksums hold; the same walk, the same records. Every caller drives this one walk and keeps only
// its sink and its own policy between units (giving a file's pages back,
// leaving out a file that ran out of memory, stopping on Ctrl-C).
//
// Carving lies above this layer (recover/), so a walk that carves is handed
// the carver (recover/carve_store.h's StoreCarver); NoCarver, the default,
// hands over nothing for a carving unit.
//
// RecordStream walks in steps, for callers that must not hold the whole store
// at once: a Python iterator that hands out a few records per refill, or a
// decoder that writes as it reads. Each step hands over whole units of a file
// (a table's data block, a log's write batch; a carving unit at once), and
// once a file is finished its pages are given back to the system. The stream
// holds positions, not the reader: each step is given the reader, which must
// be the one the stream was made for (a caller that may lose its reader
// between steps, like the iterator after close(), simply stops calling).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "read/block_ahead.h"
#include "read/decode_scratch.h"
#include "read/store.h"
#include "format/record.h"

namespace vostrel {

struct NoCarver {
  template <RecordSink Sink>
  void operator()(const RawLevelDb&, std::size_t, Sink&, DecodeScratch&) const {}
};

// One step of one unit: from the resume point `resume` (0 at its start), at
// least `want` records or to its end; returns where to resume, or kFileDone.
// A carving unit is always walked whole.
template <RecordSink Sink, class Carver = NoCarver>
std::uint64_t walk_unit(const RawLevelDb& db, WalkUnit unit, std::uint64_t resume, std::size_t want, Sink& sink,
                        DecodeScratch& scratch, const Carver& carver = {}) {
  if (unit.pass == WalkPass::Carve) {
    carver(db, unit.slot, sink, scratch);
    return kFileDone;
  }
  return db.visit_file_records_from(unit.slot, resume, want, sink, scratch);
}

// One unit whole.
template <RecordSink Sink, class Carver = NoCarver>
void walk_whole_unit(const RawLevelDb& db, WalkUnit unit, Sink& sink, DecodeScratch& scratch,
                     const Carver& carver = {}) {
  if (unit.pass == WalkPass::Carve) {
    carver(db, unit.slot, sink, scratch);
  } else {
    db.visit_file_records(unit.slot, sink, scratch);
  }
}

// Every unit of `order`, each whole, in turn. each(unit, walk) is the
// caller's policy around a unit: walk() hands the unit's records to sink,
// and whatever the caller does before and after it (giving pages back,
// catching a file's running out of memory) is its own; false from each ends
// the walk. The walk also ends when scratch.stop asks (polled between units
// and between blocks).
template <RecordSink Sink, class Each, class Carver = NoCarver>
void walk_units(const RawLevelDb& db, std::span<const WalkUnit> order, Sink& sink, DecodeScratch& scratch,
                Each&& each, const Carver& carver = {}) {
  for (const WalkUnit unit : order) {
    if (scratch.stop.stop_requested()) return;
    if (!each(unit, [&] { walk_whole_unit(db, unit, sink, scratch, carver); })) return;
  }
}

// The step policy that never ends a step early.
struct GoOn {
  bool operator()(std::size_t, bool) const noexcept { return true; }
};

class RecordStream {
 public:
  // With positions, every record carries where it lies (RecordView::position).
  RecordStream(const RawLevelDb& db, bool reverse, bool carve = false, bool positions = false)
      : order_(db.reading_order(reverse, carve)) {
    for (const WalkUnit unit : order_) total_bytes_ += db.unit_length(unit);
    scratch_.positions = positions;
  }

  // Hands over records until at least `want` have gone to sink or the store
  // is exhausted; returns whether records remain. before(position, fresh) is
  // the caller's say before each piece of a unit (fresh: the unit begins
  // now); false from it ends the step there.
  template <RecordSink Sink, class Carver = NoCarver, class Before = GoOn>
  bool step(const RawLevelDb& db, std::size_t want, Sink& sink, const Carver& carver = {},
            Before&& before = {}) {
    CountingSink<Sink> counting{sink};
    while (next_ < order_.size()) {
      if (!before(next_, resume_ == 0)) break;
      const WalkUnit unit = order_[next_];
      resume_ = walk_unit(db, unit, resume_, want - counting.count, counting, scratch_, carver);
      if (resume_ == kFileDone) {
        db.drop_unit_pages(unit);
        finished_bytes_ += db.unit_length(unit);
        ++next_;
        resume_ = 0;
      }
      if (counting.count >= want) break;
    }
    return next_ < order_.size();
  }

  // From here on, the tables' data blocks are read and decompressed ahead
  // on a helper thread (block_ahead.h) while the steps walk the blocks
  // before them; the same records either way. `db` must outlive the stream
  // or see stop_reading_ahead() first. Throws what starting a thread throws.
  void read_ahead(const RawLevelDb& db) {
    std::vector<const TableFile*> tables;
    for (std::size_t u = next_; u < order_.size(); ++u) {
      if (order_[u].pass != WalkPass::Read) continue;
      if (const auto* table = std::get_if<TableFile>(&db.data_files()[order_[u].slot])) tables.push_back(table);
    }
    ahead_ = std::make_unique<BlockAhead>(std::move(tables));
    scratch_.ahead = ahead_.get();
  }
  [[nodiscard]] const BlockAhead* block_ahead() const noexcept { return ahead_.get(); }
  // The tables' data blocks the walk may pass over (DecodeScratch::skip_block).
  void skip_blocks(bool (*skip)(std::string_view lower, std::string_view upper)) noexcept {
    scratch_.skip_block = skip;
  }
  // Ends the helper thread, if any; later steps read every block themselves.
  void stop_reading_ahead() noexcept {
    scratch_.ahead = nullptr;
    ahead_.reset();
  }

  [[nodiscard]] bool done() const noexcept { return next_ >= order_.size(); }
  // The index in the reading order of the unit being walked (of
  // order().size() when done), and that order.
  [[nodiscard]] std::size_t position() const noexcept { return next_; }
  [[nodiscard]] std::span<const WalkUnit> order() const noexcept { return order_; }
  // Leaves the unit being walked unfinished and moves on to the next one:
  // for a caller whose building of its records ran out of memory. The
  // scratch buffers may have grown to the size that failed: they start
  // afresh.
  void abandon_unit(const RawLevelDb& db) {
    if (done()) return;
    db.drop_unit_pages(order_[next_]);
    finished_bytes_ += db.unit_length(order_[next_]);
    ++next_;
    resume_ = 0;
    DecodeScratch fresh;
    fresh.stop = scratch_.stop;
    fresh.positions = scratch_.positions;
    fresh.ahead = scratch_.ahead;
    scratch_ = std::move(fresh);
  }
  // The unit being walked, during a step (the one whose records the sink is
  // being handed), and its place in the order. REQUIRES: !done().
  [[nodiscard]] WalkUnit unit() const noexcept { return order_[next_]; }
  [[nodiscard]] std::size_t unit_index() const noexcept { return next_; }
  // Bytes of data files walked so far, of total_bytes(): the walk's progress.
  [[nodiscard]] std::uint64_t bytes_done(const RawLevelDb& db) const noexcept {
    if (done() || order_[next_].pass == WalkPass::Carve) return finished_bytes_;
    return finished_bytes_ + db.file_bytes_before(order_[next_].slot, resume_);
  }
  [[nodiscard]] std::uint64_t total_bytes() const noexcept { return total_bytes_; }

 private:
  std::vector<WalkUnit> order_;  // the store's reading order
  std::size_t next_ = 0;         // index into order_ of the unit being walked
  std::uint64_t resume_ = 0;     // that unit's resume point
  std::uint64_t finished_bytes_ = 0;
  std::uint64_t total_bytes_ = 0;
  DecodeScratch scratch_;
  std::unique_ptr<BlockAhead> ahead_;  // ended before the scratch that points to it goes
};

}  // namespace vostrel
