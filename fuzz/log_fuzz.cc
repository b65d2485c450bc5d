// Feeds arbitrary bytes to the log reader three ways (the whole file also
// through the resumable walk): as a whole log file, as
// a log file whose bytes straddle the first block boundary (so that small
// inputs reach the cross-block joining of fragments), and as the payload of a
// single logical record decoded as a write batch.
//
// Damaged input may only lose records: the reader must not crash, read out of
// bounds, hang, or produce records that could not come from the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "read/log_file.h"
#include "io/mapped_file.h"
#include "format/record.h"

namespace {

using vostrel::KeyState;
using vostrel::LogFile;
using vostrel::RecordView;

[[noreturn]] void fail() { __builtin_trap(); }

// Checks what every record of a log must satisfy, without keeping copies.
struct CheckingSink {
  std::size_t input_size;
  std::uint64_t max_offset;
  std::size_t count = 0;
  void operator()(const RecordView& r) {
    ++count;
    if (r.file_type != vostrel::FileType::Log || r.was_compressed) fail();
    // A batch can never hold more key and value bytes than the input has.
    if (r.key.size() + r.value.size() > input_size) fail();
    if (r.state == KeyState::Deleted && !r.value.empty()) fail();
    if (r.offset > max_offset) fail();
  }
};

void check_file(const std::string& bytes) {
  const LogFile log = LogFile::from_mapped("/fuzz/000001.log", vostrel::MappedFile::from_bytes(bytes));
  // An entry offset counts 12 batch header bytes and its tag position on top
  // of a logical record offset, neither of which can pass the file's end.
  CheckingSink sink{bytes.size(), 2 * static_cast<std::uint64_t>(bytes.size()), 0};
  vostrel::DecodeScratch scratch;
  log.visit_records(sink, scratch);

  std::size_t payload_total = 0;
  std::size_t via_logical = 0;
  const auto logical = vostrel::read_logical_records(bytes);
  for (const auto& record : logical) {
    payload_total += record.payload.size();
    if (record.offset > bytes.size()) fail();
    CheckingSink batch_sink{bytes.size(), 2 * static_cast<std::uint64_t>(bytes.size()), 0};
    vostrel::decode_write_batch(record.offset, record.payload, &log.shared_path(), batch_sink);
    via_logical += batch_sink.count;
  }
  // Fragments are disjoint ranges of the file.
  if (payload_total > bytes.size()) fail();
  // Both routes to the records agree, and so does the owning list.
  if (via_logical != sink.count) fail();
  vostrel::VectorSink owned;
  log.visit_records(owned, scratch);
  if (std::move(owned).take().size() != sink.count) fail();

  // The resumable walk, one write batch at a time, hands over exactly the
  // same records, and every resume point lies inside the file and moves on.
  CheckingSink stepped{bytes.size(), 2 * static_cast<std::uint64_t>(bytes.size()), 0};
  std::uint64_t resume = 0;
  while (resume != vostrel::kFileDone) {
    const std::uint64_t next = log.visit_records_from(resume, 1, stepped, scratch);
    if (next != vostrel::kFileDone && (next <= resume || next >= bytes.size())) fail();
    resume = next;
  }
  if (stepped.count != sink.count) fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  check_file(input);

  // The same bytes placed so that the first `split` of them end block 0 and
  // the rest open block 1. One zero-type record fills block 0 up to them, so
  // the input's first byte is where a header would start.
  if (size >= 2) {
    const std::size_t word = static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8;
    const std::size_t split = word % (std::min(size, vostrel::kLogBlockSize - 7) + 1);
    const std::size_t filler = vostrel::kLogBlockSize - split - vostrel::kLogHeaderSize;
    std::string spread(vostrel::kLogBlockSize - split, '\0');
    spread[4] = static_cast<char>(filler & 0xFF);
    spread[5] = static_cast<char>(filler >> 8);  // type 0 at [6]
    spread += input;
    check_file(spread);
  }

  // The raw input as one write batch.
  const auto path = std::make_shared<const std::string>("/fuzz/000002.log");
  CheckingSink sink{size, 12 + static_cast<std::uint64_t>(size), 0};
  vostrel::decode_write_batch(0, input, &path, sink);
  return 0;
}
