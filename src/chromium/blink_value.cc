#include "chromium/blink_value.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "chromium/v8_value.h"
#include "chromium/wide_varint.h"
#include "export/json_text.h"
#include "export/python_repr.h"
#include "base/utf8.h"

namespace vostrel::chromium {
namespace {

using v8::Kind;
using v8::NodeId;
using v8::Wide;

constexpr std::uint8_t kVersionTag = 0xFF;
constexpr std::uint8_t kTrailerOffsetTag = 0xFE;
constexpr Wide kMinSeparateEnvelope = 16;
constexpr Wide kMinTrailer = 21;
constexpr std::size_t kTrailerSize = 12;  // offset u64 and size u32, after the tag

// What a kHost node is (Node::sub); an index sits in Node::wide.
enum : std::uint8_t { kBlob, kFile, kBlobByUuid };

// Python's repr() of the one-character string chr(byte).
std::string quoted_character(std::uint8_t byte) {
  std::string character;
  utf8::append(character, byte);
  std::string text;
  append_python_repr(text, character);
  return text;
}

class BlinkHost final : public v8::Host {
 public:
  std::span<const std::string> externals;

  bool read(v8::Reader& reader, std::size_t& pos, NodeId& result) override {
    std::string_view data = reader.data();
    while (pos < data.size() && data[pos] == 0) ++pos;  // padding
    if (pos >= data.size()) return reader.fail("data ends inside a host object");
    auto tag = static_cast<std::uint8_t>(data[pos++]);
    Wide number;
    switch (tag) {
      case 'i':
      case 'e':
        if (!reader.varint(pos, number)) return false;
        result = reference(reader, tag == 'i' ? kBlob : kFile, number);
        return true;
      case 'L': {
        if (!reader.varint(pos, number)) return false;
        if (number > data.size() - pos) return reader.fail("FileList longer than its data");
        files_.clear();
        for (Wide i = 0; i < number; ++i) {
          Wide index;
          if (!reader.varint(pos, index)) return false;
          files_.push_back(reference(reader, kFile, index));
        }
        result = reader.add_array(files_.data(), files_.size());
        return true;
      }
      case 'b': {
        NodeId uuid = 0, type = 0;
        if (!utf8(reader, pos, uuid) || !utf8(reader, pos, type) ||
            !reader.varint(pos, number)) {
          return false;
        }
        result = reference(reader, kBlobByUuid, number);
        reader.node(result).a = uuid;
        reader.node(result).b = type;
        return true;
      }
      default:
        return reader.fail("unsupported Blink object " + quoted_character(tag));
    }
  }

  void write(std::string& out, const v8::Reader& reader, const v8::Node& node) override {
    out += node.sub == kFile ? "{\"$file\": " : "{\"$blob\": ";
    if (node.sub == kBlobByUuid) {
      out += "{\"uuid\": ";
      reader.write_string(out, reader.node(node.a));
      out += ", \"type\": ";
      reader.write_string(out, reader.node(node.b));
      out += ", \"size\": ";
      append_wide(out, node.wide);
      out.push_back('}');
    } else if (node.wide < externals.size()) {
      out += externals[static_cast<std::size_t>(node.wide)];
    } else {
      out += "{\"index\": ";
      append_wide(out, node.wide);
      out.push_back('}');
    }
    out.push_back('}');
  }

 private:
  static NodeId reference(v8::Reader& reader, std::uint8_t what, Wide number) {
    NodeId id = reader.add(Kind::kHost);
    reader.node(id).sub = what;
    reader.node(id).wide = number;
    return id;
  }

  // A varint length and that many bytes of UTF-8 (decoded with replacement).
  static bool utf8(v8::Reader& reader, std::size_t& pos, NodeId& result) {
    Wide length;
    if (!reader.varint(pos, length)) return false;
    if (length > reader.data().size() - pos) return reader.fail("data ends inside a string");
    result = reader.add(Kind::kString);
    v8::Node& node = reader.node(result);
    node.sub = static_cast<std::uint8_t>(v8::Codec::kUtf8);
    node.a = static_cast<std::uint32_t>(pos);
    node.b = static_cast<std::uint32_t>(length);
    pos += static_cast<std::size_t>(length);
    return true;
  }

  std::vector<NodeId> files_;
};

// Where V8's header begins, after Blink's envelope if there is one. Every
// value Blink writes begins with a version tag (its own envelope's, or before
// version 16 the header it shares with V8): bytes that do not are no value,
// and are refused before a reader walks them (200 MiB of zeros would
// otherwise be read as padding to their end).
std::expected<std::size_t, std::string> v8_start(std::string_view data) {
  if (data.empty()) return 0;  // the reader says where the data ends
  if (static_cast<std::uint8_t>(data[0]) != kVersionTag) {
    return std::unexpected("not a serialized value: no version tag");
  }
  std::size_t pos = 1;
  Wide version;
  if (const char* problem = read_base128_varint(data, pos, version)) return std::unexpected(problem);
  if (version < kMinSeparateEnvelope) return 0;  // this header is V8's, shared with Blink
  if (version >= kMinTrailer) {
    if (pos >= data.size() || static_cast<std::uint8_t>(data[pos]) != kTrailerOffsetTag) {
      return std::unexpected("Blink envelope without its trailer offset");
    }
    if (data.size() - pos < 1 + kTrailerSize) {
      return std::unexpected("data ends inside Blink's envelope");
    }
    pos += 1 + kTrailerSize;
  }
  return pos;
}

thread_local ScriptValueSink* value_sink = nullptr;

}  // namespace

ScriptValueSink* set_script_value_sink(ScriptValueSink* sink) noexcept {
  return std::exchange(value_sink, sink);
}

std::expected<void, std::string> append_script_value(std::string& out, std::string_view data,
                                                     std::span<const std::string> externals) {
  // One reader per thread keeps its tables' capacity from value to value.
  thread_local v8::Reader reader;
  thread_local BlinkHost host;
  auto start = v8_start(data);
  if (!start) return std::unexpected(std::move(start.error()));
  host.externals = externals;
  std::size_t mark = out.size();
  reader.set_integer_values_written(value_sink == nullptr);
  reader.set_strings_written(value_sink == nullptr);
  auto written = reader.append_json(out, data, *start, host);
  if (!written && value_sink != nullptr) {
    // Strings counted at their largest may have made it too large: the
    // verdict is the one of its text.
    out.resize(mark);
    reader.set_strings_written(true);
    written = reader.append_json(out, data, *start, host);
  }
  if (!written) {
    out.resize(mark);
  } else if (value_sink != nullptr) {
    out.resize(mark);
    value_sink->take(reader, out);
  }
  return written;
}

}  // namespace vostrel::chromium
