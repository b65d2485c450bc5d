#include "chromium/store_kind.h"

#include <array>
#include <utility>
#include <string>

#include "base/path.h"
#include "chromium/service_worker.h"
#include "format/internal_key.h"
#include "read/record_walk.h"

namespace vostrel::chromium {

std::string_view to_string(StoreKind kind) noexcept {
  switch (kind) {
    case StoreKind::LocalStorage:
      return "localstorage";
    case StoreKind::SessionStorage:
      return "sessionstorage";
    case StoreKind::IndexedDb:
      return "indexeddb";
    case StoreKind::ServiceWorker:
      return "serviceworker";
    case StoreKind::ExtensionSettings:
      return "extension_settings";
    case StoreKind::LevelDb:
      return "leveldb";
  }
  return "indexeddb";
}

std::optional<StoreKind> parse_store_kind(std::string_view name) noexcept {
  for (const StoreKind kind : {StoreKind::LocalStorage, StoreKind::SessionStorage, StoreKind::IndexedDb,
                               StoreKind::ServiceWorker, StoreKind::ExtensionSettings, StoreKind::LevelDb}) {
    if (name == to_string(kind)) return kind;
  }
  return std::nullopt;
}

std::optional<StoreKind> kind_of_key(std::string_view key) noexcept {
  if (key == "VERSION" || key.starts_with("META:") || key.starts_with("METAACCESS:")) {
    return StoreKind::LocalStorage;
  }
  if (key.starts_with('_') && key.find('\0') != std::string_view::npos) return StoreKind::LocalStorage;
  if (key == "version" || key == "next-map-id" || key.starts_with("namespace-") || key.starts_with("map-")) {
    return StoreKind::SessionStorage;
  }
  if (is_service_worker_key(key)) return StoreKind::ServiceWorker;
  if (key.starts_with(std::string_view("\0\0\0\0", 4))) return StoreKind::IndexedDb;
  if (key.size() > 4 && static_cast<unsigned char>(key[0]) < 0x20 && key[1] != '\0') {
    return StoreKind::IndexedDb;
  }
  return std::nullopt;
}

namespace {

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Counts the first records' votes; later records are ignored (a step of the
// walk hands over whole blocks).
struct VoteSink {
  std::array<std::uint64_t, 4> votes{};  // one per kind its keys tell
  std::uint64_t seen = 0;
  void operator()(const RecordView& record) {
    if (seen >= kDetectRecords) return;
    ++seen;
    if (const auto kind = kind_of_key(user_key_of(record.key, record.file_type))) {
      ++votes[static_cast<std::size_t>(*kind)];
    }
  }
};

// The lowered names of the directory and of the one above it.
std::pair<std::string, std::string> lower_names(std::string_view directory) {
  // Only ASCII letters matter here: of the other characters only KELVIN SIGN
  // lowers to an ASCII letter ("k"), which none of the names holds.
  const std::string path = normal_path(directory);
  const std::size_t slash = path.rfind('/');
  const std::string_view above = slash == std::string::npos ? std::string_view() : std::string_view(path).substr(0, slash);
  return {ascii_lower(final_component(path)), ascii_lower(final_component(above))};
}

}  // namespace

std::optional<std::string_view> extension_settings_area(std::string_view directory) {
  const auto [name, parent] = lower_names(directory);
  if (name.empty()) return std::nullopt;
  for (const std::string_view area : {"local", "sync", "managed"}) {
    if (parent.size() == area.size() + std::string_view(" extension settings").size() &&
        parent.starts_with(area) && parent.ends_with(" extension settings")) {
      return area;
    }
  }
  return std::nullopt;
}

std::optional<StoreKind> kind_of_directory_name(std::string_view directory) {
  if (extension_settings_area(directory)) return StoreKind::ExtensionSettings;
  const auto [name, parent] = lower_names(directory);
  if (name.ends_with(".indexeddb.leveldb")) return StoreKind::IndexedDb;
  if (name == "session storage") return StoreKind::SessionStorage;
  if (name == "local storage" || (name == "leveldb" && parent == "local storage")) {
    return StoreKind::LocalStorage;
  }
  if (name == "database" && parent == "service worker") return StoreKind::ServiceWorker;
  return std::nullopt;
}

std::optional<StoreKind> detect_store_kind(const RawLevelDb& db, bool reverse, std::string_view directory) {
  if (extension_settings_area(directory)) return StoreKind::ExtensionSettings;
  VoteSink sink;
  RecordStream stream(db, reverse);
  while (sink.seen < kDetectRecords && stream.step(db, kDetectRecords - sink.seen, sink)) {
  }
  std::size_t best = 0;
  for (std::size_t i = 1; i < sink.votes.size(); ++i) {
    if (sink.votes[i] > sink.votes[best]) best = i;
  }
  if (sink.votes[best] > 0) return static_cast<StoreKind>(best);
  return kind_of_directory_name(directory);
}

}  // namespace vostrel::chromium
