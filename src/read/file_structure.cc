#include "read/file_structure.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "base/path.h"
#include "format/block.h"
#include "format/file_name.h"
#include "format/log_format.h"
#include "format/record.h"
#include "format/version_edit.h"
#include "format/write_batch.h"
#include "io/safe_copy.h"
#include "read/framed_file.h"

namespace vostrel {
namespace {

// How far before the end of a file that does not end in the table magic a
// footer is looked for: a recovered file carries at most a cluster or so of
// slack after its last byte.
constexpr std::uint64_t kFooterSearch = std::uint64_t{64} << 10;
// How many footers within that search are tried, nearest the end first: each
// try reads an index block, which a crafted file could make large.
constexpr int kFooterTries = 8;
// The piece in which a stretch is read to tell whether it is all zeros.
constexpr std::size_t kZeroCheckChunk = std::size_t{64} << 10;

bool is_all_zero(std::string_view bytes) noexcept {
  return bytes.find_first_not_of('\0') == std::string_view::npos;
}

// Whether the stretch [offset, offset + length) of the file holds only zeros;
// false when part of it can no longer be read.
bool stretch_is_zero(const MappedFile& file, std::uint64_t offset, std::uint64_t length, ByteBuffer& buffer) {
  while (length > 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, kZeroCheckChunk));
    if (!file.in_hole(offset, piece)) {
      const std::string_view bytes = file.read(offset, piece, buffer);
      if (bytes.size() != piece || !is_all_zero(bytes)) return false;
    }
    offset += piece;
    length -= piece;
  }
  return true;
}

// A handle's block and trailer, read whole: nullopt when they do not lie in
// the file (check_block_range) or can no longer be read.
std::optional<std::string_view> read_with_trailer(const MappedFile& file, const BlockHandle& handle,
                                                  ByteBuffer& buffer) {
  if (!check_block_range(file.size(), handle, std::string())) return std::nullopt;
  const auto length = static_cast<std::size_t>(handle.size) + kBlockTrailerSize;
  const std::string_view bytes = file.read(handle.offset, length, buffer);
  if (bytes.size() != length) return std::nullopt;
  return bytes;
}

// The footer of a table: the last 48 bytes when the file ends in the magic;
// else the last footer within kFooterSearch of the end (of the kFooterTries
// nearest it) whose index block lies before it with a checksum that holds:
// the magic alone is no proof of a table, it could sit in any value.
std::optional<std::uint64_t> find_footer(const MappedFile& file) {
  const std::uint64_t size = file.size();
  if (size < kFooterSize) return std::nullopt;
  ByteBuffer buffer;
  if (is_table_magic(file.read(size - 8, 8, buffer))) return size - kFooterSize;
  const std::uint64_t window = std::min<std::uint64_t>(size, kFooterSearch + kFooterSize);
  const std::string_view tail = file.read(size - window, static_cast<std::size_t>(window), buffer);
  if (tail.size() != window) return std::nullopt;
  ByteBuffer block;
  int tries = 0;
  for (std::size_t at = tail.size() - 8; at >= kFooterSize - 8 && tries < kFooterTries; --at) {
    if (!is_table_magic(tail.substr(at))) continue;
    ++tries;
    const std::uint64_t footer_offset = size - window + (at - (kFooterSize - 8));
    const auto footer = decode_footer(tail.substr(at - (kFooterSize - 8), kFooterSize), std::string());
    if (footer && footer->index.offset < footer_offset && footer->index.size <= footer_offset) {
      if (const auto bytes = read_with_trailer(file, footer->index, block);
          bytes && footer->index.size + kBlockTrailerSize <= footer_offset - footer->index.offset &&
          block_checksum_matches(bytes->substr(0, footer->index.size),
                                 static_cast<std::uint8_t>((*bytes)[footer->index.size]),
                                 load_le32(bytes->data() + footer->index.size + 1))) {
        return footer_offset;
      }
    }
  }
  return std::nullopt;
}

class TableWalk {
 public:
  TableWalk(const MappedFile& file, const StructureCallback& fn, StopToken& stop, StructureSummary& summary)
      : file_(file), fn_(fn), stop_(stop), summary_(summary) {}

  void run(std::uint64_t footer_offset) {
    const std::uint64_t footer_end = footer_offset + kFooterSize;
    covered_.emplace(footer_offset, footer_end);
    FooterItem item;
    item.offset = footer_offset;
    const std::string_view bytes = file_.read(footer_offset, kFooterSize, stored_);
    std::optional<Footer> footer;
    if (bytes.size() == kFooterSize) {
      if (auto decoded = decode_footer(bytes, std::string())) footer = *decoded;
    }
    if (footer) {
      item.metaindex = footer->metaindex;
      item.index = footer->index;
    } else {
      ++summary_.unreadable_blocks;
    }
    item.handles_ok = footer.has_value();
    fn_(item);
    if (footer) {
      walk_handles(BlockRole::Metaindex, footer->metaindex);
      walk_handles(BlockRole::Index, footer->index);
    }
    if (stop_.stopped()) return;
    report_gaps(footer_end);
    if (footer_end < file_.size()) {
      const std::uint64_t length = file_.size() - footer_end;
      summary_.trailing_bytes += length;
      fn_(StretchItem{StretchKind::Trailing, footer_end, length, stretch_is_zero(file_, footer_end, length, stored_)});
    }
  }

 private:
  // A metaindex or index block, each of its entries, and after each entry the
  // block it names.
  void walk_handles(BlockRole role, const BlockHandle& handle) {
    std::string contents;
    if (!describe(role, handle, &contents)) return;
    const bool metaindex = role == BlockRole::Metaindex;
    std::string key;
    walk_block_entries(contents, key, [&](std::string_view entry_key, std::string_view value, std::size_t) {
      if (stop_.stop_requested()) return;
      const auto named = BlockHandle::from_bytes(value);
      if (!named) ++summary_.unreadable_blocks;
      fn_(HandleEntryItem{metaindex ? EntryRole::Metaindex : EntryRole::Index, entry_key, named});
      if (named) describe(metaindex ? BlockRole::Meta : BlockRole::Data, *named, nullptr);
    });
  }

  // Describes one block; true when its contents could be read, and then a
  // copy of them is left in `keep` if given.
  bool describe(BlockRole role, const BlockHandle& handle, std::string* keep) {
    BlockItem item;
    item.role = role;
    item.handle = handle;
    const bool readable = read_block(item, keep);
    if (!readable) ++summary_.unreadable_blocks;
    if (item.crc == CrcCheck::Bad) ++summary_.bad_crcs;
    fn_(item);
    return readable;
  }

  bool read_block(BlockItem& item, std::string* keep) {
    const BlockHandle& handle = item.handle;
    if (auto in_range = check_block_range(file_.size(), handle, std::string()); !in_range) {
      item.error = handle.size > kMaxStoredBlock ? "larger than the block limit" : "extends past the end of the file";
      return false;
    }
    const std::uint64_t end = handle.offset + handle.size + kBlockTrailerSize;
    // Blocks never overlap; reading one that does would let a crafted index
    // name the same megabytes over and over. So every byte is read once.
    if (const auto overlapped = overlapping(handle.offset, end)) {
      item.error = "overlaps the part at " + std::to_string(*overlapped);
      return false;
    }
    covered_.emplace(handle.offset, end);
    if (file_.in_hole(handle.offset, handle.size + kBlockTrailerSize)) {
      item.error = "lies in a hole of a sparse file";
      return false;
    }
    const auto bytes = read_with_trailer(file_, handle, stored_);
    if (!bytes) {
      item.error = "cut short: the file lost bytes since it was opened";
      return false;
    }
    const auto size = static_cast<std::size_t>(handle.size);
    const std::string_view stored = bytes->substr(0, size);
    item.type = static_cast<std::uint8_t>((*bytes)[size]);
    item.crc = block_checksum_matches(stored, item.type, load_le32(bytes->data() + size + 1)) ? CrcCheck::Ok
                                                                                              : CrcCheck::Bad;
    item.codec = block_codec(item.type, stored);
    std::string_view contents = stored;
    if (item.type != 0) {
      auto output = decompress_block(item.type, stored, decompressed_, &item.codec);
      if (!output) {
        item.error = output.error().message();
        return false;
      }
      contents = *output;
    }
    if (item.role != BlockRole::Meta) {
      const auto restarts = restart_array_offset(contents);
      if (!restarts) {
        item.error = "no valid restart array";
        return false;
      }
      item.restarts = load_le32(contents.data() + contents.size() - 4);
      first_key_.clear();
      last_key_.clear();
      walk_block_entries(contents, key_, [&](std::string_view key, std::string_view, std::size_t) {
        if (item.entries++ == 0) first_key_.assign(key);
        last_key_.assign(key);
      });
      item.first_key = first_key_;
      item.last_key = last_key_;
    }
    if (keep != nullptr) keep->assign(contents);
    return true;
  }

  // Where a part already read begins that shares bytes with [start, end).
  [[nodiscard]] std::optional<std::uint64_t> overlapping(std::uint64_t start, std::uint64_t end) const {
    auto next = covered_.lower_bound(start);
    if (next != covered_.end() && next->first < end) return next->first;
    if (next != covered_.begin() && std::prev(next)->second > start) return std::prev(next)->first;
    return std::nullopt;
  }

  // The stretches before footer_end that no block, trailer or footer covers.
  void report_gaps(std::uint64_t footer_end) {
    std::uint64_t at = 0;
    const auto gap_to = [&](std::uint64_t end) {
      if (end <= at) return;
      ++summary_.gaps;
      fn_(StretchItem{StretchKind::Gap, at, end - at, stretch_is_zero(file_, at, end - at, stored_)});
    };
    for (const auto& [start, end] : covered_) {
      gap_to(std::min(start, footer_end));
      at = std::max(at, end);
    }
    gap_to(footer_end);
  }

  const MappedFile& file_;
  const StructureCallback& fn_;
  StopToken& stop_;
  StructureSummary& summary_;
  ByteBuffer stored_;
  DecompressBuffer decompressed_;
  std::string key_;
  std::string first_key_;
  std::string last_key_;
  std::map<std::uint64_t, std::uint64_t> covered_;  // start -> end of each part read; disjoint
};

// ---- Logs and manifests ----------------------------------------------------

class FramingWalk {
 public:
  FramingWalk(const MappedFile& file, const StructureCallback& fn, StopToken& stop, StructureSummary& summary)
      : file_(file), fn_(fn), stop_(stop), summary_(summary) {}

  void run() {
    const std::uint64_t size = file_.size();
    std::uint64_t walked_to = 0;
    std::uint64_t kept_from = 0;
    std::string joined;
    walk_log_blocks(
        size, 0,
        [&](std::uint64_t block_start) -> std::optional<std::string_view> {
          release_all();
          if (stop_.stop_requested()) return std::nullopt;
          // The pages behind the walk are given back as it goes (framed_file.h),
          // so a log of gigabytes does not stay resident.
          if (block_start - kept_from >= kLogDropStride) {
            file_.drop_pages(kept_from, block_start - kept_from);
            kept_from = block_start;
          }
          const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kLogBlockSize, size - block_start));
          walked_to = block_start;
          if (file_.in_hole(block_start, wanted)) {
            note_zeros(block_start, wanted, /*records=*/true);
            current_block_ = {};
            walked_to = block_start + wanted;
            return std::string_view();
          }
          const std::string_view bytes = file_.read(block_start, wanted, block_);
          if (bytes.size() != wanted) return std::nullopt;  // the file lost bytes since it was opened
          describe_block(block_start, bytes);
          current_block_ = bytes;
          walked_to = block_start + wanted;
          return bytes;
        },
        [&](std::uint64_t pos, std::size_t first_length) {
          return fragmented_length_hint(size, pos, first_length, [&](std::uint64_t at) {
            return file_.read(at, kLogHeaderSize, header_);
          });
        },
        joined,
        [&](std::uint64_t, std::string_view payload, std::uint64_t record_start) {
          logical_record(record_start, payload, current_block_);
          return true;
        });
    if (walked_to < size && !stop_.stopped()) note_skipped(walked_to, size - walked_to, false);
    flush(/*at_end=*/true);
    release_all();
  }

  void set_manifest(bool manifest) noexcept { manifest_ = manifest; }

 private:
  // Every physical record of one block, and the stretches between them.
  void describe_block(std::uint64_t block_start, std::string_view bytes) {
    const std::size_t end = walk_physical_records(bytes, [&](std::size_t at, LogRecordType type, std::string_view payload) {
      const LogHeader header = decode_log_header(bytes.substr(at));
      if (type == LogRecordType::Zero && header.masked_crc == 0 && header.length == 0) {
        note_zeros(block_start + at, kLogHeaderSize, /*records=*/true);
        return;
      }
      flush(/*at_end=*/false);
      const bool crc_ok = log_checksum_matches(bytes, at, header);
      if (!crc_ok) ++summary_.bad_crcs;
      queue_.emplace_back(PhysicalRecordItem{block_start + at, header.type, payload.size(), crc_ok});
    });
    if (end >= bytes.size()) return;
    const std::size_t rest = bytes.size() - end;
    const std::string_view tail = bytes.substr(end);
    // Fewer than a header's bytes at the end of a whole block are its trailer;
    // at the end of a shorter last block they are a header cut short.
    if (rest < kLogHeaderSize && bytes.size() == kLogBlockSize) {
      if (is_all_zero(tail)) {
        note_zeros(block_start + end, rest, /*records=*/false);
      } else {
        flush(false);
        queue_.emplace_back(StretchItem{StretchKind::Padding, block_start + end, rest, false});
      }
      return;
    }
    note_skipped(block_start + end, rest, is_all_zero(tail));
  }

  void logical_record(std::uint64_t record_start, std::string_view payload, std::string_view block) {
    // A full record's payload lies in the block; a joined one does not.
    const auto at = reinterpret_cast<std::uintptr_t>(payload.data());
    const auto begin = reinterpret_cast<std::uintptr_t>(block.data());
    const bool full = at >= begin && at - begin < block.size();
    release_through(record_start, full);
    if (manifest_) {
      fn_(EditItem{record_start, payload.size(), VersionEdit::from_buffer(payload)});
      return;
    }
    BatchItem batch;
    batch.offset = record_start;
    batch.length = payload.size();
    if (payload.size() >= kBatchHeaderSize) {
      batch.sequence = load_le64(payload.data());
      batch.count = load_le32(payload.data() + 8);
    }
    auto count = [&batch](const RecordView&) { ++batch.entries; };
    decode_write_batch(record_start, payload, nullptr, count);
    fn_(batch);
  }

  // All-zero bytes: zero-type headers (records) or a trailer; contiguous ones
  // are one stretch, which is padding when it holds no zero-type header.
  void note_zeros(std::uint64_t offset, std::uint64_t length, bool records) {
    if (!pending_ || pending_->kind != StretchKind::Zeros || pending_->offset + pending_->length != offset) {
      flush(false);
      pending_ = StretchItem{StretchKind::Zeros, offset, 0, true};
      pending_records_ = false;
    }
    pending_->length += length;
    pending_records_ = pending_records_ || records;
  }

  // Bytes the framing skips; contiguous ones are one stretch.
  void note_skipped(std::uint64_t offset, std::uint64_t length, bool all_zero) {
    if (!pending_ || pending_->kind != StretchKind::Skipped || pending_->offset + pending_->length != offset) {
      flush(false);
      pending_ = StretchItem{StretchKind::Skipped, offset, 0, true};
    }
    pending_->length += length;
    pending_->all_zero = pending_->all_zero && all_zero;
  }

  void flush(bool at_end) {
    if (!pending_) return;
    StretchItem item = *pending_;
    pending_.reset();
    if (item.kind == StretchKind::Zeros) {
      if (pending_records_) {
        ++summary_.zero_stretches;
      } else {
        item.kind = StretchKind::Padding;
      }
    } else if (at_end && item.offset + item.length == file_.size()) {
      item.kind = StretchKind::Trailing;
      summary_.trailing_bytes += item.length;
    } else {
      ++summary_.skipped_stretches;
    }
    queue_.emplace_back(item);
  }

  // The items of the block being walked wait in queue_ until the logical
  // record that a physical record among them completes has been handed on:
  // each logical record then follows the physical record that completes it.
  void release_all() {
    for (; released_ < queue_.size(); ++released_) fn_(queue_[released_]);
    queue_.clear();
    released_ = 0;
  }

  // Hands on the queued items up to the physical record that completed the
  // logical record whose first physical record begins at `start`: that record
  // itself when full, else the first last-fragment after it (a first or full
  // record in between would have begun another logical record).
  void release_through(std::uint64_t start, bool full) {
    while (released_ < queue_.size()) {
      const StructureItem& item = queue_[released_++];
      fn_(item);
      const auto* record = std::get_if<PhysicalRecordItem>(&item);
      if (record != nullptr &&
          (full ? record->offset == start
                : record->offset > start && record->type == static_cast<std::uint8_t>(LogRecordType::Last))) {
        return;
      }
    }
  }

  const MappedFile& file_;
  const StructureCallback& fn_;
  StopToken& stop_;
  StructureSummary& summary_;
  bool manifest_ = false;
  ByteBuffer block_;
  ByteBuffer header_;
  std::optional<StretchItem> pending_;
  bool pending_records_ = false;
  std::string_view current_block_;
  std::vector<StructureItem> queue_;  // at most one block's items
  std::size_t released_ = 0;          // how many of them have been handed on
};

}  // namespace

StructureSummary walk_file_structure(const MappedFile& file, std::string_view name, const StructureCallback& fn,
                                     StopToken& stop) {
  prepare_fault_guard();
  StructureSummary summary{.size = file.size()};
  if (const auto footer = find_footer(file)) {
    summary.kind = StructureKind::Table;
    fn(FileItem{summary.kind, summary.size});
    TableWalk(file, fn, stop, summary).run(*footer);
    return summary;
  }
  const auto entry = parse_entry_name(final_component(name));
  const bool manifest = entry && entry->kind == EntryKind::Manifest;
  summary.kind = manifest ? StructureKind::Manifest : StructureKind::Log;
  fn(FileItem{summary.kind, summary.size});
  FramingWalk walk(file, fn, stop, summary);
  walk.set_manifest(manifest);
  walk.run();
  return summary;
}

std::expected<StructureSummary, OsError> walk_file_structure(const std::string& path, const StructureCallback& fn,
                                                             StopToken& stop) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(file.error());
  return walk_file_structure(*file, path, fn, stop);
}

}  // namespace vostrel
