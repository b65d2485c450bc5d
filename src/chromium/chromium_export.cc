#include "chromium/chromium_export.h"

#include "chromium/entry.h"
#include "chromium/entry_csv.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "base/worker_signals.h"
#include "export/json_text.h"
#include "export/store_export.h"

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

// The first pass shared out over `threads` threads (the caller's among them):
// each takes the next data file of the reading order and learns from it into
// a decoder of its own, which is merged into `decoder` as soon as the files
// before it are, so that it learns exactly what one walk over the store would
// (and no more files' states wait than the threads are ahead). check_in is
// called on the caller's thread only; false from it ends the pass (returns
// false).
bool learn_apart(IndexedDbDecoder& decoder, const RawLevelDb& db, bool reverse, const std::function<bool()>& check_in,
                 std::size_t step, unsigned threads) {
  const std::vector<WalkUnit> order = db.reading_order(reverse, false);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> halt{false};
  std::mutex mutex;  // guards what follows, and decoder
  std::vector<std::unique_ptr<IndexedDbDecoder>> learned(order.size());  // learned, not yet merged
  std::size_t merged = 0;                                                 // files merged into decoder
  std::exception_ptr failure;
  const auto learn_files = [&](bool caller) {
    if (!caller) leave_signals_to_main_thread();
    try {
      DecodeScratch scratch;
      scratch.skip_block = &IndexedDbDecoder::nothing_to_learn_between;
      for (std::size_t i = next.fetch_add(1); i < order.size(); i = next.fetch_add(1)) {
        auto state = std::make_unique<IndexedDbDecoder>(std::string());
        LearnSink<IndexedDbDecoder> sink{*state};
        std::uint64_t resume = 0;
        do {
          if (caller && check_in && !check_in()) halt.store(true);
          if (halt.load(std::memory_order_relaxed)) return;
          resume = walk_unit(db, order[i], resume, step, sink, scratch);
        } while (resume != kFileDone);
        db.drop_unit_pages(order[i]);
        const std::lock_guard lock(mutex);
        learned[i] = std::move(state);
        for (; merged < order.size() && learned[merged]; ++merged) {
          decoder.merge(std::move(*learned[merged]));
          learned[merged].reset();
        }
      }
    } catch (...) {
      halt.store(true);
      const std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> workers;
    const std::size_t wanted = std::min<std::size_t>(threads, order.size());
    for (std::size_t i = 1; i < wanted; ++i) {
      try {
        workers.emplace_back(learn_files, false);
      } catch (const std::system_error&) {
        break;  // out of threads (a process limit): go on with those there are
      }
    }
    learn_files(true);
  }  // joined
  if (failure) std::rethrow_exception(failure);
  return !halt.load();
}
}  // namespace

class StoreDecoder {
 public:
  StoreDecoder(StoreKind kind, std::string_view directory, std::string_view blob_directory)
      : decoder_(make(kind, directory, blob_directory)) {}

  // False when check_in stopped the pass. `threads`: how many may share it
  // out (IndexedDB's, whose data files are learned from apart).
  bool learn(const RawLevelDb& db, bool reverse, const std::function<bool()>& check_in, std::size_t step,
             unsigned threads = 1) {
    return std::visit(
        [&](auto& decoder) {
          using Decoder = std::remove_reference_t<decltype(decoder)>;
          if constexpr (std::is_same_v<Decoder, IndexedDbDecoder>) {
            if (threads > 1) return learn_apart(decoder, db, reverse, check_in, step, threads);
          }
          if constexpr (std::is_same_v<Decoder, SessionStorageDecoder> || std::is_same_v<Decoder, IndexedDbDecoder>) {
            LearnSink<Decoder> sink{decoder};
            RecordStream stream(db, reverse);
            if constexpr (std::is_same_v<Decoder, IndexedDbDecoder>) {
              stream.skip_blocks(&IndexedDbDecoder::nothing_to_learn_between);
            }
            do {
              if (check_in && !check_in()) return false;
            } while (stream.step(db, step, sink));
          }
          return true;
        },
        decoder_);
  }
  void append_entry(std::string& out, const RecordView& record) {
    std::visit([&](auto& decoder) { decoder.append_entry(out, record); }, decoder_);
  }
  // Only IndexedDB values name blob files.
  void copy_blobs_to(const std::shared_ptr<BlobCopies>& copies) {
    if (auto* indexeddb = std::get_if<IndexedDbDecoder>(&decoder_)) indexeddb->copy_blobs_to(copies);
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

EntryLines::EntryLines(std::unique_ptr<StoreDecoder> decoder, const EntrySelection& selection)
    : decoder_(std::move(decoder)),
      admitted_(selection.states),
      types_(selection.types),
      status_field_(selection.status),
      latest_(selection.latest) {}

EntryLines::EntryLines(const EntryLines& other)
    : decoder_(std::make_unique<StoreDecoder>(*other.decoder_)),
      admitted_(other.admitted_),
      store_field_(other.store_field_),
      types_(other.types_),
      csv_store_(other.csv_store_),
      status_field_(other.status_field_),
      latest_(other.latest_),
      count_undecoded_(other.count_undecoded_) {}

EntryLines::EntryLines(EntryLines&&) noexcept = default;
EntryLines& EntryLines::operator=(EntryLines&&) noexcept = default;
EntryLines::~EntryLines() = default;

ChromiumEntries::ChromiumEntries(StoreKind kind, std::unique_ptr<StoreDecoder> decoder, const RawLevelDb& db,
                                 bool reverse, const EntrySelection& selection)
    : kind_(kind), lines_(std::move(decoder), selection), stream_(db, reverse) {}

ChromiumEntries::ChromiumEntries(ChromiumEntries&&) noexcept = default;
ChromiumEntries& ChromiumEntries::operator=(ChromiumEntries&&) noexcept = default;
ChromiumEntries::~ChromiumEntries() = default;

namespace {

// The decoder of a store's kind (given, or detected) after its first pass.
struct Learned {
  StoreKind kind;
  std::unique_ptr<StoreDecoder> decoder;
  bool stopped = false;  // check_in ended the first pass
};

std::optional<Learned> learn_store(const RawLevelDb& db, std::string_view directory, std::optional<StoreKind> kind,
                                   bool reverse, const std::function<bool()>& check_in,
                                   std::string_view blob_directory, std::size_t step = 4096, unsigned threads = 1,
                                   const std::shared_ptr<BlobCopies>& blob_copies = nullptr,
                                   std::optional<StoreKind> fallback_kind = std::nullopt) {
  // A store's kind is told by its first records in the reading order, not
  // by the order asked for: the kind is the store's, whichever way it is read.
  if (!kind) kind = detect_store_kind(db, false, directory);
  if (!kind) kind = fallback_kind;
  if (!kind) return std::nullopt;
  Learned learned{*kind, std::make_unique<StoreDecoder>(*kind, directory, blob_directory)};
  if (blob_copies) learned.decoder->copy_blobs_to(blob_copies);
  learned.stopped = !learned.decoder->learn(db, reverse, check_in, std::max<std::size_t>(step, 1), threads);
  return learned;
}

}  // namespace

std::optional<ChromiumEntries> ChromiumEntries::start(const RawLevelDb& db, std::string_view directory,
                                                      std::optional<StoreKind> kind, bool reverse,
                                                      const EntrySelection& selection,
                                                      const std::function<bool()>& check_in,
                                                      std::string_view blob_directory) {
  auto first = learn_store(db, directory, kind, reverse, check_in, blob_directory);
  if (!first) return std::nullopt;
  bool learned = !first->stopped;
  ChromiumEntries entries(first->kind, std::move(first->decoder), db, reverse, selection);
  if (learned && (selection.status || selection.latest)) {
    auto go_on = [&] { return !check_in || check_in(); };
    StopToken stop = stop_token_of(go_on);
    entries.versions_.emplace(CurrentVersions::of_store(db, &stop));
    learned = !stop.stopped();
  }
  entries.stopped_ = !learned;
  return entries;
}

void EntryLines::set_store(std::string_view store) {
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

void EntryLines::set_csv(std::string_view store) { csv_store_.emplace(store); }

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

void EntryLines::append(std::string& out, const RecordView& record, std::optional<RecordStatus> status) {
  if (status) {
    if (latest_ && (*status != RecordStatus::Current || read_key_of(record).kind != KeyState::Live)) return;
    if (!status_field_) status.reset();
  }
  if (!admitted_.admits(record.state)) return;
  if (csv_store_) {
    // The line is made aside, then written as its row.
    line_.clear();
    append_line(line_, record, status);
    if (!line_.empty()) append_csv_row(out, line_, *csv_store_);
    return;
  }
  append_line(out, record, status);
}

void EntryLines::append_line(std::string& out, const RecordView& record, std::optional<RecordStatus> status) {
  const std::size_t start = out.size();
  // The store leads the line: it takes the place of the entry's opening
  // brace, in room left before the entry is written (so the line, which may
  // be long, is never moved to make room after).
  const std::size_t room = store_field_.empty() ? 0 : store_field_.size() - 1;
  out.append(room, ' ');
  const std::size_t entry = out.size();
  decoder_->append_entry(out, record);
  if (types_) {
    const std::string_view type = type_of_line(std::string_view(out).substr(entry));
    if (std::find(types_->begin(), types_->end(), type) == types_->end()) {
      out.resize(start);
      return;
    }
  }
  if (room != 0) {
    if (out.size() == entry) {
      out.resize(start);
      out += store_field_;
    } else {
      store_field_.copy(out.data() + start, store_field_.size());
    }
  }
  ++entries_;
  if (count_undecoded_) {
    // The decoder's finish_entry marked where the line's provenance begins.
    const ProvenanceMark mark = last_provenance();
    const std::size_t provenance = mark.out == &out && mark.at >= start ? mark.at - start : std::string_view::npos;
    undecoded_ += is_fallback_line(std::string_view(out).substr(start), provenance);
  }
  // The status goes last, inside the line's closing brace.
  constexpr std::string_view kEnd = "}\n";
  if (status && out.size() - start >= kEnd.size() && std::string_view(out).ends_with(kEnd)) {
    out.resize(out.size() - kEnd.size());
    out += ", \"status\": \"";
    out += status_name(*status);
    out += "\"}\n";
  }
}

namespace {

// A data file's decoded lines run to several chunks (a 2 MB table of an
// IndexedDB store to about five): with the dump's budget a worker could get
// only three files ahead and waited for the writer a fifth of the time.
constexpr std::size_t kEntryChunksPerThread = 32;

// Entries counted by every thread's formatter, summed as each one ends.
struct EntryTotals {
  std::atomic<std::uint64_t> entries{0};
  std::atomic<std::uint64_t> undecoded{0};
};

// What an export of many stores learns of each before decoding it: the
// entries' lines of its kind, their decoder after its first pass, their store
// field or column.
struct PreparedEntries final : StorePreparation {
  explicit PreparedEntries(EntryLines lines) : lines(std::move(lines)) {}
  EntryLines lines;
};

// One thread's entries: its own copy of the learned decoder (of the store it
// is at, with many), its own buffer.
class EntryFormatter final : public UnitFormatter {
 public:
  // lines: the store's, or nullptr for many stores (each store's come with
  // its units, set_store).
  EntryFormatter(const EntryLines* lines, std::size_t chunk_size, ChunkTaker taker, EntryTotals& totals)
      : chunk_size_(std::max<std::size_t>(chunk_size, 1)), taker_(std::move(taker)), totals_(totals) {
    if (lines != nullptr) lines_.emplace(*lines);
    out_.reserve(chunk_size_ + (chunk_size_ >> 2));
  }
  EntryFormatter(const EntryFormatter&) = delete;
  EntryFormatter& operator=(const EntryFormatter&) = delete;
  ~EntryFormatter() override {
    count_lines();
    totals_.entries.fetch_add(entries_, std::memory_order_relaxed);
    totals_.undecoded.fetch_add(undecoded_, std::memory_order_relaxed);
  }

  void record(const RecordView& record) override { add(record, std::nullopt); }
  void record(const RecordView& record, RecordStatus status) override { add(record, status); }
  void set_store(std::string_view, const StorePreparation* prepared) override {
    count_lines();
    lines_.reset();
    if (prepared != nullptr) lines_.emplace(static_cast<const PreparedEntries&>(*prepared).lines);
  }
  std::expected<void, WriteError> finish() override {
    hand_over();
    if (error_) return std::unexpected(*error_);
    return {};
  }
  bool failed() const noexcept override { return error_.has_value(); }
  std::uint64_t records_written() const noexcept override {
    return entries_ + (lines_ ? lines_->entries() : 0);
  }

 private:
  void add(const RecordView& record, std::optional<RecordStatus> status) {
    if (!lines_) return;
    lines_->append(out_, record, status);
    if (out_.size() >= chunk_size_) hand_over();
  }
  // The counts of the lines of the store it leaves.
  void count_lines() {
    if (!lines_) return;
    entries_ += lines_->entries();
    undecoded_ += lines_->undecoded();
  }
  // The buffered entries go to the taker as they are, the string itself (no
  // copy), and the spare it leaves, a string written before, becomes the
  // buffer; after a failure they are dropped, never handed over.
  void hand_over() {
    if (!error_ && !out_.empty()) {
      ChunkBuffer chunk;
      chunk.text.swap(out_);
      if (auto taken = taker_(chunk); !taken) error_ = std::move(taken.error());
      out_.swap(chunk.text);
      if (out_.capacity() < chunk_size_) out_.reserve(chunk_size_ + (chunk_size_ >> 2));
    }
    out_.clear();
  }

  std::optional<EntryLines> lines_;
  std::uint64_t entries_ = 0;    // by the lines of the stores it left
  std::uint64_t undecoded_ = 0;
  std::size_t chunk_size_;
  ChunkTaker taker_;
  EntryTotals& totals_;
  std::string out_;
  std::optional<WriteError> error_;
};

}  // namespace

std::expected<ChromiumExportResult, CannotTellKind> export_chromium(const RawLevelDb& db,
                                                                    std::string_view directory,
                                                                    const ChromiumExportOptions& options,
                                                                    const ChunkWriter& writer,
                                                                    const std::function<bool()>& check_in,
                                                                    std::size_t check_every) {
  auto learned = learn_store(db, directory, options.kind, options.reverse, check_in, options.blob_directory,
                             check_every, std::max(options.threads, 1U), options.blob_copies, options.fallback_kind);
  if (!learned) return std::unexpected(CannotTellKind{});
  ChromiumExportResult result;
  if (learned->stopped) {
    result.stopped = true;
    return result;
  }
  EntryLines lines(std::move(learned->decoder), options.selection);
  if (!options.count_undecoded) lines.leave_undecoded_uncounted();
  if (options.csv) {
    lines.set_csv(options.store.value_or(""));
  } else if (options.store) {
    lines.set_store(*options.store);
  }
  EntryTotals totals;
  const FormatterFactory make = [&](ChunkTaker taker) -> std::unique_ptr<UnitFormatter> {
    return std::make_unique<EntryFormatter>(&lines, options.chunk_size, std::move(taker), totals);
  };
  ExportOptions walk;
  walk.status = options.selection.status || options.selection.latest;
  StoreExportControl control;
  control.threads = std::max(options.threads, 1U);
  control.chunks_per_thread = kEntryChunksPerThread;
  if (check_in) control.check_in = [&](std::uint64_t, std::uint64_t) { return check_in(); };
  control.files_in_doubt = [&](std::size_t, const StoreActivity& activity) {
    result.files_in_doubt = activity;
    return true;
  };
  const StoreExportResult written = export_store_formatted(db, options.reverse, walk, make, writer, control);
  result.write_error = written.write_error;
  result.stopped = written.stopped;
  result.entries = totals.entries.load(std::memory_order_relaxed);
  result.undecoded = totals.undecoded.load(std::memory_order_relaxed);
  return result;
}

StoreExportResult export_chromium_stores(std::span<const std::string> directories,
                                         const ChromiumExportOptions& options, const ChunkWriter& writer,
                                         StoreExportControl control, const StoreOpened& on_store) {
  // Made by the thread that opens each store, while the others decode the
  // stores before it: its kind told, its first pass run (shared out when the
  // others would only wait for it).
  const PrepareStore prepare = [&](std::size_t index, const RawLevelDb& db, unsigned threads,
                                   const std::function<bool()>& go_on) -> std::unique_ptr<StorePreparation> {
    const std::string& directory = directories[index];
    auto learned = learn_store(db, directory, options.kind, options.reverse, go_on, options.blob_directory, 4096,
                               threads, options.blob_copies, options.fallback_kind.value_or(StoreKind::LevelDb));
    EntryLines lines(std::move(learned->decoder), options.selection);
    if (!options.count_undecoded) lines.leave_undecoded_uncounted();
    if (options.csv) {
      lines.set_csv(directory);
    } else {
      lines.set_store(directory);
    }
    return std::make_unique<PreparedEntries>(std::move(lines));
  };
  EntryTotals totals;
  const FormatterFactory make = [&](ChunkTaker taker) -> std::unique_ptr<UnitFormatter> {
    return std::make_unique<EntryFormatter>(nullptr, options.chunk_size, std::move(taker), totals);
  };
  ExportOptions walk;
  walk.status = options.selection.status || options.selection.latest;
  control.threads = std::max(options.threads, 1U);
  control.chunks_per_thread = kEntryChunksPerThread;
  StoreExportResult result =
      export_stores_formatted(directories, options.reverse, walk, make, prepare, writer, control, on_store);
  result.records = totals.entries.load(std::memory_order_relaxed);
  return result;
}

}  // namespace vostrel::chromium
