// Feeds arbitrary bytes to the manifest reader twice: as the payload of one
// version edit, and as a whole manifest file (framed like a log, every logical
// record decoded). Besides memory errors it checks that the level table built
// at open agrees with the edits that version_edits() returns.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "read/manifest_file.h"
#include "io/mapped_file.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const vostrel::VersionEdit edit = vostrel::VersionEdit::from_buffer(input);
  // Decoding is a pure function of the bytes.
  require(vostrel::VersionEdit::from_buffer(input) == edit);
  // Every decoded item took at least one byte for its tag.
  require(edit.new_files.size() + edit.deleted_files.size() + edit.compact_pointers.size() <= size);

  auto manifest =
      vostrel::ManifestFile::from_mapped("MANIFEST-000001", vostrel::MappedFile::from_bytes(input));
  require(manifest.has_value());
  require(manifest->number() == 1);
  require(manifest->length() == size);

  std::unordered_map<std::uint64_t, std::uint64_t> levels;
  for (const vostrel::VersionEdit& each : manifest->version_edits()) {
    for (const vostrel::NewFile& file : each.new_files) levels[file.number] = file.level;
  }
  require(levels == manifest->file_levels());
  return 0;
}
