#include "export/byte_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/hex.h"
#include "base/utf8.h"

namespace vostrel {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The escaped text of one byte, for every byte that is a character by itself
// or invalid wherever it stands: 8 bytes, so that the loop below copies it
// with one fixed-size store and advances by `size`. A size of 0 marks a byte
// that may start a multi-byte character (C2..F4), which must be decoded.
struct Piece {
  char text[7];
  std::uint8_t size;
};
static_assert(sizeof(Piece) == 8);

// write_escaped may store this far past its text, as max_encoded_size allows.
static_assert(max_encoded_size(ByteEncoding::Escaped, 1) - 5 >= sizeof(Piece) - 5);

constexpr Piece hex_escape(unsigned char b, FieldQuoting quoting) {
  Piece piece{};
  std::uint8_t n = 0;
  piece.text[n++] = '\\';
  if (quoting == FieldQuoting::Json) piece.text[n++] = '\\';
  piece.text[n++] = 'x';
  hex::write_byte(piece.text + n, b);
  piece.size = static_cast<std::uint8_t>(n + 2);
  return piece;
}

constexpr std::array<Piece, 256> escaped_pieces(FieldQuoting quoting) {
  std::array<Piece, 256> pieces{};
  for (int i = 0; i < 256; ++i) {
    const auto b = static_cast<unsigned char>(i);
    Piece& piece = pieces[i];
    if (b >= 0xC2 && b <= 0xF4) {
      piece.size = 0;
    } else if (b >= 0x80 || b < 0x20 || b == 0x7F) {
      piece = hex_escape(b, quoting);  // invalid anywhere, or an ASCII control
    } else if (b == '\\') {
      const std::uint8_t n = quoting == FieldQuoting::Json ? 4 : 2;
      for (std::uint8_t j = 0; j < n; ++j) piece.text[j] = '\\';
      piece.size = n;
    } else if (b == '"' && quoting != FieldQuoting::None) {
      piece.text[0] = quoting == FieldQuoting::Json ? '\\' : '"';
      piece.text[1] = '"';
      piece.size = 2;
    } else {
      piece.text[0] = static_cast<char>(b);
      piece.size = 1;
    }
  }
  return pieces;
}

template <FieldQuoting Q>
constexpr std::array<Piece, 256> kPieces = escaped_pieces(Q);

// \xNN for every byte, for the bytes of invalid sequences and non-printable
// characters: copied from a table like the others, since building the piece
// on the stack and reloading it as one word stalls on store forwarding.
template <FieldQuoting Q>
constexpr std::array<Piece, 256> kHexPieces = [] {
  std::array<Piece, 256> pieces{};
  for (int i = 0; i < 256; ++i) pieces[i] = hex_escape(static_cast<unsigned char>(i), Q);
  return pieces;
}();

// Whether all eight bytes of `word` stand for themselves: printable ASCII
// (0x20..0x7E) other than the backslash and, when quoting, the double quote.
// Each test is the classic test for a zero byte (or one below n) in a word,
// exact for the question "is there any".
template <FieldQuoting Q>
constexpr bool plain_ascii(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  std::uint64_t special = word & kHighs;             // 0x80..0xFF
  special |= (word - kOnes * 0x20) & ~word & kHighs;  // below 0x20
  special |= has_zero(word ^ (kOnes * 0x7F)) | has_zero(word ^ (kOnes * '\\'));
  if constexpr (Q != FieldQuoting::None) special |= has_zero(word ^ (kOnes * '"'));
  return special == 0;
}

#if defined(__SSE2__)
// The same for sixteen bytes at once, where the processor has SSE2 (every
// x86-64 does): unsigned bytes below 0x20 and from 0x7F up are found by
// comparing each with its maximum with 0x1F and its minimum with 0x7F.
template <FieldQuoting Q>
bool plain_ascii_16(const unsigned char* p) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i control = _mm_set1_epi8(0x1F);
  const __m128i del = _mm_set1_epi8(0x7F);
  __m128i special = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(bytes, control), control),
                                 _mm_cmpeq_epi8(_mm_min_epu8(bytes, del), del));
  special = _mm_or_si128(special, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\')));
  if constexpr (Q != FieldQuoting::None) special = _mm_or_si128(special, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
  return _mm_movemask_epi8(special) == 0;
}
#endif

template <FieldQuoting Q>
char* write_escaped(char* dst, std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  // Eight bytes at a time while they need no escaping (text, digits), then
  // sixteen while they go on so, and one character at a time through any
  // eight that do. (Binary bytes fail the first test of eight, and pay for
  // no wider one.)
  const auto* checked = p;
  while (p != end) {
    if (p >= checked) {
      if (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (plain_ascii<Q>(word)) {
          std::memcpy(dst, p, sizeof word);
          dst += sizeof word;
          p += sizeof word;
#if defined(__SSE2__)
          while (end - p >= 16 && plain_ascii_16<Q>(p)) {
            std::memcpy(dst, p, 16);
            dst += 16;
            p += 16;
          }
#endif
          continue;
        }
      }
      checked = end - p >= 8 ? p + 8 : end;
    }
    const Piece& piece = kPieces<Q>[*p];
    if (piece.size != 0) [[likely]] {
      std::memcpy(dst, &piece, sizeof piece);
      dst += piece.size;
      ++p;
      continue;
    }
    const utf8::Step step = utf8::next(
        std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p)));
    if (step.valid && utf8::is_printable(step.code_point)) {
      std::memcpy(dst, p, step.length);
      dst += step.length;
      p += step.length;
    } else {
      // Invalid bytes and every byte of a non-printable character alike.
      for (std::uint8_t i = 0; i < step.length; ++i) {
        const Piece& escape = kHexPieces<Q>[*p++];
        std::memcpy(dst, &escape, sizeof escape);
        dst += escape.size;
      }
    }
  }
  return dst;
}

char* write_hex(char* dst, std::string_view bytes) noexcept {
  for (const char c : bytes) {
    dst = hex::write_byte(dst, static_cast<std::uint8_t>(c));
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

namespace {

std::string bad_escaped_text(std::string_view text, std::size_t at, std::string_view what) {
  std::size_t characters = 0;  // the position as Python counts it
  for (const char c : text.substr(0, at)) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return "not escaped text: " + std::string(what) + " at position " + std::to_string(characters);
}

}  // namespace

std::expected<std::string, std::string> decode_escaped(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());  // every escape is longer than its byte
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t backslash = std::min(text.find('\\', pos), text.size());
    bytes.append(text.substr(pos, backslash - pos));
    pos = backslash;
    if (pos == text.size()) break;
    const std::string_view escape = text.substr(pos, 4);
    if (escape.size() >= 2 && escape[1] == '\\') {
      bytes.push_back('\\');
      pos += 2;
      continue;
    }
    if (escape.size() == 4 && escape[1] == 'x') {
      const int high = hex::lower_digit_value(escape[2]);
      const int low = hex::lower_digit_value(escape[3]);
      if (high >= 0 && low >= 0) {
        bytes.push_back(static_cast<char>(high << 4 | low));
        pos += 4;
        continue;
      }
    }
    return std::unexpected(bad_escaped_text(text, pos, "a backslash not starting \\\\ or \\xNN"));
  }
  // These bytes are the only ones that could have this text, and their text
  // is unique too: unless it is exactly `text`, no bytes escape to it. What
  // went wrong is the escape or character of `text` where the two part.
  const std::string again = encode(bytes, ByteEncoding::Escaped);
  if (again != text) {
    const auto at = static_cast<std::size_t>(std::ranges::mismatch(text, again).in1 - text.begin());
    std::size_t unit = 0;
    for (std::size_t next = 0; next <= at && next < text.size();) {
      unit = next;
      next += text[next] != '\\' ? utf8::next(text.substr(next)).length : text[next + 1] == '\\' ? 2 : 4;
    }
    return std::unexpected(bad_escaped_text(text, unit, text[unit] == '\\' ? "an escape of bytes written otherwise"
                                                                            : "a character written as \\xNN"));
  }
  return bytes;
}

bool csv_needs_quotes(std::string_view bytes, ByteEncoding encoding) noexcept {
  // Hex digits and the base64 alphabet hold none of the three. The escaped
  // form keeps ',' and '"' (printable ASCII, never inside a multi-byte
  // character) and writes a line feed as \x0a, so its text holds ',' or '"'
  // exactly when the bytes do.
  if (encoding != ByteEncoding::Escaped) return false;
  bool found = false;  // no early exit: the loop vectorizes
  for (const char c : bytes) found |= (c == ',') | (c == '"');
  return found;
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
