#pragma once
// The codings of IndexedDB's LevelDB backing store in Chromium: the prefix in
// front of every key, IndexedDB keys, key paths, and the small integers,
// booleans and strings of its metadata.
//
// Key prefix: one byte giving the byte lengths of three ids (top 3 bits: the
// database id's length - 1, next 3: the object store id's, low 2: the index
// id's), then the three ids little-endian. A first byte of 0 is the usual case
// of one byte each.
//
// Int is little-endian with as many bytes as needed (up to 8; only an 8-byte
// Int can be negative); Bool one byte; String UTF-16BE whose length is what is
// left of the key or value; StringWithLength a varint count of UTF-16 units,
// then the units.
//
// An IndexedDB key is a type byte then its data: 1 string (StringWithLength),
// 2 date and 3 number (a little-endian double), 4 array (varint count, keys),
// 6 binary (varint length, bytes), 0 none. Anything else (5 is the "min key",
// which never reaches disk) is not a key.
//
// A key path is either the original form, the whole value being the path as a
// String, or 00 00 <type>: 0 none, 1 a StringWithLength, 2 a varint count of
// StringWithLength.
//
// Decoders write JSON text in the output's form (numbers that are integers as
// integers, dates as {"$date": ...}, binary as {"$bytes": base64}) and, on
// failure, return the reason and leave `out` as it was.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "chromium/codec.h"
#include "chromium/wide_varint.h"

namespace vostrel::chromium {

// Array keys nest at most this deep (the value decoder's limit).
inline constexpr int kMaxKeyDepth = 200;

struct KeyPrefix {
  std::uint64_t database = 0;
  std::uint64_t object_store = 0;
  std::uint64_t index = 0;
  std::size_t end = 0;  // where the rest of the key begins
};

[[nodiscard]] Decoded<KeyPrefix> read_key_prefix(std::string_view key);

[[nodiscard]] Decoded<std::int64_t> decode_int(std::string_view data);
[[nodiscard]] Decoded<bool> decode_bool(std::string_view data);

// A String (all of data) as a JSON string.
[[nodiscard]] Decoded<void> append_string(std::string& out, std::string_view data);

// A varint count of units of `unit_size` bytes, then the units; `what` names
// them in the reason when the data ends inside them ("data ends inside <what>").
struct LengthPrefixed {
  std::string_view bytes;  // the units
  std::size_t end;
};
[[nodiscard]] Decoded<LengthPrefixed> read_length_prefixed(std::string_view data, std::size_t pos,
                                                           std::size_t unit_size, std::string_view what);
// A StringWithLength: its UTF-16BE units.
[[nodiscard]] Decoded<LengthPrefixed> read_string_with_length(std::string_view data, std::size_t pos);
// A StringWithLength's units as a JSON string.
void append_units(std::string& out, std::string_view utf16be);

// The IndexedDB key at data[pos]; returns the position after it.
[[nodiscard]] Decoded<std::size_t> append_key(std::string& out, std::string_view data, std::size_t pos);

[[nodiscard]] Decoded<void> append_key_path(std::string& out, std::string_view data);

}  // namespace vostrel::chromium
