#include "chromium/indexeddb_value.h"


#include "chromium/windows_time.h"
#include "export/json_text.h"
#include "export/python_repr.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "base/hex.h"
#include "base/utf8.h"

namespace vostrel::chromium {
namespace {

constexpr std::uint8_t kWrapperCommand1 = 0xFF;
constexpr std::uint8_t kWrapperCommand2 = 0x11;
constexpr std::uint8_t kReplaceWithBlob = 1;
constexpr std::uint8_t kCompressedWithSnappy = 2;

void append_blob_path(std::string& path, std::string_view directory, std::uint64_t database_id, Wide number) {
  path.assign(directory);
  if (path.empty() || path.back() != '/') path.push_back('/');
  append_wide_hex(path, database_id);
  path.push_back('/');
  hex::append_byte(path, static_cast<std::uint8_t>(number >> 8));
  path.push_back('/');
  append_wide_hex(path, number);
}

// One object at data[pos]; returns the position after it.
Decoded<std::size_t> read_object(std::string_view data, std::size_t pos, std::string_view blob_directory,
                                 std::uint64_t database_id, std::string& json, std::string& path, bool& has_path,
                                 BlobFiles* files) {
  const auto kind = static_cast<std::uint8_t>(data[pos]);
  ++pos;
  has_path = false;
  if (kind > 2) return std::unexpected("unknown external object type " + std::to_string(kind));
  static constexpr std::string_view kNames[] = {"blob", "file", "file_system_access_handle"};
  json.assign("{\"object_type\": \"");
  json += kNames[kind];
  json.push_back('"');
  if (kind == 2) {
    auto token = read_length_prefixed(data, pos, 1, "a handle token");
    if (!token) return std::unexpected(std::move(token.error()));
    json += ", \"token\": ";
    json::append_hex(json, token->bytes);
    json.push_back('}');
    return token->end;
  }
  auto number = read_varint(data, pos);
  if (!number) return std::unexpected(std::move(number.error()));
  auto mime = read_string_with_length(data, number->end);
  if (!mime) return std::unexpected(std::move(mime.error()));
  auto size = read_varint(data, mime->end);
  if (!size) return std::unexpected(std::move(size.error()));
  pos = size->end;
  if (kind == 1) {
    auto name = read_string_with_length(data, pos);
    if (!name) return std::unexpected(std::move(name.error()));
    auto modified = read_varint(data, name->end);
    if (!modified) return std::unexpected(std::move(modified.error()));
    pos = modified->end;
    json += ", \"name\": ";
    append_units(json, name->bytes);
    json += ", \"last_modified\": ";
    // A time that is no moment a date can hold is shown as its number.
    if (!append_windows_time(json, static_cast<WideSigned>(modified->value))) append_wide(json, modified->value);
  }
  json += ", \"type\": ";
  append_units(json, mime->bytes);
  json += ", \"size\": ";
  append_wide(json, size->value);
  json += ", \"blob_number\": ";
  append_wide(json, number->value);
  if (!blob_directory.empty()) {
    append_blob_path(path, blob_directory, database_id, number->value);
    has_path = true;
    json += ", \"path\": ";
    json::append_utf8_surrogateescape(json, path);
    if (files != nullptr) files->append_facts(json, path);
  }
  json.push_back('}');
  return pos;
}

}  // namespace

Decoded<void> read_external_objects(std::string_view data, std::string_view blob_directory,
                                    std::uint64_t database_id, ExternalObjects& objects, BlobFiles* files) {
  objects.clear();
  std::size_t pos = 0;
  std::string json;
  std::string path;
  while (pos < data.size()) {
    bool has_path = false;
    auto next = read_object(data, pos, blob_directory, database_id, json, path, has_path, files);
    if (!next) return std::unexpected(std::move(next.error()));
    pos = *next;
    objects.json.push_back(json);
    objects.paths.push_back(has_path ? path : std::string());
    objects.has_path.push_back(has_path);
  }
  return {};
}

void append_external_objects(std::string& out, const ExternalObjects& objects) {
  out.push_back('[');
  for (std::size_t i = 0; i < objects.json.size(); ++i) {
    if (i != 0) out += ", ";
    out += objects.json[i];
  }
  out.push_back(']');
}

std::string_view to_string(Stored how) noexcept {
  switch (how) {
    case Stored::Inline: return "inline";
    case Stored::Snappy: return "snappy";
    case Stored::Blob: return "blob";
    case Stored::BlobSnappy: return "blob+snappy";
  }
  return "inline";
}

Decoded<Unwrapped> ValueUnwrapper::unwrap(std::string_view data, const ExternalObjects* externals) {
  // A large blob file or decompressed value is not kept past its record.
  if (large_) {
    snappy_ = DecompressBuffer();
    blob_ = ByteBuffer();
    large_ = false;
  }
  Stored how = Stored::Inline;
  for (int round = 0; round < 2; ++round) {
    if (data.size() < 3 || static_cast<std::uint8_t>(data[0]) != kWrapperCommand1 ||
        static_cast<std::uint8_t>(data[1]) != kWrapperCommand2) {
      return Unwrapped{data, how};
    }
    const auto command = static_cast<std::uint8_t>(data[2]);
    if (command == kCompressedWithSnappy) {
      // Compression type 1 is Snappy; its declared length is checked against
      // what the input can expand to before anything is allocated.
      auto output = decompress_snappy(data.substr(3), snappy_);
      if (!output) {
        // Corrupt data may have filled the buffer (up to its declared 256 MiB)
        // before failing: nothing in it is wanted, so it goes now, before the
        // record's raw bytes are written out.
        snappy_ = DecompressBuffer();
        return std::unexpected("compressed value: " + output.error().message());
      }
      large_ = large_ || output->size() > kKeptBuffer;
      return Unwrapped{*output, how == Stored::Inline ? Stored::Snappy : Stored::BlobSnappy};
    }
    if (command == kReplaceWithBlob && how == Stored::Inline) {
      auto size = read_varint(data, 3);
      if (!size) return std::unexpected(std::move(size.error()));
      auto index = read_varint(data, size->end);
      if (!index) return std::unexpected(std::move(index.error()));
      if (externals == nullptr || index->value >= externals->json.size()) {
        std::string reason = "value kept in external object ";
        append_wide(reason, index->value);
        reason += ", which is not listed";
        return std::unexpected(std::move(reason));
      }
      const auto i = static_cast<std::size_t>(index->value);
      auto cannot_read = [&] {
        std::string reason = "value kept in blob file ";
        if (externals->has_path[i]) {
          append_python_repr(reason, externals->paths[i]);
        } else {
          reason += "None";
        }
        reason += ", which cannot be read";
        return std::unexpected(std::move(reason));
      };
      if (!externals->has_path[i] || externals->paths[i].empty()) return cannot_read();
      auto file = MappedFile::open(externals->paths[i]);
      if (!file) return cannot_read();
      // Chromium writes a blob file in one go, so it has no holes; one that
      // does is not read (a sparse file of a gigabyte costs a gigabyte of
      // zeros to read, for nothing that can decode).
      if (file->has_holes()) {
        std::string reason = "value kept in blob file ";
        append_python_repr(reason, externals->paths[i]);
        reason += ", which has holes: not read";
        return std::unexpected(std::move(reason));
      }
      // The reader stops one byte past the largest file it reads, so a larger
      // file reports that many bytes.
      const std::size_t held = std::min(file->size(), kMaxBlobFile + 1);
      if (held != size->value) {
        return std::unexpected("blob file holds " + std::to_string(held) + " bytes, the value says " +
                               [&] { std::string n; append_wide(n, size->value); return n; }());
      }
      prepare_fault_guard();
      const std::string_view content = file->read(0, held, blob_);
      large_ = held > kKeptBuffer;
      if (content.size() != held) {
        // The file lost bytes since it was opened.
        return std::unexpected("blob file holds " + std::to_string(content.size()) + " bytes, the value says " +
                               std::to_string(held));
      }
      data = content;
      how = Stored::Blob;
      continue;
    }
    return std::unexpected("unknown value wrapper command " + std::to_string(command));
  }
  return Unwrapped{data, how};
}

}  // namespace vostrel::chromium
