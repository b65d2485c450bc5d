#include "chromium_values.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <datetime.h>

#include "base/utf8.h"
#include "chromium/wide_varint.h"
#include "export/json_text.h"

namespace vostrel::bindings {

namespace v8 = chromium::v8;
using v8::Kind;
using v8::Node;

namespace {

constexpr char kMark = '\x01';  // around a built value's number in a line

enum : std::uint8_t { kUnseen, kBuilding, kBuilt };

PyObject* new_reference(PyObject* object) {
  Py_INCREF(object);
  return object;
}

// Calls callable with the arguments, taking (stealing) each; nullptr when
// one is nullptr or the call raises.
template <class... Args>
PyObject* call_taking(PyObject* callable, Args... args) {
  PyObject* items[] = {args...};
  bool all = true;
  for (PyObject* item : items) all = all && item != nullptr;
  PyObject* result = all ? PyObject_Vectorcall(callable, items, sizeof...(Args), nullptr) : nullptr;
  for (PyObject* item : items) Py_XDECREF(item);
  return result;
}

PyObject* bytes_of(std::string_view bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// The datetime of "YYYY-MM-DDTHH:MM:SS.mmmZ" (the form every "$date" the
// writers write takes), as datetime.fromisoformat makes it (UTC as
// datetime.timezone.utc itself); nullptr without an error for another text.
PyObject* utc_datetime(std::string_view text) {
  static constexpr std::string_view kShape = "0000-00-00T00:00:00.000Z";
  if (text.size() != kShape.size()) return nullptr;
  int fields[7] = {};
  int field = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] != '0') {
      if (text[i] != kShape[i]) return nullptr;
      ++field;
      continue;
    }
    if (text[i] < '0' || text[i] > '9') return nullptr;
    fields[field] = fields[field] * 10 + (text[i] - '0');
  }
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) return nullptr;
  }
  return PyDateTimeAPI->DateTime_FromDateAndTime(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                                                 fields[6] * 1000, PyDateTime_TimeZone_UTC,
                                                 PyDateTimeAPI->DateTimeType);
}

PyObject* int_of_text(std::string text) { return PyLong_FromString(text.c_str(), nullptr, 10); }

PyObject* wide_int(chromium::Wide value) {
  if (value <= UINT64_MAX) return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
  std::string text;
  chromium::append_wide(text, value);
  return int_of_text(std::move(text));
}

// The str of a JSON string's content (between its quotes) as json.loads
// reads it: escapes undone, an escaped surrogate pair joined, a lone one
// kept.
PyObject* json_string(std::string_view text) {
  if (text.find('\\') == std::string_view::npos) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  }
  std::u32string points;
  points.reserve(text.size());
  auto hex4 = [&](std::size_t at, char32_t& unit) {
    if (text.size() - at < 4) return false;
    unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[at + k];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      unit = unit * 16 + static_cast<char32_t>(digit);
    }
    return true;
  };
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c != '\\') {
      const utf8::Step step = utf8::next(text.substr(i));
      points.push_back(step.valid ? step.code_point : 0xFFFD);
      i += step.length > 0 ? step.length : 1;
      continue;
    }
    if (i + 1 >= text.size()) break;
    const char e = text[i + 1];
    i += 2;
    switch (e) {
      case 'b': points.push_back('\b'); break;
      case 'f': points.push_back('\f'); break;
      case 'n': points.push_back('\n'); break;
      case 'r': points.push_back('\r'); break;
      case 't': points.push_back('\t'); break;
      case 'u': {
        char32_t unit = 0;
        if (!hex4(i, unit)) break;
        i += 4;
        char32_t low = 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && text.size() - i >= 6 && text[i] == '\\' && text[i + 1] == 'u' &&
            hex4(i + 2, low) && low >= 0xDC00 && low <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        points.push_back(unit);
        break;
      }
      default: points.push_back(static_cast<unsigned char>(e)); break;
    }
  }
  return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(), static_cast<Py_ssize_t>(points.size()));
}

}  // namespace

// ---------------------------------------------------------------------------
// The lines' JSON

// Reads one line's JSON into Python values as json.loads does, the built
// values put in at their marks, and the value fields that hold "$"-forms
// of their own turned into Python values by from_json.
class EntryReader {
 public:
  EntryReader(ChromiumValues& values, std::string_view text) : values_(values), text_(text) {}

  // level 0: an entry; 1: its journal; 2: a record in the journal.
  PyObject* value(int level = -1) {
    skip_space();
    if (at_ >= text_.size()) return malformed();
    const char c = text_[at_];
    if (c == '{') return object(level);
    if (c == '[') return array();
    if (c == '"') return string();
    if (c == kMark) return built();
    if (literal("true")) return new_reference(Py_True);
    if (literal("false")) return new_reference(Py_False);
    if (literal("null")) return new_reference(Py_None);
    return number();
  }

  bool at_end() {
    skip_space();
    return at_ == text_.size();
  }

 private:
  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' ||
                                  text_[at_] == '\r')) {
      ++at_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool take(char c) {
    skip_space();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  PyObject* malformed() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "malformed entry line");
    return nullptr;
  }

  // Whether the string at the position (at its opening quote) is `known`,
  // a text without a backslash: then the position goes past it. (The
  // same text followed by a quote is that string whole: no escape in it
  // can hide its closing quote. Entries repeat their names and most of
  // their texts, and this spares the search for the quote.)
  bool take_known(std::string_view known) {
    if (text_.size() - at_ < known.size() + 2 || text_[at_ + 1 + known.size()] != '"' ||
        std::memcmp(text_.data() + at_ + 1, known.data(), known.size()) != 0) {
      return false;
    }
    at_ += known.size() + 2;
    return true;
  }

  // A string's content (between its quotes), the position after it, and
  // whether it holds an escape.
  bool string_text(std::string_view& content, bool& escaped) {
    const std::size_t start = ++at_;
    // The closing quote is the first one not escaped: found by memchr, and
    // walked to byte by byte only when a backslash comes before it.
    const char* base = text_.data();
    const void* quote = std::memchr(base + at_, '"', text_.size() - at_);
    if (quote == nullptr) return false;
    std::size_t end = static_cast<std::size_t>(static_cast<const char*>(quote) - base);
    escaped = std::memchr(base + at_, '\\', end - at_) != nullptr;
    if (escaped) {
      while (at_ < text_.size() && text_[at_] != '"') at_ += text_[at_] == '\\' ? 2 : 1;
      if (at_ >= text_.size()) return false;
      end = at_;
    }
    at_ = end;
    content = text_.substr(start, at_++ - start);
    return true;
  }

  PyObject* string() {
    std::string_view content;
    bool escaped = false;
    if (!string_text(content, escaped)) return malformed();
    return escaped ? json_string(content) : values_.text(content);
  }

  PyObject* number() {
    const std::size_t start = at_;
    {
      // Most are integers of up to 19 digits (within 64 bits): read as
      // they are scanned.
      std::size_t i = at_;
      const bool negative = i < text_.size() && text_[i] == '-';
      if (negative) ++i;
      const std::size_t digits = i;
      unsigned long long number = 0;
      for (; i < text_.size() && i - digits < 19 && text_[i] >= '0' && text_[i] <= '9'; ++i) {
        number = number * 10 + static_cast<unsigned>(text_[i] - '0');
      }
      const char next = i < text_.size() ? text_[i] : ' ';
      const bool whole = i > digits && !(next >= '0' && next <= '9') && next != '.' && next != 'e' &&
                         next != 'E' && next != '-' && next != '+';
      if (whole && (!negative || number <= 1ull << 63)) {
        at_ = i;
        return negative ? PyLong_FromLongLong(static_cast<long long>(0 - number))
                        : PyLong_FromUnsignedLongLong(number);
      }
    }
    bool integral = true;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '.' || c == 'e' || c == 'E') {
        integral = false;
      } else if (!(c == '-' || c == '+' || (c >= '0' && c <= '9'))) {
        break;
      }
      ++at_;
    }
    if (at_ == start) return malformed();
    const std::string_view text = text_.substr(start, at_ - start);
    const std::string digits(text);
    if (integral) return int_of_text(digits);
    const double parsed = PyOS_string_to_double(digits.c_str(), nullptr, nullptr);
    if (parsed == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(parsed);
  }

  PyObject* built() {
    const std::size_t end = text_.find(kMark, at_ + 1);
    if (end == std::string_view::npos) return malformed();
    std::size_t index = 0;
    for (std::size_t i = at_ + 1; i < end; ++i) index = index * 10 + static_cast<std::size_t>(text_[i] - '0');
    at_ = end + 1;
    if (index >= values_.values_.size() || values_.values_[index] == nullptr) return malformed();
    return std::exchange(values_.values_[index], nullptr);
  }

  // Nesting is bounded as json's own reader bounds it: the interpreter's
  // recursion limit, with its RecursionError (a stored JSON document may
  // nest as deep as its size allows).
  PyObject* array() {
    if (Py_EnterRecursiveCall(" while decoding a JSON array from a unicode string") != 0) return nullptr;
    PyObject* list = array_items();
    Py_LeaveRecursiveCall();
    return list;
  }

  PyObject* array_items() {
    ++at_;
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    if (take(']')) return list;
    do {
      PyObject* item = value();
      if (item == nullptr || PyList_Append(list, item) != 0) {
        Py_XDECREF(item);
        Py_DECREF(list);
        return nullptr;
      }
      Py_DECREF(item);
    } while (take(','));
    if (!take(']')) {
      Py_DECREF(list);
      return malformed();
    }
    return list;
  }

  PyObject* object(int level) {
    if (Py_EnterRecursiveCall(" while decoding a JSON object from a unicode string") != 0) return nullptr;
    PyObject* dict = members(level);
    Py_LeaveRecursiveCall();
    return dict;
  }

  // The first `count` members of dict, in a dict of their own (dict is
  // taken).
  static PyObject* first_members(PyObject* dict, Py_ssize_t count) {
    PyObject* head = PyDict_New();
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; head != nullptr && i < count && PyDict_Next(dict, &at, &key, &item); ++i) {
      if (PyDict_SetItem(head, key, item) != 0) Py_CLEAR(head);
    }
    Py_DECREF(dict);
    return head;
  }

  PyObject* members(int level) {
    ++at_;
    // An entry of a run of its kind and type starts as a copy of the run's
    // shape (ChromiumValues::Shape), kept while its names come as the
    // shape's do, in order; a member whose value is the shape's is then
    // already in place. Any other has a dozen fields or so: room for them
    // from the start.
    ChromiumValues::Shape& shape = values_.shape_;
    const std::string_view head = level == 0 ? ChromiumValues::shape_head(text_) : std::string_view();
    bool shaped = level == 0 && shape.dict != nullptr && shape.head == head;
    const bool in_run = level == 0 && shape.last_head == head;
    bool stale = false;  // a text differs from the shape's
    PyObject* dict = shaped ? PyDict_Copy(shape.dict) : level == 0 ? _PyDict_NewPresized(16) : PyDict_New();
    if (dict == nullptr) return nullptr;
    if (take('}')) return shaped && PyDict_GET_SIZE(dict) != 0 ? first_members(dict, 0) : dict;
    bool first = true;
    bool form = false;  // a "$"-led object, in a field that holds JavaScript values
    std::size_t member = 0;
    do {
      skip_space();
      if (at_ >= text_.size() || text_[at_] != '"') {
        Py_DECREF(dict);
        return malformed();
      }
      ChromiumValues::LastMember* last = nullptr;
      if (level == 0 && member < ChromiumValues::kLastMembers) {
        last = &ChromiumValues::last_members()[member];
      }
      ++member;
      std::string_view name;
      bool escaped = false;
      PyObject* key = nullptr;
      if (last != nullptr && last->key != nullptr && take_known(last->name)) {
        name = last->name;
        key = new_reference(last->key);
      } else if (!string_text(name, escaped)) {
        Py_DECREF(dict);
        return malformed();
      } else {
        if (escaped) last = nullptr;
        key = escaped ? json_string(name) : values_.text(name);
        if (last != nullptr && key != nullptr) {
          last->name.assign(name);
          Py_XSETREF(last->key, new_reference(key));
          Py_CLEAR(last->value);
        }
      }
      if (key != nullptr && first && reviving_ && PyUnicode_GET_LENGTH(key) > 0 &&
          PyUnicode_READ_CHAR(key, 0) == '$') {
        form = true;
        ++forms_;
      }
      first = false;
      if (key == nullptr || !take(':')) {
        Py_XDECREF(key);
        Py_DECREF(dict);
        return malformed();
      }
      skip_space();
      const bool repeats = last != nullptr && at_ < text_.size() && text_[at_] == '"' && name != "key" &&
                           name != "value" && name != "primary_key";
      PyObject* item = repeats ? last_string(*last) : field(level, name);
      if (shaped && item != nullptr) {
        if (member <= shape.members.size() && shape.members[member - 1].first == key) {
          const bool same = shape.members[member - 1].second == item;
          stale = stale || (!same && PyUnicode_CheckExact(item));
          const bool ok = same || PyDict_SetItem(dict, key, item) == 0;
          Py_DECREF(key);
          Py_DECREF(item);
          if (!ok) {
            Py_DECREF(dict);
            return nullptr;
          }
          continue;
        }
        shaped = false;
        dict = first_members(dict, static_cast<Py_ssize_t>(member) - 1);
      }
      if (item == nullptr || dict == nullptr || PyDict_SetItem(dict, key, item) != 0) {
        Py_XDECREF(key);
        Py_XDECREF(item);
        Py_XDECREF(dict);
        return nullptr;
      }
      Py_DECREF(key);
      Py_DECREF(item);
    } while (take(','));
    if (!take('}')) {
      Py_DECREF(dict);
      return malformed();
    }
    if (level == 0) {
      if (shaped && member != shape.members.size()) {  // the shape has more names
        shaped = false;
        dict = first_members(dict, static_cast<Py_ssize_t>(member));
        if (dict == nullptr) return nullptr;
      }
      // The shape of a run is made at its second entry.
      if (shaped ? stale && !values_.refresh(dict) : in_run && !values_.reshape(head, dict)) {
        Py_DECREF(dict);
        return nullptr;
      }
      shape.last_head.assign(head);
    }
    // The outermost form of a field becomes its Python value, what it
    // holds with it (from_json of a form depends on nothing around it).
    if (form && --forms_ == 0) return values_.revive_form(dict);
    return dict;
  }

  // An entry's string member: the last entry's at its place when the same.
  PyObject* last_string(ChromiumValues::LastMember& last) {
    if (last.value != nullptr && take_known(last.text)) return new_reference(last.value);
    std::string_view content;
    bool escaped = false;
    if (!string_text(content, escaped)) return malformed();
    if (escaped) return json_string(content);
    PyObject* item = values_.text(content);
    if (item != nullptr) {
      last.text.assign(content);
      Py_XSETREF(last.value, new_reference(item));
    }
    return item;
  }

  // A member's value: in an entry (or a record of its journal) the fields
  // that hold JavaScript values have their "$"-forms revived.
  PyObject* field(int level, std::string_view name) {
    if (level < 0) return value();
    if (level == 0 && name == "journal") return value(1);
    if (level == 1) return value(name == "entry" || name == "begin" || name == "end" ? 2 : -1);
    if (name == "key" || name == "value" || name == "primary_key") {
      reviving_ = true;
      PyObject* item = value();
      reviving_ = false;
      return item;
    }
    return value();
  }

  ChromiumValues& values_;
  std::string_view text_;
  std::size_t at_ = 0;
  bool reviving_ = false;  // in a field that holds JavaScript values
  std::size_t forms_ = 0;  // "$"-led objects open
};

// ---------------------------------------------------------------------------
// The values

ChromiumValues::~ChromiumValues() {
  clear();
  Py_XDECREF(shape_.dict);
  for (PyObject* type : {undefined_, big_int_, js_date_, array_buffer_, reg_exp_, js_map_, js_set_, js_array_,
                         sparse_array_, typed_array_, js_error_, from_json_, date_, b64decode_, nan_, infinity_,
                         minus_infinity_, properties_name_, error_type_, error_value_, error_traceback_}) {
    Py_XDECREF(type);
  }
  for (PyObject* name : view_names_) Py_XDECREF(name);
}

bool ChromiumValues::load(PyObject* types) {
  if (!PyDict_Check(types)) {
    PyErr_SetString(PyExc_TypeError, "values must be a dict of the value types");
    return false;
  }
  struct Slot {
    const char* name;
    PyObject** target;
  };
  const Slot slots[] = {
      {"UNDEFINED", &undefined_}, {"BigInt", &big_int_},     {"JSDate", &js_date_},
      {"ArrayBuffer", &array_buffer_}, {"RegExp", &reg_exp_}, {"JSMap", &js_map_},
      {"JSSet", &js_set_},        {"JSArray", &js_array_},   {"SparseArray", &sparse_array_},
      {"TypedArray", &typed_array_}, {"JSError", &js_error_}, {"from_json", &from_json_},
      {"date", &date_},           {"b64decode", &b64decode_}, {"NaN", &nan_},            {"Infinity", &infinity_},
      {"-Infinity", &minus_infinity_},
  };
  for (const Slot& slot : slots) {
    PyObject* type = PyDict_GetItemString(types, slot.name);
    if (type == nullptr) {
      PyErr_Format(PyExc_KeyError, "values lacks %s", slot.name);
      return false;
    }
    Py_XDECREF(*slot.target);
    *slot.target = new_reference(type);
  }
  for (std::uint8_t sub = 0; sub < 13; ++sub) {
    const std::string_view name = v8::view_kind_name(sub);
    view_names_[sub] = PyUnicode_InternFromString(std::string(name).c_str());
    if (view_names_[sub] == nullptr) return false;
  }
  properties_name_ = PyUnicode_InternFromString("properties");
  return properties_name_ != nullptr;
}

ChromiumValues::LastMember* ChromiumValues::last_members() {
  // Kept for the life of the process, as the remembered str objects.
  static LastMember* const members = new LastMember[kLastMembers];
  return members;
}

PyObject* ChromiumValues::text(std::string_view json) {
  if (json.size() > kLongestRemembered) return json_string(json);
  // A hash of the size and the first and last eight bytes: cheap, and what
  // tells the repeated names, origins and file paths apart (the slot's text
  // is compared whole anyway).
  std::uint64_t head = 0, tail = 0;
  std::memcpy(&head, json.data(), std::min<std::size_t>(json.size(), 8));
  if (json.size() > 8) std::memcpy(&tail, json.data() + json.size() - 8, 8);
  std::uint64_t hash = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ json.size();
  hash ^= hash >> 32;
  // Kept for the life of the process (never freed: the interpreter may be
  // gone when static objects are destroyed).
  struct Remembered {
    std::string text;
    PyObject* object = nullptr;
  };
  static Remembered* const remembered = new Remembered[kRemembered];
  Remembered& slot = remembered[(hash ^ (hash >> 13)) & (kRemembered - 1)];
  if (slot.object != nullptr && slot.text == json) return new_reference(slot.object);
  PyObject* object = json_string(json);
  if (object == nullptr) return nullptr;
  Py_XSETREF(slot.object, new_reference(object));
  slot.text.assign(json);
  return object;
}

std::string_view ChromiumValues::shape_head(std::string_view line) {
  // The line to the end of its second member: {"kind": "...", "type": "..."
  constexpr std::string_view kEnd = "\", ";
  const std::size_t kind = line.find(kEnd);
  const std::size_t type = kind == std::string_view::npos ? kind : line.find(kEnd, kind + kEnd.size());
  return line.substr(0, type);
}

bool ChromiumValues::reshape(std::string_view head, PyObject* entry) {
  // Only the values that hold nothing: the shape is never handed out (each
  // entry gets a copy of it) and never holds what an entry holds, so it is
  // part of no cycle (the iterator is not followed by the collector).
  PyObject* dict = PyDict_New();
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t at = 0;
  while (dict != nullptr && PyDict_Next(entry, &at, &key, &item)) {
    const bool atomic = PyUnicode_CheckExact(item) || PyLong_CheckExact(item) || PyFloat_CheckExact(item) ||
                        PyBool_Check(item) || item == Py_None;
    if (PyDict_SetItem(dict, key, atomic ? item : Py_None) != 0) Py_CLEAR(dict);
  }
  if (dict == nullptr) return false;
  Py_XSETREF(shape_.dict, dict);
  shape_.head.assign(head);
  shape_.members.clear();
  at = 0;
  while (PyDict_Next(dict, &at, &key, &item)) shape_.members.emplace_back(key, item);
  return true;
}

bool ChromiumValues::refresh(PyObject* entry) {
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t at = 0;
  for (std::size_t i = 0; PyDict_Next(entry, &at, &key, &item); ++i) {
    if (item == shape_.members[i].second || !PyUnicode_CheckExact(item)) continue;
    if (PyDict_SetItem(shape_.dict, key, item) != 0) return false;
    shape_.members[i].second = item;
  }
  return true;
}

PyObject* ChromiumValues::revive(PyObject* value) {
  if (PyDict_CheckExact(value)) {
    PyObject* key = nullptr;
    Py_ssize_t at = 0;
    if (PyDict_Next(value, &at, &key, nullptr) && PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '$') {
      return revive_form(value);
    }
    return revive_members(value);
  }
  if (PyList_CheckExact(value)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      PyObject* revived = revive(new_reference(PyList_GET_ITEM(value, i)));
      if (revived == nullptr) {
        Py_DECREF(value);
        return nullptr;
      }
      PyList_SetItem(value, i, revived);
    }
  }
  return value;
}

PyObject* ChromiumValues::revive_members(PyObject* dict) {
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  Py_ssize_t at = 0;
  while (PyDict_Next(dict, &at, &key, &item)) {
    PyObject* revived = revive(new_reference(item));
    // Replacing a key's value keeps the dict's size and order.
    if (revived == nullptr || PyDict_SetItem(dict, key, revived) != 0) {
      Py_XDECREF(revived);
      Py_DECREF(dict);
      return nullptr;
    }
    Py_DECREF(revived);
  }
  return dict;
}

PyObject* ChromiumValues::revive_form(PyObject* form) {
  // The forms every IndexedDB journal, Service Worker registration and many
  // documents hold: binary data, a moment, and a plain object led by a "$"
  // key (its members revived, the object itself never taken as a form).
  if (PyDict_GET_SIZE(form) == 1) {
    PyObject* moment = PyDict_GetItemString(form, "$date");
    if (moment != nullptr && PyUnicode_Check(moment)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(moment, &size);
      PyObject* result = text != nullptr ? utc_datetime(std::string_view(text, static_cast<std::size_t>(size))) : nullptr;
      if (result == nullptr && !PyErr_Occurred()) result = call_taking(date_, new_reference(moment));
      Py_DECREF(form);
      return result;
    }
    PyObject* payload = PyDict_GetItemString(form, "$bytes");
    if (payload != nullptr && PyUnicode_Check(payload)) {
      PyObject* result = call_taking(array_buffer_, call_taking(b64decode_, new_reference(payload)));
      Py_DECREF(form);
      return result;
    }
    payload = PyDict_GetItemString(form, "$object");
    if (payload != nullptr && PyDict_CheckExact(payload)) {
      PyObject* result = revive_members(new_reference(payload));
      Py_DECREF(form);
      return result;
    }
  }
  return call_taking(from_json_, form, new_reference(Py_False));
}

void ChromiumValues::clear() {
  for (PyObject* value : values_) Py_XDECREF(value);
  values_.clear();
}

void ChromiumValues::restore_error() {
  PyErr_Restore(error_type_, error_value_, error_traceback_);
  error_type_ = error_value_ = error_traceback_ = nullptr;
}

void ChromiumValues::take(v8::Reader& reader, std::string& out) {
  PyObject* value = nullptr;
  if (!failed()) {
    reader_ = &reader;
    built_.clear();
    state_.clear();
    value = build(reader.root());
    reader_ = nullptr;
    if (value == nullptr) PyErr_Fetch(&error_type_, &error_value_, &error_traceback_);
  }
  if (value == nullptr) {
    out += "null";
    return;
  }
  out.push_back(kMark);
  chromium::append_wide(out, values_.size());
  out.push_back(kMark);
  values_.push_back(value);
}

PyObject* ChromiumValues::entry(std::string_view line) {
  EntryReader reader(*this, line);
  PyObject* entry = reader.value(0);
  if (entry != nullptr && !reader.at_end()) {
    Py_DECREF(entry);
    PyErr_SetString(PyExc_ValueError, "malformed entry line");
    return nullptr;
  }
  return entry;
}

PyObject* ChromiumValues::plain_json(std::string_view text) {
  EntryReader reader(*this, text);
  return reader.value();
}

PyObject* ChromiumValues::number(double value) {
  if (std::isnan(value)) return new_reference(nan_);
  if (std::isinf(value)) return new_reference(value > 0 ? infinity_ : minus_infinity_);
  return PyFloat_FromDouble(value);
}

PyObject* ChromiumValues::build_string(const Node& node) {
  const std::string_view bytes = reader_->data().substr(node.a, node.b);
  if (static_cast<v8::Codec>(node.sub) == v8::Codec::kLatin1) {
    return PyUnicode_DecodeLatin1(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  }
  // UTF-16 and UTF-8 as their JSON text reads back (pairs joined, lone
  // surrogates kept, invalid UTF-8 replaced as the writer replaces it).
  scratch_.clear();
  reader_->write_string(scratch_, node);
  return json_string(std::string_view(scratch_).substr(1, scratch_.size() - 2));
}

PyObject* ChromiumValues::build_date(double ms) {
  std::int64_t micros = 0;
  scratch_.clear();
  if (json::js_time_to_unix_microseconds(ms, micros) && json::append_utc_time(scratch_, micros)) {
    const std::string_view text = std::string_view(scratch_).substr(1, scratch_.size() - 2);
    if (PyObject* moment = utc_datetime(text)) return moment;
    if (PyErr_Occurred()) return nullptr;
    return call_taking(date_, json_string(text));
  }
  return call_taking(js_date_, number(ms));
}

PyObject* ChromiumValues::build(NodeId id) {
  const Node& node = reader_->node(id);
  switch (node.kind) {
    case Kind::kNull: return new_reference(Py_None);
    case Kind::kUndefined: return new_reference(undefined_);
    case Kind::kTrue: return new_reference(Py_True);
    case Kind::kFalse: return new_reference(Py_False);
    case Kind::kInt: return PyLong_FromLongLong(node.integer);
    case Kind::kUint: return wide_int(node.wide);
    case Kind::kDouble: return number(node.number);
    case Kind::kString: return build_string(node);
    case Kind::kBigInt: {
      PyObject* magnitude = _PyLong_FromByteArray(
          reinterpret_cast<const unsigned char*>(reader_->data().data() + node.a), node.b, 1, 0);
      if (magnitude != nullptr && (node.sub & 1)) {
        PyObject* negative = PyNumber_Negative(magnitude);
        Py_DECREF(magnitude);
        magnitude = negative;
      }
      return call_taking(big_int_, magnitude);
    }
    case Kind::kDate: return build_date(node.number);
    case Kind::kRegExp: {
      scratch_.clear();
      v8::append_regexp_flags(scratch_, node.wide);
      PyObject* flags = PyUnicode_FromStringAndSize(scratch_.data(), static_cast<Py_ssize_t>(scratch_.size()));
      return call_taking(reg_exp_, build_string(reader_->node(node.a)), flags);
    }
    default: break;
  }
  if (built_.size() <= id) {
    built_.resize(id + 1, nullptr);
    state_.resize(id + 1, kUnseen);
  }
  if (state_[id] == kBuilt || (state_[id] == kBuilding && built_[id] != nullptr)) return new_reference(built_[id]);
  if (state_[id] == kBuilding) {
    // A reference to a value that cannot exist before what it holds (an
    // Error through its cause): it stays the reference it was written as.
    scratch_.clear();
    reader_->append_ref_path(scratch_, id);
    PyObject* dict = PyDict_New();
    PyObject* path = json_string(scratch_);
    if (dict == nullptr || path == nullptr || PyDict_SetItemString(dict, "$ref", path) != 0) {
      Py_XDECREF(dict);
      Py_XDECREF(path);
      return nullptr;
    }
    Py_DECREF(path);
    return dict;
  }
  state_[id] = kBuilding;
  PyObject* object = build_shared(id, node);
  state_[id] = kBuilt;
  built_[id] = object;
  return object;
}

PyObject* ChromiumValues::build_shared(NodeId id, const Node& node) {
  // Containers exist before what they hold (which may refer back to them).
  auto begun = [&](PyObject* object) {
    built_[id] = object;
    return object;
  };
  auto fill_list = [&](PyObject* list, std::uint32_t first, std::uint32_t count) {
    for (const v8::Child& child : reader_->children(first, count)) {
      PyObject* item = build(child.node);
      if (item == nullptr || PyList_Append(list, item) != 0) {
        Py_XDECREF(item);
        return false;
      }
      Py_DECREF(item);
    }
    return true;
  };
  // Properties as dict items; a sparse array's keys of ASCII digits are ints.
  auto fill_dict = [&](PyObject* dict, std::uint32_t first, std::uint32_t count, bool indices) {
    for (const v8::Child& child : reader_->children(first, count)) {
      const std::string_view text = reader_->key(child);
      PyObject* key = nullptr;
      if (indices && !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
        key = int_of_text(std::string(text));
      } else {
        key = text.find('\\') == std::string_view::npos ? this->text(text) : json_string(text);
      }
      PyObject* item = key != nullptr ? build(child.node) : nullptr;
      const bool ok = item != nullptr && PyDict_SetItem(dict, key, item) == 0;
      Py_XDECREF(key);
      Py_XDECREF(item);
      if (!ok) return false;
    }
    return true;
  };
  auto done = [](PyObject* object, bool ok) {
    if (ok) return object;
    Py_XDECREF(object);
    return static_cast<PyObject*>(nullptr);
  };
  PyObject* object = nullptr;
  switch (node.kind) {
    case Kind::kBytes:
      return call_taking(array_buffer_, bytes_of(reader_->data().substr(node.a, node.b)));
    case Kind::kObject:
      object = begun(PyDict_New());
      return done(object, object != nullptr && fill_dict(object, node.a, node.b, false));
    case Kind::kArray:
      object = begun(PyList_New(0));
      return done(object, object != nullptr && fill_list(object, node.a, node.b));
    case Kind::kJSArray: {
      object = begun(PyObject_CallNoArgs(js_array_));
      PyObject* properties = object != nullptr && fill_list(object, node.a, node.b) ? PyDict_New() : nullptr;
      const bool ok = properties != nullptr && fill_dict(properties, node.a + node.b, node.c, false) &&
                      PyObject_SetAttr(object, properties_name_, properties) == 0;
      Py_XDECREF(properties);
      return done(object, ok);
    }
    case Kind::kSparse:
      object = begun(call_taking(sparse_array_, wide_int(node.wide)));
      return done(object, object != nullptr && fill_dict(object, node.a, node.b, true));
    case Kind::kSet:
      object = begun(PyObject_CallNoArgs(js_set_));
      return done(object, object != nullptr && fill_list(object, node.a, node.b));
    case Kind::kMap: {
      object = begun(PyObject_CallNoArgs(js_map_));
      bool ok = object != nullptr;
      const auto children = reader_->children(node.a, node.b);
      for (std::size_t i = 0; ok && i + 1 < children.size(); i += 2) {
        PyObject* key = build(children[i].node);
        PyObject* item = key != nullptr ? build(children[i + 1].node) : nullptr;
        PyObject* pair = item != nullptr ? PyTuple_Pack(2, key, item) : nullptr;
        ok = pair != nullptr && PyList_Append(object, pair) == 0;
        Py_XDECREF(key);
        Py_XDECREF(item);
        Py_XDECREF(pair);
      }
      return done(object, ok);
    }
    case Kind::kView: return build_view(id, node);
    case Kind::kError: return build_error(node);
    case Kind::kHost: {
      // Blink's blobs and files: what the store says of them, through
      // their JSON form.
      scratch_.clear();
      reader_->write_host(scratch_, node);
      return call_taking(from_json_, plain_json(scratch_), new_reference(Py_False));
    }
    default: break;
  }
  return new_reference(Py_None);
}

PyObject* ChromiumValues::build_view(NodeId, const Node& node) {
  const std::string_view bytes = reader_->data().substr(node.a, node.b);
  PyObject* kind = new_reference(view_names_[node.sub]);
  if (reader_->shares_buffer(node)) {
    PyObject* buffer = build(node.c);
    if (buffer == nullptr) {
      Py_DECREF(kind);
      return nullptr;
    }
    const std::size_t offset = node.a - reader_->node(node.c).a;
    return call_taking(typed_array_, kind, bytes_of(bytes), buffer, PyLong_FromSize_t(offset));
  }
  if (v8::is_data_view(node.sub)) return call_taking(typed_array_, kind, bytes_of(bytes));
  // Whole elements only; a NaN as the one NaN the values' Python floats
  // pack back to.
  const std::size_t size = v8::view_element_size(node.sub);
  std::string data(bytes.substr(0, bytes.size() - bytes.size() % size));
  const std::string_view name = v8::view_kind_name(node.sub);
  if (name.starts_with("Float")) {
    const double nan = PyFloat_AS_DOUBLE(nan_);
    for (std::size_t i = 0; i < data.size(); i += size) {
      char* at = data.data() + i;
      if (size == 2) {
        const auto half = static_cast<std::uint16_t>(static_cast<unsigned char>(at[0]) |
                                                     static_cast<unsigned char>(at[1]) << 8);
        if ((half & 0x7C00) == 0x7C00 && (half & 0x3FF) != 0) PyFloat_Pack2(nan, at, 1);
      } else if (size == 4) {
        float value;
        std::memcpy(&value, at, 4);
        if (std::isnan(value)) PyFloat_Pack4(nan, at, 1);
      } else {
        double value;
        std::memcpy(&value, at, 8);
        if (std::isnan(value)) PyFloat_Pack8(nan, at, 1);
      }
    }
  }
  return call_taking(typed_array_, kind, bytes_of(data));
}

PyObject* ChromiumValues::build_error(const Node& node) {
  // The message and stack as the plain JSON they were written as; the
  // cause as a value.
  auto field = [&](NodeId id) -> PyObject* {
    if (id == 0) return new_reference(Py_None);
    const Node& text = reader_->node(id);
    if (text.kind == Kind::kString) return build_string(text);
    scratch_.clear();
    if (!reader_->append_error_field(scratch_, id)) {
      PyErr_SetString(PyExc_ValueError, "an Error's field cannot be written");
      return nullptr;
    }
    return plain_json(scratch_);
  };
  PyObject* name = PyUnicode_FromStringAndSize(v8::error_name(node.sub).data(),
                                               static_cast<Py_ssize_t>(v8::error_name(node.sub).size()));
  PyObject* message = name != nullptr ? field(node.a) : nullptr;
  PyObject* stack = message != nullptr ? field(node.b) : nullptr;
  PyObject* cause = stack == nullptr ? nullptr : node.c != 0 ? build(node.c) : new_reference(Py_None);
  if (cause == nullptr) {
    Py_XDECREF(name);
    Py_XDECREF(message);
    Py_XDECREF(stack);
    return nullptr;
  }
  return call_taking(js_error_, name, message, stack, cause);
}

}  // namespace vostrel::bindings
