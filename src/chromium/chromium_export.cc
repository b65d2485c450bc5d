#include "chromium/chromium_export.h"

#include "chromium/entry.h"
#include "chromium/entry_csv.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "export/json_text.h"

#include "chromium/blob_directory.h"
#include "chromium/extension_settings.h"
#include "chromium/indexeddb.h"
#include "chromium/plain_store.h"
#include "chromium/local_storage.h"
#include "chromium/service_worker.h"
#include "chromium/session_storage.h"

namespace vostrel::chromium {

namespace {
struct LocalStorageDecoder {
  void learn(const RecordView&) {}
  void append_entry(std::string& out, const RecordView& record) { append_local_storage_entry(out, record); }
};

// Hands every record to the decoder's first pass.
template <class Decoder>
struct LearnSink {
  Decoder& decoder;
  void operator()(const RecordView& record) { decoder.learn(record); }
};
}  // namespace

class StoreDecoder {
 public:
  StoreDecoder(StoreKind kind, std::string_view directory, std::string_view blob_directory)
      : decoder_(make(kind, directory, blob_directory)) {}

  // False when check_in stopped the pass.
  bool learn(const RawLevelDb& db, bool reverse, const std::function<bool()>& check_in) {
    return std::visit(
        [&](auto& decoder) {
          using Decoder = std::remove_reference_t<decltype(decoder)>;
          if constexpr (std::is_same_v<Decoder, SessionStorageDecoder> || std::is_same_v<Decoder, IndexedDbDecoder>) {
            LearnSink<Decoder> sink{decoder};
            RecordStream stream(db, reverse);
            do {
              if (check_in && !check_in()) return false;
            } while (stream.step(db, 4096, sink));
          }
          return true;
        },
        decoder_);
  }
  void append_entry(std::string& out, const RecordView& record) {
    std::visit([&](auto& decoder) { decoder.append_entry(out, record); }, decoder_);
  }

 private:
  using Variant = std::variant<LocalStorageDecoder, SessionStorageDecoder, IndexedDbDecoder,
                               ExtensionSettingsDecoder, PlainStoreDecoder, ServiceWorkerDecoder>;
  static Variant make(StoreKind kind, std::string_view directory, std::string_view blob_directory) {
    switch (kind) {
      case StoreKind::LocalStorage:
        return LocalStorageDecoder{};
      case StoreKind::SessionStorage:
        return SessionStorageDecoder{};
      case StoreKind::ExtensionSettings:
        return Variant(std::in_place_type<ExtensionSettingsDecoder>, directory);
      case StoreKind::LevelDb:
        return PlainStoreDecoder{};
      case StoreKind::ServiceWorker:
        return ServiceWorkerDecoder{};
      case StoreKind::IndexedDb:
        break;
    }
    return Variant(std::in_place_type<IndexedDbDecoder>,
                   blob_directory.empty() ? find_blob_directory(directory) : std::string(blob_directory));
  }
  Variant decoder_;
};

ChromiumEntries::ChromiumEntries(StoreKind kind, std::unique_ptr<StoreDecoder> decoder, const RawLevelDb& db,
                                 bool reverse, const EntrySelection& selection)
    : kind_(kind),
      decoder_(std::move(decoder)),
      stream_(db, reverse),
      admitted_(selection.states),
      types_(selection.types),
      status_field_(selection.status),
      latest_(selection.latest) {}

ChromiumEntries::ChromiumEntries(ChromiumEntries&&) noexcept = default;
ChromiumEntries& ChromiumEntries::operator=(ChromiumEntries&&) noexcept = default;
ChromiumEntries::~ChromiumEntries() = default;

std::optional<ChromiumEntries> ChromiumEntries::start(const RawLevelDb& db, std::string_view directory,
                                                      std::optional<StoreKind> kind, bool reverse,
                                                      const EntrySelection& selection,
                                                      const std::function<bool()>& check_in,
                                                      std::string_view blob_directory) {
  if (!kind) kind = detect_store_kind(db, reverse, directory);
  if (!kind) return std::nullopt;
  auto decoder = std::make_unique<StoreDecoder>(*kind, directory, blob_directory);
  bool learned = decoder->learn(db, reverse, check_in);
  ChromiumEntries entries(*kind, std::move(decoder), db, reverse, selection);
  if (learned && (selection.status || selection.latest)) {
    auto go_on = [&] { return !check_in || check_in(); };
    StopToken stop = stop_token_of(go_on);
    entries.versions_.emplace(CurrentVersions::of_store(db, &stop));
    learned = !stop.stopped();
  }
  entries.stopped_ = !learned;
  return entries;
}

void ChromiumEntries::set_store(std::string_view store) {
  store_field_ = "{\"store\": ";
  json::append_utf8_replace(store_field_, store);
  store_field_ += ", ";
}

RecordStatus ChromiumEntries::next_status(const RawLevelDb& db) {
  if (cursor_unit_ != stream_.unit_index()) {
    cursor_.emplace(*versions_, db, stream_.unit());
    cursor_unit_ = stream_.unit_index();
  }
  return cursor_->next();
}

void ChromiumEntries::set_csv(std::string_view store) { csv_store_.emplace(store); }

namespace {

// The type of an entry's line: {"kind": "<kind>", "type": "<type>", ...
// (both plain names, written unescaped).
std::string_view type_of_line(std::string_view line) {
  constexpr std::string_view kType = ", \"type\": \"";
  const std::size_t at = line.find(kType);
  if (at == std::string_view::npos) return {};
  const std::size_t from = at + kType.size();
  const std::size_t end = line.find('"', from);
  return end == std::string_view::npos ? std::string_view() : line.substr(from, end - from);
}

}  // namespace

void ChromiumEntries::append_entry(std::string& out, const RecordView& record, std::optional<RecordStatus> status) {
  if (csv_store_) {
    // The line is made aside, then written as its row.
    line_.clear();
    append_line(line_, record, status);
    if (!line_.empty()) append_csv_row(out, line_, *csv_store_);
    return;
  }
  append_line(out, record, status);
}

void ChromiumEntries::append_line(std::string& out, const RecordView& record, std::optional<RecordStatus> status) {
  const std::size_t start = out.size();
  decoder_->append_entry(out, record);
  if (types_) {
    const std::string_view type = type_of_line(std::string_view(out).substr(start));
    if (std::find(types_->begin(), types_->end(), type) == types_->end()) {
      out.resize(start);
      return;
    }
  }
  // The store leads the line: it takes the place of the entry's opening brace.
  if (!store_field_.empty()) out.replace(start, 1, store_field_);
  ++entries_;
  undecoded_ += is_fallback_line(std::string_view(out).substr(start));
  // The status goes last, inside the line's closing brace.
  constexpr std::string_view kEnd = "}\n";
  if (status && out.size() - start >= kEnd.size() && std::string_view(out).ends_with(kEnd)) {
    out.resize(out.size() - kEnd.size());
    out += ", \"status\": \"";
    out += status_name(*status);
    out += "\"}\n";
  }
}

std::expected<ChromiumExportResult, CannotTellKind> export_chromium(const RawLevelDb& db,
                                                                    std::string_view directory,
                                                                    const ChromiumExportOptions& options,
                                                                    const ChunkWriter& writer,
                                                                    const std::function<bool()>& check_in,
                                                                    std::size_t check_every) {
  auto entries = ChromiumEntries::start(db, directory, options.kind, options.reverse, options.selection, check_in,
                                         options.blob_directory);
  if (!entries) return std::unexpected(CannotTellKind{});
  if (options.csv) {
    entries->set_csv(options.store.value_or(""));
  } else if (options.store) {
    entries->set_store(*options.store);
  }
  ChromiumExportResult result;
  result.without_manifest = entries->without_manifest();
  if (entries->stopped()) {
    result.stopped = true;
    return result;
  }
  std::string out;
  out.reserve(options.chunk_size + (options.chunk_size >> 2));
  // A failed write ends the run: later chunks are dropped, never written.
  const auto flush = [&](std::string& chunk) {
    if (!result.write_error && !chunk.empty()) {
      if (auto written = writer(chunk); !written) result.write_error = std::move(written.error());
    }
    chunk.clear();
  };
  bool more = true;
  while (more && !result.write_error) {
    more = entries->step(db, check_every, out, options.chunk_size, flush);
    if (more && check_in && !check_in()) {
      result.stopped = true;
      break;
    }
  }
  if (!result.stopped) flush(out);
  result.entries = entries->entries();
  result.undecoded = entries->undecoded();
  return result;
}

}  // namespace vostrel::chromium
