#include "chromium/v8_value.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "chromium/wide_varint.h"
#include "export/json_text.h"
#include "base/hex.h"
#include "base/utf8.h"

namespace vostrel::chromium::v8 {

using chromium::append_wide;  // wide_varint.h
using chromium::append_wide_hex;

namespace {

#include "chromium/unicode_digits.inc"

// Nodes every value has, at fixed ids: JavaScript's null (also what an
// Error's absent fields and a reference to a value still being read are),
// undefined, true and false.
constexpr NodeId kNullNode = 0;
constexpr NodeId kUndefinedNode = 1;
constexpr NodeId kTrueNode = 2;
constexpr NodeId kFalseNode = 3;

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;  // of the dedupe table

// Nesting the reader's recursion may reach. kMaxDepth containers take about
// three levels each; chains that nest without a container (a String object
// holding a String object, verify-count tags) stop here, where the stack of
// the Python decoder ran out under the `vostrel` command, with the reason that
// has always been reported for it. Each level counted as one of its frames:
// a value, an object's or array's body, its properties, an inner string, a
// host object.
constexpr std::size_t kMaxFrames = 984;
// Writing nests as deep as the value does, plus what references expand (an
// object dropped from its first place is written in full where it is met
// next).
constexpr std::size_t kMaxWriteDepth = 1000;

// The JSON of a value is a few times its size (escapes, digits of typed
// arrays), but $ref paths and an Error's message repeated as plain data can
// make it grow with the square of the size; a value whose JSON would pass
// this bound fails instead of exhausting memory.
constexpr std::size_t kOutputPerByte = 64;
constexpr std::size_t kOutputAllowance = std::size_t{1} << 20;

constexpr std::size_t kMaxIntDigits = 4300;  // what a decimal integer may have

enum : std::uint8_t {
  kPadding = 0x00, kVerifyCount = '?', kHole = '-', kUndefined = '_', kNull = '0', kTrue = 'T',
  kFalse = 'F', kInt32 = 'I', kUint32 = 'U', kDouble = 'N', kBigInt = 'Z', kUtf8 = 'S',
  kOneByte = '"', kTwoByte = 'c', kRef = '^', kObject = 'o', kEndObject = '{', kSparse = 'a',
  kEndSparse = '@', kDense = 'A', kEndDense = '$', kDate = 'D', kTrueObject = 'y',
  kFalseObject = 'x', kNumberObject = 'n', kBigIntObject = 'z', kStringObject = 's',
  kRegExp = 'R', kMap = ';', kEndMap = ':', kSet = '\'', kEndSet = ',', kArrayBuffer = 'B',
  kResizableArrayBuffer = '~', kView = 'V', kHostTag = '\\', kError = 'r', kVersion = 0xFF,
};

struct ViewKind {
  std::uint8_t tag;
  std::uint8_t size;
  std::string_view name;
};
constexpr ViewKind kViewKinds[] = {
    {'b', 1, "Int8Array"},    {'B', 1, "Uint8Array"},     {'C', 1, "Uint8ClampedArray"},
    {'w', 2, "Int16Array"},   {'W', 2, "Uint16Array"},    {'d', 4, "Int32Array"},
    {'D', 4, "Uint32Array"},  {'h', 2, "Float16Array"},   {'f', 4, "Float32Array"},
    {'F', 8, "Float64Array"}, {'q', 8, "BigInt64Array"},  {'Q', 8, "BigUint64Array"},
    {'?', 1, "DataView"},
};
constexpr std::uint8_t kDataView = 12;

constexpr std::string_view kErrorNames[] = {"Error", "EvalError", "RangeError",
                                            "ReferenceError", "SyntaxError", "TypeError",
                                            "URIError"};
constexpr char kErrorTags[] = "ERFSTU";  // after "Error", in kErrorNames' order

// RegExp flag bits, in the order JavaScript spells a RegExp's flags.
struct RegExpFlag {
  unsigned bit;
  char letter;
};
constexpr RegExpFlag kRegExpFlags[] = {{128, 'd'}, {1, 'g'}, {2, 'i'},   {4, 'm'}, {32, 's'},
                                       {16, 'u'},  {256, 'v'}, {8, 'y'}, {64, 'l'}};

// "0x" and at least two lower-case hex digits, as Python's f"0x{n:02x}".
void append_hex_number(std::string& out, Wide value) {
  out += value < 16 ? "0x0" : "0x";
  append_wide_hex(out, value);
}

// The decimal digits of a little-endian magnitude; false (writing nothing)
// when there are more than max_digits of them. Quadratic in the size, which
// max_digits bounds before any work is done.
bool append_decimal(std::string& out, const unsigned char* bytes, std::size_t size,
                    std::size_t max_digits = kMaxIntDigits) {
  while (size > 0 && bytes[size - 1] == 0) --size;
  if (size == 0) {
    out.push_back('0');
    return true;
  }
  // d digits need more than (d - 1) * log2(10) bits; 4301 digits, more than
  // 14284 bits, which 1786 bytes cannot hold.
  if (size > (max_digits * 3322 + 7999) / 8000 + 1) return false;
  std::vector<std::uint32_t> limbs((size + 3) / 4);
  std::size_t count = limbs.size();
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t limb = 0;
    for (std::size_t k = 0; k < 4 && 4 * i + k < size; ++k) {
      limb |= static_cast<std::uint32_t>(bytes[4 * i + k]) << (8 * k);
    }
    limbs[i] = limb;
  }
  // Base 10^9 chunks, least significant first.
  std::vector<std::uint32_t> chunks;
  chunks.reserve(size * 8 / 29 + 2);
  while (count > 0) {
    std::uint64_t rest = 0;
    for (std::size_t i = count; i-- > 0;) {
      std::uint64_t current = (rest << 32) | limbs[i];
      limbs[i] = static_cast<std::uint32_t>(current / 1000000000u);
      rest = current % 1000000000u;
    }
    chunks.push_back(static_cast<std::uint32_t>(rest));
    while (count > 0 && limbs[count - 1] == 0) --count;
  }
  const std::size_t chunk_count = chunks.size();
  std::size_t digits = 9 * (chunk_count - 1);
  for (std::uint32_t top = chunks[chunk_count - 1]; top != 0; top /= 10) ++digits;
  if (digits > max_digits) return false;
  std::size_t start = out.size();
  append_wide(out, chunks[chunk_count - 1]);
  for (std::size_t i = chunk_count - 1; i-- > 0;) {
    char piece[9];
    std::uint32_t chunk = chunks[i];
    for (int k = 8; k >= 0; --k) {
      piece[k] = static_cast<char>('0' + chunk % 10);
      chunk /= 10;
    }
    out.append(piece, 9);
  }
  (void)start;
  return true;
}

// A BigInt's magnitude as its $bigint text: decimal digits up to
// kMaxDecimalBigIntDigits, whatever Python's own int/str limit; beyond, "0x"
// and lower-case hex digits, which take linear time where decimal would take
// quadratic (V8 allows a billion bits). Written whole either way.
constexpr std::size_t kMaxDecimalBigIntDigits = 40000;

void append_bigint_magnitude(std::string& out, const unsigned char* bytes, std::size_t size) {
  if (append_decimal(out, bytes, size, kMaxDecimalBigIntDigits)) return;
  while (size > 0 && bytes[size - 1] == 0) --size;
  out += "0x";
  const auto top = bytes[size - 1];
  hex::append_digits(out, top, top >= 16 ? 2 : 1);
  for (std::size_t i = size - 1; i-- > 0;) hex::append_byte(out, bytes[i]);
}

// An integral double as Python's str(int(value)): every digit, exactly.
void append_integral_double(std::string& out, double value) {
  if (value < 0) {
    out.push_back('-');
    value = -value;
  }
  if (value < 9.2e18) {
    append_wide(out, static_cast<std::uint64_t>(value));
    return;
  }
  int exponent = 0;
  double fraction = std::frexp(value, &exponent);  // value = fraction * 2^exponent
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  int shift = exponent - 53;  // >= 10 here
  unsigned char bytes[8 + 1024 / 8 + 2] = {};
  std::size_t byte_shift = static_cast<std::size_t>(shift) / 8;
  unsigned bit_shift = static_cast<unsigned>(shift) % 8;
  Wide wide = static_cast<Wide>(mantissa) << bit_shift;
  for (std::size_t i = 0; i < 9; ++i) bytes[byte_shift + i] = static_cast<unsigned char>(wide >> (8 * i));
  append_decimal(out, bytes, byte_shift + 9);
}

double half_to_double(std::uint16_t half) {
  int exponent = (half >> 10) & 0x1F;
  int mantissa = half & 0x3FF;
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa ? std::nan("") : INFINITY;
  } else {
    value = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (half & 0x8000) ? -value : value;
}

template <typename T>
T load(const char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The code point starting at text[i] (valid UTF-8), advancing i.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const utf8::Step step = utf8::next(text.substr(i));
  i += step.length;
  return step.code_point;
}

// The digit value of a code point: 0-9 for a decimal digit, -1 for another
// digit (which int() refuses), -2 for anything else.
int digit_value(char32_t cp) {
  if (cp >= '0' && cp <= '9') return static_cast<int>(cp - '0');
  if (cp < 0x80) return -2;
  auto decimal = std::upper_bound(std::begin(kDecimalDigits), std::end(kDecimalDigits), cp,
                                  [](char32_t c, const DecimalRange& r) { return c < r.first; });
  if (decimal != std::begin(kDecimalDigits) && cp <= (decimal - 1)->last) {
    return static_cast<int>((decimal - 1)->value + (cp - (decimal - 1)->first));
  }
  auto other = std::upper_bound(std::begin(kOtherDigits), std::end(kOtherDigits), cp,
                                [](char32_t c, const DigitRange& r) { return c < r.first; });
  if (other != std::begin(kOtherDigits) && cp <= (other - 1)->last) return -1;
  return -2;
}

// The typed arrays whose elements are integers that fit a long: their
// values' text has a size told without writing it.
bool integer_view(std::uint8_t tag) {
  return tag == 'b' || tag == 'B' || tag == 'C' || tag == 'w' || tag == 'W' || tag == 'd' || tag == 'D';
}

std::size_t decimal_size(std::int64_t value) {
  std::size_t size = value < 0 ? 2 : 1;
  for (std::uint64_t rest = value < 0 ? 0 - static_cast<std::uint64_t>(value) : value; rest >= 10; rest /= 10) ++size;
  return size;
}

// The size of "v, v, ..." as the writer writes an integer view's values.
std::size_t integer_values_text_size(std::uint8_t tag, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t size = 0;
  std::size_t count = 0;
  switch (tag) {
    case 'b': for (; count < bytes.size(); ++count) size += decimal_size(load<std::int8_t>(p + count)); break;
    case 'B': case 'C':
      for (; count < bytes.size(); ++count) size += decimal_size(load<std::uint8_t>(p + count));
      break;
    case 'w': for (; 2 * count + 2 <= bytes.size(); ++count) size += decimal_size(load<std::int16_t>(p + 2 * count)); break;
    case 'W': for (; 2 * count + 2 <= bytes.size(); ++count) size += decimal_size(load<std::uint16_t>(p + 2 * count)); break;
    case 'd': for (; 4 * count + 4 <= bytes.size(); ++count) size += decimal_size(load<std::int32_t>(p + 4 * count)); break;
    default: for (; 4 * count + 4 <= bytes.size(); ++count) size += decimal_size(load<std::uint32_t>(p + 4 * count)); break;
  }
  return count > 0 ? size + 2 * (count - 1) : 0;
}

std::uint64_t hash_text(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

}  // namespace

void append_regexp_flags(std::string& out, Wide bits) {
  for (const RegExpFlag& flag : kRegExpFlags) {
    if (bits & flag.bit) out.push_back(flag.letter);
  }
}

std::string_view view_kind_name(std::uint8_t sub) noexcept { return kViewKinds[sub].name; }
std::size_t view_element_size(std::uint8_t sub) noexcept { return kViewKinds[sub].size; }
bool is_data_view(std::uint8_t sub) noexcept { return sub == kDataView; }
std::string_view error_name(std::uint8_t sub) noexcept { return kErrorNames[sub]; }

bool Reader::dollar_led(const Node& object) const noexcept {
  // A plain object whose first key starts with '$' would read as one of the
  // $-forms (each names itself by its first key), so it is wrapped.
  return object.b >= 1 && children_[object.a].key_size > 0 && keys_[children_[object.a].key_offset] == '$';
}

bool Reader::shares_buffer(const Node& view) const noexcept {
  // A view that shares its buffer (with another view, or the buffer is met
  // on its own too) or sees part of it.
  const Node& buffer = nodes_[view.c];
  return buffer.c != 1 || view.a != buffer.a || view.b != buffer.b;
}

bool Reader::append_error_field(std::string& out, NodeId id) {
  out_start_ = out.size();
  unwritten_ = 0;
  return write_error_field(out, id);
}

bool Reader::fail(std::string reason) {
  error_ = std::move(reason);
  return false;
}

bool Reader::varint(std::size_t& pos, Wide& value) {
  if (const char* problem = read_base128_varint(data_, pos, value)) return fail(problem);
  return true;
}

NodeId Reader::add(Kind kind) {
  Node& node = nodes_.emplace_back();
  node.kind = kind;
  node.wide = 0;
  return static_cast<NodeId>(nodes_.size() - 1);
}

NodeId Reader::add_array(const NodeId* elements, std::size_t count) {
  NodeId id = add(Kind::kArray);
  nodes_[id].a = static_cast<std::uint32_t>(children_.size());
  nodes_[id].b = static_cast<std::uint32_t>(count);
  for (std::size_t i = 0; i < count; ++i) children_.push_back({0, 0, elements[i]});
  return id;
}

bool Reader::enter() {
  if (++depth_ > kMaxDepth) return fail("values nested too deeply");
  return true;
}

bool Reader::frame() {
  if (++frames_ > kMaxFrames) return fail("value nested too deeply");
  return true;
}

std::uint32_t Reader::close_children(std::size_t mark) {
  auto first = static_cast<std::uint32_t>(children_.size());
  children_.insert(children_.end(), stack_.begin() + static_cast<std::ptrdiff_t>(mark),
                   stack_.end());
  stack_.resize(mark);
  return first;
}

// The end of an object, sparse array, Map or Set: the node's children are
// what was pushed since mark (count of them), and the container that
// frame() and enter() opened is left.
bool Reader::close_container(NodeId node, std::size_t mark, std::size_t count) {
  nodes_[node].a = close_children(mark);
  nodes_[node].b = static_cast<std::uint32_t>(count);
  --depth_;
  --frames_;
  return true;
}

// Keys set twice keep their first place and take the later value, as
// assigning into a dictionary does.
std::size_t Reader::dedupe(std::size_t mark) {
  std::size_t n = stack_.size() - mark;
  if (n < 2) return n;
  Child* c = stack_.data() + mark;
  const char* keys = keys_.data();
  auto same = [keys](const Child& x, const Child& y) {
    return x.key_size == y.key_size &&
           std::memcmp(keys + x.key_offset, keys + y.key_offset, x.key_size) == 0;
  };
  std::size_t kept = 0;
  if (n <= 16) {
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t j = 0;
      while (j < kept && !same(c[j], c[i])) ++j;
      if (j < kept) {
        c[j].node = c[i].node;
      } else {
        c[kept++] = c[i];
      }
    }
  } else {
    std::size_t capacity = std::bit_ceil(2 * n);
    table_.assign(capacity, kEmptySlot);
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t slot =
          hash_text({keys + c[i].key_offset, c[i].key_size}) & (capacity - 1);
      while (table_[slot] != kEmptySlot && !same(c[table_[slot]], c[i])) {
        slot = (slot + 1) & (capacity - 1);
      }
      if (table_[slot] != kEmptySlot) {
        c[table_[slot]].node = c[i].node;
      } else {
        table_[slot] = static_cast<std::uint32_t>(kept);
        c[kept++] = c[i];
      }
    }
  }
  stack_.resize(mark + kept);
  return kept;
}

// A sparse array's keys that are all digits are indices: written as the
// number they spell ("007" as "7"; other scripts' digits too). A key of
// digits that are not decimal ("²") fails as int() fails on it.
bool Reader::normalize_sparse_keys(std::size_t mark) {
  bool changed = false;
  for (std::size_t k = mark; k < stack_.size(); ++k) {
    Child& child = stack_[k];
    std::string_view text(keys_.data() + child.key_offset, child.key_size);
    if (text.empty()) continue;
    bool plain = text.size() == 1 || text[0] != '0';  // ASCII without a leading zero
    bool all_digits = true;
    bool all_decimal = true;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size();) {
      auto byte = static_cast<unsigned char>(text[i]);
      if (byte >= '0' && byte <= '9') {
        ++i;
        ++count;
        continue;
      }
      plain = false;
      int value = digit_value(next_code_point(text, i));
      ++count;
      if (value == -2) {
        all_digits = false;
        break;
      }
      if (value == -1) all_decimal = false;
    }
    if (!all_digits) continue;
    if (!all_decimal) {
      return fail("invalid literal for int() with base 10: '" + std::string(text) + "'");
    }
    if (count > kMaxIntDigits) {
      return fail("Exceeds the limit (4300 digits) for integer string conversion: value has " +
                  std::to_string(count) +
                  " digits; use sys.set_int_max_str_digits() to increase the limit");
    }
    if (plain) continue;  // already the number's own digits
    // Write the number's digits as a new key.
    std::size_t start = keys_.size();
    bool leading = true;
    for (std::size_t i = 0; i < child.key_size;) {
      std::string_view current(keys_.data() + child.key_offset, child.key_size);
      int value = digit_value(next_code_point(current, i));
      if (leading && value == 0) continue;
      leading = false;
      keys_.push_back(static_cast<char>('0' + value));
    }
    if (leading) keys_.push_back('0');
    child.key_offset = static_cast<std::uint32_t>(start);
    child.key_size = static_cast<std::uint32_t>(keys_.size() - start);
    changed = true;
  }
  if (changed) dedupe(mark);
  return true;
}

// The text of a property key read as a value: strings as they are, numbers
// as Python's str() of the integer, or repr() of a fractional double.
bool Reader::key_text(NodeId key) {
  const Node& node = nodes_[key];
  std::size_t start = keys_.size();
  switch (node.kind) {
    case Kind::kString:
      write_string(keys_, node);
      stack_.push_back({static_cast<std::uint32_t>(start + 1),
                        static_cast<std::uint32_t>(keys_.size() - start - 2), 0});
      return true;
    case Kind::kInt:
      json::append_int(keys_, node.integer);
      break;
    case Kind::kUint:
      append_wide(keys_, node.wide);
      break;
    case Kind::kDouble: {
      double value = node.number;
      if (std::isnan(value)) {
        keys_ += "nan";
      } else if (std::isinf(value)) {
        keys_ += value > 0 ? "inf" : "-inf";
      } else if (value == std::floor(value)) {
        append_integral_double(keys_, value == 0 ? 0.0 : value);
      } else {
        json::append_double(keys_, value);
      }
      break;
    }
    default:
      return fail("property key is neither a string nor a number");
  }
  stack_.push_back({static_cast<std::uint32_t>(start),
                    static_cast<std::uint32_t>(keys_.size() - start), 0});
  return true;
}

// Key/value pairs onto the stack until end_tag.
bool Reader::properties(std::size_t& pos, std::uint8_t end_tag, std::size_t& count) {
  if (!frame()) return false;
  std::size_t size = data_.size();
  count = 0;
  while (true) {
    if (pos >= size) return fail("data ends inside an object");
    auto tag = static_cast<std::uint8_t>(data_[pos]);
    if (tag == end_tag) {
      ++pos;
      --frames_;
      return true;
    }
    std::size_t key_index = stack_.size();
    if (tag == kOneByte) {  // the usual key
      ++pos;
      Wide length;
      if (!varint(pos, length)) return false;
      if (length > size - pos) return fail("data ends inside a property name");
      std::size_t start = keys_.size();
      json::append_latin1(keys_, data_.substr(pos, static_cast<std::size_t>(length)));
      pos += static_cast<std::size_t>(length);
      stack_.push_back({static_cast<std::uint32_t>(start + 1),
                        static_cast<std::uint32_t>(keys_.size() - start - 2), 0});
    } else {
      NodeId key;
      if (!read_value(pos, key) || !key_text(key)) return false;
    }
    NodeId value;
    if (!read_value(pos, value)) return false;
    stack_[key_index].node = value;
    ++count;
  }
}

bool Reader::read_value(std::size_t& pos, NodeId& result) {
  if (!frame()) return false;
  std::size_t size = data_.size();
  while (pos < size && data_[pos] == kPadding) ++pos;  // aligns two-byte strings
  if (pos >= size) return fail("data ends where a value should begin");
  auto tag = static_cast<std::uint8_t>(data_[pos++]);
  if (!read_tagged(tag, pos, result)) return false;
  --frames_;
  return true;
}

bool Reader::read_tagged(std::uint8_t tag, std::size_t& pos, NodeId& result) {
  std::size_t size = data_.size();
  Wide n;
  switch (tag) {
    case kOneByte:
    case kUtf8:
    case kTwoByte: {
      if (!varint(pos, n)) return false;
      if (n > size - pos || (tag == kTwoByte && (n & 1))) {
        return fail(tag == kOneByte  ? "data ends inside a string"
                    : tag == kUtf8   ? "data ends inside a value"
                                     : "bad two-byte string");
      }
      result = add(Kind::kString);
      Node& node = nodes_[result];
      node.sub = static_cast<std::uint8_t>(tag == kOneByte ? Codec::kLatin1
                                           : tag == kUtf8  ? Codec::kUtf8
                                                           : Codec::kUtf16);
      node.a = static_cast<std::uint32_t>(pos);
      node.b = static_cast<std::uint32_t>(n);
      pos += static_cast<std::size_t>(n);
      return true;
    }
    case kInt32: {
      if (!varint(pos, n)) return false;
      auto bits = static_cast<std::uint32_t>(n);
      result = add(Kind::kInt);
      nodes_[result].integer =
          static_cast<std::int64_t>(bits >> 1) ^ -static_cast<std::int64_t>(bits & 1);
      return true;
    }
    case kObject:
      return read_object(pos, result);
    case kDouble:
    case kDate:
    case kNumberObject: {
      std::size_t slot = objects_.size();
      if (tag == kNumberObject) objects_.push_back(kNullNode);
      if (size - pos < 8) {
        return fail(tag == kDouble ? "data ends inside a double"
                    : tag == kDate ? "data ends inside a Date"
                                   : "data ends inside a Number object");
      }
      result = add(tag == kDate ? Kind::kDate : Kind::kDouble);
      nodes_[result].number = load<double>(data_.data() + pos);
      pos += 8;
      if (tag == kDate) objects_.push_back(result);
      if (tag == kNumberObject) objects_[slot] = result;
      return true;
    }
    case kTrue: result = kTrueNode; return true;
    case kFalse: result = kFalseNode; return true;
    case kNull: result = kNullNode; return true;
    case kUndefined: result = kUndefinedNode; return true;
    case kDense:
      return read_dense(pos, result);
    case kRef: {
      if (!varint(pos, n)) return false;
      if (n >= objects_.size()) {
        std::string reason = "reference to unknown object ";
        append_wide(reason, n);
        return fail(std::move(reason));
      }
      const NodeId target = objects_[static_cast<std::size_t>(n)];
      if (nodes_[target].kind == Kind::kBytes) ++nodes_[target].c;  // a buffer met again
      return maybe_view(target, pos, result);
    }
    case kUint32:
      if (!varint(pos, n)) return false;
      result = add(Kind::kUint);
      nodes_[result].wide = n;
      return true;
    case kBigInt:
      return read_bigint(pos, result);
    case kSparse:
      return read_sparse(pos, result);
    case kMap:
    case kSet:
      return read_collection(pos, tag == kMap, result);
    case kArrayBuffer:
    case kResizableArrayBuffer: {
      if (!varint(pos, n)) return false;
      Wide max_length;  // of a resizable buffer: not part of the content
      if (tag == kResizableArrayBuffer && !varint(pos, max_length)) return false;
      if (n > size - pos) return fail("data ends inside a value");
      NodeId buffer = add(Kind::kBytes);
      nodes_[buffer].a = static_cast<std::uint32_t>(pos);
      nodes_[buffer].b = static_cast<std::uint32_t>(n);
      nodes_[buffer].c = 1;
      pos += static_cast<std::size_t>(n);
      objects_.push_back(buffer);
      return maybe_view(buffer, pos, result);
    }
    case kRegExp: {
      std::size_t slot = objects_.size();
      objects_.push_back(kNullNode);
      NodeId pattern;
      if (!inner_string(pos, "RegExp source is not a string", pattern)) return false;
      if (!varint(pos, n)) return false;
      result = add(Kind::kRegExp);
      nodes_[result].a = pattern;
      nodes_[result].wide = n;
      objects_[slot] = result;
      return true;
    }
    case kTrueObject:
    case kFalseObject:
      result = tag == kTrueObject ? kTrueNode : kFalseNode;
      objects_.push_back(result);
      return true;
    case kBigIntObject:
    case kStringObject: {
      std::size_t slot = objects_.size();
      objects_.push_back(kNullNode);
      bool ok = tag == kBigIntObject
                    ? read_bigint(pos, result)
                    : inner_string(pos, "String object does not hold a string", result);
      if (!ok) return false;
      objects_[slot] = result;
      return true;
    }
    case kError:
      return read_error(pos, result);
    case kVerifyCount:
      if (!varint(pos, n)) return false;
      return read_value(pos, result);
    case kVersion:
      return fail("a second version header inside the value");
    default:
      break;
  }
  // Before version 13 every tag V8 did not know belonged to the host, whose
  // own tag then stood alone.
  if (tag == kHostTag || version_ < 13) {
    if (tag != kHostTag) --pos;
    std::size_t slot = objects_.size();
    objects_.push_back(kNullNode);
    if (!frame() || !host_->read(*this, pos, result)) return false;
    --frames_;
    objects_[slot] = result;
    return true;
  }
  std::string reason = "unknown tag ";
  append_hex_number(reason, tag);
  reason += " at byte ";
  append_wide(reason, pos - 1);
  return fail(std::move(reason));
}

// An ArrayBuffer (or a reference to one) directly followed by 'V' is the
// backing store of a typed array or DataView, and the view is the value.
bool Reader::maybe_view(NodeId value, std::size_t& pos, NodeId& result) {
  std::size_t size = data_.size();
  if (pos >= size || static_cast<std::uint8_t>(data_[pos]) != kView ||
      nodes_[value].kind != Kind::kBytes) {
    result = value;
    return true;
  }
  ++pos;
  Wide tag, offset, length, flags;
  if (!varint(pos, tag) || !varint(pos, offset) || !varint(pos, length)) return false;
  if (version_ >= 14 && !varint(pos, flags)) return false;  // length-tracking, resizable
  std::size_t kind = 0;
  while (kind < std::size(kViewKinds) && kViewKinds[kind].tag != tag) ++kind;
  if (kind == std::size(kViewKinds)) {
    std::string reason = "unknown view type ";
    append_hex_number(reason, tag);
    return fail(std::move(reason));
  }
  const Node& buffer = nodes_[value];
  unsigned element = kViewKinds[kind].size;
  if (offset > buffer.b || length > buffer.b - offset || offset % element ||
      length % element) {
    return fail("view lies outside its buffer");
  }
  std::uint32_t start = buffer.a + static_cast<std::uint32_t>(offset);
  result = add(Kind::kView);
  nodes_[result].sub = static_cast<std::uint8_t>(kind);
  nodes_[result].a = start;
  nodes_[result].b = static_cast<std::uint32_t>(length);
  nodes_[result].c = value;
  objects_.push_back(result);
  return true;
}

// The string inside a RegExp or String object: before serializer version 12
// raw UTF-8 with a varint length, from 12 on a value of its own.
bool Reader::inner_string(std::size_t& pos, const char* problem, NodeId& result) {
  if (version_ < 12) {
    Wide length;
    if (!varint(pos, length)) return false;
    if (length > data_.size() - pos) return fail("data ends inside a value");
    result = add(Kind::kString);
    nodes_[result].sub = static_cast<std::uint8_t>(Codec::kUtf8);
    nodes_[result].a = static_cast<std::uint32_t>(pos);
    nodes_[result].b = static_cast<std::uint32_t>(length);
    pos += static_cast<std::size_t>(length);
    return true;
  }
  if (!frame() || !read_value(pos, result)) return false;
  --frames_;
  if (nodes_[result].kind != Kind::kString) return fail(problem);
  return true;
}

bool Reader::read_bigint(std::size_t& pos, NodeId& result) {
  Wide bitfield;
  if (!varint(pos, bitfield)) return false;
  auto length = static_cast<std::size_t>((bitfield >> 1) & 0x3FFFFFFF);
  if (length > data_.size() - pos) return fail("data ends inside a value");
  result = add(Kind::kBigInt);
  nodes_[result].sub = static_cast<std::uint8_t>(bitfield & 1);
  nodes_[result].a = static_cast<std::uint32_t>(pos);
  nodes_[result].b = static_cast<std::uint32_t>(length);
  pos += length;
  return true;
}

bool Reader::read_object(std::size_t& pos, NodeId& result) {
  if (!frame() || !enter()) return false;
  result = add(Kind::kObject);
  objects_.push_back(result);
  std::size_t mark = stack_.size();
  std::size_t count;
  if (!properties(pos, kEndObject, count)) return false;
  Wide expected;
  if (!varint(pos, expected)) return false;
  if (expected != count) return fail("object property count does not match");
  return close_container(result, mark, dedupe(mark));
}

bool Reader::read_dense(std::size_t& pos, NodeId& result) {
  std::size_t size = data_.size();
  Wide length;
  if (!varint(pos, length)) return false;
  if (length > size - pos) return fail("dense array longer than its data");  // >= 1 byte each
  if (!frame() || !enter()) return false;
  NodeId list = add(Kind::kArray);
  std::size_t slot = objects_.size();
  objects_.push_back(list);
  std::size_t mark = stack_.size();
  for (Wide i = 0; i < length; ++i) {
    NodeId element = kUndefinedNode;
    if (pos < size && static_cast<std::uint8_t>(data_[pos]) == kHole) {
      ++pos;
    } else if (!read_value(pos, element)) {
      return false;
    }
    stack_.push_back({0, 0, element});
  }
  std::size_t count;
  if (!properties(pos, kEndDense, count)) return false;
  Wide expected, expected_length;
  if (!varint(pos, expected) || !varint(pos, expected_length)) return false;
  if (expected != count || expected_length != length) {
    return fail("dense array counts do not match");
  }
  std::size_t named = dedupe(mark + static_cast<std::size_t>(length));
  std::uint32_t first = close_children(mark);
  nodes_[list].a = first;
  nodes_[list].b = static_cast<std::uint32_t>(length);
  result = list;
  if (named > 0) {
    // An array with named properties is a richer value than the list that
    // references taken inside it already point at; those keep the plain list.
    result = add(Kind::kJSArray);
    nodes_[result].a = first;
    nodes_[result].b = static_cast<std::uint32_t>(length);
    nodes_[result].c = static_cast<std::uint32_t>(named);
    objects_[slot] = result;
  }
  --depth_;
  --frames_;
  return true;
}

bool Reader::read_sparse(std::size_t& pos, NodeId& result) {
  Wide length;
  if (!varint(pos, length)) return false;
  if (!frame() || !enter()) return false;
  result = add(Kind::kSparse);
  nodes_[result].wide = length;
  objects_.push_back(result);
  std::size_t mark = stack_.size();
  std::size_t count;
  if (!properties(pos, kEndSparse, count)) return false;
  dedupe(mark);
  if (!normalize_sparse_keys(mark)) return false;
  Wide expected, expected_length;
  if (!varint(pos, expected) || !varint(pos, expected_length)) return false;
  if (expected != count || expected_length != length) {
    return fail("sparse array counts do not match");
  }
  return close_container(result, mark, stack_.size() - mark);
}

bool Reader::read_collection(std::size_t& pos, bool is_map, NodeId& result) {
  std::size_t size = data_.size();
  if (!frame() || !enter()) return false;
  result = add(is_map ? Kind::kMap : Kind::kSet);
  objects_.push_back(result);
  std::uint8_t end_tag = is_map ? kEndMap : kEndSet;
  std::size_t mark = stack_.size();
  std::size_t count = 0;
  while (true) {
    if (pos >= size) return fail("data ends inside a Map or Set");
    if (static_cast<std::uint8_t>(data_[pos]) == end_tag) {
      ++pos;
      break;
    }
    for (int part = 0; part < (is_map ? 2 : 1); ++part) {
      NodeId item;
      if (!read_value(pos, item)) return false;
      stack_.push_back({0, 0, item});
      ++count;
    }
  }
  Wide expected;
  if (!varint(pos, expected)) return false;
  if (expected != count) return fail("Map or Set length does not match");
  return close_container(result, mark, count);
}

bool Reader::read_error(std::size_t& pos, NodeId& result) {
  std::size_t slot = objects_.size();
  objects_.push_back(kNullNode);
  if (!frame() || !enter()) return false;
  std::uint8_t name = 0;
  NodeId fields[3] = {kNullNode, kNullNode, kNullNode};  // message, stack, cause
  while (true) {
    Wide sub;
    if (!varint(pos, sub)) return false;
    if (sub == '.') break;
    const char* known = sub < 128 ? std::strchr(kErrorTags, static_cast<int>(sub)) : nullptr;
    if (known != nullptr && sub != 0) {
      name = static_cast<std::uint8_t>(1 + (known - kErrorTags));
    } else if (sub == 'm' || sub == 's' || sub == 'c') {
      if (!read_value(pos, fields[sub == 'm' ? 0 : sub == 's' ? 1 : 2])) return false;
    } else {
      std::string reason = "unknown Error field ";
      append_hex_number(reason, sub);
      return fail(std::move(reason));
    }
  }
  result = add(Kind::kError);
  Node& node = nodes_[result];
  node.sub = name;
  node.a = fields[0];
  node.b = fields[1];
  node.c = fields[2];
  objects_[slot] = result;
  --depth_;
  --frames_;
  return true;
}

void Reader::write_string(std::string& out, const Node& node) const {
  std::string_view bytes = data_.substr(node.a, node.b);
  switch (static_cast<Codec>(node.sub)) {
    case Codec::kLatin1: json::append_latin1(out, bytes); break;
    case Codec::kUtf16: json::append_utf16(out, bytes, false); break;
    case Codec::kUtf8: json::append_utf8_replace(out, bytes); break;
  }
}

// ---------------------------------------------------------------------------
// Writing

// An Error's message and stack are written as the plain data they hold, not
// in the $-forms: text (what V8 writes), null, or for damaged data whatever
// plain JSON the value has (a list for an array, Map, RegExp or Error; an
// object's keys and values). What plain JSON has no form for (undefined,
// dates, buffers, blobs, NaN) cannot be written.
bool Reader::write_error_field(std::string& out, NodeId id) {
  const Node& node = nodes_[id];
  if (node.kind == Kind::kString) {
    write_string(out, node);
    return true;
  }
  raw_budget_ = 100000 + data_.size();
  return write_raw(out, id, 0);
}

bool Reader::write_raw(std::string& out, NodeId id, std::size_t depth) {
  if (depth > kMaxWriteDepth) return fail("value nested too deeply");
  if (out.size() + unwritten_ - out_start_ > out_limit_) return fail("value too large to write");
  if (raw_budget_ == 0) return fail("cannot be written as JSON: value too large");
  --raw_budget_;
  const Node& node = nodes_[id];
  auto not_serializable = [this](const char* type) {
    return fail(std::string("cannot be written as JSON: Object of type ") + type +
                " is not JSON serializable");
  };
  auto finite = [this, &out](double value) {
    if (!std::isfinite(value)) {
      return fail("cannot be written as JSON: Out of range float values are not JSON compliant");
    }
    json::append_double(out, value);
    return true;
  };
  auto list = [&](std::uint32_t first, std::uint32_t count, std::uint32_t step) {
    out.push_back('[');
    for (std::uint32_t i = 0; i < count; i += step) {
      if (i > 0) out += ", ";
      if (step == 2) out.push_back('[');
      for (std::uint32_t k = 0; k < step; ++k) {
        if (k > 0) out += ", ";
        if (!write_raw(out, children_[first + i + k].node, depth + 1)) return false;
      }
      if (step == 2) out.push_back(']');
    }
    out.push_back(']');
    return true;
  };
  switch (node.kind) {
    case Kind::kNull: out += "null"; return true;
    case Kind::kTrue: out += "true"; return true;
    case Kind::kFalse: out += "false"; return true;
    case Kind::kInt: json::append_int(out, node.integer); return true;
    case Kind::kUint: append_wide(out, node.wide); return true;
    case Kind::kDouble: return finite(node.number);
    case Kind::kString: write_string(out, node); return true;
    case Kind::kBigInt: {
      std::size_t sign_at = out.size();
      if (node.sub & 1) out.push_back('-');
      std::size_t digits_at = out.size();
      if (!append_decimal(out, reinterpret_cast<const unsigned char*>(data_.data() + node.a),
                          node.b)) {
        return fail("cannot be written as JSON: Exceeds the limit (4300 digits) for integer "
                    "string conversion; use sys.set_int_max_str_digits() to increase the limit");
      }
      if (out.size() == digits_at + 1 && out.back() == '0') out.erase(sign_at, digits_at - sign_at);
      return true;
    }
    case Kind::kDate: {
      std::int64_t micros;
      std::string probe;
      if (json::js_time_to_unix_microseconds(node.number, micros) &&
          json::append_utc_time(probe, micros)) {
        return not_serializable("datetime");
      }
      return finite(node.number);  // an invalid date is its time value
    }
    case Kind::kUndefined: return not_serializable("_Undefined");
    case Kind::kBytes: return not_serializable("bytes");
    case Kind::kHost: return not_serializable("BlobRef");
    case Kind::kView:
      out += "[\"";
      out += kViewKinds[node.sub].name;
      out += "\", ";
      return not_serializable("bytes");
    case Kind::kRegExp:
      out.push_back('[');
      write_string(out, nodes_[node.a]);
      out += ", \"";
      append_regexp_flags(out, node.wide);
      out += "\"]";
      return true;
    case Kind::kError:
      out += "[\"";
      out += kErrorNames[node.sub];
      out += "\"";
      for (NodeId field : {node.a, node.b, node.c}) {
        out += ", ";
        if (!write_raw(out, field, depth + 1)) return false;
      }
      out.push_back(']');
      return true;
    case Kind::kObject:
    case Kind::kSparse:
      out.push_back('{');
      for (std::uint32_t i = 0; i < node.b; ++i) {
        const Child child = children_[node.a + i];
        if (i > 0) out += ", ";
        out.push_back('"');
        out.append(keys_, child.key_offset, child.key_size);
        out += "\": ";
        if (!write_raw(out, child.node, depth + 1)) return false;
      }
      out.push_back('}');
      return true;
    case Kind::kArray:
    case Kind::kJSArray:
    case Kind::kSet:
      return list(node.a, node.b, 1);
    case Kind::kMap:
      return list(node.a, node.b, 2);
  }
  return true;
}

// The path of a written value: "$", then per step from the top "/key"
// (escaped as a JSON Pointer step), "/index", "/n/0" or "/n/1" (a Map
// entry's key or value), "/cause", or "/buffer" (a view's buffer).
void Reader::append_path(std::string& out, NodeId id) {
  chain_.clear();
  for (NodeId at = id; places_[at].step != Step::kRoot; at = places_[at].parent) {
    chain_.push_back(at);
  }
  out.push_back('$');
  for (auto at = chain_.rbegin(); at != chain_.rend(); ++at) {
    const Place& place = places_[*at];
    out.push_back('/');
    switch (place.step) {
      case Step::kKey:
        // A JSON Pointer step (RFC 6901): '~' and '/' inside a key are
        // written "~0" and "~1", so a key holding '/' is one step.
        for (char c : std::string_view(keys_).substr(place.key_offset, place.key_size)) {
          if (c == '~') {
            out += "~0";
          } else if (c == '/') {
            out += "~1";
          } else {
            out.push_back(c);
          }
        }
        break;
      case Step::kCause: out += "cause"; break;
      case Step::kBuffer: out += "buffer"; break;
      default:
        append_wide(out, place.index);
        if (place.step != Step::kIndex) out += place.step == Step::kMapKey ? "/0" : "/1";
        break;
    }
  }
}

bool Reader::write(std::string& out, NodeId id, const Place& place) {
  const Node& node = nodes_[id];
  switch (node.kind) {
    case Kind::kNull: out += "null"; return true;
    case Kind::kUndefined: out += "{\"$undefined\": true}"; return true;
    case Kind::kTrue: out += "true"; return true;
    case Kind::kFalse: out += "false"; return true;
    case Kind::kInt: json::append_int(out, node.integer); return true;
    case Kind::kUint: append_wide(out, node.wide); return true;
    case Kind::kDouble: json::append_number(out, node.number); return true;
    case Kind::kString:
      if (!strings_written_) {
        unwritten_ += 6 * std::size_t{node.b} + 2;
        return true;
      }
      write_string(out, node);
      return true;
    case Kind::kBigInt: {
      out += "{\"$bigint\": \"";
      if (node.sub & 1) out.push_back('-');
      std::size_t sign_at = out.size();
      append_bigint_magnitude(out, reinterpret_cast<const unsigned char*>(data_.data() + node.a), node.b);
      if (out.size() == sign_at + 1 && out.back() == '0' && (node.sub & 1)) {
        out.erase(sign_at - 1, 1);  // -0 is 0
      }
      out += "\"}";
      return true;
    }
    case Kind::kDate:
      json::append_js_date(out, node.number);
      return true;
    case Kind::kRegExp: {
      out += "{\"$regexp\": ";
      write_string(out, nodes_[node.a]);
      out += ", \"flags\": \"";
      append_regexp_flags(out, node.wide);
      out += "\"}";
      return true;
    }
    default:
      break;
  }
  // A value that may be met again: a reference once it has a place.
  if (out.size() + unwritten_ - out_start_ > out_limit_) return fail("value too large to write");
  if (places_[id].step != Step::kNone) {
    out += "{\"$ref\": \"";
    append_path(out, id);
    out += "\"}";
    return true;
  }
  places_[id] = place;
  if (++write_depth_ > kMaxWriteDepth) return fail("value nested too deeply");

  auto keyed = [&](std::uint32_t first, std::uint32_t count) {
    out.push_back('{');
    for (std::uint32_t i = 0; i < count; ++i) {
      const Child child = children_[first + i];
      if (i > 0) out += ", ";
      out.push_back('"');
      out.append(keys_, child.key_offset, child.key_size);
      out += "\": ";
      if (!write(out, child.node, {id, Step::kKey, child.key_offset, child.key_size, 0})) {
        return false;
      }
    }
    out.push_back('}');
    return true;
  };
  auto listed = [&](std::uint32_t first, std::uint32_t count) {
    out.push_back('[');
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i > 0) out += ", ";
      if (!write(out, children_[first + i].node, {id, Step::kIndex, 0, 0, i})) return false;
    }
    out.push_back(']');
    return true;
  };

  bool ok = true;
  switch (node.kind) {
    case Kind::kBytes:
      out += "{\"$bytes\": ";
      json::append_base64(out, data_.substr(node.a, node.b));
      out.push_back('}');
      break;
    case Kind::kObject:
      if (dollar_led(node)) {
        out += "{\"$object\": ";
        ok = keyed(node.a, node.b);
        out.push_back('}');
      } else {
        ok = keyed(node.a, node.b);
      }
      break;
    case Kind::kArray:
      ok = listed(node.a, node.b);
      break;
    case Kind::kJSArray:
      out += "{\"$array\": ";
      ok = listed(node.a, node.b);
      if (ok) {
        out += ", \"properties\": ";
        ok = keyed(node.a + node.b, node.c);
        out.push_back('}');
      }
      break;
    case Kind::kSparse:
      out += "{\"$sparse_array\": ";
      ok = keyed(node.a, node.b);
      out += ", \"length\": ";
      append_wide(out, node.wide);
      out.push_back('}');
      break;
    case Kind::kMap:
      out += "{\"$map\": [";
      for (std::uint32_t i = 0; ok && i < node.b; i += 2) {
        if (i > 0) out += ", ";
        out.push_back('[');
        ok = write(out, children_[node.a + i].node, {id, Step::kMapKey, 0, 0, i / 2});
        out += ", ";
        ok = ok && write(out, children_[node.a + i + 1].node, {id, Step::kMapValue, 0, 0, i / 2});
        out.push_back(']');
      }
      out += "]}";
      break;
    case Kind::kSet:
      out += "{\"$set\": ";
      ok = listed(node.a, node.b);
      out.push_back('}');
      break;
    case Kind::kView: {
      const ViewKind& kind = kViewKinds[node.sub];
      std::string_view bytes = data_.substr(node.a, node.b);
      const Node& buffer = nodes_[node.c];
      if (shares_buffer(node)) {
        // The buffer once, where it is first met, and where the view lies in it.
        out += "{\"$typed_array\": \"";
        out += kind.name;
        out += "\", \"buffer\": ";
        ok = write(out, node.c, {id, Step::kBuffer, 0, 0, 0});
        out += ", \"byte_offset\": ";
        append_wide(out, node.a - buffer.a);
        out += ", \"byte_length\": ";
        append_wide(out, node.b);
        out.push_back('}');
        break;
      }
      if (node.sub == kDataView) {
        out += "{\"$data_view\": ";
        json::append_base64(out, bytes);
        out.push_back('}');
        break;
      }
      out += "{\"$typed_array\": \"";
      out += kind.name;
      out += "\", \"values\": [";
      const char* p = bytes.data();
      if (!integer_values_written_ && integer_view(kind.tag)) {
        unwritten_ += integer_values_text_size(kind.tag, bytes);
        out += "]}";
        break;
      }
      for (std::size_t i = 0; i + kind.size <= bytes.size(); i += kind.size) {
        if (i > 0) out += ", ";
        switch (kind.tag) {
          case 'b': json::append_int(out, load<std::int8_t>(p + i)); break;
          case 'B': case 'C': json::append_int(out, load<std::uint8_t>(p + i)); break;
          case 'w': json::append_int(out, load<std::int16_t>(p + i)); break;
          case 'W': json::append_int(out, load<std::uint16_t>(p + i)); break;
          case 'd': json::append_int(out, load<std::int32_t>(p + i)); break;
          case 'D': json::append_int(out, load<std::uint32_t>(p + i)); break;
          case 'h': json::append_number(out, half_to_double(load<std::uint16_t>(p + i))); break;
          case 'f': json::append_number(out, load<float>(p + i)); break;
          case 'F': json::append_number(out, load<double>(p + i)); break;
          case 'q':
            out.push_back('"');
            json::append_int(out, load<std::int64_t>(p + i));
            out.push_back('"');
            break;
          default:
            out.push_back('"');
            json::append_uint(out, load<std::uint64_t>(p + i));
            out.push_back('"');
            break;
        }
      }
      out += "]}";
      break;
    }
    case Kind::kError:
      out += "{\"$error\": \"";
      out += kErrorNames[node.sub];
      out += "\", \"message\": ";
      ok = node.a == kNullNode ? (out += "null", true) : write_error_field(out, node.a);
      if (ok && node.b != kNullNode) {
        out += ", \"stack\": ";
        ok = write_error_field(out, node.b);
      }
      if (ok && node.c != kNullNode) {
        out += ", \"cause\": ";
        ok = write(out, node.c, {id, Step::kCause, 0, 0, 0});
      }
      out.push_back('}');
      break;
    case Kind::kHost:
      host_->write(out, *this, node);
      break;
    default:
      break;
  }
  --write_depth_;
  return ok;
}

std::expected<void, std::string> Reader::append_json(std::string& out, std::string_view data,
                                                     std::size_t pos, Host& host) {
  if (data.size() >= 0xFFFFFFFFu) return std::unexpected("value too large");
  data_ = data;
  host_ = &host;
  version_ = 0;
  depth_ = 0;
  frames_ = 0;
  write_depth_ = 0;
  nodes_.clear();
  objects_.clear();
  stack_.clear();
  children_.clear();
  keys_.clear();
  for (Kind kind : {Kind::kNull, Kind::kUndefined, Kind::kTrue, Kind::kFalse}) add(kind);
  if (pos < data.size() && static_cast<std::uint8_t>(data[pos]) == kVersion) {
    ++pos;
    if (!varint(pos, version_)) return std::unexpected(std::move(error_));
  }
  NodeId root;
  if (!read_value(pos, root)) return std::unexpected(std::move(error_));
  root_ = root;
  places_.assign(nodes_.size(), Place{});
  out_start_ = out.size();
  unwritten_ = 0;
  out_limit_ = kOutputPerByte * data.size() + kOutputAllowance;
  if (!write(out, root, Place{0, Step::kRoot, 0, 0, 0})) return std::unexpected(std::move(error_));
  return {};
}

}  // namespace vostrel::chromium::v8
