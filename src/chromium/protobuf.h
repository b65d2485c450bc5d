#pragma once
// Protocol buffer messages as Chromium stores them in LevelDB (Local
// Storage's per-origin metadata, IndexedDB's transaction journal), read
// without their schema: a sequence of fields, each a varint key (field
// number << 3 | wire type) then the value: wire 0 a varint, 2 a varint
// length and that many bytes, 1 and 5 a little-endian fixed 64- or 32-bit
// integer. Groups (3, 4) and the unused types 6, 7 are not read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chromium/codec.h"
#include "chromium/wide_varint.h"

namespace vostrel::chromium {

struct ProtobufField {
  Wide number;
  bool is_bytes;          // wire type 2
  Wide integer;           // the value of wire types 0, 1 and 5
  std::string_view bytes; // the value of wire type 2
};

// Parses a whole message into fields (cleared first), in their order.
[[nodiscard]] Decoded<void> read_protobuf_fields(std::string_view data, std::vector<ProtobufField>& fields);

// Messages nest at most this deep (the outermost counting as one); a deeper
// one fails the whole value with "value nested too deeply". It is the depth
// at which the command's decoder has always given up (its stack ran out
// there), so the same records keep the same form.
inline constexpr std::size_t kMaxProtobufDepth = 493;

// Writes a message as a JSON object keyed by field number ("1", "2", ...) in
// the order numbers first appear; a repeated number becomes a list. A varint
// or fixed field is its integer. A length-delimited field is a nested message
// when its bytes read as a non-empty one (messages and byte strings look
// alike on the wire), else {"$bytes": "<base64>"} (the form bytes have
// everywhere in the output) or "" when empty.
// On failure `out` is left as it was.
class ProtobufJson {
 public:
  [[nodiscard]] Decoded<void> append(std::string& out, std::string_view message);

 private:
  Decoded<void> append_level(std::string& out, std::size_t depth);
  std::vector<std::vector<ProtobufField>> levels_;  // the fields of each nesting level being written
  std::vector<std::vector<std::uint32_t>> orders_;  // a level's fields, grouped by number
  std::vector<std::vector<std::uint32_t>> starts_;  // where each group begins in orders_
};

}  // namespace vostrel::chromium
