#pragma once
// What every decoder of Chromium's stores shares: the form of a decoding
// failure, the 128-bit integer that carries varints, and V8's base-128 varint
// reader, which IndexedDB's keys and values, protobuf messages and V8's own
// ValueSerializer format all use.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace vostrel::chromium {

// A decoded value, or the reason (one line of text) it could not be decoded.
template <class T>
using Decoded = std::expected<T, std::string>;

// Varints are read up to 77 bits (11 bytes), as wide as the format's readers
// have accepted; what they count is written back exactly, never cut to 64
// bits.
using Wide = unsigned __int128;

// Reads a base-128 varint at pos; returns the reason when it is cut short or
// longer than 11 bytes, else nullptr (pos then lies after it).
[[nodiscard]] const char* read_base128_varint(std::string_view data, std::size_t& pos, Wide& value);

}  // namespace vostrel::chromium
