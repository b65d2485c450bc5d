#include "recover/log_carver.h"

#include <bitset>
#include <memory>
#include <vector>

#include "base/crc32c.h"
#include "format/log_format.h"
#include "base/varint.h"

namespace vostrel {
namespace {

// Where LevelDB's writer puts the fragment that follows one ending at `end`:
// right there, unless fewer than a header's bytes are left in the block, which
// it pads with zeros.
std::uint64_t next_fragment_position(std::uint64_t end) {
  const std::uint64_t left = kLogBlockSize - end % kLogBlockSize;
  return left < kLogHeaderSize ? end + left : end;
}

}  // namespace

// Joins verified fragments into logical records across blocks.
class LogCarver::Assembler {
 public:
  Assembler(std::string& joined, LogCarveCounts& counts, const LogicalRecordFn& on_logical,
            std::vector<LogFragment>* fragments)
      : joined_(joined), counts_(counts), on_logical_(on_logical), fragments_(fragments) {}

  // One verified physical record at file position `at`; `known` when the
  // normal framing read a header there.
  void add(std::uint64_t at, LogRecordType type, std::string_view payload, bool known) {
    const std::uint64_t end = at + kLogHeaderSize + payload.size();
    const bool follows = pending_ && at == expected_;
    if (fragments_ != nullptr) {
      // Only verified records come here: each fragment's checksum holds.
      const LogFragment fragment{at, payload.size(), true};
      if (type == LogRecordType::Full || type == LogRecordType::First) fragments_->assign(1, fragment);
      else if (follows && type != LogRecordType::Zero) fragments_->push_back(fragment);
    }
    switch (type) {
      case LogRecordType::Full:
        pending_ = false;
        emit(end, payload, known);
        break;
      case LogRecordType::First:
        joined_.assign(payload);
        pending_ = true;
        first_end_ = end;
        first_known_ = known;
        break;
      case LogRecordType::Middle:
        if (follows) joined_.append(payload);
        else pending_ = false;
        break;
      case LogRecordType::Last:
        if (follows) {
          joined_.append(payload);
          emit(first_end_, joined_, first_known_);
        }
        pending_ = false;
        break;
      case LogRecordType::Zero:
        pending_ = false;
        break;
    }
    expected_ = next_fragment_position(end);
  }

 private:
  void emit(std::uint64_t offset, std::string_view payload, bool known) {
    if (known) return;
    ++counts_.logical;
    on_logical_(offset, payload);
  }

  std::string& joined_;
  LogCarveCounts& counts_;
  const LogicalRecordFn& on_logical_;
  std::vector<LogFragment>* fragments_;
  bool pending_ = false;
  bool first_known_ = false;
  std::uint64_t first_end_ = 0;
  std::uint64_t expected_ = 0;
};

// Per block: which positions the normal framing read a header at, and the
// CRC register after each prefix of the block.
struct LogCarver::Tables {
  std::bitset<kLogBlockSize> known;
  std::vector<std::uint32_t> prefix = std::vector<std::uint32_t>(kLogBlockSize + 1);
};

LogCarver::LogCarver(std::string& joined, const LogicalRecordFn& on_logical, std::vector<LogFragment>* fragments)
    : assembler_(std::make_unique<Assembler>(joined, counts_, on_logical, fragments)),
      tables_(std::make_unique<Tables>()) {}

LogCarver::~LogCarver() = default;

void LogCarver::add_block(std::uint64_t block_start, std::string_view data) {
  const std::string_view block = data.substr(0, kLogBlockSize);
  const std::size_t size = block.size();
  auto& known = tables_->known;
  auto& prefix = tables_->prefix;
  known.reset();
  walk_physical_records(block, [&](std::size_t at, LogRecordType, std::string_view) { known.set(at); });
  prefix[0] = kCrc32cInit;
  crc32c_prefixes(kCrc32cInit, block, prefix.data() + 1);

  std::size_t pos = 0;
  while (size - pos >= kLogHeaderSize) {
    const LogHeader header = decode_log_header(block.substr(pos));
    const std::uint8_t type = header.type;
    const std::size_t length = header.length;
    // Type 0 is what a zeroed or preallocated stretch reads as; LevelDB
    // never writes it with a checksum.
    if (type >= static_cast<std::uint8_t>(LogRecordType::Full) &&
        type <= static_cast<std::uint8_t>(LogRecordType::Last) && length <= size - pos - kLogHeaderSize) {
      const std::size_t payload_end = pos + kLogHeaderSize + length;
      const std::uint32_t stored = crc32c_unmask(header.masked_crc);
      // The checksum covers the type byte (at pos + 6) and the payload.
      if (crc32c_of_range(prefix[pos + 6], prefix[payload_end], length + 1) == stored) {
        ++counts_.verified;
        assembler_->add(block_start + pos, static_cast<LogRecordType>(type),
                        block.substr(pos + kLogHeaderSize, length), known.test(pos));
        pos = payload_end;
        continue;
      }
    }
    ++pos;
  }
}

LogCarveCounts carve_log_payloads(std::string_view data, std::string& joined, const LogicalRecordFn& on_logical) {
  LogCarver carver(joined, on_logical);
  for (std::size_t block_start = 0; block_start < data.size(); block_start += kLogBlockSize) {
    carver.add_block(block_start, data.substr(block_start, kLogBlockSize));
  }
  return carver.counts();
}

}  // namespace vostrel
