#include "export/latest_export.h"

#include "read/current_versions.h"
#include "read/latest_records.h"

namespace vostrel {

StoreExportResult export_latest(const RawLevelDb& db, const ExportOptions& options, ChunkWriter writer,
                                const StoreExportControl& control) {
  using Clock = std::chrono::steady_clock;
  StoreExportResult result;
  std::uint64_t total = 0;
  for (const WalkUnit unit : db.reading_order(false, false)) total += db.unit_length(unit);
  std::uint64_t done = 0;
  auto last_check = Clock::now();
  const auto check_in = [&] { return !control.check_in || control.check_in(done, total); };
  // Between blocks of the two passes and between records of the output.
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
  if (!activity.have_manifest && control.no_manifest && !control.no_manifest(0)) {
    result.stopped = true;
    return result;
  }
  std::optional<LatestRecords> latest = LatestRecords::merged(db, activity, &scratch.stop);
  if (!latest && !result.stopped) {
    const CurrentVersions versions = CurrentVersions::hashed(db, activity, &scratch.stop);
    if (!result.stopped) latest = LatestRecords::collect(db, versions, scratch);
  }
  if (result.stopped) return result;

  RecordExporter exporter(options, std::move(writer));
  const auto write = [&](const RecordView& record) {
    if (result.stopped || exporter.failed()) return;
    if (options.status) {
      exporter(record, RecordStatus::Current);
    } else {
      exporter(record);
    }
    go_on();
  };
  latest->visit(write);
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
