#include "recover/loose_file.h"

#include <memory>

#include <algorithm>

#include "base/byte_buffer.h"
#include "format/log_format.h"
#include "format/table_format.h"

namespace vostrel {
namespace {

bool ends_with_table_magic(const MappedFile& file) {
  if (file.size() < kFooterSize) return false;
  prepare_fault_guard();
  ByteBuffer buffer;
  return is_table_magic(file.read(file.size() - 8, 8, buffer));
}

}  // namespace

bool begins_with_log_record(std::string_view bytes) {
  if (bytes.size() < kLogHeaderSize) return false;
  const LogHeader header = decode_log_header(bytes);
  if (header.type != static_cast<std::uint8_t>(LogRecordType::Full) &&
      header.type != static_cast<std::uint8_t>(LogRecordType::First)) {
    return false;
  }
  if (header.length > std::min(bytes.size(), kLogBlockSize) - kLogHeaderSize) return false;
  return log_checksum_matches(bytes, 0, header);
}

bool begins_with_log_record(const MappedFile& file) {
  prepare_fault_guard();
  ByteBuffer buffer;
  return begins_with_log_record(file.read(0, kLogBlockSize, buffer));
}

std::expected<LooseFile, OsError> LooseFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(file.error());
  if (!ends_with_table_magic(*file)) {
    return LooseFile(LogFile::from_mapped(std::move(path), std::move(*file)));
  }
  auto table = TableFile::from_mapped(path, std::move(*file));
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
  prepare_fault_guard();
  ByteBuffer buffer;
  // In case the table reader refuses it.
  MappedFile spare = MappedFile::from_bytes(file.read(0, file.size(), buffer));
  auto table = TableFile::from_mapped(path, std::move(file));
  if (table) return LooseFile(std::move(*table));
  return LooseFile(UnopenedTable{std::make_shared<const std::string>(std::move(path)), std::move(spare)});
}

}  // namespace vostrel
