#include "read/version_set.h"

#include <algorithm>
#include <set>

#include "base/path.h"
#include "format/file_name.h"
#include "format/internal_key.h"
#include "read/framed_file.h"

namespace vostrel {
namespace {

// CURRENT names the manifest in one short line; anything longer is no CURRENT
// LevelDB wrote.
constexpr std::size_t kMaxCurrentBytes = 4096;

std::optional<std::string> manifest_named_by_current(const std::string& prefix) {
  auto current = MappedFile::open(prefix + "CURRENT", FileAccess::CopySmall);
  if (!current || current->size() > kMaxCurrentBytes) return std::nullopt;
  prepare_fault_guard();
  ByteBuffer buffer;
  std::string_view text = current->read(0, static_cast<std::size_t>(current->size()), buffer);
  if (!text.ends_with('\n')) return std::nullopt;
  text.remove_suffix(1);
  const auto named = parse_entry_name(text);
  if (!named || named->kind != EntryKind::Manifest || text.find('/') != std::string_view::npos) return std::nullopt;
  return prefix + std::string(text);
}

}  // namespace

void Version::apply(const VersionEdit& edit) {
  if (edit.comparator) comparator = edit.comparator;
  if (edit.log_number) log_number = edit.log_number;
  if (edit.prev_log_number) prev_log_number = edit.prev_log_number;
  if (edit.next_file_number) next_file_number = edit.next_file_number;
  if (edit.last_sequence) last_sequence = edit.last_sequence;
  for (const auto& [level, number] : edit.deleted_files) tables.erase({level, number});
  for (const NewFile& file : edit.new_files) tables[{file.level, file.number}] = file;
}

bool Version::lists_table(std::uint64_t number) const {
  return std::any_of(tables.begin(), tables.end(), [&](const auto& entry) { return entry.first.second == number; });
}

bool Version::replays_log(std::uint64_t number) const {
  if (prev_log_number && *prev_log_number != 0 && number == *prev_log_number) return true;
  return number >= log_number.value_or(0);
}

std::optional<ManifestHistory> replay_manifest(const RawLevelDb& db, StopToken* stop) {
  const std::string& directory = db.in_dir();
  const std::string prefix = directory.ends_with('/') ? directory : directory + '/';
  ManifestHistory history;
  std::optional<ManifestFile> named;
  if (auto path = manifest_named_by_current(prefix)) {
    if (auto opened = ManifestFile::open(*path, FileAccess::CopySmall)) named.emplace(std::move(*opened));
  }
  const ManifestFile* manifest = named ? &*named : nullptr;
  if (manifest == nullptr) {
    if (!db.manifest()) return std::nullopt;
    history.chosen_by = ManifestChoice::HighestNumber;
    manifest = &*db.manifest();
  }
  history.path = manifest->path();
  history.size = manifest->length();
  ByteBuffer block;
  std::string joined;
  StopToken never;
  walk_logical_records_from(manifest->file(), 0, block, joined, stop != nullptr ? *stop : never,
                            [&](std::uint64_t end, std::string_view payload, std::uint64_t start) {
                              PositionedEdit positioned{start, payload.size(), VersionEdit::from_buffer(payload)};
                              history.current.apply(positioned.edit);
                              history.edits.push_back(std::move(positioned));
                              history.read_end = std::max(history.read_end, end);
                              return true;
                            });
  return history;
}

StoreActivity classify_files(const RawLevelDb& db, const std::optional<ManifestHistory>& history) {
  StoreActivity activity;
  activity.have_manifest = history.has_value();
  activity.files.assign(db.data_files().size(), FileActivity::Active);
  if (!history) return activity;
  const Version& version = history->current;
  // The manifest counts files by the decimal number in their names.
  const auto active = [&](FileType type, const std::string& path) {
    const auto number = decimal_file_number(path);
    if (!number) return false;
    return type == FileType::Ldb ? version.lists_table(*number) : version.replays_log(*number);
  };
  for (std::size_t i = 0; i < db.data_files().size(); ++i) {
    const DataFile& file = db.data_files()[i];
    if (!active(file_type_of(file), path_of(file))) activity.files[i] = FileActivity::Orphaned;
  }
  activity.levels.assign(db.data_files().size(), {-1, {}});
  std::map<std::uint64_t, const NewFile*> listed;  // tables listed once; nullptr for more than once
  for (const auto& [place, file] : version.tables) {
    const auto [at, fresh] = listed.try_emplace(place.second, &file);
    if (!fresh) at->second = nullptr;
  }
  for (std::size_t i = 0; i < db.data_files().size(); ++i) {
    const DataFile& file = db.data_files()[i];
    const auto number = decimal_file_number(path_of(file));
    if (file_type_of(file) != FileType::Ldb || !number) continue;
    const auto at = listed.find(*number);
    if (at == listed.end() || at->second == nullptr || at->second->level > 64) continue;
    std::string_view smallest = at->second->smallest;
    if (smallest.size() >= kInternalKeyTrailerSize) smallest.remove_suffix(kInternalKeyTrailerSize);
    activity.levels[i] = {static_cast<int>(at->second->level), std::string(smallest)};
  }
  // Every data file on disk, also those the normal read left out.
  std::set<std::uint64_t> tables_on_disk;
  for (const ListedDataFile& listed : db.listed_files()) {
    const auto number = decimal_file_number(listed.path);
    if (listed.type == FileType::Ldb && number) tables_on_disk.insert(*number);
    if (!active(listed.type, listed.path)) activity.orphaned_paths.push_back(listed.path);
  }
  for (const auto& [place, file] : version.tables) {
    if (!tables_on_disk.contains(place.second)) activity.missing.push_back(place.second);
  }
  std::sort(activity.missing.begin(), activity.missing.end());
  activity.missing.erase(std::unique(activity.missing.begin(), activity.missing.end()), activity.missing.end());
  return activity;
}

}  // namespace vostrel
