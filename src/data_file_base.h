#pragma once
// What every data file reader holds: the path it was opened under (shared by
// all of its records), the file's bytes, and the number its name gives it.
// LdbFile and LogFile build on it, so the directory reader treats them alike.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode_scratch.h"
#include "file_name.h"
#include "mapped_file.h"
#include "types.h"

namespace vostrel {

template <class Reader>
class DataFileBase {
 public:
  // Every record of the file, in file order. Never fails.
  [[nodiscard]] std::vector<Record> records() const {
    VectorSink sink;
    DecodeScratch scratch;
    static_cast<const Reader*>(this)->visit_records(sink, scratch);
    return std::move(sink).take();
  }

  [[nodiscard]] const std::string& path() const noexcept { return *path_; }
  [[nodiscard]] const SharedPath& shared_path() const noexcept { return path_; }
  [[nodiscard]] std::uint64_t number() const noexcept { return number_; }
  [[nodiscard]] std::size_t length() const noexcept { return file_.size(); }
  [[nodiscard]] bool has_mapping() const noexcept { return file_.has_mapping(); }
  // The file's bytes, read only through MappedFile::read (never as a view of
  // the mapping, which a shrinking file would turn into SIGBUS).
  [[nodiscard]] const MappedFile& file() const noexcept { return file_; }

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
