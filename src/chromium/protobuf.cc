#include "chromium/protobuf.h"

#include <algorithm>

#include "export/json_text.h"

namespace vostrel::chromium {

Decoded<void> read_protobuf_fields(std::string_view data, std::vector<ProtobufField>& fields) {
  fields.clear();
  std::size_t pos = 0;
  const std::size_t size = data.size();
  while (pos < size) {
    auto key = read_varint(data, pos);
    if (!key) return std::unexpected(std::move(key.error()));
    pos = key->end;
    ProtobufField field{key->value >> 3, false, 0, {}};
    const auto wire = static_cast<unsigned>(key->value & 7);
    if (wire == 0) {
      auto value = read_varint(data, pos);
      if (!value) return std::unexpected(std::move(value.error()));
      field.integer = value->value;
      pos = value->end;
    } else if (wire == 2) {
      auto length = read_varint(data, pos);
      if (!length) return std::unexpected(std::move(length.error()));
      pos = length->end;
      if (length->value > size - pos) return std::unexpected("protobuf field runs past the end");
      const auto n = static_cast<std::size_t>(length->value);
      field.is_bytes = true;
      field.bytes = data.substr(pos, n);
      pos += n;
    } else if (wire == 1 || wire == 5) {
      const std::size_t width = wire == 1 ? 8 : 4;
      if (width > size - pos) return std::unexpected("protobuf field runs past the end");
      std::uint64_t value = 0;
      for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<std::uint8_t>(data[pos + i]);
      field.integer = value;
      pos += width;
    } else {
      return std::unexpected("unsupported protobuf wire type " + std::to_string(wire));
    }
    fields.push_back(field);
  }
  return {};
}

Decoded<void> ProtobufJson::append(std::string& out, std::string_view message) {
  // One slot per nesting level, made once: references into them stay valid
  // while nested levels are written.
  if (levels_.empty()) {
    levels_.resize(kMaxProtobufDepth + 1);
    orders_.resize(kMaxProtobufDepth + 1);
    starts_.resize(kMaxProtobufDepth + 1);
  }
  if (auto read = read_protobuf_fields(message, levels_[0]); !read) return read;
  const std::size_t mark = out.size();
  auto written = append_level(out, 0);
  if (!written) out.resize(mark);
  return written;
}

Decoded<void> ProtobufJson::append_level(std::string& out, std::size_t depth) {
  // Group the fields by number, the groups in the order their numbers first
  // appear: sorted by number, equal numbers in their order (a plain sort with
  // the index as tie breaker: stable_sort trips a deprecation warning in
  // libstdc++ under clang), then the groups ordered by first index.
  auto& order = orders_[depth];
  {
    const auto& fields = levels_[depth];
    order.resize(fields.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return fields[a].number != fields[b].number ? fields[a].number < fields[b].number : a < b;
    });
  }
  // Group starts in `order`, sorted by the group's first field.
  auto& starts = starts_[depth];
  starts.clear();
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    if (i == 0 || levels_[depth][order[i]].number != levels_[depth][order[i - 1]].number) starts.push_back(i);
  }
  std::sort(starts.begin(), starts.end(), [&](std::uint32_t a, std::uint32_t b) { return order[a] < order[b]; });

  out.push_back('{');
  bool first_group = true;
  for (const std::uint32_t start : starts) {
    std::uint32_t end = start + 1;
    while (end < order.size() && levels_[depth][order[end]].number == levels_[depth][order[start]].number) ++end;
    if (!first_group) out += ", ";
    first_group = false;
    out.push_back('"');
    append_wide(out, levels_[depth][order[start]].number);
    out += "\": ";
    const bool repeated = end - start > 1;
    if (repeated) out.push_back('[');
    for (std::uint32_t i = start; i < end; ++i) {
      if (i != start) out += ", ";
      const ProtobufField& field = levels_[depth][order[i]];
      if (!field.is_bytes) {
        append_wide(out, field.integer);
        continue;
      }
      if (read_protobuf_fields(field.bytes, levels_[depth + 1]) && !levels_[depth + 1].empty()) {
        if (depth + 1 >= kMaxProtobufDepth) return std::unexpected("value nested too deeply");
        if (auto nested = append_level(out, depth + 1); !nested) return nested;
      } else if (!field.bytes.empty()) {
        out += "{\"$bytes\": ";
        json::append_base64(out, field.bytes);
        out += "}";
      } else {
        out += "\"\"";
      }
    }
    if (repeated) out.push_back(']');
  }
  out.push_back('}');
  return {};
}

}  // namespace vostrel::chromium
