#pragma once
// What every data file reader holds: the path it was opened under (shared by
// all of its records), the file's bytes, and the number its name gives it.
// TableFile and LogFile build on it, so the directory reader treats them alike.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/decode_scratch.h"
#include "format/file_name.h"
#include "io/mapped_file.h"
#include "format/record.h"

namespace vostrel {

// A file's resume point once a resumable walk (visit_records_from) has handed
// over its last record.
inline constexpr std::uint64_t kFileDone = UINT64_MAX;

// Passes records on to a sink and counts them, so that a resumable walk knows
// when it has handed over enough.
template <RecordSink Sink>
struct CountingSink {
  Sink& sink;
  std::size_t count = 0;
  void operator()(const RecordView& view) {
    count += weight(view);
    sink(view);
  }
  // How much of a walk's `want` one record uses up: one, unless the sink
  // weighs its records itself (a sink bounding its memory by bytes counts a
  // large record as many, so the walk stops after the block that holds it).
  [[nodiscard]] std::size_t weight(const RecordView& view) const {
    if constexpr (requires { sink.weight(view); }) {
      return sink.weight(view);
    } else {
      return 1;
    }
  }
};

template <class Reader>
class DataFileBase {
 public:
  // A resumable walk: visit_records_from(resume, want, sink, scratch) hands
  // over the records from the resume point `resume` (0 at the start of the
  // file) in whole units (a table's data block, a log's write batch) until at
  // least `want` records have gone to the sink or the file ends, and returns
  // the resume point to continue from, or kFileDone. Walking a file in any
  // number of such steps hands over exactly what visit_records does.

  [[nodiscard]] const std::string& path() const noexcept { return *path_; }
  [[nodiscard]] const SharedPath& shared_path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  [[nodiscard]] std::size_t length() const noexcept { return file_.size(); }
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }
  // The file's bytes, read only through MappedFile::read (never as a view of
  // the mapping, which a shrinking file would turn into SIGBUS).
  [[nodiscard]] const MappedFile& file() const noexcept { return file_; }
  // See MappedFile::drop_pages.
  void drop_pages() const noexcept { file_.drop_pages(); }

 protected:
  // The number comes from the path's stem (file_name.h).
  DataFileBase(std::string path, MappedFile file)
      : path_(std::make_shared<const std::string>(std::move(path))),
        file_(std::move(file)),
        number_(file_number_from_path(*path_)) {}

  SharedPath path_;
  MappedFile file_;
  std::uint64_t number_;
};

}  // namespace vostrel
