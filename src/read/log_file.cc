#include "read/log_file.h"

namespace vostrel {

std::string LogError::message() const { return "IO error: " + error.message(); }

std::expected<LogFile, LogError> LogFile::open(std::string path, FileAccess access) {
  auto file = MappedFile::open(path, access);
  if (!file) return std::unexpected(LogError{file.error()});
  return from_mapped(std::move(path), std::move(*file));
}

LogFile LogFile::from_mapped(std::string path, MappedFile file) {
  return LogFile(std::move(path), std::move(file));
}

}  // namespace vostrel
