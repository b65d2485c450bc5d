#include "chromium/protobuf.h"

#include <algorithm>

#include "base/utf8.h"
#include "export/json_text.h"

namespace vostrel::chromium {

namespace {

// The largest field number the wire format allows (29 bits).
constexpr Wide kMaxFieldNumber = (Wide{1} << 29) - 1;

}  // namespace

bool is_printable_text(std::string_view bytes) noexcept {
  if (bytes.empty()) return false;
  while (!bytes.empty()) {
    const utf8::Step step = utf8::next(bytes);
    if (!step.valid || !utf8::is_printable(step.code_point)) return false;
    bytes.remove_prefix(step.length);
  }
  return true;
}

Decoded<void> read_protobuf_fields(std::string_view data, std::vector<ProtobufField>& fields, bool strict) {
  fields.clear();
  std::size_t pos = 0;
  const std::size_t size = data.size();
  while (pos < size) {
    const std::size_t start = pos;
    auto key = read_varint(data, pos);
    if (!key) return std::unexpected(std::move(key.error()));
    pos = key->end;
    const auto wire = static_cast<unsigned>(key->value & 7);
    ProtobufField field{key->value >> 3, false, 0, {}, static_cast<std::uint8_t>(wire), {}};
    if (strict && (field.number == 0 || field.number > kMaxFieldNumber)) {
      return std::unexpected("protobuf field number out of range");
    }
    if (wire == 0) {
      auto value = read_varint(data, pos);
      if (!value) return std::unexpected(std::move(value.error()));
      if (strict && (!fits_u64(value->value) || value->end - pos > 10)) {
        return std::unexpected("protobuf varint wider than 64 bits");
      }
      field.integer = value->value;
      pos = value->end;
    } else if (wire == 2) {
      auto length = read_varint(data, pos);
      if (!length) return std::unexpected(std::move(length.error()));
      if (strict && length->end - pos > 10) return std::unexpected("protobuf varint wider than 64 bits");
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
    field.raw = data.substr(start, pos - start);
    fields.push_back(field);
  }
  return {};
}

Decoded<void> ProtobufJson::append(std::string& out, std::string_view message) {
  return start(out, message, false);
}

Decoded<void> ProtobufJson::append_typed(std::string& out, std::string_view message) {
  return start(out, message, true);
}

Decoded<void> ProtobufJson::start(std::string& out, std::string_view message, bool typed) {
  typed_ = typed;
  // One slot per nesting level, made once: references into them stay valid
  // while nested levels are written.
  if (levels_.empty()) {
    levels_.resize(kMaxProtobufDepth + 1);
    orders_.resize(kMaxProtobufDepth + 1);
    starts_.resize(kMaxProtobufDepth + 1);
  }
  if (auto read = read_protobuf_fields(message, levels_[0], typed); !read) return read;
  if (typed && levels_[0].empty()) return std::unexpected("empty message");
  const std::size_t mark = out.size();
  auto written = append_level(out, 0);
  if (!written) out.resize(mark);
  return written;
}

void ProtobufJson::append_typed_bytes(std::string& out, std::string_view bytes, std::size_t depth) {
  if (bytes.empty()) {
    out += "\"\"";
  } else if (is_printable_text(bytes)) {
    json::append_text(out, bytes);
  } else if (depth + 1 < kMaxTypedDepth && read_protobuf_fields(bytes, levels_[depth + 1], true) &&
             !levels_[depth + 1].empty()) {
    (void)append_level(out, depth + 1);  // typed levels never fail
  } else {
    out += "{\"$bytes\": ";
    json::append_base64(out, bytes);
    out.push_back('}');
  }
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
      if (typed_ && (field.wire == 1 || field.wire == 5)) {
        out += field.wire == 1 ? "{\"$fixed64\": " : "{\"$fixed32\": ";
        append_wide(out, field.integer);
        out.push_back('}');
        continue;
      }
      if (!field.is_bytes) {
        append_wide(out, field.integer);
        continue;
      }
      if (typed_) {
        append_typed_bytes(out, field.bytes, depth);
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
