// Structure walk fuzz target: the input as one file, walked once as it would
// be under a table's or log's name and once under a manifest's (the name only
// decides how logical records of the framing are decoded). No input may crash,
// hang, read out of bounds or allocate what it merely claims; every item must
// lie inside the file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "io/mapped_file.h"
#include "read/file_structure.h"

namespace {

volatile std::size_t sink;  // keeps results observable so nothing is optimised away

void check_inside(std::uint64_t offset, std::uint64_t length, std::size_t size) {
  if (offset > size || length > size - offset) std::abort();
}

void walk(const vostrel::MappedFile& file, std::string_view name) {
  vostrel::StopToken stop;
  const std::size_t size = file.size();
  const auto summary = vostrel::walk_file_structure(
      file, name,
      [&](const vostrel::StructureItem& item) {
        if (const auto* stretch = std::get_if<vostrel::StretchItem>(&item)) {
          check_inside(stretch->offset, stretch->length, size);
        } else if (const auto* record = std::get_if<vostrel::PhysicalRecordItem>(&item)) {
          check_inside(record->offset, record->length, size);
        } else if (const auto* block = std::get_if<vostrel::BlockItem>(&item)) {
          sink = sink + block->first_key.size() + block->last_key.size() + block->error.size();
        }
        sink = sink + item.index();
      },
      stop);
  if (summary.size != size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const vostrel::MappedFile file = vostrel::MappedFile::from_bytes(bytes);
  walk(file, "000007.ldb");
  walk(file, "MANIFEST-000002");
  return 0;
}
