#include "recover/table_carver.h"

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include "format/block.h"
#include "base/crc32c.h"
#include "format/internal_key.h"
#include "base/varint.h"

namespace vostrel {
namespace {

// The highest compression type byte a trailer is tested for. LevelDB writes
// 0 (raw) and 1 (Snappy); later writers number further codecs upwards. A
// type that does not decompress is refused when the block is considered.
constexpr std::uint8_t kMaxBlockType = 4;

// How far the search follows one known block start before it takes the
// stretch for damaged and starts resynchronising. Far beyond LevelDB's 4 KiB
// blocks; a larger block (one huge value) is still found, by the resync pass.
constexpr std::uint64_t kChainReach = 1u << 20;

// Whether a block's stored bytes can begin at `s`. Both kinds begin with the
// first entry, which shares nothing with a previous key (a 0 byte) and has an
// internal key of at least 8 bytes:
// - raw: 00, varint non_shared >= 8;
// - Snappy: varint uncompressed length, then a literal (the stream has no
//   history to copy from yet) whose first byte is that 00.
// Only resynchronisation uses this, to keep its table of candidate starts
// small; the block that follows a verified one needs no guess.
bool may_start_block(std::string_view file, std::size_t s) {
  const std::size_t n = file.size();
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(file[i]); };
  if (byte(s) == 0) {
    const auto non_shared = decode_varint(file, std::min(s + 1, n), /*narrow=*/true);
    if (non_shared && non_shared->value >= kInternalKeyTrailerSize) return true;
  }
  const auto length = decode_varint(file, s, /*narrow=*/true);
  if (!length || length->value < 8 || n - s - length->length < 2) return false;
  const std::size_t tag_at = s + length->length;
  const std::uint8_t tag = byte(tag_at);
  if ((tag & 3) != 0) return false;  // not a literal
  const std::size_t extra = (tag >> 2) < 60 ? 0 : (tag >> 2) - 59;  // literal length bytes
  if (n - tag_at - 1 <= extra) return false;
  return byte(tag_at + 1 + extra) == 0;
}

// Candidate block starts during resynchronisation, keyed by the register
// value A(s) described in BlockSearch. Fixed size: 4-way buckets, the oldest
// start in a bucket giving way. Starts at or before the current chain start
// are stale and never match, so nothing needs clearing.
class CandidateTable {
 public:
  static constexpr std::size_t kBucketBits = 14;
  static constexpr std::size_t kWays = 4;

  CandidateTable() : slots_(std::make_unique<Slot[]>((std::size_t{1} << kBucketBits) * kWays)) {}

  void insert(std::uint32_t key, std::uint64_t pos, std::uint64_t floor) {
    Slot* bucket = bucket_of(key);
    Slot* victim = bucket;
    for (std::size_t i = 0; i < kWays; ++i) {
      if (bucket[i].pos <= floor) {  // stale (or never used: pos 0 is always at or below floor)
        victim = &bucket[i];
        break;
      }
      if (bucket[i].pos < victim->pos) victim = &bucket[i];
    }
    *victim = Slot{key, pos};
  }

  // Starts s with floor < s < before whose key matches, in increasing order.
  template <class Fn>
  bool find(std::uint32_t key, std::uint64_t floor, std::uint64_t before, Fn&& fn) const {
    const Slot* bucket = bucket_of(key);
    std::array<std::uint64_t, kWays> found{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < kWays; ++i) {
      if (bucket[i].key == key && bucket[i].pos > floor && bucket[i].pos < before) found[count++] = bucket[i].pos;
    }
    // At most kWays positions: an insertion sort (std::sort's small-range
    // threshold trips a false -Warray-bounds in GCC 12 on so short an array).
    for (std::size_t i = 1; i < count; ++i) {
      for (std::size_t j = i; j > 0 && found[j - 1] > found[j]; --j) std::swap(found[j - 1], found[j]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (fn(found[i])) return true;
    }
    return false;
  }

 private:
  struct Slot {
    std::uint32_t key = 0;
    std::uint64_t pos = 0;
  };
  [[nodiscard]] Slot* bucket_of(std::uint32_t key) const {
    return &slots_[((key * 0x9E3779B1u) >> (32 - kBucketBits)) * kWays];
  }
  std::unique_ptr<Slot[]> slots_;
};

// The search. A block [s, e) with its type byte at e verifies when
//   crc32c(bytes [s, e]) == unmask(le32 at e + 1).
//
// Following the chain: from a known start s (0, or just past the trailer of
// the last block taken) one running register over [s, e] is compared at every
// e; each byte is fed once, so a file of intact blocks costs one pass.
//
// Resynchronising: when the chain runs kChainReach bytes (or to the end)
// without a match, the stretch from s is damaged and the next block may start
// anywhere after it. Testing every (start, end) pair would be quadratic.
// Instead, with P(i) the register over [base, i) and x^-8 the inverse of one
// byte's shift (crc32c.h), the condition for a block [s, e] rearranges into
//   A(s) := (P(s) ^ init) * x^(-8(s - base))
//        == (P(e + 1) ^ init ^ crc) * x^(-8(e + 1 - base)) =: B(e + 1),
// one side depending on the start only and the other on the end only. So one
// pass records A(s) for every position that may start a block and, at every
// possible trailer, looks B up among them: constant work per byte. The chain
// start stays tested too, so blocks of any size are found.
//
// Each byte is scanned at most twice: once following the chain, once when the
// stretch is rescanned to resynchronise; resync mode lasts until the search is
// past everything the chain already covered.
class BlockSearch {
 public:
  BlockSearch(CarveSource& source, const std::function<bool(const VerifiedExtent&)>& consider)
      : source_(source), end_(source.end()), consider_(consider) {}

  void run() {
    std::uint64_t covered = source_.begin();  // the chain alone has scanned [.., covered)
    std::uint64_t pos = restart(source_.begin());  // the byte about to be fed
    // The window's state, kept in locals so that the per-byte path keeps it
    // in registers across the calls it makes: moved only by readable().
    const char* data = nullptr;  // the window's bytes
    std::uint64_t base = 0;      // the position of data[0]
    std::uint64_t usable = 0;    // window positions below it may be looked at
    // Damage: rescan from the chain start, looking for any block start.
    const auto resynchronise = [&](std::uint64_t at) {
      covered = std::max(covered, at);
      resync_ = true;
      return restart(chain_);
    };
    while (true) {
      if (pos < base || pos >= usable) {  // usable <= end_
        if (pos >= end_) {
          if (resync_ || chain_ >= end_) return;
          pos = resynchronise(pos);
          continue;
        }
        const bool whole = readable(pos);
        data = window_.data();
        base = window_base_;
        usable = usable_end_;
        if (!whole) continue;  // end_ moved
      }
      if (!resync_ && pos - chain_ >= kChainReach) {
        pos = resynchronise(pos);
        continue;
      }
      if (!resync_) {
        // Following the chain only positions holding a possible type byte need
        // a look: the bytes before the next one go through the register at once.
        const std::uint64_t limit = std::min({end_, chain_ + kChainReach, usable});
        const auto from = static_cast<std::size_t>(pos - base);
        const auto to = static_cast<std::size_t>(limit - base);
        std::size_t next = from;
        while (next < to && static_cast<std::uint8_t>(data[next]) > kMaxBlockType) ++next;
        reg_ = crc32c_run(reg_, std::string_view(data + from, next - from));
        pos = base + next;
        if (pos == limit) continue;
      }
      const auto at = static_cast<std::size_t>(pos - base);  // pos in the window
      if (resync_ && pos > chain_ && may_start_block(window_, at)) {
        if (!table_) table_ = std::make_unique<CandidateTable>();
        table_->insert(crc32c_multiply(reg_ ^ kCrc32cInit, z_), pos, chain_);
      }
      const auto type = static_cast<std::uint8_t>(data[at]);
      reg_ = crc32c_step(reg_, type);
      if (resync_) z_ = crc32c_times_x_minus8(z_);
      if (type <= kMaxBlockType && pos > chain_ && end_ - pos > kBlockTrailerSize - 1) {
        const std::uint32_t crc = crc32c_unmask(load_le32(data + at + 1));
        if ((reg_ ^ kCrc32cInit) == crc && take(chain_, pos, type)) {
          pos = after_block(pos, covered);
          continue;
        }
        if (resync_ && table_) {
          const std::uint32_t b = crc32c_multiply(reg_ ^ kCrc32cInit ^ crc, z_);
          if (table_->find(b, chain_, pos, [this, pos, type](std::uint64_t s) { return take(s, pos, type); })) {
            pos = after_block(pos, covered);
            continue;
          }
        }
      }
      ++pos;
    }
  }

 private:
  // The window holds the bytes [window_base_, window_end()); the search looks
  // at a position only with kLookahead bytes after it in the window (or the
  // end of the bytes), so it reads no further than usable_end_.
  [[nodiscard]] std::uint64_t window_end() const noexcept { return window_base_ + window_.size(); }
  // Moves the window to `at` (below end_). False when the bytes end sooner
  // than the source said: end_ moves to where they end.
  bool readable(std::uint64_t at) {
    window_ = source_.window(at);
    window_base_ = at;
    const std::uint64_t wanted = std::min<std::uint64_t>(end_ - at, CarveSource::kLookahead + 1);
    const bool whole = window_.size() >= wanted;
    if (!whole) end_ = std::min(end_, window_end());
    if (window_end() >= end_) {
      usable_end_ = end_;
    } else {
      usable_end_ = window_end() - CarveSource::kLookahead;  // past `at`: the window holds more
    }
    return whole;
  }

  // Starts the register at `at`; returns it, the next byte to feed.
  std::uint64_t restart(std::uint64_t at) {
    chain_ = at;
    reg_ = kCrc32cInit;
    z_ = kPolyOne;
    return at;
  }

  // Offers [start, end) with its trailer at end.
  bool take(std::uint64_t start, std::uint64_t end, std::uint8_t type) {
    // A longer stretch is no block the reader would read either; so a block
    // that began windows ago is read whole, in bounded memory, or not at all.
    if (end - start > kMaxStoredBlock) return false;
    return consider_(VerifiedExtent{start, end - start, type});
  }

  // After a block taken whose trailer is at `at`: the next begins past it.
  std::uint64_t after_block(std::uint64_t at, std::uint64_t covered) {
    const std::uint64_t next = restart(at + kBlockTrailerSize);
    if (resync_ && chain_ >= covered) resync_ = false;
    return next;
  }

  CarveSource& source_;
  std::uint64_t end_;
  const std::function<bool(const VerifiedExtent&)>& consider_;
  std::string_view window_;
  std::uint64_t window_base_ = 0;
  std::uint64_t usable_end_ = 0;
  std::unique_ptr<CandidateTable> table_;  // made for the first candidate start
  std::uint64_t chain_ = 0;  // the known block start: the base of reg_ and z_
  std::uint32_t reg_ = kCrc32cInit;  // P(pos): the register over [chain_, pos) of run()'s pos
  std::uint32_t z_ = kPolyOne;       // x^(-8(pos - chain_)); kept in resync mode only
  bool resync_ = false;
};

// Bytes in memory as a source: one window holding them all.
class MemorySource final : public CarveSource {
 public:
  explicit MemorySource(std::string_view bytes) noexcept : CarveSource(0, bytes.size()), bytes_(bytes) {}
  std::string_view window(std::uint64_t from) override { return bytes_.substr(static_cast<std::size_t>(from)); }
  std::string_view block(std::uint64_t offset, std::size_t size) override {
    return bytes_.substr(static_cast<std::size_t>(offset), size);
  }

 private:
  std::string_view bytes_;
};

// LevelDB's largest sequence number: the trailer of an index separator (a key
// the comparator shortened, or the successor of a block's last key) carries it
// with type 1, so that it sorts before every real record of its user key. No
// write ever reaches it.
constexpr std::uint64_t kSeparatorTrailer = ((std::uint64_t{1} << 56) - 1) << 8 | 1;

// What a block's entries say about it as a structure of the table: whether
// every value is exactly one block handle, the handles follow each other
// (each block begins where the previous one's trailer ends), and all lie
// before `block_offset`; and whether every key is an index separator, or a
// metaindex name ("filter.<policy>", whose last 8 bytes are no trailer: the
// type byte is neither 0 nor 1).
struct HandleBlock {
  std::size_t count = 0;
  bool all_handles = true;
  bool consecutive = true;
  bool behind = true;
  bool separator_keys = true;
  bool name_keys = true;
};

HandleBlock read_handle_block(std::string_view contents, std::uint64_t block_offset, std::string& key) {
  HandleBlock block;
  std::uint64_t expected_offset = 0;
  walk_block_entries(contents, key, [&](std::string_view k, std::string_view value, std::size_t) {
    if (!block.all_handles) return;
    SliceCursor cursor(value);
    const auto handle = BlockHandle::from_cursor(cursor);
    if (!handle || cursor.remaining() != 0 || handle->size == 0 || handle->size > kMaxBlockContents) {
      block.all_handles = false;
      return;
    }
    if (block.count > 0 && handle->offset != expected_offset) block.consecutive = false;
    if (handle->offset > block_offset || handle->size > block_offset - handle->offset ||
        block_offset - handle->offset - handle->size < kBlockTrailerSize) {
      block.behind = false;
    }
    const bool has_trailer = k.size() >= kInternalKeyTrailerSize;
    const std::uint64_t trailer = has_trailer ? load_le64(k.data() + k.size() - kInternalKeyTrailerSize) : 0;
    if (!has_trailer || trailer != kSeparatorTrailer) block.separator_keys = false;
    if (has_trailer && (trailer & 0xff) <= 1) block.name_keys = false;
    // Offsets are below 2^64 - 2^28 in any file that exists; past that the
    // next handle simply cannot match.
    expected_offset = handle->offset + handle->size + kBlockTrailerSize;
    ++block.count;
  });
  return block;
}

// A structural block: an index block (a handle per data block) or the
// metaindex (a handle to the filter block). Told by position where the block
// sits in its own table (every handle behind it, consecutive), and otherwise
// by content alone, since a table carved out of a disk image without its
// first part has every handle pointing past where its blocks now lie: all
// values are handles and either they are consecutive (two entries or more),
// or every key is an index separator or a metaindex name.
bool is_structural(std::string_view contents, std::uint64_t block_offset, std::string& key) {
  const HandleBlock block = read_handle_block(contents, block_offset, key);
  if (!block.all_handles || block.count == 0) return false;
  if (block.consecutive && block.behind) return true;
  return (block.consecutive && block.count >= 2) || block.separator_keys || block.name_keys;
}

bool all_internal_keys(std::string_view contents, std::string& key) {
  bool ok = true;
  walk_block_entries(contents, key, [&](std::string_view k, std::string_view, std::size_t) {
    if (k.size() < kInternalKeyTrailerSize) ok = false;
  });
  return ok;
}

}  // namespace

void scan_table_blocks(CarveSource& source, const std::function<bool(const VerifiedExtent&)>& consider) {
  BlockSearch(source, consider).run();
}

void scan_table_blocks(std::string_view file, const std::function<bool(const VerifiedExtent&)>& consider) {
  MemorySource source(file);
  scan_table_blocks(source, consider);
}

TableCarver::TableCarver(std::span<const BlockHandle> reached) : known_(reached.begin(), reached.end()) {
  std::sort(known_.begin(), known_.end(), by_position);
}

bool TableCarver::by_position(const BlockHandle& a, const BlockHandle& b) {
  return a.offset != b.offset ? a.offset < b.offset : a.size < b.size;
}

void TableCarver::carve(CarveSource& source, DecompressBuffer& buffer,
                        const std::function<void(const BlockView&)>& on_data) {
  scan_table_blocks(source, [&](const VerifiedExtent& found) {
    // A block the index names exactly is the normal read's: the checksum has
    // vouched for its extent, and nothing more is needed from it.
    if (std::binary_search(known_.begin(), known_.end(), BlockHandle{found.offset, found.size}, by_position)) {
      ++counts_.verified;
      ++counts_.reached;
      return true;
    }
    // The trailer comes along: the scan verified its checksum, which is
    // there to keep.
    const auto size = static_cast<std::size_t>(found.size);
    const std::string_view bytes = source.block(found.offset, size + kBlockTrailerSize);
    if (bytes.size() != size + kBlockTrailerSize) return false;  // the file lost them since
    const StoredBlock stored{bytes.substr(0, size), found.type, load_le32(bytes.data() + size + 1)};
    Codec codec = Codec::None;
    const auto contents = block_contents(stored, buffer, &codec);
    if (!contents) return false;  // the checksum matched bytes that are no block of this type
    ++counts_.verified;
    // A verified stretch that is not a block of entries (the filter block)
    // still ends where the next block begins.
    if (!is_well_formed_block(*contents)) return true;
    if (is_structural(*contents, found.offset, key_)) {
      ++counts_.structural;
      return true;
    }
    if (!all_internal_keys(*contents, key_)) return true;
    ++counts_.data;
    on_data(BlockView{found.offset, *contents, stored.compressed(), stored, codec});
    return true;
  });
}

TableCarveCounts carve_table_blocks(std::string_view file, std::span<const BlockHandle> reached,
                                    DecompressBuffer& buffer,
                                    const std::function<void(const BlockView&)>& on_data) {
  TableCarver carver(reached);
  MemorySource source(file);
  carver.carve(source, buffer, on_data);
  return carver.counts();
}

}  // namespace vostrel
