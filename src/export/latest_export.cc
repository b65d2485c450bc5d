#include "export/latest_export.h"

#include <cerrno>

#include "read/current_versions.h"
#include "read/key_merge.h"
#include "read/latest_records.h"

namespace vostrel {
namespace {

// The first pass keeps nothing: it only finds out whether the merge holds.
class Discard final : public WinnerSink {
 public:
  void winner(const RecordView&, KeyState, std::size_t, std::uint64_t) override {}
};

}  // namespace

StoreExportResult export_latest(const RawLevelDb& db, const ExportOptions& options, ChunkWriter writer,
                                const StoreExportControl& control) {
  using Clock = std::chrono::steady_clock;
  StoreExportResult result;
  std::uint64_t total = 0;
  for (const WalkUnit unit : db.reading_order(false, false)) total += db.unit_length(unit);
  std::uint64_t done = 0;
  auto last_check = Clock::now();
  const auto check_in = [&] { return !control.check_in || control.check_in(done, total); };
  // Between blocks of the passes and between records of the output.
  auto go_on = [&] {
    if (const auto now = Clock::now(); now - last_check >= control.interval) {
      last_check = now;
      if (!check_in()) result.stopped = true;
    }
    return !result.stopped;
  };
  if (control.report_ends && !check_in()) {
    result.stopped = true;
    return result;
  }
  DecodeScratch scratch;
  scratch.stop = stop_token_of(go_on);
  const StoreActivity activity = classify_files(db, replay_manifest(db, &scratch.stop));
  if (result.stopped) return result;
  if (files_in_doubt(activity) && control.files_in_doubt && !control.files_in_doubt(0, activity)) {
    result.stopped = true;
    return result;
  }

  RecordExporter exporter(options, std::move(writer));
  std::uint64_t written = 0;
  const auto write = [&](const RecordView& record) {
    if (result.stopped || exporter.failed()) return;
    if (options.status) {
      exporter(record, RecordStatus::Current);
    } else {
      exporter(record);
    }
    // The clock read every few hundred records, not every one.
    if ((++written & 0x3ff) == 0) go_on();
  };
  Discard discard;  // keeps nothing, so one serves every range
  const std::vector<WinnerSink*> targets(KeyMerge::threads(), &discard);
  const KeyMerge::End order = KeyMerge::run(db, activity, targets, false, &scratch.stop).end;
  if (result.stopped) return result;
  if (order == KeyMerge::End::Done) {
    // The order holds, so a second merge hands the records out in key order,
    // range after range, as they are written: nothing held but its batches.
    LatestStream stream(db, activity);
    for (std::size_t range = 0; range < stream.ranges() && !result.stopped && !exporter.failed(); ++range) {
      for (;;) {
        LatestBatch* batch = stream.next_of(range, control.interval);
        if (batch == nullptr) {
          if (stream.range_finished(range) || !go_on()) break;
          continue;
        }
        for (const RecordView& record : batch->records) write(record);
        stream.release(batch);
        if (result.stopped || exporter.failed()) break;
      }
    }
    if (result.stopped || exporter.failed()) {
      stream.stop();
    } else {
      while (!stream.finished()) {  // rethrows a failure of its threads
        if (!go_on()) return result;
        if (LatestBatch* stray = stream.next(control.interval)) stream.release(stray);
      }
      if (stream.end() != KeyMerge::End::Done) {
        // The first pass found the order whole and this one did not: the
        // files changed under the read. What was written is not the answer.
        result.file_failure = FileFailure{db.in_dir(), OsError{ESTALE}};
        return result;
      }
    }
  } else {
    // A table out of bytewise order: the current records found first, then
    // copied out and sorted (held in memory, see latest_records.h).
    const CurrentVersions versions = CurrentVersions::hashed(db, activity, &scratch.stop);
    if (result.stopped) return result;
    const LatestRecords latest = LatestRecords::collect(db, versions, scratch);
    if (result.stopped) return result;
    latest.visit(write);
  }
  if (result.stopped) return result;
  if (auto finished = exporter.finish(); !finished) {
    result.write_error = std::move(finished.error());
    return result;
  }
  result.records = exporter.records_written();
  done = total;
  if (control.report_ends && !check_in()) result.stopped = true;
  return result;
}

}  // namespace vostrel
