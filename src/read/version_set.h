#pragma once
// A manifest replayed as LevelDB replays it when it opens a database: every
// version edit in file order, and the version they leave behind (which tables
// are live at which level, the log numbers, the last sequence).
//
// LevelDB folds all edits into one builder: within an edit the deleted files
// go first, then the new ones, and across edits a file is live at a level if
// the last edit to name it there added it. That is what apply() does, edit by
// edit. Fields an edit leaves unset keep the value of the last edit that set
// them.
//
// Which manifest: the one CURRENT names, as LevelDB reads it ("MANIFEST-n"
// and a newline); when CURRENT is missing, unreadable or names no manifest in
// the directory, the highest-numbered manifest (the one the store opened),
// and the history says which rule chose it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/version_edit.h"
#include "read/manifest_file.h"
#include "read/store.h"

namespace vostrel {

struct PositionedEdit {
  std::uint64_t offset = 0;  // where the physical record carrying its start begins
  std::uint64_t length = 0;  // of the logical record (the edit's bytes)
  VersionEdit edit;
};

struct Version {
  std::optional<std::string> comparator;
  std::optional<std::uint64_t> log_number;
  std::optional<std::uint64_t> prev_log_number;
  std::optional<std::uint64_t> next_file_number;
  std::optional<std::uint64_t> last_sequence;
  // (level, number) -> the table as its last addition described it.
  std::map<std::pair<std::uint64_t, std::uint64_t>, NewFile> tables;

  void apply(const VersionEdit& edit);
  [[nodiscard]] bool lists_table(std::uint64_t number) const;
  // LevelDB's recovery replays every log whose number is at least the log
  // number, and the previous log; earlier logs were already flushed.
  [[nodiscard]] bool replays_log(std::uint64_t number) const;
};

enum class ManifestChoice : std::uint8_t { Current, HighestNumber };

struct ManifestHistory {
  std::string path;
  ManifestChoice chosen_by = ManifestChoice::Current;
  std::uint64_t size = 0;      // of the file
  std::uint64_t read_end = 0;  // just past the last physical record that completed an edit
  std::vector<PositionedEdit> edits;
  Version current;
};

// The manifest LevelDB would read in the store's directory, replayed; nullopt
// when there is none that can be opened. Stop (polled per block) ends the
// replay early, with what was read so far.
[[nodiscard]] std::optional<ManifestHistory> replay_manifest(const RawLevelDb& db, StopToken* stop = nullptr);

// What each opened data file of a store is to the manifest's current version.
enum class FileActivity : std::uint8_t { Active, Orphaned };

struct StoreActivity {
  bool have_manifest = false;               // false: every file counts as active
  std::vector<FileActivity> files;          // by position in data_files()
  std::vector<std::string> orphaned_paths;  // data files on disk the version does not take part
  std::vector<std::uint64_t> missing;       // tables the version lists that are not on disk
  // By position: a table's level in the version and its smallest user key
  // as the version describes it, for a table the version lists once; level
  // -1 for any other file. A hint of order (key_merge.h), checked there.
  std::vector<std::pair<int, std::string>> levels;
};

[[nodiscard]] StoreActivity classify_files(const RawLevelDb& db, const std::optional<ManifestHistory>& history);

// Whether the files in use are not all known: without a readable manifest
// every data file counts as in use, and a table the version lists that is
// not on disk may have held a newer version of a record that then counts as
// current. A status told either way is to be reported as in doubt.
[[nodiscard]] inline bool files_in_doubt(const StoreActivity& activity) noexcept {
  return !activity.have_manifest || !activity.missing.empty();
}

}  // namespace vostrel
