#pragma once
// The log framing (log_format.h) walked over a file rather than over bytes in
// memory: how the log reader and the manifest reader go through their files.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/byte_buffer.h"
#include "base/stop_token.h"
#include "format/log_format.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"

namespace vostrel {

// How far a walk over a mapped log goes before giving back the pages behind it.
inline constexpr std::uint64_t kLogDropStride = std::uint64_t{8} << 20;

// The walk over a file from `start` (see walk_log_blocks), each block copied
// out of it into `block` first (mapped_file.h), so that a file shrinking
// underneath ends the walk after what could still be read. Blocks that lay
// wholly in a hole of a sparse file are passed over without reading: zeros
// frame nothing (zero-type headers of length 0) and leave a pending record
// pending, exactly as if read. `stop`, polled before each block, ends the walk
// early. fn returns whether to go on; returns where the walk stopped. With
// `fragments`, each record's physical records are there during fn's call.
template <class Fn>
std::uint64_t walk_logical_records_from(const MappedFile& file, std::uint64_t start, ByteBuffer& block,
                                        std::string& joined, StopToken& stop, Fn&& fn,
                                        std::vector<LogFragment>* fragments = nullptr) {
  prepare_fault_guard();
  const std::uint64_t size = file.size();
  ByteBuffer header;
  // The pages behind the walk are given back every kLogDropStride bytes: their
  // bytes have been copied out already (into `block`, or joined into a
  // fragmented record), so a log of a gigabyte, or one record of a gigabyte,
  // does not stay resident a second time beside the joined copy.
  std::uint64_t kept_from = start;
  return walk_log_blocks(
      size, start,
      [&](std::uint64_t at) -> std::optional<std::string_view> {
        if (stop.stop_requested()) return std::nullopt;
        if (at > kept_from && at - kept_from >= kLogDropStride) {
          file.drop_pages(kept_from, at - kept_from);
          kept_from = at;
        }
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kLogBlockSize, size - at));
        if (file.in_hole(at, wanted)) return std::string_view();
        const std::string_view bytes = file.read(at, wanted, block);
        // A block cut short by lost bytes is still walked; the next one ends it.
        if (bytes.empty()) return std::nullopt;
        return bytes;
      },
      [&](std::uint64_t pos, std::size_t first_length) {
        const std::size_t hint = fragmented_length_hint(size, pos, first_length, [&](std::uint64_t at) {
          return file.read(at, kLogHeaderSize, header);
        });
        // Reading the headers ahead touched a page of every block the record
        // spans; the walk reads them again as it reaches them.
        if (hint >= kLogDropStride) file.drop_pages(pos, hint);
        return hint;
      },
      joined, std::forward<Fn>(fn), fragments);
}

// The whole walk over a file.
template <class Fn>
void walk_logical_records(const MappedFile& file, ByteBuffer& block, std::string& joined,
                          StopToken& stop, Fn&& fn, std::vector<LogFragment>* fragments = nullptr) {
  walk_logical_records_from(
      file, 0, block, joined, stop,
      [&](std::uint64_t offset, std::string_view payload) {
        fn(offset, payload);
        return true;
      },
      fragments);
}

}  // namespace vostrel
