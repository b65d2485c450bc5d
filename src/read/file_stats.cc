#include "read/file_stats.h"

#include <sys/stat.h>

#include "read/decode_scratch.h"

namespace vostrel {
namespace {

std::optional<std::uint64_t> size_on_disk(const std::string& path) noexcept {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || status.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

std::vector<DataFileStats> count_records_per_file(const RawLevelDb& db) {
  std::vector<DataFileStats> result;
  DecodeScratch scratch;
  for (const std::size_t position : db.iteration_order(false)) {
    RecordCounts counts;
    db.visit_file_records(position, counts, scratch);
    db.drop_file_pages(position);
    result.push_back({position, counts, size_on_disk(path_of(db.data_files()[position]))});
  }
  return result;
}

}  // namespace vostrel
