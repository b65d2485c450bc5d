#include "loose_file.h"

#include <memory>

#include "table_format.h"
#include "varint.h"

namespace vostrel {
namespace {

bool ends_with_table_magic(std::string_view bytes) {
  return bytes.size() >= kFooterSize && load_le64(bytes.data() + bytes.size() - 8) == kTableMagic;
}

}  // namespace

std::expected<LooseFile, OsError> LooseFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(file.error());
  if (!ends_with_table_magic(file->bytes())) {
    return LooseFile(LogFile::from_mapped(std::move(path), std::move(*file)));
  }
  auto table = LdbFile::from_mapped(path, std::move(*file));
  if (table) return LooseFile(std::move(*table));
  // The table reader took the mapping with it; map the file again to carve it.
  auto again = MappedFile::open(path);
  if (!again) return std::unexpected(again.error());
  return LooseFile(UnopenedTable{std::make_shared<const std::string>(std::move(path)), std::move(*again)});
}

LooseFile LooseFile::from_mapped(std::string path, MappedFile file) {
  if (!ends_with_table_magic(file.bytes())) {
    return LooseFile(LogFile::from_mapped(std::move(path), std::move(file)));
  }
  MappedFile spare = MappedFile::from_bytes(file.bytes());  // in case the table reader refuses it
  auto table = LdbFile::from_mapped(path, std::move(file));
  if (table) return LooseFile(std::move(*table));
  return LooseFile(UnopenedTable{std::make_shared<const std::string>(std::move(path)), std::move(spare)});
}

}  // namespace vostrel
