#pragma once
// Protocol buffer messages as Chromium stores them in LevelDB (Local
// Storage's per-origin metadata, IndexedDB's transaction journal, the service
// worker database's records, many stores of its own), read without their
// schema: a sequence of fields, each a varint key (field
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
  std::uint8_t wire = 0;  // 0, 1, 2 or 5
  std::string_view raw;   // the whole field as written, its key included
};

// Parses a whole message into fields (cleared first), in their order.
// `strict`: the bytes must be a message a protobuf library would write, which
// is how a message of unknown schema is told from other bytes: every field
// number in 1..2^29-1 and every varint within 64 bits (10 bytes at most).
[[nodiscard]] Decoded<void> read_protobuf_fields(std::string_view data, std::vector<ProtobufField>& fields,
                                                 bool strict = false);

// Whether bytes are non-empty text every character of which is printable (as
// Python's str.isprintable() judges it): the bytes shown as text wherever a
// value of unknown form could be text or a message.
[[nodiscard]] bool is_printable_text(std::string_view bytes) noexcept;

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
//
// append_typed writes a message of unknown schema (a value no decoder knows)
// so that each field's wire type shows in its form: a varint its integer, a
// fixed field {"$fixed64": n} or {"$fixed32": n}, a length-delimited field
// printable text as a string (is_printable_text), else a nested message when
// its bytes read as one by the strict rules, else {"$bytes": base64} ("" when
// empty). Nesting deeper than kMaxTypedDepth leaves the bytes as bytes. It
// fails, appending nothing, unless the whole value is a non-empty strict
// message.
inline constexpr std::size_t kMaxTypedDepth = 32;

class ProtobufJson {
 public:
  [[nodiscard]] Decoded<void> append(std::string& out, std::string_view message);
  [[nodiscard]] Decoded<void> append_typed(std::string& out, std::string_view message);

 private:
  Decoded<void> start(std::string& out, std::string_view message, bool typed);
  Decoded<void> append_level(std::string& out, std::size_t depth);
  void append_typed_bytes(std::string& out, std::string_view bytes, std::size_t depth);
  bool typed_ = false;
  std::vector<std::vector<ProtobufField>> levels_;  // the fields of each nesting level being written
  std::vector<std::vector<std::uint32_t>> orders_;  // a level's fields, grouped by number
  std::vector<std::vector<std::uint32_t>> starts_;  // where each group begins in orders_
};

}  // namespace vostrel::chromium
