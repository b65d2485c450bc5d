#pragma once
// A whole store written as JSON Lines or CSV (record_export.h), by one thread
// or by several.
//
// With one thread the caller's thread walks the store (record_stream.h) and
// formats as it goes. With more, formatting is what costs (decoding is about a
// seventh of the time), so worker threads each take the next data file in
// iteration order and decode and format it into chunks of their own; the
// caller's thread hands those chunks to the writer strictly in file order. The
// output is byte for byte what one thread writes.
//
// Memory stays bounded whatever the store: a worker whose chunks the writer
// is not yet taking stops once the chunks queued by all workers reach a
// budget (a few per thread). The file the writer is waiting on may always
// queue a few more, so the walk can never wait on itself.
//
// The caller's check_in(bytes_done, bytes_total) is called on the caller's
// thread at most every `interval` (and, with report_ends, once at the start
// and once at the end); false stops the export at once:
// nothing more is written and the workers are joined. So are the writer's
// chunks: every call of the ChunkWriter happens on the caller's thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "db.h"
#include "record_export.h"

namespace vostrel {

struct StoreExportControl {
  unsigned threads = 1;  // 1: no worker threads
  std::function<bool(std::uint64_t bytes_done, std::uint64_t bytes_total)> check_in = {};
  std::chrono::milliseconds interval{200};
  bool report_ends = false;
};

struct StoreExportResult {
  std::uint64_t records = 0;              // records written
  std::optional<WriteError> write_error;  // what stopped the writer, if anything
  bool stopped = false;                   // check_in answered false
};

// Throws only what allocation throws (std::bad_alloc), from any thread.
[[nodiscard]] StoreExportResult export_store(const RawLevelDb& db, bool reverse, const ExportOptions& options,
                                             ChunkWriter writer, const StoreExportControl& control);

// The worker threads worth starting by default: the processor cores this
// process may run on.
[[nodiscard]] unsigned available_cores() noexcept;

}  // namespace vostrel
