#pragma once
// JSON text in exactly the form the Chromium decoder's output has always had:
// what Python's json.dumps(ensure_ascii=False) gives (separators ", " and
// ": "), written as UTF-8 with errors="backslashreplace". So:
//
//   strings  '"' and '\' escaped with a backslash; \n \r \t \b \f; any other
//            character below U+0020 as \u00xx; a lone surrogate (JavaScript
//            strings may hold one) as \udxxx; every other character as
//            itself in UTF-8. Hex digits are lower case.
//   numbers  integers in decimal; finite doubles as Python's repr(float):
//            the shortest digits that read back to the same double, in
//            positional form ("1.0", "0.0001", "-0.0") when the decimal
//            exponent lies in [-4, 16), otherwise "1e+16", "1.5e-05".
//   times    ISO 8601 with milliseconds and a Z ("2024-05-01T12:30:00.250Z"),
//            for years 1 to 9999 (what a Python datetime can hold).
//
// Every function appends to `out`; none of them fails.

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrel::json {

// A quoted string of text that is already valid UTF-8 (field names, text the
// decoder itself produced).
void append_text(std::string& out, std::string_view utf8);

// Quoted strings of raw bytes, decoded as Python's codecs decode them:
//   append_utf8_replace          bytes.decode("utf-8", "replace")
//   append_utf8_surrogateescape  bytes.decode("utf-8", "surrogateescape"):
//                                each byte of an invalid sequence becomes the
//                                lone surrogate U+DC80 + (byte - 0x80)
//   append_latin1                bytes.decode("latin-1")
//   append_utf16                 bytes.decode("utf-16-le" or "-be",
//                                "surrogatepass"): surrogate pairs join,
//                                lone surrogates stay. bytes.size() must be
//                                even (Python raises on an odd size: callers
//                                check first).
void append_utf8_replace(std::string& out, std::string_view bytes);
void append_utf8_surrogateescape(std::string& out, std::string_view bytes);
void append_latin1(std::string& out, std::string_view bytes);
void append_utf16(std::string& out, std::string_view bytes, bool big_endian);

// One character inside a string whose quotes the caller writes: the escapes
// above apply (a surrogate code point is written as \udxxx).
void append_code_point(std::string& out, char32_t code_point);

// Quoted base64 (standard alphabet, padded) and lower-case hex of bytes.
void append_base64(std::string& out, std::string_view bytes);
void append_hex(std::string& out, std::string_view bytes);

void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// A finite double as Python's repr(float). Precondition: std::isfinite.
void append_double(std::string& out, double value);

// A JavaScript number: a finite double as append_double, and the values JSON
// has no form for as {"$number": "NaN"}, {"$number": "Infinity"} and
// {"$number": "-Infinity"}.
void append_number(std::string& out, double value);

// A moment as microseconds since 1970-01-01T00:00:00Z, written as a quoted ISO
// time with milliseconds (microseconds are cut, not rounded) and a Z. Returns
// false, writing nothing, when the moment lies outside years 1 to 9999.
[[nodiscard]] bool append_utc_time(std::string& out, std::int64_t unix_microseconds);

// A JavaScript Date's time value (milliseconds since 1970, a double) as
// {"$date": "...Z"} for years 1 to 9999; any other time value (an invalid
// Date's NaN included) as {"$date": null, "ms": <the milliseconds as a
// double, or "NaN", "Infinity", "-Infinity">}, which keeps it exactly.
// Fractions of a millisecond are rounded to microseconds as Python's
// timedelta(milliseconds=ms) rounds them.
void append_js_date(std::string& out, double milliseconds);

// Microseconds since 1970 of a JavaScript time value, rounded as
// timedelta(milliseconds=ms) rounds; false when |ms| > 8.64e15 or NaN.
[[nodiscard]] bool js_time_to_unix_microseconds(double milliseconds, std::int64_t& out);

}  // namespace vostrel::json
