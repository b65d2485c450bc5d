#pragma once
// Helpers shared by the C++ tests: temporary directories and files, and byte
// builders for hand-made malformed inputs.

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrel::testing {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // path() + "/" + name
  [[nodiscard]] std::string file(std::string_view name) const;

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view bytes);
[[nodiscard]] std::string read_file(const std::string& path);

// Bytes from a hex text such as "ac 02" (spaces ignored).
[[nodiscard]] std::string hex(std::string_view text);

// n bytes from a fixed seed: the same bytes on every run.
[[nodiscard]] std::string random_bytes(std::size_t n, std::uint32_t seed);

[[nodiscard]] std::string varint(std::uint64_t value);
[[nodiscard]] std::string fixed32(std::uint32_t value);
[[nodiscard]] std::string fixed64(std::uint64_t value);

}  // namespace vostrel::testing

// ---- Genuine LevelDB data, log framing and process helpers ----
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace vostrel::testing {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// One physical log record: zero checksum, little-endian length, type, payload.
[[nodiscard]] std::string log_physical_record(std::uint8_t type, std::string_view payload);

// Frames payloads exactly as LevelDB's log writer does: fragments at 32 KiB
// block boundaries, a tail of fewer than 7 bytes padded with zeros.
[[nodiscard]] std::string frame_as_log(const std::vector<std::string>& payloads);

// A table file written by LevelDB's own TableBuilder. Entries are user keys
// (sorted here); each gets an internal-key trailer of a rising sequence number
// from first_seq and value type 1 (a put).
[[nodiscard]] std::string real_table_bytes(KeyValues entries, std::uint64_t first_seq, bool compress);

// The largest table of a LevelDB database that received these puts and was
// then compacted: a table as the database writes it (internal-key index
// separators, and with bloom_filter a filter block and its metaindex entry).
[[nodiscard]] std::string compacted_table_bytes(const KeyValues& puts, bool compress, bool bloom_filter);

// The log file of a LevelDB database that received these puts (one batch
// each), then these deletions, and was closed before any flush.
[[nodiscard]] std::string real_log_bytes(const KeyValues& puts,
                                         const std::vector<std::string>& deletes = {});

// Writes a genuine multi-file database into dir (created if missing) with the
// real library over several sessions: overwrites, deletions, Snappy-compressed
// and incompressible values, level-0 tables from reopening, a manual
// compaction, and a final log left unflushed. The logs of earlier sessions,
// which LevelDB deletes once flushed, are put back, so the directory holds
// several logs as a recovered disk image would. Returns the live contents
// (user key -> value) as LevelDB's iterator reported them before the last close.
std::map<std::string, std::string> build_real_database(const std::string& dir);

// Entry names of dir in the order readdir returns them, without "." and "..".
[[nodiscard]] std::vector<std::string> list_directory(const std::string& dir);

// Runs fn in a forked child that has dropped root privileges (to nobody, if
// the tests run as root) and returns the text it produced. nullopt when the
// privileges cannot be dropped. fn must not use GoogleTest assertions.
[[nodiscard]] std::optional<std::string> run_unprivileged(const std::function<std::string()>& fn);

// What the real library's dumper (leveldb::DumpFile) prints for a log or
// table file: an independent oracle for the readers.
[[nodiscard]] std::string dump_with_library(const std::string& path);
// Bytes as that dump shows them: printable ASCII as is, every other byte \xNN.
[[nodiscard]] std::string dump_escaped(std::string_view bytes);

}  // namespace vostrel::testing

// ---- The store walk, as production callers drive it ----
#include "format/record.h"
#include "read/record_walk.h"

namespace vostrel::testing {

// Every record of the store's normal read (reading_order), handed to sink.
template <RecordSink Sink>
void walk_all(const RawLevelDb& db, bool reverse, Sink& sink) {
  DecodeScratch scratch;
  walk_units(db, db.reading_order(reverse, false), sink, scratch, [](WalkUnit, auto&& walk) {
    walk();
    return true;
  });
}

// Every record of one data file (a TableFile or LogFile), owned.
template <class Reader>
[[nodiscard]] std::vector<Record> file_records(const Reader& reader) {
  VectorSink sink;
  DecodeScratch scratch;
  reader.visit_records(sink, scratch);
  return std::move(sink).take();
}

// The store's records, owned.
[[nodiscard]] inline std::vector<Record> store_records(const RawLevelDb& db, bool reverse) {
  VectorSink sink;
  walk_all(db, reverse, sink);
  return std::move(sink).take();
}

}  // namespace vostrel::testing
