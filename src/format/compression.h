#pragma once
// Undoing the compression of one stored table block: the single entry point
// through which every block (index or data) is decompressed, whatever its
// compression type byte says. Type 0 blocks are stored raw and never come here.
//
// Snappy (raw, unframed) through the platform's libsnappy. A Snappy buffer
// begins with its uncompressed length as a varint, and that length is
// untrusted: the library would allocate it before looking any further, so five
// corrupt bytes could ask for 4 GiB. The declared length is therefore checked
// against the most that the compressed bytes can expand to before any memory is
// reserved for it.
//
// The compression type byte says which codec, read together with the bytes:
//   1        Snappy (LevelDB's default)
//   2        zstd when the bytes begin with the zstd frame magic (LevelDB 1.23);
//            else zlib when they begin with a valid zlib header (the LevelDB
//            fork of Minecraft Bedrock worlds); else Snappy
//   4        raw deflate (the same fork); Snappy when that fails
//   other    Snappy, as for any block of unknown type
// zstd and zlib/deflate come from the platform's libzstd and zlib. Their output
// is produced into a buffer that grows as output arrives, so memory follows
// what the bytes really expand to, never a size they declare, and every block
// stops at kMaxBlockContents with the codec's error.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"

namespace vostrel {

struct DecompressError {
  std::string description;  // what went wrong, in the decompressor's terms
  // "Decompression error: {description}"
  [[nodiscard]] std::string message() const;
};

// The largest output that `compressed_size` bytes of Snappy data (preamble
// excluded) can produce: a 3-byte copy element yields at most 64 bytes.
[[nodiscard]] constexpr std::size_t snappy_max_expansion(std::size_t compressed_size) noexcept {
  return compressed_size / 3 * 64 + 64;
}

// The most bytes a block's contents may take once decompressed, whatever the
// codec. LevelDB's blocks hold about 4 KiB (its block_size), or one entry when
// that entry is larger; 256 MiB would be a single value of that size, which no
// LevelDB user stores. The ceiling keeps a few kilobytes of crafted zstd or
// zlib data from claiming gigabytes.
inline constexpr std::size_t kMaxBlockContents = std::size_t{256} << 20;

// The output buffer of decompress_block.
using DecompressBuffer = ByteBuffer;

// The codecs a stored block can be in; None for type 0 (stored raw).
enum class Codec : std::uint8_t { None, Snappy, Zstd, Zlib, Deflate };

// The codec that the rule above chooses for a block by its type byte and
// stored bytes. For type 4 this is Deflate: only inflating tells whether the
// block falls back to Snappy (decompress_block reports what it used).
[[nodiscard]] Codec block_codec(std::uint8_t type, std::string_view stored) noexcept;

// "none", "snappy", "zstd", "zlib", "deflate".
[[nodiscard]] std::string_view codec_name(Codec codec) noexcept;

// Decompresses a block stored with compression type `type` (non-zero) into
// buffer and returns a view of the output, valid until the next use of buffer.
// The codec is chosen by type and content as described above; `used`, when
// given, receives the codec that produced the output (or whose error is
// returned).
[[nodiscard]] std::expected<std::string_view, DecompressError> decompress_block(
    std::uint8_t type, std::string_view stored, DecompressBuffer& buffer, Codec* used = nullptr);

// Decompresses one raw (unframed) Snappy buffer, with the same bound on its
// declared length: what Chromium's stores use for values they compress
// themselves, outside any table block.
[[nodiscard]] std::expected<std::string_view, DecompressError> decompress_snappy(std::string_view compressed,
                                                                               DecompressBuffer& buffer);

}  // namespace vostrel
