#include "chromium/indexeddb_key.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "export/json_text.h"

namespace vostrel::chromium {
namespace {

std::uint64_t little_endian(std::string_view bytes) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

double read_double(std::string_view data, std::size_t pos) noexcept {
  std::uint64_t bits = little_endian(data.substr(pos, 8));
  return std::bit_cast<double>(bits);
}

Decoded<std::size_t> append_key_at(std::string& out, std::string_view data, std::size_t pos, int depth) {
  if (pos >= data.size()) return std::unexpected("data ends where a key should begin");
  const auto kind = static_cast<std::uint8_t>(data[pos]);
  ++pos;
  switch (kind) {
    case 1: {
      auto text = read_string_with_length(data, pos);
      if (!text) return std::unexpected(std::move(text.error()));
      append_units(out, text->bytes);
      return text->end;
    }
    case 3: {
      if (data.size() - pos < 8) return std::unexpected("data ends inside a number key");
      const double value = read_double(data, pos);
      // An integral number below 2^53 is shown as an integer; -0 (a key of
      // its own to JavaScript's eyes only through its sign) stays -0.0.
      if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9007199254740992.0 &&
          !(value == 0 && std::signbit(value))) {
        json::append_int(out, static_cast<std::int64_t>(value));
      } else {
        json::append_number(out, value);
      }
      return pos + 8;
    }
    case 2: {
      if (data.size() - pos < 8) return std::unexpected("data ends inside a date key");
      json::append_js_date(out, read_double(data, pos));
      return pos + 8;
    }
    case 4: {
      auto count = read_varint(data, pos);
      if (!count) return std::unexpected(std::move(count.error()));
      pos = count->end;
      if (count->value > data.size() - pos || depth > kMaxKeyDepth) return std::unexpected("bad array key");
      out.push_back('[');
      for (std::size_t i = 0; i < static_cast<std::size_t>(count->value); ++i) {
        if (i != 0) out += ", ";
        auto next = append_key_at(out, data, pos, depth + 1);
        if (!next) return next;
        pos = *next;
      }
      out.push_back(']');
      return pos;
    }
    case 6: {
      auto binary = read_length_prefixed(data, pos, 1, "a binary key");
      if (!binary) return std::unexpected(std::move(binary.error()));
      out += "{\"$bytes\": ";
      json::append_base64(out, binary->bytes);
      out.push_back('}');
      return binary->end;
    }
    case 0:
      out += "null";
      return pos;
    default:
      return std::unexpected("unknown key type " + std::to_string(kind));
  }
}

}  // namespace

Decoded<KeyPrefix> read_key_prefix(std::string_view key) {
  if (key.empty()) return std::unexpected("index out of range");  // what indexing an empty key said
  const auto first = static_cast<std::uint8_t>(key[0]);
  if (first == 0 && key.size() >= 4) {
    return KeyPrefix{static_cast<std::uint8_t>(key[1]), static_cast<std::uint8_t>(key[2]),
                     static_cast<std::uint8_t>(key[3]), 4};
  }
  const std::size_t db_len = (first >> 5) + 1;
  const std::size_t store_len = ((first >> 2) & 7) + 1;
  const std::size_t index_len = (first & 3) + 1;
  const std::size_t end = 1 + db_len + store_len + index_len;
  if (key.size() < end) return std::unexpected("key shorter than its prefix");
  return KeyPrefix{little_endian(key.substr(1, db_len)), little_endian(key.substr(1 + db_len, store_len)),
                   little_endian(key.substr(1 + db_len + store_len, index_len)), end};
}

Decoded<std::int64_t> decode_int(std::string_view data) {
  if (data.size() > 8) return std::unexpected("Int longer than 8 bytes");
  // Fewer than 8 bytes are read unsigned; 8 as two's complement.
  return static_cast<std::int64_t>(little_endian(data));
}

Decoded<bool> decode_bool(std::string_view data) {
  if (data.size() != 1) return std::unexpected("Bool is not one byte");
  return data[0] != 0;
}

Decoded<void> append_string(std::string& out, std::string_view data) {
  if (data.size() % 2 != 0) return std::unexpected("UTF-16 string of odd length");
  json::append_utf16(out, data, true);
  return {};
}

Decoded<LengthPrefixed> read_length_prefixed(std::string_view data, std::size_t pos, std::size_t unit_size,
                                             std::string_view what) {
  auto units = read_varint(data, pos);
  if (!units) return std::unexpected(std::move(units.error()));
  pos = units->end;
  if (units->value > (data.size() - pos) / unit_size) return std::unexpected("data ends inside " + std::string(what));
  const auto n = static_cast<std::size_t>(units->value) * unit_size;
  return LengthPrefixed{data.substr(pos, n), pos + n};
}

Decoded<LengthPrefixed> read_string_with_length(std::string_view data, std::size_t pos) {
  return read_length_prefixed(data, pos, 2, "a string");
}

void append_units(std::string& out, std::string_view utf16be) { json::append_utf16(out, utf16be, true); }

Decoded<std::size_t> append_key(std::string& out, std::string_view data, std::size_t pos) {
  const std::size_t mark = out.size();
  auto end = append_key_at(out, data, pos, 0);
  if (!end) out.resize(mark);
  return end;
}

Decoded<void> append_key_path(std::string& out, std::string_view data) {
  if (data.size() < 3 || data[0] != 0 || data[1] != 0) return append_string(out, data);
  const auto kind = static_cast<std::uint8_t>(data[2]);
  if (kind == 0) {
    out += "null";
    return {};
  }
  if (kind == 1) {
    auto path = read_string_with_length(data, 3);
    if (!path) return std::unexpected(std::move(path.error()));
    append_units(out, path->bytes);
    return {};
  }
  if (kind == 2) {
    auto count = read_varint(data, 3);
    if (!count) return std::unexpected(std::move(count.error()));
    if (count->value > data.size()) return std::unexpected("bad key path array");
    const std::size_t mark = out.size();
    std::size_t pos = count->end;
    out.push_back('[');
    for (std::size_t i = 0; i < static_cast<std::size_t>(count->value); ++i) {
      auto path = read_string_with_length(data, pos);
      if (!path) {
        out.resize(mark);
        return std::unexpected(std::move(path.error()));
      }
      if (i != 0) out += ", ";
      append_units(out, path->bytes);
      pos = path->end;
    }
    out.push_back(']');
    return {};
  }
  return std::unexpected("unknown key path type " + std::to_string(kind));
}

}  // namespace vostrel::chromium
