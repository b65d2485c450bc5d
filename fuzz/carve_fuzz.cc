// Carving fuzz target. The input is carved as a table (its blocks by trailer
// checksum, with every verified stretch refused once so that the search must
// resynchronise), as a log (physical records by header checksum), and read as
// a loose file. None of it may crash, hang, read out of bounds or report a
// record twice from the same place.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "recover/log_carver.h"
#include "recover/loose_file.h"
#include "io/mapped_file.h"
#include "recover/table_carver.h"

namespace {

volatile std::size_t sink;  // keeps results observable so nothing is optimised away

void carve_table(std::string_view bytes) {
  vostrel::DecodeScratch scratch;
  static const vostrel::SharedPath path = std::make_shared<const std::string>("f1.bin");
  auto count = [&](const vostrel::RecordView& r) { sink = sink + r.key.size() + r.value.size(); };
  vostrel::carve_table_records(vostrel::MappedFile::from_bytes(bytes), {}, &path, count, scratch);
  // Every stretch offered lies inside the input, and stretches never overlap.
  std::uint64_t end = 0;
  bool refuse = true;
  vostrel::scan_table_blocks(bytes, [&](const vostrel::VerifiedExtent& e) {
    if (e.offset < end || e.size > bytes.size() - e.offset || bytes.size() - e.offset - e.size < 5) std::abort();
    refuse = !refuse;
    if (refuse) return false;
    end = e.offset + e.size + 5;
    return true;
  });
}

void carve_log(std::string_view bytes) {
  std::string joined;
  std::uint64_t last = 0;
  vostrel::carve_log_payloads(bytes, joined, [&](std::uint64_t offset, std::string_view payload) {
    if (offset <= last && last != 0) std::abort();  // file order, each place once
    last = offset;
    sink = sink + payload.size();
  });
}

void read_loose(std::string_view bytes) {
  vostrel::DecodeScratch scratch;
  const auto file = vostrel::LooseFile::from_mapped("f2.bin", vostrel::MappedFile::from_bytes(bytes));
  auto count = [&](const vostrel::RecordView& r) { sink = sink + r.key.size() + r.offset; };
  sink = sink + static_cast<std::size_t>(file.visit_records(true, count, scratch));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  carve_table(bytes);
  carve_log(bytes);
  read_loose(bytes);
  return 0;
}
