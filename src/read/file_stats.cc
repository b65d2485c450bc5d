#include "read/file_stats.h"

#include <sys/stat.h>

#include "read/record_walk.h"

namespace vostrel {
namespace {

std::optional<std::uint64_t> size_on_disk(const std::string& path) noexcept {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || status.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

std::vector<DataFileStats> count_records_per_file(const RawLevelDb& db, StopToken* stop) {
  std::vector<DataFileStats> result;
  DecodeScratch scratch;
  if (stop != nullptr) scratch.stop = *stop;
  RecordCounts counts;
  walk_units(db, db.reading_order(false, false), counts, scratch, [&](WalkUnit unit, auto&& walk) {
    walk();
    if (scratch.stop.stopped()) return false;
    db.drop_file_pages(unit.slot);
    result.push_back({unit.slot, counts, size_on_disk(path_of(db.data_files()[unit.slot]))});
    counts = {};
    return true;
  });
  return result;
}

}  // namespace vostrel
