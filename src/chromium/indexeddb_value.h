#pragma once
// What IndexedDB keeps beside and around a record's value in Chromium.
//
// External objects (the record's blobs and files, stored under key type 3
// with the same primary key): a sequence of a type byte (0 blob, 1 file, 2
// file system access handle) and, for a blob or file, the blob number
// (varint), MIME type (StringWithLength) and size (varint); a file adds its
// name (StringWithLength) and last-modified time (varint, base::Time
// microseconds); a handle has a token (varint length, bytes). Blob number n of
// database d is the file `<blob directory>/<d hex>/<(n >> 8) & 0xff as 2
// hex>/<n hex>`: every part is hex digits, so the path never leaves the blob
// directory whatever the record says.
//
// The value wrapper. A value starting FF 11 is not a SerializedScriptValue
// (there is no Blink version 17 followed by anything but FF) but a command:
//   FF 11 01 <size varint> <index varint>  the value was too large and lives
//                                          in external object <index>'s file
//   FF 11 02 <raw Snappy data>             the value is Snappy-compressed
// A blob file's content may itself be compressed, never wrapped in a blob
// again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "chromium/blob_file.h"
#include "chromium/indexeddb_key.h"
#include "format/compression.h"

namespace vostrel::chromium {

// A value kept in a blob file is read only when its file is at most this
// large; a larger one is reported, not read.
inline constexpr std::size_t kMaxBlobFile = std::size_t{1} << 30;

// The external objects of one record.
struct ExternalObjects {
  std::vector<std::string> json;   // each object's description as a JSON object
  std::vector<std::string> paths;  // its blob file; "" for none
  std::vector<bool> has_path;      // whether a path was given (a blob directory exists, not a handle)
  void clear() {
    json.clear();
    paths.clear();
    has_path.clear();
  }
};

// Parses a blob entry's value. blob_directory "" means there is none (then no
// object has a path). With files, each blob or file with a path also tells
// what is on disk there (blob_file.h).
[[nodiscard]] Decoded<void> read_external_objects(std::string_view data, std::string_view blob_directory,
                                                  std::uint64_t database_id, ExternalObjects& objects,
                                                  BlobFiles* files = nullptr);
// The objects as a JSON list.
void append_external_objects(std::string& out, const ExternalObjects& objects);

enum class Stored : std::uint8_t { Inline, Snappy, Blob, BlobSnappy };
// "inline", "snappy", "blob", "blob+snappy"
[[nodiscard]] std::string_view to_string(Stored how) noexcept;

struct Unwrapped {
  std::string_view data;  // the SerializedScriptValue; valid until the next unwrap
  Stored how;
};

// Undoes the wrapper, reading blob files and decompressing into buffers of
// its own that it reuses.
class ValueUnwrapper {
 public:
  // externals: the record's external objects, nullptr when it has none known.
  [[nodiscard]] Decoded<Unwrapped> unwrap(std::string_view data, const ExternalObjects* externals);

 private:
  // Buffers up to this size are reused from record to record; a larger one
  // is given back at the next record.
  static constexpr std::size_t kKeptBuffer = std::size_t{8} << 20;
  DecompressBuffer snappy_;
  ByteBuffer blob_;
  bool large_ = false;
};

}  // namespace vostrel::chromium
