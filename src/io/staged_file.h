#pragma once
// A file written under a temporary name beside its target and given the
// target's name only when it is whole: a reader of the directory (or a run
// that was interrupted) never meets a partial file under a final name.
//
// The temporary file is made with mkstemp (O_EXCL, mode 0600) in the target's
// directory, so the rename that publishes it stays on one file system and is
// atomic. A file not published is removed when the object goes.

#include <expected>
#include <string>
#include <string_view>

#include "io/mapped_file.h"

namespace vostrel {

class StagedFile {
 public:
  // A temporary file in `directory`, its name starting with `prefix`.
  [[nodiscard]] static std::expected<StagedFile, OsError> create(const std::string& directory,
                                                             std::string_view prefix);

  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Appends every byte (short writes and interruptions continued).
  [[nodiscard]] std::expected<void, OsError> write(std::string_view bytes) noexcept;
  // Closes the file and gives it the name `path`, unless a file of that name
  // exists already: then it is removed and false returned (the name's
  // content is never replaced by this).
  [[nodiscard]] std::expected<bool, OsError> publish(const std::string& path);

 private:
  StagedFile(int fd, std::string path) noexcept : fd_(fd), path_(std::move(path)) {}
  void discard() noexcept;

  int fd_ = -1;
  std::string path_;  // the temporary name; empty once published or discarded
};

}  // namespace vostrel
