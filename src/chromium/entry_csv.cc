#include "chromium/entry_csv.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "export/json_text.h"

namespace vostrel::chromium {
namespace {

constexpr std::string_view kColumns[] = {"store", "kind",  "type",   "origin",      "origin_raw", "key",
                                         "value", "seq",   "state",  "origin_file", "offset",     "error"};
constexpr std::size_t kStore = 0;
constexpr std::size_t kKey = 5;
constexpr std::size_t kValue = 6;

// Nesting deeper than Python's json module reads (its recursion limit) is
// copied as it is.
constexpr std::size_t kMaxDepth = 900;

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, std::uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// Reads JSON text as Python's json module does and writes it back the way
// json.dumps(..., ensure_ascii=False) does. Every read is bounds checked; on
// text that is not JSON it reports failure (the caller keeps the text).
class JsonRewriter {
 public:
  explicit JsonRewriter(std::string_view text) : text_(text) {}
  std::size_t pos = 0;

  // One value at pos, written to out.
  bool value(std::string& out, std::size_t depth) {
    if (pos >= text_.size()) return false;
    const char c = text_[pos];
    if (c == '"') return string(out, true);
    if (c == '{' || c == '[') {
      if (depth >= kMaxDepth) return copy_nested(out);
      return c == '{' ? object(out, depth) : array(out, depth);
    }
    if (c == '-' || (c >= '0' && c <= '9')) return number(out);
    for (const std::string_view word : {"true", "false", "null"}) {
      if (text_.substr(pos).starts_with(word)) {
        out += word;
        pos += word.size();
        return true;
      }
    }
    return false;
  }

  // A string at pos: as JSON text (`quoted`) or as its characters.
  bool string(std::string& out, bool quoted) {
    ++pos;  // the opening quote
    if (quoted) out.push_back('"');
    while (pos < text_.size()) {
      const char c = text_[pos];
      if (c == '"') {
        ++pos;
        if (quoted) out.push_back('"');
        return true;
      }
      if (c != '\\') {
        // A run of the string's own characters, copied whole; a control
        // character (JSON text holds none raw, but this is not trusted) alone.
        std::size_t end = pos;
        while (end < text_.size() && text_[end] != '"' && text_[end] != '\\' &&
               static_cast<unsigned char>(text_[end]) >= 0x20) {
          ++end;
        }
        if (end == pos) {
          append_code_point(out, static_cast<unsigned char>(c), quoted);
          ++pos;
          continue;
        }
        out.append(text_.substr(pos, end - pos));
        pos = end;
        continue;
      }
      if (text_.size() - pos < 2) return false;
      const char escape = text_[pos + 1];
      pos += 2;
      std::uint32_t unit = 0;
      switch (escape) {
        case '"': unit = '"'; break;
        case '\\': unit = '\\'; break;
        case '/': unit = '/'; break;
        case 'b': unit = '\b'; break;
        case 'f': unit = '\f'; break;
        case 'n': unit = '\n'; break;
        case 'r': unit = '\r'; break;
        case 't': unit = '\t'; break;
        case 'u': {
          if (!hex4(unit)) return false;
          // A high surrogate joins a low one escaped right after it.
          if (unit >= 0xD800 && unit < 0xDC00 && text_.substr(pos).starts_with("\\u")) {
            const std::size_t back = pos;
            pos += 2;
            std::uint32_t low = 0;
            if (hex4(low) && low >= 0xDC00 && low < 0xE000) {
              unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos = back;
            }
          }
          break;
        }
        default:
          return false;
      }
      append_code_point(out, unit, quoted);
    }
    return false;
  }

 private:
  bool hex4(std::uint32_t& unit) {
    if (text_.size() - pos < 4) return false;
    unit = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char h = text_[pos + i];
      unit <<= 4;
      if (h >= '0' && h <= '9') unit |= static_cast<std::uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') unit |= static_cast<std::uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') unit |= static_cast<std::uint32_t>(h - 'A' + 10);
      else return false;
    }
    pos += 4;
    return true;
  }

  static void append_code_point(std::string& out, std::uint32_t cp, bool quoted) {
    if (cp >= 0xD800 && cp < 0xE000) {
      append_u_escape(out, cp);  // a lone surrogate, as "backslashreplace" writes it
      return;
    }
    if (quoted) {
      switch (cp) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default:
          if (cp < 0x20) {
            append_u_escape(out, cp);
            return;
          }
      }
    }
    utf8::append(out, static_cast<char32_t>(cp));
  }

  // A number as Python reads it back: an integer as int (so "-0" is 0), any
  // other as float (repr, or Infinity once it overflows).
  bool number(std::string& out) {
    const std::size_t start = pos;
    bool integer = true;
    if (text_[pos] == '-') ++pos;
    const auto digits = [&] {
      const std::size_t from = pos;
      while (pos < text_.size() && text_[pos] >= '0' && text_[pos] <= '9') ++pos;
      return pos > from;
    };
    if (!digits()) return false;
    if (pos < text_.size() && text_[pos] == '.') {
      ++pos;
      integer = false;
      if (!digits()) return false;
    }
    bool negative_exponent = false;
    if (pos < text_.size() && (text_[pos] == 'e' || text_[pos] == 'E')) {
      ++pos;
      integer = false;
      if (pos < text_.size() && (text_[pos] == '+' || text_[pos] == '-')) negative_exponent = text_[pos++] == '-';
      if (!digits()) return false;
    }
    const std::string_view number = text_.substr(start, pos - start);
    if (integer) {
      out += number.find_first_not_of("-0") == std::string_view::npos ? "0" : number;
      return true;
    }
    const bool negative = number.starts_with('-');
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
      value = negative_exponent ? 0.0 : HUGE_VAL;
      if (negative) value = -value;
    } else if (error != std::errc() || end != number.data() + number.size()) {
      return false;
    }
    if (std::isinf(value)) {
      out += value < 0 ? "-Infinity" : "Infinity";
    } else {
      json::append_double(out, value);
    }
    return true;
  }

  bool separator(std::string_view expected) {
    if (!text_.substr(pos).starts_with(expected)) return false;
    pos += expected.size();
    return true;
  }

  bool array(std::string& out, std::size_t depth) {
    ++pos;
    out.push_back('[');
    if (separator("]")) {
      out.push_back(']');
      return true;
    }
    while (true) {
      if (!value(out, depth + 1)) return false;
      if (separator("]")) break;
      if (!separator(", ")) return false;
      out += ", ";
    }
    out.push_back(']');
    return true;
  }

  // An object; a key written twice keeps its first place and its last value,
  // as a Python dict built from the pairs does. Written in place, each
  // member's place remembered for the rare object that repeats a key.
  struct Member {
    std::size_t key;    // where its key starts in out
    std::size_t colon;  // where its ": " starts
    std::size_t end;    // where its value ends
  };

  bool object(std::string& out, std::size_t depth) {
    ++pos;
    if (separator("}")) {
      out += "{}";
      return true;
    }
    const std::size_t begin = out.size();
    std::vector<Member> members;
    out.push_back('{');
    while (true) {
      if (pos >= text_.size() || text_[pos] != '"') return false;
      if (!members.empty()) out += ", ";
      Member member{out.size(), 0, 0};
      if (!string(out, true) || !separator(": ")) return false;
      member.colon = out.size();
      out += ": ";
      if (!value(out, depth + 1)) return false;
      member.end = out.size();
      members.push_back(member);
      if (separator("}")) break;
      if (!separator(", ")) return false;
    }
    out.push_back('}');
    if (members.size() > 1) merge_repeated_keys(out, begin, members);
    return true;
  }

  static void merge_repeated_keys(std::string& out, std::size_t begin, const std::vector<Member>& members) {
    const auto key = [&](std::size_t i) {
      return std::string_view(out).substr(members[i].key, members[i].colon - members[i].key);
    };
    std::vector<std::size_t> order(members.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      const int c = key(a).compare(key(b));
      return c != 0 ? c < 0 : a < b;
    });
    // For each key's first member, the member whose value it takes; kNone
    // for the later ones, which are left out.
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> value_of(members.size(), kNone);
    bool repeated = false;
    for (std::size_t i = 0; i < order.size();) {
      std::size_t j = i + 1;
      while (j < order.size() && key(order[j]) == key(order[i])) ++j;
      value_of[order[i]] = order[j - 1];
      repeated = repeated || j - i > 1;
      i = j;
    }
    if (!repeated) return;
    std::string merged = "{";
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (value_of[i] == kNone) continue;
      if (merged.size() > 1) merged += ", ";
      merged += key(i);
      const Member& source = members[value_of[i]];
      merged += std::string_view(out).substr(source.colon, source.end - source.colon);
    }
    merged.push_back('}');
    out.replace(begin, std::string::npos, merged);
  }

  // A value nested too deeply, up to its matching bracket, as it is.
  bool copy_nested(std::string& out) {
    const std::size_t start = pos;
    if (!skip_nested()) return false;
    out.append(text_.substr(start, pos - start));
    return true;
  }

 public:
  // Steps over one value at pos without writing it: a string or a nested
  // value to its end, a number or word to the separator after it.
  bool skip() {
    if (pos >= text_.size()) return false;
    const char c = text_[pos];
    if (c == '"' || c == '{' || c == '[') return skip_nested();
    while (pos < text_.size() && text_[pos] != ',' && text_[pos] != '}' && text_[pos] != ']') ++pos;
    return true;
  }

 private:
  bool skip_nested() {
    std::size_t open = 0;
    bool in_string = false;
    for (; pos < text_.size(); ++pos) {
      const char c = text_[pos];
      if (in_string) {
        if (c == '\\') ++pos;
        else if (c == '"') in_string = false;
      } else if (c == '"') {
        in_string = true;
      } else if (c == '{' || c == '[') {
        ++open;
      } else if ((c == '}' || c == ']') && --open == 0) {
        ++pos;
        return true;
      }
      if (!in_string && open == 0) {  // a string alone
        ++pos;
        return true;
      }
    }
    return false;
  }

  std::string_view text_;
};

// A cell as the csv module writes it.
void append_cell(std::string& out, std::string_view cell) {
  bool quote = false;
  for (const char c : cell) quote = quote || c == ',' || c == '"' || c == '\n';
  if (!quote) {
    out += cell;
    return;
  }
  out.push_back('"');
  for (const char c : cell) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// The store's path as Python holds it (invalid bytes as lone surrogates),
// written as "backslashreplace" writes those.
void append_path_text(std::string& out, std::string_view path) {
  while (!path.empty()) {
    const utf8::Step step = utf8::next(path);
    if (step.valid) {
      out.append(path.substr(0, step.length));
    } else {
      for (std::size_t i = 0; i < step.length; ++i) {
        append_u_escape(out, 0xDC00 + static_cast<unsigned char>(path[i]));
      }
    }
    path.remove_prefix(step.length);
  }
}

// A plain column's text: str() of what json.loads gives ("" for null).
bool append_plain(std::string& out, std::string_view text) {
  JsonRewriter reader(text);
  if (text.starts_with('"')) return reader.string(out, false);
  if (text == "null") return true;
  if (text == "true" || text == "false") {
    out += text == "true" ? "True" : "False";
    return true;
  }
  return reader.value(out, 0);
}

}  // namespace

std::span<const std::string_view> csv_columns() noexcept { return kColumns; }

void append_csv_row(std::string& out, std::string_view line, std::string_view store) {
  // The spans of the columns' fields in the line (top level only).
  std::array<std::optional<std::string_view>, std::size(kColumns)> fields;
  JsonRewriter reader(line);
  if (line.starts_with('{')) {
    reader.pos = 1;
    std::string name;
    while (reader.pos < line.size() && line[reader.pos] == '"') {
      name.clear();
      if (!reader.string(name, false) || !line.substr(reader.pos).starts_with(": ")) break;
      reader.pos += 2;
      const std::size_t start = reader.pos;
      if (!reader.skip()) break;
      for (std::size_t i = 0; i < std::size(kColumns); ++i) {
        if (name == kColumns[i]) fields[i] = line.substr(start, reader.pos - start);
      }
      if (!line.substr(reader.pos).starts_with(", ")) break;
      reader.pos += 2;
    }
  }
  std::string cell;
  for (std::size_t i = 0; i < std::size(kColumns); ++i) {
    if (i != 0) out.push_back(',');
    cell.clear();
    if (i == kStore) {
      append_path_text(cell, store);
    } else if (fields[i]) {
      JsonRewriter field(*fields[i]);
      const bool written = i == kKey || i == kValue ? field.value(cell, 0) : append_plain(cell, *fields[i]);
      if (!written) cell.assign(*fields[i]);
    }
    append_cell(out, cell);
  }
  out.push_back('\n');
}

}  // namespace vostrel::chromium
