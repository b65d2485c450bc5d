#include "format/compression.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

// The C interfaces of libsnappy, libzstd and zlib.
#include <snappy-c.h>
#include <zlib.h>
#include <zstd.h>

#include "base/varint.h"

namespace vostrel {
namespace {

enum CompressionType : std::uint8_t { kSnappy = 1, kZstdOrZlib = 2, kRawDeflate = 4 };

// Reads and checks the declared uncompressed length without allocating.
std::expected<std::size_t, DecompressError> snappy_checked_length(std::string_view compressed) {
  std::size_t length = 0;
  if (::snappy_uncompressed_length(compressed.data(), compressed.size(), &length) != SNAPPY_OK) {
    return std::unexpected(DecompressError{"corrupt input: unreadable uncompressed length"});
  }
  const auto preamble = decode_varint(compressed, 0, /*narrow=*/true);
  const std::size_t body = preamble ? compressed.size() - preamble->length : 0;
  if (length > snappy_max_expansion(body)) {
    return std::unexpected(DecompressError{"corrupt input: declared uncompressed length " +
                                           std::to_string(length) + " exceeds what " +
                                           std::to_string(body) + " compressed bytes can hold"});
  }
  if (length > kMaxBlockContents) {
    return std::unexpected(DecompressError{"declared uncompressed length " + std::to_string(length) +
                                           " exceeds the block limit"});
  }
  return length;
}

std::expected<std::string_view, DecompressError> snappy_decompress(std::string_view compressed,
                                                                   DecompressBuffer& buffer) {
  const auto length = snappy_checked_length(compressed);
  if (!length) return std::unexpected(length.error());
  char* out = buffer.reserve(*length);
  std::size_t produced = *length;
  if (::snappy_uncompress(compressed.data(), compressed.size(), out, &produced) != SNAPPY_OK ||
      produced != *length) {
    return std::unexpected(DecompressError{"corrupt input"});
  }
  return std::string_view(out, *length);
}

// Output for the streaming codecs: starts at `expected` bytes (what the
// input declares, else a guess from its size), doubles as output arrives,
// never past kMaxBlockContents.
class GrowingOutput {
 public:
  GrowingOutput(DecompressBuffer& buffer, std::size_t input_size, std::size_t expected = 0)
      : buffer_(buffer),
        capacity_(std::min(kMaxBlockContents,
                           std::max<std::size_t>({4096, expected, std::min(input_size, kMaxBlockContents) * 4}))),
        data_(buffer_.reserve(capacity_)) {}

  // Makes room after `produced` bytes; false when the ceiling is reached.
  bool make_room(std::size_t produced) {
    if (produced < capacity_) return true;
    if (capacity_ >= kMaxBlockContents) return false;
    capacity_ = std::min(kMaxBlockContents, capacity_ * 2);
    data_ = buffer_.grow(capacity_, produced);
    return true;
  }
  [[nodiscard]] char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

 private:
  DecompressBuffer& buffer_;
  std::size_t capacity_;
  char* data_;
};

DecompressError over_limit(const char* codec) {
  return DecompressError{std::string(codec) + ": output exceeds the block limit of " +
                         std::to_string(kMaxBlockContents) + " bytes"};
}

struct ZstdContextDeleter {
  void operator()(ZSTD_DCtx* context) const noexcept { ::ZSTD_freeDCtx(context); }
};

// One decompression context per thread, reused from block to block.
ZSTD_DCtx* zstd_context() {
  thread_local std::unique_ptr<ZSTD_DCtx, ZstdContextDeleter> context(::ZSTD_createDCtx());
  return context.get();
}

std::expected<std::string_view, DecompressError> zstd_decompress(std::string_view compressed,
                                                                 DecompressBuffer& buffer) {
  ZSTD_DCtx* context = zstd_context();
  if (context == nullptr) throw std::bad_alloc();
  ::ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters);
  // A frame's declared window is allocated by the library: keep it to its
  // default bound of 128 MiB.
  ::ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 27);
  // A frame that declares its size (LevelDB's writer's do) gets room for all
  // of it at once: the library then decodes it straight into the output in
  // one pass, without a window buffer of its own to copy through. The size is
  // untrusted: it is held to the ceiling, and a lie costs address space the
  // output never touches, not memory.
  const unsigned long long declared = ::ZSTD_getFrameContentSize(compressed.data(), compressed.size());
  const std::size_t expected = declared <= kMaxBlockContents ? static_cast<std::size_t>(declared) : 0;
  GrowingOutput out(buffer, compressed.size(), expected);
  ZSTD_inBuffer input{compressed.data(), compressed.size(), 0};
  std::size_t produced = 0;
  std::size_t pending = 1;  // ZSTD_decompressStream's hint; 0 once a frame is complete
  while (input.pos < input.size || pending != 0) {
    if (!out.make_room(produced)) return std::unexpected(over_limit("zstd"));
    ZSTD_outBuffer output{out.data(), out.capacity(), produced};
    const std::size_t input_before = input.pos;
    pending = ::ZSTD_decompressStream(context, &output, &input);
    if (::ZSTD_isError(pending)) {
      return std::unexpected(DecompressError{std::string("zstd: ") + ::ZSTD_getErrorName(pending)});
    }
    const bool progressed = output.pos != produced || input.pos != input_before;
    produced = output.pos;
    if (!progressed && output.pos < output.size) {
      return std::unexpected(DecompressError{"zstd: truncated frame"});
    }
  }
  return std::string_view(out.data(), produced);
}

struct ZlibStream {
  z_stream stream{};
  bool ready = false;
  int window_bits = 0;
  ~ZlibStream() {
    if (ready) ::inflateEnd(&stream);
  }
};

// Inflates zlib (window_bits 15) or raw deflate (-15) data.
std::expected<std::string_view, DecompressError> inflate_block(std::string_view compressed,
                                                               int window_bits,
                                                               DecompressBuffer& buffer) {
  const char* codec = window_bits > 0 ? "zlib" : "raw deflate";
  // One stream per thread and format, reset between blocks.
  thread_local ZlibStream streams[2];
  ZlibStream& z = streams[window_bits > 0 ? 0 : 1];
  if (!z.ready) {
    if (::inflateInit2(&z.stream, window_bits) != Z_OK) throw std::bad_alloc();
    z.ready = true;
  } else if (::inflateReset(&z.stream) != Z_OK) {
    return std::unexpected(DecompressError{std::string(codec) + ": cannot reset the stream"});
  }
  if (compressed.size() > UINT_MAX) return std::unexpected(over_limit(codec));
  GrowingOutput out(buffer, compressed.size());
  z.stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  z.stream.avail_in = static_cast<uInt>(compressed.size());
  std::size_t produced = 0;
  while (true) {
    if (!out.make_room(produced)) return std::unexpected(over_limit(codec));
    const std::size_t room = std::min<std::size_t>(out.capacity() - produced, UINT_MAX);
    z.stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    z.stream.avail_out = static_cast<uInt>(room);
    const int status = ::inflate(&z.stream, Z_NO_FLUSH);
    produced += room - z.stream.avail_out;
    if (status == Z_STREAM_END) break;
    if (status == Z_BUF_ERROR && z.stream.avail_out != 0) {
      return std::unexpected(DecompressError{std::string(codec) + ": truncated stream"});
    }
    if (status != Z_OK && status != Z_BUF_ERROR) {
      const char* why = z.stream.msg != nullptr ? z.stream.msg : "corrupt input";
      return std::unexpected(DecompressError{std::string(codec) + ": " + why});
    }
  }
  return std::string_view(out.data(), produced);
}

bool starts_with_zstd_magic(std::string_view bytes) noexcept {
  return bytes.size() >= 4 && load_le32(bytes.data()) == ZSTD_MAGICNUMBER;
}

// A zlib header: method 8 (deflate), a window of at most 32 KiB, no preset
// dictionary (none could be supplied), and the check bits that make the first
// two bytes, read big-endian, a multiple of 31.
bool starts_with_zlib_header(std::string_view bytes) noexcept {
  if (bytes.size() < 2) return false;
  const auto cmf = static_cast<unsigned char>(bytes[0]);
  const auto flg = static_cast<unsigned char>(bytes[1]);
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (flg & 0x20) == 0 && (cmf * 256 + flg) % 31 == 0;
}

}  // namespace

std::string DecompressError::message() const { return "Decompression error: " + description; }

Codec block_codec(std::uint8_t type, std::string_view stored) noexcept {
  switch (type) {
    case 0:
      return Codec::None;
    case kZstdOrZlib:
      if (starts_with_zstd_magic(stored)) return Codec::Zstd;
      if (starts_with_zlib_header(stored)) return Codec::Zlib;
      return Codec::Snappy;
    case kRawDeflate:
      return Codec::Deflate;
    case kSnappy:
    default:
      return Codec::Snappy;
  }
}

std::string_view codec_name(Codec codec) noexcept {
  switch (codec) {
    case Codec::None: return "none";
    case Codec::Snappy: return "snappy";
    case Codec::Zstd: return "zstd";
    case Codec::Zlib: return "zlib";
    case Codec::Deflate: return "deflate";
  }
  return "none";
}

std::expected<std::string_view, DecompressError> decompress_block(std::uint8_t type,
                                                                  std::string_view stored,
                                                                  DecompressBuffer& buffer, Codec* used) {
  Codec codec = block_codec(type, stored);
  // Type 0 never comes here; read it like any unknown type, as Snappy.
  if (codec == Codec::None) codec = Codec::Snappy;
  if (used != nullptr) *used = codec;
  switch (codec) {
    case Codec::Zstd:
      return zstd_decompress(stored, buffer);
    case Codec::Zlib:
      return inflate_block(stored, 15, buffer);
    case Codec::Deflate: {
      auto inflated = inflate_block(stored, -15, buffer);
      if (inflated) return inflated;
      // Not deflate after all: Snappy, and if that fails too, deflate's error.
      if (auto snappy = snappy_decompress(stored, buffer)) {
        if (used != nullptr) *used = Codec::Snappy;
        return snappy;
      }
      return inflated;
    }
    case Codec::None:
    case Codec::Snappy:
      break;
  }
  return snappy_decompress(stored, buffer);
}

std::expected<std::string_view, DecompressError> decompress_snappy(std::string_view compressed,
                                                                  DecompressBuffer& buffer) {
  return snappy_decompress(compressed, buffer);
}

}  // namespace vostrel
