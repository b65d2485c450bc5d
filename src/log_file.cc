#include "log_file.h"

#include "file_number.h"

namespace vostrel {

std::vector<LogicalRecord> read_logical_records(std::string_view data) {
  std::vector<LogicalRecord> records;
  walk_logical_records(data, [&](std::uint64_t offset, std::string_view payload) {
    records.push_back(LogicalRecord{offset, std::string(payload)});
  });
  return records;
}

std::string LogError::message() const { return "IO error: " + error.message(); }

std::expected<LogFile, LogError> LogFile::open(std::string path) {
  auto file = MappedFile::open(path);
  if (!file) return std::unexpected(LogError{file.error()});
  return from_mapped(std::move(path), std::move(*file));
}

LogFile LogFile::from_mapped(std::string path, MappedFile file) {
  const std::uint64_t number = file_number_from_path(path);
  return LogFile(std::make_shared<const std::string>(std::move(path)), std::move(file), number);
}

std::vector<Record> LogFile::records() const {
  VectorSink sink;
  visit_records(sink);
  return std::move(sink).take();
}

}  // namespace vostrel
