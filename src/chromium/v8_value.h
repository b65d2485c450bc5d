#pragma once
// V8's ValueSerializer format (structured clone) and the JSON form of what it
// holds.
//
// A serialized value is `FF <version varint>` followed by one tagged value.
// Tags are single bytes; integers are base-128 varints (ZigZag for Int32),
// doubles and two-byte strings little-endian (every platform Chromium writes
// IndexedDB from is little-endian).
//
// Every object-like value (objects, arrays, Date, RegExp, Map, Set, buffers,
// views, wrappers, errors, host objects) gets the next id in the order it is
// *begun*, and `^ <id>` refers back to it, so values may be shared and cyclic.
//
// The JSON form of a value is plain JSON where JSON has a form, and one-key
// objects named with a "$" where it has none: {"$undefined": true},
// {"$number": "NaN"}, {"$bigint": "123"}, {"$date": "...Z"}, {"$bytes": b64},
// {"$regexp": source, "flags": f}, {"$map": [[k, v], ...]}, {"$set": [...]},
// {"$typed_array": kind, "values": [...]}, {"$data_view": b64} (a view
// that shares its buffer or covers part of it: {"$typed_array": kind,
// "buffer": the buffer's form, "byte_offset": n, "byte_length": n}, with
// "DataView" among the kinds),
// {"$sparse_array": {index: value}, "length": n}, {"$array": [...],
// "properties": {...}}, {"$error": name, "message": m, "stack": s, "cause": c},
// and the host's forms ({"$blob": {...}}, {"$file": {...}}). An object met a
// second time, shared or cyclic (an ArrayBuffer too), is {"$ref": path of
// its first place}: "$" then "/key" (a JSON Pointer step: "~0" for '~', "~1"
// for '/') or "/index" per step (a Map entry adds "/n/0" for its key and
// "/n/1" for its value, a view "/buffer" for its buffer). A plain object whose first key starts with "$" is
// wrapped as {"$object": {...}}.
//
// Which place is "first" and which keys an object ends with follow the value
// as a whole, not the order of the bytes: a key written twice keeps its first
// place and its last value, and what the second write replaced is gone (an
// object inside it is written in full where it is met next). So the reader
// decodes into a compact table of nodes first (reused between values, no heap
// allocation per node) and writes the JSON from that.
//
// Everything read from the data is untrusted: lengths and counts are bounded
// by the data's own size, nesting by kMaxDepth; failures are the reason as
// text, never an exception.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chromium/codec.h"

namespace vostrel::chromium::v8 {

using chromium::Wide;
using chromium::read_base128_varint;

inline constexpr std::size_t kMaxDepth = 200;  // nested containers

using NodeId = std::uint32_t;

enum class Kind : std::uint8_t {
  kNull, kUndefined, kTrue, kFalse, kInt, kUint, kDouble, kBigInt, kString, kDate, kRegExp,
  // The kinds below may be referred to again, and so get a $ref path.
  kBytes, kObject, kArray, kJSArray, kSparse, kMap, kSet, kView, kError, kHost,
};

enum class Codec : std::uint8_t { kLatin1, kUtf16, kUtf8 };

// One decoded value. Strings, buffers and BigInt digits stay in the data (a, b
// = offset, size); containers own a run of children (a = first, b = count).
// A buffer's c counts the places it is met (itself or under a view); a
// view's a, b are its bytes and c its buffer's node.
struct Node {
  Kind kind;
  std::uint8_t sub = 0;  // Codec, view kind, error name, sign, host kind
  std::uint32_t a = 0, b = 0, c = 0;
  union {
    double number;
    std::int64_t integer;
    Wide wide;
  };
};

// A property (key = escaped JSON text in the key arena) or an element (no key).
struct Child {
  std::uint32_t key_offset;
  std::uint32_t key_size;
  NodeId node;
};

class Reader;

// What a kView node's sub names: its JavaScript type, its element size and
// whether it is a DataView; a kError node's sub, the Error's name.
[[nodiscard]] std::string_view view_kind_name(std::uint8_t sub) noexcept;
[[nodiscard]] std::size_t view_element_size(std::uint8_t sub) noexcept;
[[nodiscard]] bool is_data_view(std::uint8_t sub) noexcept;
[[nodiscard]] std::string_view error_name(std::uint8_t sub) noexcept;
// A RegExp's flags (a kRegExp node's wide) as JavaScript spells them ("gi").
void append_regexp_flags(std::string& out, Wide bits);

// Reads and writes the host's own objects (Blink's blobs and files).
class Host {
 public:
  // Reads one host object whose bytes start at pos (after V8's host tag);
  // returns its node (false with reader.fail(...) on failure).
  virtual bool read(Reader& reader, std::size_t& pos, NodeId& result) = 0;
  // Writes the JSON form of a kHost node.
  virtual void write(std::string& out, const Reader& reader, const Node& node) = 0;

 protected:
  ~Host() = default;
};

// One value's decoding and writing. Keep one Reader and reuse it: its tables
// keep their capacity between values.
class Reader {
 public:
  // Decodes V8's header (when present at pos) and one value, then appends its
  // JSON form to out. On failure returns the reason; out may then hold part of
  // the value (callers roll back).
  [[nodiscard]] std::expected<void, std::string> append_json(std::string& out,
                                                             std::string_view data,
                                                             std::size_t pos, Host& host);

  // For host readers.
  [[nodiscard]] std::string_view data() const noexcept { return data_; }
  [[nodiscard]] bool varint(std::size_t& pos, Wide& value);
  bool fail(std::string reason);
  NodeId add(Kind kind);
  Node& node(NodeId id) noexcept { return nodes_[id]; }
  [[nodiscard]] const Node& node(NodeId id) const noexcept { return nodes_[id]; }
  // A kArray node of the given element nodes.
  NodeId add_array(const NodeId* elements, std::size_t count);
  // Writes a kString node's text (quoted).
  void write_string(std::string& out, const Node& node) const;

  // Whether append_json writes the values of typed arrays of integers (the
  // default); without them it counts their text's size where they would
  // be, so that a value fails exactly as it fails with them: for a caller
  // that builds the value from the nodes and wants only the verdict.
  void set_integer_values_written(bool written) noexcept { integer_values_written_ = written; }
  // Whether append_json writes strings (the default); without them it
  // counts each at the most its text can take (six bytes a byte, and its
  // quotes), so that a value that does not fail written does not fail
  // either; one that fails may not fail written, and is written to tell.
  void set_strings_written(bool written) noexcept { strings_written_ = written; }

  // The value append_json last wrote, as its nodes, for building it in
  // another form than JSON text (valid until the next value). A builder
  // visits it as the writing did: children in order, each shareable node
  // (kind kBytes and after) whole where it is first met and as a reference
  // to that place after.
  [[nodiscard]] NodeId root() const noexcept { return root_; }
  [[nodiscard]] std::span<const Child> children(std::uint32_t first, std::uint32_t count) const noexcept {
    return {children_.data() + first, count};
  }
  // A property's key as escaped JSON text, without its quotes.
  [[nodiscard]] std::string_view key(const Child& child) const noexcept {
    return std::string_view(keys_).substr(child.key_offset, child.key_size);
  }
  // Whether a kObject node is written wrapped in {"$object": ...}.
  [[nodiscard]] bool dollar_led(const Node& object) const noexcept;
  // Whether a kView node is written with its buffer ("buffer", "byte_offset",
  // "byte_length") rather than with its own bytes.
  [[nodiscard]] bool shares_buffer(const Node& view) const noexcept;
  // The "$ref" path of a node already written.
  void append_ref_path(std::string& out, NodeId id) { append_path(out, id); }
  // The JSON text written for an Error's message or stack (a field that
  // was written, so this cannot fail).
  bool append_error_field(std::string& out, NodeId id);
  // The JSON text of a kHost node.
  void write_host(std::string& out, const Node& node) const { host_->write(out, *this, node); }

 private:
  // Where a written value sits: its parent (the value it was written in)
  // and the step from there. A $ref's path is put together from these only
  // when it is written, so no path is ever stored whole.
  enum class Step : std::uint8_t { kNone, kRoot, kKey, kIndex, kMapKey, kMapValue, kCause, kBuffer };
  struct Place {
    NodeId parent = 0;
    Step step = Step::kNone;
    std::uint32_t key_offset = 0;  // kKey: the key's text in keys_
    std::uint32_t key_size = 0;
    std::uint32_t index = 0;  // kIndex, kMapKey, kMapValue
  };

  bool read_value(std::size_t& pos, NodeId& result);
  bool read_tagged(std::uint8_t tag, std::size_t& pos, NodeId& result);
  bool maybe_view(NodeId value, std::size_t& pos, NodeId& result);
  bool enter();
  bool frame();
  bool inner_string(std::size_t& pos, const char* problem, NodeId& result);
  bool properties(std::size_t& pos, std::uint8_t end_tag, std::size_t& count);
  bool key_text(NodeId key);
  bool read_object(std::size_t& pos, NodeId& result);
  bool read_dense(std::size_t& pos, NodeId& result);
  bool read_sparse(std::size_t& pos, NodeId& result);
  bool read_collection(std::size_t& pos, bool is_map, NodeId& result);
  bool read_error(std::size_t& pos, NodeId& result);
  bool read_bigint(std::size_t& pos, NodeId& result);
  std::uint32_t close_children(std::size_t mark);
  bool close_container(NodeId node, std::size_t mark, std::size_t count);
  std::size_t dedupe(std::size_t mark);
  bool normalize_sparse_keys(std::size_t mark);

  bool write(std::string& out, NodeId id, const Place& place);
  void append_path(std::string& out, NodeId id);
  bool write_error_field(std::string& out, NodeId id);
  bool write_raw(std::string& out, NodeId id, std::size_t depth);

  std::string_view data_;
  Host* host_ = nullptr;
  NodeId root_ = 0;
  Wide version_ = 0;
  std::size_t depth_ = 0;
  std::size_t frames_ = 0;
  std::size_t write_depth_ = 0;
  std::size_t raw_budget_ = 0;
  std::size_t out_start_ = 0;
  std::size_t unwritten_ = 0;  // bytes of values counted, not written
  bool integer_values_written_ = true;
  bool strings_written_ = true;
  std::size_t out_limit_ = 0;
  std::string error_;
  std::vector<Node> nodes_;
  std::vector<NodeId> objects_;   // by V8 id
  std::vector<Child> stack_;      // children of the containers being read
  std::vector<Child> children_;   // closed containers' children
  std::string keys_;              // key text
  std::vector<std::uint32_t> table_;  // dedupe hash table
  std::vector<Place> places_;     // per node: where it was first written
  std::vector<NodeId> chain_;     // a path's steps, while writing it
};

}  // namespace vostrel::chromium::v8
