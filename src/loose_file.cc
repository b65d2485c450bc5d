#include "loose_file.h"

#include <memory>

#include <algorithm>

#include "byte_buffer.h"
#include "crc32c.h"
#include "log_format.h"
#include "table_format.h"
#include "varint.h"

namespace vostrel {
namespace {

bool ends_with_table_magic(const MappedFile& file) {
  if (file.size() < kFooterSize) return false;
  prepare_fault_guard();
  ByteBuffer buffer;
  const std::string_view magic = file.read(file.size() - 8, 8, buffer);
  return magic.size() == 8 && load_le64(magic.data()) == kTableMagic;
}

}  // namespace

bool begins_with_log_record(std::string_view bytes) {
  if (bytes.size() < kLogHeaderSize) return false;
  const auto type = static_cast<std::uint8_t>(bytes[6]);
  if (type != static_cast<std::uint8_t>(LogRecordType::Full) &&
      type != static_cast<std::uint8_t>(LogRecordType::First)) {
    return false;
  }
  const std::size_t length = static_cast<std::uint8_t>(bytes[4]) |
                             (static_cast<std::size_t>(static_cast<std::uint8_t>(bytes[5])) << 8);
  if (length > std::min(bytes.size(), kLogBlockSize) - kLogHeaderSize) return false;
  return crc32c(bytes.substr(6, length + 1)) == crc32c_unmask(load_le32(bytes.data()));
}

std::expected<LooseFile, OsError> LooseFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(file.error());
  if (!ends_with_table_magic(*file)) {
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
  if (!ends_with_table_magic(file)) {
    return LooseFile(LogFile::from_mapped(std::move(path), std::move(file)));
  }
  ByteBuffer buffer;
  // In case the table reader refuses it.
  MappedFile spare = MappedFile::from_bytes(carve_bytes(file, buffer));
  auto table = LdbFile::from_mapped(path, std::move(file));
  if (table) return LooseFile(std::move(*table));
  return LooseFile(UnopenedTable{std::make_shared<const std::string>(std::move(path)), std::move(spare)});
}

}  // namespace vostrel
