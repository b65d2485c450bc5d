#include "byte_encoding.h"

#include <array>
#include <cstring>

#include "utf8.h"

namespace vostrel {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What the escaped form does with one byte, before any character decoding.
enum ByteClass : std::uint8_t {
  kCopy,       // printable ASCII that the quoting leaves alone
  kBackslash,  // doubled by the encoding, then again inside JSON
  kQuote,      // '"', escaped or doubled by the quoting
  kControl,    // ASCII control character: \xNN
  kNonAscii,   // starts a multi-byte character or is invalid UTF-8
};

constexpr std::array<std::uint8_t, 256> byte_classes(FieldQuoting quoting) {
  std::array<std::uint8_t, 256> classes{};
  for (int b = 0; b < 256; ++b) {
    if (b >= 0x80) {
      classes[b] = kNonAscii;
    } else if (b < 0x20 || b == 0x7F) {
      classes[b] = kControl;
    } else if (b == '\\') {
      classes[b] = kBackslash;
    } else if (b == '"' && quoting != FieldQuoting::None) {
      classes[b] = kQuote;
    } else {
      classes[b] = kCopy;
    }
  }
  return classes;
}

template <FieldQuoting Q>
constexpr std::array<std::uint8_t, 256> kClasses = byte_classes(Q);

template <FieldQuoting Q>
char* write_hex_escape(char* dst, unsigned char b) noexcept {
  *dst++ = '\\';
  if constexpr (Q == FieldQuoting::Json) *dst++ = '\\';
  *dst++ = 'x';
  *dst++ = kHexDigits[b >> 4];
  *dst++ = kHexDigits[b & 0xF];
  return dst;
}

template <FieldQuoting Q>
char* write_escaped(char* dst, std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p != end) {
    const unsigned char b = *p;
    switch (kClasses<Q>[b]) {
      case kCopy:
        *dst++ = static_cast<char>(b);
        ++p;
        break;
      case kBackslash:
        if constexpr (Q == FieldQuoting::Json) {
          std::memcpy(dst, R"(\\\\)", 4);
          dst += 4;
        } else {
          std::memcpy(dst, R"(\\)", 2);
          dst += 2;
        }
        ++p;
        break;
      case kQuote:
        *dst++ = Q == FieldQuoting::Json ? '\\' : '"';
        *dst++ = '"';
        ++p;
        break;
      case kControl:
        dst = write_hex_escape<Q>(dst, b);
        ++p;
        break;
      default: {
        const utf8::Step step = utf8::next(
            std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p)));
        if (step.valid && utf8::is_printable(step.code_point)) {
          std::memcpy(dst, p, step.length);
          dst += step.length;
          p += step.length;
        } else {
          // Invalid bytes and every byte of a non-printable character alike.
          for (std::uint8_t i = 0; i < step.length; ++i) dst = write_hex_escape<Q>(dst, *p++);
        }
      }
    }
  }
  return dst;
}

char* write_hex(char* dst, std::string_view bytes) noexcept {
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    *dst++ = kHexDigits[b >> 4];
    *dst++ = kHexDigits[b & 0xF];
  }
  return dst;
}

char* write_base64(char* dst, std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  for (; left >= 3; left -= 3, p += 3) {
    const std::uint32_t group = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    *dst++ = kBase64Alphabet[group >> 18];
    *dst++ = kBase64Alphabet[(group >> 12) & 0x3F];
    *dst++ = kBase64Alphabet[(group >> 6) & 0x3F];
    *dst++ = kBase64Alphabet[group & 0x3F];
  }
  if (left > 0) {
    const std::uint32_t group = (std::uint32_t{p[0]} << 16) | (left == 2 ? std::uint32_t{p[1]} << 8 : 0);
    *dst++ = kBase64Alphabet[group >> 18];
    *dst++ = kBase64Alphabet[(group >> 12) & 0x3F];
    *dst++ = left == 2 ? kBase64Alphabet[(group >> 6) & 0x3F] : '=';
    *dst++ = '=';
  }
  return dst;
}

}  // namespace

char* write_encoded(char* dst, std::string_view bytes, ByteEncoding encoding,
                    FieldQuoting quoting) noexcept {
  switch (encoding) {
    case ByteEncoding::Hex: return write_hex(dst, bytes);
    case ByteEncoding::Base64: return write_base64(dst, bytes);
    case ByteEncoding::Escaped: break;
  }
  switch (quoting) {
    case FieldQuoting::Json: return write_escaped<FieldQuoting::Json>(dst, bytes);
    case FieldQuoting::CsvQuoted: return write_escaped<FieldQuoting::CsvQuoted>(dst, bytes);
    case FieldQuoting::None: break;
  }
  return write_escaped<FieldQuoting::None>(dst, bytes);
}

std::string encode(std::string_view bytes, ByteEncoding encoding, FieldQuoting quoting) {
  std::string out(max_encoded_size(encoding, bytes.size()), '\0');
  char* const end = write_encoded(out.data(), bytes, encoding, quoting);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return out;
}

bool csv_needs_quotes(std::string_view bytes, ByteEncoding encoding) noexcept {
  // Hex digits and the base64 alphabet hold none of the three. The escaped
  // form keeps ',' and '"' (printable ASCII, never inside a multi-byte
  // character) and writes a line feed as \x0a, so its text holds ',' or '"'
  // exactly when the bytes do.
  if (encoding != ByteEncoding::Escaped) return false;
  for (const char c : bytes) {
    if (c == ',' || c == '"') return true;
  }
  return false;
}

std::size_t encoding_split_point(std::string_view bytes, std::size_t at,
                                 ByteEncoding encoding) noexcept {
  switch (encoding) {
    case ByteEncoding::Hex: return at;
    case ByteEncoding::Base64: return at - at % 3;  // whole groups of three bytes
    case ByteEncoding::Escaped: break;
  }
  return utf8::split_point(bytes, at);
}

}  // namespace vostrel
