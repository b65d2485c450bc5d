#include "export/json_text.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "export/byte_encoding.h"
#include "base/hex.h"
#include "base/utf8.h"

namespace vostrel::json {
namespace {

void append_escape_u(std::string& out, char32_t c) {
  out += "\\u";
  hex::append_digits(out, c, 4);
}

// The escape json.dumps writes for an ASCII byte, or 0 when it writes the byte
// itself; 'u' for \u00xx.
constexpr std::array<char, 128> kAsciiEscapes = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['\b'] = 'b';
  table['\f'] = 'f';
  return table;
}();

// A byte below 0x80 that JSON escapes, written as its escape.
void append_ascii_escape(std::string& out, unsigned char byte) {
  const char escape = kAsciiEscapes[byte];
  if (escape == 'u') {
    append_escape_u(out, byte);
  } else {
    out += '\\';
    out += escape;
  }
}

// Eight bytes at a time, as one word: whether any of them is below 0x20, a
// quote or a backslash (the bytes an escape may start at), or any is 0x80 or
// above.
constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighs = 0x8080808080808080;

std::uint64_t word_at(std::string_view text, std::size_t i) noexcept {
  std::uint64_t word;
  std::memcpy(&word, text.data() + i, sizeof word);
  return word;
}

// Bytes equal to `c` (a byte below 0x80) in a word of bytes below 0x80 get their high bit set.
constexpr std::uint64_t equal_bytes(std::uint64_t word, unsigned char c) noexcept {
  const std::uint64_t x = word ^ (kOnes * c);
  return ~(((x & ~kHighs) + ~kHighs) | x) & kHighs;
}

bool needs_escape_in(std::uint64_t word) noexcept {
  const std::uint64_t ascii = word & ~kHighs;
  const std::uint64_t below_space = (ascii - kOnes * 0x20) & ~word & kHighs;
  return (below_space | equal_bytes(ascii, '"') | equal_bytes(ascii, '\\')) & ~(word & kHighs);
}

// Where, from `i` on, the next byte is that a JSON string cannot hold as it
// is (below 0x20, a quote, a backslash), or, with kStopAtHigh, the next byte
// of 0x80 or above (a character to check or re-encode); text.size() if none.
// Text is mostly long runs of plain characters, passed over sixteen bytes at
// a time where the processor has SSE2 (every x86-64 does), then a word at a
// time.
template <bool kStopAtHigh>
std::size_t next_special(std::string_view text, std::size_t i) noexcept {
#if defined(__SSE2__)
  const __m128i below_space = _mm_set1_epi8(0x1F);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (text.size() - i >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    // An unsigned byte is at most 0x1F when the larger of it and 0x1F is 0x1F.
    const __m128i special =
        _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(bytes, below_space), below_space),
                     _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    if constexpr (kStopAtHigh) mask |= static_cast<unsigned>(_mm_movemask_epi8(bytes));
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(mask));
    i += 16;
  }
#endif
  while (text.size() - i >= 8) {
    const std::uint64_t word = word_at(text, i);
    if (needs_escape_in(word) || (kStopAtHigh && (word & kHighs) != 0)) break;
    i += 8;
  }
  for (; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80 ? kStopAtHigh : kAsciiEscapes[byte] != 0) return i;
  }
  return text.size();
}

// Appends a run of valid UTF-8, escaping what JSON needs; the run's bytes at
// or above 0x80 are always parts of characters written as themselves.
void append_escaped_utf8(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = next_special<false>(text, 0); i < text.size(); i = next_special<false>(text, start)) {
    out.append(text, start, i - start);
    append_ascii_escape(out, static_cast<unsigned char>(text[i]));
    start = i + 1;
  }
  out.append(text, start, text.size() - start);
}

// Bytes decoded as UTF-8, quoted, each byte of an invalid sequence given to
// `replace` the way a decoding error handler sees it. One pass: plain runs
// are copied whole, and only at a byte of 0x80 or above is a character read.
template <class Replace>
void append_decoded_utf8(std::string& out, std::string_view bytes, Replace replace) {
  out += '"';
  std::size_t start = 0;  // of the run not yet copied
  std::size_t i = next_special<true>(bytes, 0);
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      out.append(bytes, start, i - start);
      append_ascii_escape(out, byte);
      start = i + 1;
      i = next_special<true>(bytes, start);
      continue;
    }
    const utf8::Step step = utf8::next(bytes.substr(i));
    if (!step.valid) {
      out.append(bytes, start, i - start);
      replace(out, bytes.substr(i, step.length));
      start = i + step.length;
    }
    i = next_special<true>(bytes, i + step.length);
  }
  out.append(bytes, start, bytes.size() - start);
  out += '"';
}

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;
// 0001-01-01T00:00:00Z and 10000-01-01T00:00:00Z in microseconds since 1970.
constexpr std::int64_t kFirstMicros = -62'135'596'800 * kMicrosPerSecond;
constexpr std::int64_t kEndMicros = 253'402'300'800 * kMicrosPerSecond;

// The proleptic Gregorian date of a day count since 1970-01-01.
struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) {
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146'097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned month_index = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const unsigned month = month_index < 10 ? month_index + 3 : month_index - 9;
  const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

void append_padded(std::string& out, std::uint64_t value, int width) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = n; i < width; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

}  // namespace

void append_text(std::string& out, std::string_view utf8) {
  out += '"';
  append_escaped_utf8(out, utf8);
  out += '"';
}

void append_utf8_replace(std::string& out, std::string_view bytes) {
  append_decoded_utf8(out, bytes, [](std::string& o, std::string_view) { o += "\xEF\xBF\xBD"; });
}

void append_utf8_surrogateescape(std::string& out, std::string_view bytes) {
  append_decoded_utf8(out, bytes, [](std::string& o, std::string_view invalid) {
    for (const char c : invalid) append_escape_u(o, 0xDC00 + static_cast<unsigned char>(c));
  });
}

void append_latin1(std::string& out, std::string_view bytes) {
  out += '"';
  // Plain runs are copied whole; a byte from 0x80 up (U+0080..U+00FF) becomes
  // two bytes of UTF-8.
  std::size_t start = 0;
  for (std::size_t i = next_special<true>(bytes, 0); i < bytes.size(); i = next_special<true>(bytes, start)) {
    out.append(bytes, start, i - start);
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x80) {
      utf8::append(out, byte);
    } else {
      append_ascii_escape(out, byte);
    }
    start = i + 1;
  }
  out.append(bytes, start, bytes.size() - start);
  out += '"';
}

void append_utf16(std::string& out, std::string_view bytes, bool big_endian) {
  out += '"';
  const auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return big_endian ? (char32_t{a} << 8) | b : (char32_t{b} << 8) | a;
  };
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t c = unit(2 * i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      const char32_t low = unit(2 * i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        utf8::append(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    append_code_point(out, c);
  }
  out += '"';
}

void append_code_point(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    const char escape = kAsciiEscapes[code_point];
    if (escape == 0) {
      out += static_cast<char>(code_point);
    } else if (escape == 'u') {
      append_escape_u(out, code_point);
    } else {
      out += '\\';
      out += escape;
    }
  } else if (code_point >= 0xD800 && code_point < 0xE000) {
    append_escape_u(out, code_point);  // a lone surrogate has no UTF-8 form
  } else {
    utf8::append(out, code_point);
  }
}

namespace {
// The text forms of byte_encoding.h, quoted.
void append_encoded(std::string& out, std::string_view bytes, ByteEncoding encoding) {
  out += '"';
  const std::size_t at = out.size();
  out.resize(at + max_encoded_size(encoding, bytes.size()));
  char* end = write_encoded(out.data() + at, bytes, encoding, FieldQuoting::None);
  out.resize(static_cast<std::size_t>(end - out.data()));
  out += '"';
}
}  // namespace

void append_base64(std::string& out, std::string_view bytes) { append_encoded(out, bytes, ByteEncoding::Base64); }

void append_hex(std::string& out, std::string_view bytes) { append_encoded(out, bytes, ByteEncoding::Hex); }

namespace {
// The digits written straight into the string's own room (an entry has
// half a dozen numbers: ids, versions, sequence numbers, offsets).
template <class Integer>
void append_integer(std::string& out, Integer value) {
  constexpr std::size_t kMost = 20;  // digits of 2^64 - 1, or of -2^63 with its sign
  const std::size_t at = out.size();
  out.resize_and_overwrite(at + kMost, [&](char* data, std::size_t size) {
    return static_cast<std::size_t>(std::to_chars(data + at, data + size, value).ptr - data);
  });
}
}  // namespace

void append_int(std::string& out, std::int64_t value) { append_integer(out, value); }

void append_uint(std::string& out, std::uint64_t value) { append_integer(out, value); }

void append_double(std::string& out, double value) {
  // The shortest round-tripping digits, as d.ddde±x, then laid out the way
  // Python's repr does: positional when -4 <= x < 16, else exponential.
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
  std::string_view scientific(text, static_cast<std::size_t>(result.ptr - text));
  if (scientific.front() == '-') {
    out += '-';
    scientific.remove_prefix(1);
  }
  const std::size_t e = scientific.find('e');
  char digits[24];
  std::size_t count = 0;
  for (const char c : scientific.substr(0, e)) {
    if (c != '.') digits[count++] = c;
  }
  int exponent = 0;
  std::string_view exponent_text = scientific.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  const std::string_view all(digits, count);
  if (exponent < -4 || exponent >= 16) {
    out += all.front();
    if (count > 1) {
      out += '.';
      out.append(all.substr(1));
    }
    out += exponent < 0 ? "e-" : "e+";
    append_padded(out, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent), 2);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(all);
    return;
  }
  const auto point = static_cast<std::size_t>(exponent) + 1;
  if (point < count) {
    out.append(all.substr(0, point));
    out += '.';
    out.append(all.substr(point));
  } else {
    out.append(all);
    out.append(point - count, '0');
    out += ".0";
  }
}

// NaN and the infinities as JavaScript names them, the numbers JSON has no
// form for; "" for a finite value.
static std::string_view non_finite_name(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return {};
}

void append_number(std::string& out, double value) {
  const std::string_view name = non_finite_name(value);
  if (name.empty()) {
    append_double(out, value);
    return;
  }
  out += "{\"$number\": \"";
  out += name;
  out += "\"}";
}

bool append_utc_time(std::string& out, std::int64_t unix_microseconds) {
  if (unix_microseconds < kFirstMicros || unix_microseconds >= kEndMicros) return false;
  std::int64_t days = unix_microseconds / kMicrosPerDay;
  std::int64_t in_day = unix_microseconds % kMicrosPerDay;
  if (in_day < 0) {
    in_day += kMicrosPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  const auto seconds = static_cast<std::uint64_t>(in_day / kMicrosPerSecond);
  const auto millis = static_cast<std::uint64_t>(in_day % kMicrosPerSecond / 1000);
  out += '"';
  append_padded(out, static_cast<std::uint64_t>(date.year), 4);
  out += '-';
  append_padded(out, date.month, 2);
  out += '-';
  append_padded(out, date.day, 2);
  out += 'T';
  append_padded(out, seconds / 3600, 2);
  out += ':';
  append_padded(out, seconds / 60 % 60, 2);
  out += ':';
  append_padded(out, seconds % 60, 2);
  out += '.';
  append_padded(out, millis, 3);
  out += "Z\"";
  return true;
}

bool js_time_to_unix_microseconds(double milliseconds, std::int64_t& out) {
  if (!(milliseconds >= -8.64e15 && milliseconds <= 8.64e15)) return false;
  // timedelta(milliseconds=ms): the whole milliseconds exactly, then the
  // fraction scaled to microseconds in floating point, its whole part added
  // and the rest rounded half to even against the total so far.
  double whole_ms = 0;
  const double fraction_ms = std::modf(milliseconds, &whole_ms);
  std::int64_t micros = static_cast<std::int64_t>(whole_ms) * 1000;
  if (fraction_ms != 0) {
    double whole_us = 0;
    const double leftover = std::modf(fraction_ms * 1000.0, &whole_us);
    micros += static_cast<std::int64_t>(whole_us);
    if (leftover != 0) {
      double rounded = std::round(leftover);
      if (std::fabs(rounded - leftover) == 0.5) {
        const int odd = static_cast<int>(micros & 1);
        rounded = 2.0 * std::round((leftover + odd) * 0.5) - odd;
      }
      micros += static_cast<std::int64_t>(rounded);
    }
  }
  out = micros;
  return true;
}

void append_js_date(std::string& out, double milliseconds) {
  out += "{\"$date\": ";
  std::int64_t micros = 0;
  if (js_time_to_unix_microseconds(milliseconds, micros) && append_utc_time(out, micros)) {
    out += '}';
    return;
  }
  // No ISO time names it (outside years 1 to 9999, or invalid): the time
  // value itself, exactly, as a number or the text JSON has none for.
  out += "null, \"ms\": ";
  const std::string_view name = non_finite_name(milliseconds);
  if (name.empty()) {
    append_double(out, milliseconds);
  } else {
    out.push_back('"');
    out += name;
    out.push_back('"');
  }
  out += '}';
}

}  // namespace vostrel::json
