#pragma once
// Which of Chromium's LevelDB stores a directory holds. The three web stores' keys tell
// them apart: Local Storage writes "VERSION", "META:<origin>",
// "METAACCESS:<origin>" and "_<origin>\0<key>"; Session Storage "version",
// "next-map-id", "namespace-..." and "map-..."; IndexedDB keys start with its
// key prefix, four varint-coded ids whose first byte is a small length byte.
// The service worker database's keys are upper-case words ("INITDATA_...",
// "REG:...", "RES:...", service_worker.h); it lives in "Service Worker/Database".
// Each of the store's first records votes for the kind its key looks like;
// when no key votes (an empty or unreadable store) the directory's own name,
// as Chromium names it, decides.
//
// An extension's chrome.storage area is a store of its own, named by the
// extension's id under "Local Extension Settings", "Sync Extension Settings"
// or "Managed Extension Settings"; its keys are the extension's own, so only
// the path tells it, and the path decides before any key votes. A store no
// rule recognises is read as plain LevelDB ("leveldb"), only when asked for.

#include <cstdint>
#include <optional>
#include <string_view>

#include "read/store.h"

namespace vostrel::chromium {

// The stores told by their keys come first: their order is the order of the votes.
enum class StoreKind : std::uint8_t {
  LocalStorage, SessionStorage, IndexedDb, ServiceWorker, ExtensionSettings, LevelDb
};

// "localstorage", "sessionstorage", "indexeddb", "serviceworker",
// "extension_settings", "leveldb": the names the entries carry.
[[nodiscard]] std::string_view to_string(StoreKind kind) noexcept;
[[nodiscard]] std::optional<StoreKind> parse_store_kind(std::string_view name) noexcept;

// The kind a single user key looks like, if any.
[[nodiscard]] std::optional<StoreKind> kind_of_key(std::string_view user_key) noexcept;

// The kind a directory's name gives ("<origin>.indexeddb.leveldb", "Session
// Storage", "Local Storage", "Local Storage/leveldb" or "Service Worker/Database",
// in any case), judged on
// the path made normal as a POSIX path (repeated and trailing slashes, "." and
// ".." steps resolved by name).
[[nodiscard]] std::optional<StoreKind> kind_of_directory_name(std::string_view directory);

// The storage area of an extension settings store ("local", "sync" or
// "managed") from the name of the directory above it, in any case.
[[nodiscard]] std::optional<std::string_view> extension_settings_area(std::string_view directory);

// How many of a store's first records vote.
inline constexpr std::uint64_t kDetectRecords = 10001;

// Votes over the first kDetectRecords records (in the order given by
// reverse); on a tie the kind listed first in StoreKind wins. Without a vote,
// kind_of_directory_name(directory). An extension settings path decides first.
[[nodiscard]] std::optional<StoreKind> detect_store_kind(const RawLevelDb& db, bool reverse,
                                                         std::string_view directory);

}  // namespace vostrel::chromium
