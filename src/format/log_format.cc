#include "format/log_format.h"

namespace vostrel {

std::vector<LogicalRecord> read_logical_records(std::string_view data) {
  std::vector<LogicalRecord> records;
  walk_logical_records(data, [&](std::uint64_t offset, std::string_view payload) {
    records.push_back(LogicalRecord{offset, std::string(payload)});
  });
  return records;
}

}  // namespace vostrel
