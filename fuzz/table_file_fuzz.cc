// Table reader fuzz target. The input is used three ways: as a whole table
// file (open, every record, every block the index names), as the contents of
// one decompressed block, and as one stored compressed block. None of them may
// crash, hang, read out of bounds or allocate what the input merely claims.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "format/block.h"
#include "format/compression.h"
#include "read/table_file.h"
#include "io/mapped_file.h"

namespace {

volatile std::size_t sink;  // keeps results observable so nothing is optimised away

void read_table(std::string_view bytes) {
  auto table = vostrel::TableFile::from_mapped("000007.ldb", vostrel::MappedFile::from_bytes(bytes));
  if (!table) {
    sink = sink + table.error().message().size();
    return;
  }
  vostrel::VectorSink owned;
  vostrel::DecodeScratch scratch;
  table->visit_records(owned, scratch);
  for (const auto& record : std::move(owned).take()) sink = sink + record.key.size() + record.value.size();
  vostrel::ByteBuffer stored;
  vostrel::DecompressBuffer buffer;
  for (const auto& [separator, handle] : table->index()) {
    const auto block = table->read_block(handle, stored, buffer);
    if (!block) {
      sink = sink + block.error().message().size();
      continue;
    }
    for (const auto& e : vostrel::block_entries(block->contents)) sink = sink + e.key.size() + e.offset;
  }
}

void decode_block(std::string_view contents) {
  for (const auto& e : vostrel::block_entries(contents)) sink = sink + e.key.size() + e.value.size();
}

// Every codec the type byte can choose: Snappy (1), zstd or zlib by content
// (2), raw deflate (4).
void decompress(std::string_view stored) {
  vostrel::DecompressBuffer buffer;
  for (const std::uint8_t type : {1, 2, 4}) {
    if (const auto out = vostrel::decompress_block(type, stored, buffer)) {
      sink = sink + out->size();
    } else {
      sink = sink + out.error().message().size();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  read_table(bytes);
  decode_block(bytes);
  decompress(bytes);
  return 0;
}
