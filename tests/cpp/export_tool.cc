// Writes the records of a database directory to stdout through the native
// exporter, so that the Python tests can compare its output with the command's
// Python formatting byte for byte.
//
//   export_tool FORMAT ENCODING STATES REVERSE DIR
//
// FORMAT jsonl|csv, ENCODING escaped|hex|base64, STATES "all" or a comma list
// of deleted,live,unknown, REVERSE 0|1. DIR is taken as raw bytes.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "read/store.h"
#include "export/store_export.h"

namespace {

std::expected<void, vostrel::WriteError> write_all(std::string_view chunk) {
  while (!chunk.empty()) {
    const ssize_t n = ::write(1, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(vostrel::WriteError{errno, std::strerror(errno)});
    }
    chunk.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: export_tool FORMAT ENCODING STATES REVERSE DIR\n");
    return 2;
  }
  const std::string_view format = argv[1], encoding = argv[2], states = argv[3];
  vostrel::ExportOptions options;
  options.format = format == "csv" ? vostrel::ExportFormat::Csv : vostrel::ExportFormat::Jsonl;
  options.encoding = encoding == "hex"      ? vostrel::ByteEncoding::Hex
                     : encoding == "base64" ? vostrel::ByteEncoding::Base64
                                            : vostrel::ByteEncoding::Escaped;
  if (states != "all") {
    options.states.emplace();
    if (states.find("deleted") != std::string_view::npos) options.states->push_back(vostrel::KeyState::Deleted);
    if (states.find("live") != std::string_view::npos) options.states->push_back(vostrel::KeyState::Live);
    if (states.find("unknown") != std::string_view::npos) options.states->push_back(vostrel::KeyState::Unknown);
  }
  auto db = vostrel::RawLevelDb::open(argv[5]);
  if (!db) {
    std::fprintf(stderr, "%s\n", db.error().message().c_str());
    return 1;
  }
  // One thread: the exporter the command's export drives, on the caller's
  // thread alone.
  const auto result = vostrel::export_store(*db, std::string_view(argv[4]) == "1", options, write_all, {});
  if (result.write_error) {
    std::fprintf(stderr, "write error: %s\n", result.write_error->message.c_str());
    return 1;
  }
  return 0;
}
