#include "chromium/indexeddb.h"

#include <algorithm>
#include <span>

#include "chromium/blink_value.h"
#include "chromium/entry.h"
#include "chromium/indexeddb_key.h"
#include "chromium/origin.h"
#include "chromium/windows_time.h"
#include "base/path.h"
#include "format/internal_key.h"
#include "export/json_text.h"

namespace vostrel::chromium {
namespace {

constexpr std::string_view kKind = "indexeddb";

constexpr std::string_view kGlobalTypes[] = {"schema_version",        "max_database_id",
                                             "data_format_version",   "recovery_blob_journal",
                                             "active_blob_journal",   "earliest_sweep",
                                             "earliest_compaction"};
constexpr std::string_view kDatabaseTypes[] = {"database_origin",  "database_name",
                                               "database_string_version", "database_max_object_store_id",
                                               "database_version", "database_blob_number_generator"};
constexpr std::string_view kStoreFields[] = {"object_store_name",        "object_store_key_path",
                                             "object_store_auto_increment", "object_store_evictable",
                                             "object_store_last_version", "object_store_max_index_id",
                                             "object_store_has_key_path",
                                             "object_store_key_generator_current_number"};
constexpr std::string_view kIndexFields[] = {"index_name", "index_unique", "index_key_path", "index_multi_entry"};

// Rolls `out` back to a field's start when its value failed, passing the failure on.
template <class T>
Decoded<void> fail_field(std::string& out, std::size_t mark, Decoded<T>& result) {
  out.resize(mark);
  return std::unexpected(std::move(result.error()));
}

void append_wide_field(std::string& out, std::string_view name, Wide value) {
  append_field_name(out, name);
  append_wide(out, value);
}

// The field's type when no name is known for it: "<prefix>field_<n>".
std::string_view field_type(std::string& buffer, std::string_view prefix, std::string_view key, std::size_t pos) {
  buffer.assign(prefix);
  buffer += "field_";
  buffer += std::to_string(static_cast<std::uint8_t>(key[pos]));
  return buffer;
}

// The origin of an IndexedDB key (UTF-16BE text, Chromium's storage
// identifier) as its origin fields. Identifiers are ASCII; other text names
// no origin and is kept as it was stored.
void append_stored_origin(std::string& out, std::string_view utf16be) {
  std::string ascii;
  ascii.reserve(utf16be.size() / 2);
  for (std::size_t i = 0; i + 1 < utf16be.size(); i += 2) {
    if (utf16be[i] != 0 || static_cast<unsigned char>(utf16be[i + 1]) >= 0x80) {
      append_field_name(out, "origin");
      out += "null";
      append_field_name(out, "origin_raw");
      append_units(out, utf16be);
      return;
    }
    ascii.push_back(utf16be[i + 1]);
  }
  append_origin_fields(out, ascii);
}

}  // namespace

std::string indexeddb_blob_directory(std::string_view directory) {
  std::string path = normal_path(directory);  // lexically: no file system access
  constexpr std::string_view kSuffix = ".leveldb";
  if (!path.ends_with(kSuffix)) return {};
  path.resize(path.size() - kSuffix.size());
  path += ".blob";
  return path;
}

std::size_t IndexedDbDecoder::StoreIdHash::operator()(const StoreId& id) const noexcept {
  auto mix = [](std::uint64_t h, std::uint64_t v) { return (h ^ v) * 0x100000001B3ULL + (h >> 29); };
  std::uint64_t h = mix(0xcbf29ce484222325ULL, id.database);
  h = mix(h, static_cast<std::uint64_t>(id.object_store));
  h = mix(h, static_cast<std::uint64_t>(id.object_store >> 64));
  h = mix(h, static_cast<std::uint64_t>(id.index));
  h = mix(h, static_cast<std::uint64_t>(id.index >> 64));
  return static_cast<std::size_t>(h);
}

IndexedDbDecoder::IndexedDbDecoder(std::string blob_directory) : blob_directory_(std::move(blob_directory)) {}

IndexedDbDecoder::IndexedDbDecoder(const IndexedDbDecoder& other)
    : blob_directory_(other.blob_directory_),
      blob_files_(other.blob_files_),
      databases_(other.databases_),
      stores_(other.stores_),
      indexes_(other.indexes_),
      blobs_(other.blobs_),
      blobs_sorted_(other.blobs_sorted_) {}

// ---------------------------------------------------------------------------
// First pass

void IndexedDbDecoder::learn(const RecordView& record) {
  names_cached_ = false;
  blobs_sorted_ = false;
  const std::string_view key = user_key_of(record.key, record.file_type);
  if (key.empty()) return;
  const auto prefix = read_key_prefix(key);
  if (!prefix) return;
  if (prefix->index == 3 && prefix->object_store != 0) {
    if (record.value.empty()) return;
    blob_key_.clear();
    blob_key_.append(reinterpret_cast<const char*>(&prefix->database), 8);
    blob_key_.append(reinterpret_cast<const char*>(&prefix->object_store), 8);
    blob_key_.append(key.substr(prefix->end));
    auto found = blobs_.find(std::string_view(blob_key_));
    if (found == blobs_.end()) found = blobs_.emplace(blob_key_, std::vector<BlobVersion>{}).first;
    found->second.push_back(BlobVersion{record.seq, std::string(record.value), found->second.size()});
  } else if (prefix->object_store == 0 && prefix->index == 0 && record.state == KeyState::Live) {
    learn_name(record, prefix->database, prefix->end);
  }
}

bool IndexedDbDecoder::nothing_to_learn_between(std::string_view lower, std::string_view upper) noexcept {
  // Index keys are internal keys: the user key and an 8-byte tag. The
  // prefixes are compared as bytes: equal bytes are equal ids, and a key
  // between two that begin with the same bytes begins with them too, in
  // bytewise order as in Chromium's own (which orders by the decoded prefix
  // first).
  constexpr std::size_t kTag = 8;
  if (lower.size() <= kTag || upper.size() <= kTag) return false;
  lower.remove_suffix(kTag);
  upper.remove_suffix(kTag);
  const auto prefix = read_key_prefix(upper);
  if (!prefix || prefix->object_store == 0 || prefix->index == 3) return false;
  return lower.size() >= prefix->end && lower.substr(0, prefix->end) == upper.substr(0, prefix->end);
}

void IndexedDbDecoder::learn_name(const RecordView& record, std::uint64_t database, std::size_t pos) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  if (pos >= key.size()) return;
  const auto kind = static_cast<std::uint8_t>(key[pos]);
  auto replaces = [&](const auto& table, const auto& where) {
    const auto known = table.find(where);
    return known == table.end() || known->second.seq < record.seq;
  };
  if (database == 0 && kind == 201) {
    const auto origin = read_string_with_length(key, pos + 1);
    if (!origin) return;
    const auto name = read_string_with_length(key, origin->end);
    if (!name) return;
    const auto id = decode_int(record.value);
    if (!id || !replaces(databases_, *id)) return;
    DatabaseName& known = databases_[*id];
    known.seq = record.seq;
    known.origin_fields.clear();
    append_stored_origin(known.origin_fields, origin->bytes);
    known.name_json.clear();
    append_units(known.name_json, name->bytes);
  } else if (database != 0 && (kind == 50 || kind == 100)) {
    const auto store = read_varint(key, pos + 1);
    if (!store) return;
    StoreId where{database, store->value, 0};
    std::size_t end = store->end;
    if (kind == 100) {
      const auto index = read_varint(key, end);
      if (!index) return;
      where.index = index->value;
      end = index->end;
    }
    if (key.substr(end) != std::string_view("\0", 1)) return;
    if (record.value.size() % 2 != 0) return;
    auto& table = kind == 50 ? stores_ : indexes_;
    if (!replaces(table, where)) return;
    Name& known = table[where];
    known.seq = record.seq;
    known.json.clear();
    append_units(known.json, record.value);
  }
}

void IndexedDbDecoder::merge(IndexedDbDecoder&& later) {
  names_cached_ = false;
  blobs_sorted_ = false;
  // A name is the newest of its versions; of equal ones the first met stands,
  // as in learn_name.
  auto take_names = [](auto& mine, auto& theirs) {
    for (auto& [where, name] : theirs) {
      const auto [known, fresh] = mine.try_emplace(where, std::move(name));
      if (!fresh && known->second.seq < name.seq) known->second = std::move(name);
    }
  };
  take_names(databases_, later.databases_);
  take_names(stores_, later.stores_);
  take_names(indexes_, later.indexes_);
  // Blob entries follow this decoder's versions of their key, as met.
  for (auto& [key, versions] : later.blobs_) {
    auto& known = blobs_[key];
    const std::size_t before = known.size();
    for (BlobVersion& version : versions) {
      version.arrival += before;
      known.push_back(std::move(version));
    }
  }
}

// ---------------------------------------------------------------------------
// Second pass

void IndexedDbDecoder::append_names(std::string& out, std::uint64_t database, Wide object_store, Wide index) {
  // Records come in runs of one object store: the last names written are kept
  // as text and written again while the ids stay the same.
  const StoreId ids{database, object_store, index};
  if (names_cached_ && ids == names_ids_) {
    out += names_text_;
    return;
  }
  names_text_.clear();
  write_names(names_text_, database, object_store, index);
  names_ids_ = ids;
  names_cached_ = true;
  out += names_text_;
}

void IndexedDbDecoder::write_names(std::string& out, std::uint64_t database, Wide object_store, Wide index) {
  const DatabaseName* names = nullptr;
  if (database <= static_cast<std::uint64_t>(INT64_MAX)) {
    const auto found = databases_.find(static_cast<std::int64_t>(database));
    if (found != databases_.end()) names = &found->second;
  }
  if (names != nullptr) {
    out += names->origin_fields;
  } else {
    append_field_name(out, "origin");
    out += "null";
  }
  append_field_name(out, "database");
  out += names != nullptr ? std::string_view(names->name_json) : "null";
  append_field_name(out, "database_id");
  json::append_uint(out, database);
  append_store_names(out, database, object_store, index);
}

void IndexedDbDecoder::append_store_names(std::string& out, std::uint64_t database, Wide object_store,
                                          Wide index) {
  if (object_store != 0) {
    append_field_name(out, "object_store");
    const auto found = stores_.find(StoreId{database, object_store, 0});
    out += found != stores_.end() ? std::string_view(found->second.json) : "null";
    append_wide_field(out, "object_store_id", object_store);
  }
  if (index != 0) {
    append_field_name(out, "index");
    const auto found = indexes_.find(StoreId{database, object_store, index});
    out += found != indexes_.end() ? std::string_view(found->second.json) : "null";
    append_wide_field(out, "index_id", index);
  }
}

const ExternalObjects* IndexedDbDecoder::find_externals(std::uint64_t database, std::uint64_t object_store,
                                                        std::string_view encoded_key, std::uint64_t seq) {
  blob_key_.clear();
  blob_key_.append(reinterpret_cast<const char*>(&database), 8);
  blob_key_.append(reinterpret_cast<const char*>(&object_store), 8);
  blob_key_.append(encoded_key);
  const auto found = blobs_.find(std::string_view(blob_key_));
  if (found == blobs_.end()) return nullptr;
  // The oldest version newer than the record (of equal ones, the first met):
  // versions are in that order once the first pass is over.
  const auto& versions = found->second;
  const auto best = std::upper_bound(versions.begin(), versions.end(), seq,
                                     [](std::uint64_t s, const BlobVersion& version) { return s < version.seq; });
  if (best == versions.end()) return nullptr;
  if (&*best == externals_of_) return externals_valid_ ? &externals_ : nullptr;
  externals_of_ = &*best;
  externals_valid_ = read_external_objects(best->value, blob_directory_, database, externals_, &blob_files_).has_value();
  return externals_valid_ ? &externals_ : nullptr;
}

void IndexedDbDecoder::append_entry(std::string& out, const RecordView& record) {
  if (!blobs_sorted_) {
    // A store may hold many versions of one blob entry: sorted once, each
    // record finds its own by binary search.
    for (auto& [key, versions] : blobs_) {
      // By seq, equal ones in the order met. (A plain sort with that tie
      // breaker rather than stable_sort, whose libstdc++ implementation
      // trips a deprecation warning under clang.)
      std::sort(versions.begin(), versions.end(), [](const BlobVersion& a, const BlobVersion& b) {
        return a.seq != b.seq ? a.seq < b.seq : a.arrival < b.arrival;
      });
    }
    blobs_sorted_ = true;
  }
  const auto prefix = read_key_prefix(user_key_of(record.key, record.file_type));
  if (!prefix) {
    append_undecoded(out, record, kKind, prefix.error());
    return;
  }
  const std::uint64_t database = prefix->database;
  const std::uint64_t object_store = prefix->object_store;
  const std::uint64_t index = prefix->index;
  const std::size_t pos = prefix->end;
  const std::string_view key = user_key_of(record.key, record.file_type);
  const bool live = record.state == KeyState::Live;

  if (object_store != 0 && index == 1) {
    append_record(out, record, database, object_store, pos);
    return;
  }
  if (object_store != 0 && index >= 30) {
    append_index(out, record, database, object_store, index, pos);
    return;
  }
  if (object_store != 0 && (index == 2 || index == 3)) {
    begin_entry(out, kKind, index == 2 ? "exists" : "blob_entry");
    append_names(out, database, object_store, 0);
    std::string reason;
    std::size_t mark = out.size();
    append_field_name(out, "key");
    if (auto end = append_key(out, key, pos); !end) {
      out.resize(mark);
      reason = std::move(end.error());
    } else if (live && index == 2) {
      if (auto version = decode_int(record.value); !version) {
        reason = std::move(version.error());
      } else {
        append_field_name(out, "version");
        json::append_int(out, *version);
      }
    } else if (live) {
      if (auto read = read_external_objects(record.value, blob_directory_, database, entry_objects_, &blob_files_); !read) {
        reason = std::move(read.error());
      } else {
        append_field_name(out, "value");
        append_external_objects(out, entry_objects_);
      }
    }
    if (!reason.empty()) append_fallback(out, record, reason);
    finish_entry(out, record);
    return;
  }
  if (object_store == 0 && index == 0) {
    if (pos >= key.size()) {
      append_undecoded(out, record, kKind, "metadata key without its type");
      return;
    }
    body_.clear();
    std::string_view type;
    Decoded<void> result;
    if (database == 0) {
      type = "global";
      result = decode_global(body_, type, record, pos);
    } else {
      type = "database";
      append_names(body_, database, 0, 0);
      result = decode_database(body_, type, record, database, pos);
    }
    begin_entry(out, kKind, type);
    out += body_;
    const int task = journal_task_;
    journal_task_ = -1;
    if (!result) {
      append_fallback(out, record, result.error());
    } else if (task >= 0) {
      // After the body: the task's entries are decoded by this very decoder,
      // whose scratch the body was written in.
      append_journal(out, record, static_cast<std::uint8_t>(task));
    }
    finish_entry(out, record);
    return;
  }
  append_undecoded(out, record, kKind,
                   "unknown key prefix (" + std::to_string(database) + ", " + std::to_string(object_store) + ", " +
                       std::to_string(index) + ")");
}

void IndexedDbDecoder::append_record(std::string& out, const RecordView& record, std::uint64_t database,
                                     std::uint64_t object_store, std::size_t pos) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  begin_entry(out, kKind, "record");
  append_names(out, database, object_store, 0);
  const std::size_t mark = out.size();
  append_field_name(out, "key");
  auto end = append_key(out, key, pos);
  if (!end) {
    out.resize(mark);
    append_fallback(out, record, end.error());
    finish_entry(out, record);
    return;
  }
  if (*end != key.size()) {
    append_fallback(out, record, "bytes after the primary key");
    finish_entry(out, record);
    return;
  }
  append_field_name(out, "value");
  if (record.state != KeyState::Live) {
    out += "null";
    finish_entry(out, record);
    return;
  }
  const auto version = read_wide_varint(record.value, 0);
  if (!version) {
    out += "null";
    append_fallback(out, record, version.error());
    finish_entry(out, record);
    return;
  }
  const ExternalObjects* externals = nullptr;
  if (!blobs_.empty()) externals = find_externals(database, object_store, key.substr(pos), record.seq);
  const auto unwrapped = unwrapper_.unwrap(record.value.substr(version->end), externals);
  if (!unwrapped) {
    out += "null";
    append_wide_field(out, "version", version->value);
    append_fallback(out, record, unwrapped.error());
    finish_entry(out, record);
    return;
  }
  const std::span<const std::string> descriptions =
      externals != nullptr ? std::span<const std::string>(externals->json) : std::span<const std::string>();
  const auto value = append_script_value(out, unwrapped->data, descriptions);
  if (!value) out += "null";
  append_wide_field(out, "version", version->value);
  if (unwrapped->how != Stored::Inline) {
    append_field_name(out, "stored");
    json::append_text(out, to_string(unwrapped->how));
  }
  if (!value) append_fallback(out, record, value.error());
  finish_entry(out, record);
}

void IndexedDbDecoder::append_index(std::string& out, const RecordView& record, std::uint64_t database,
                                    std::uint64_t object_store, std::uint64_t index, std::size_t pos) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  begin_entry(out, kKind, "index");
  append_names(out, database, object_store, index);
  auto decode = [&]() -> Decoded<void> {
    std::size_t mark = out.size();
    append_field_name(out, "key");
    auto end = append_key(out, key, pos);
    if (!end) return fail_field(out, mark, end);
    if (*end < key.size()) {
      auto sequence = read_varint(key, *end);  // always 0 now
      if (!sequence) return std::unexpected(std::move(sequence.error()));
      mark = out.size();
      append_field_name(out, "primary_key");
      auto primary = append_key(out, key, sequence->end);
      if (!primary) return fail_field(out, mark, primary);
    }
    if (record.state != KeyState::Live) return {};
    auto version = read_varint(value, 0);
    if (!version) return std::unexpected(std::move(version.error()));
    append_wide_field(out, "version", version->value);
    if (version->end < value.size()) {
      mark = out.size();
      append_field_name(out, "value");
      auto primary = append_key(out, value, version->end);
      if (!primary) return fail_field(out, mark, primary);
    }
    return {};
  };
  if (auto result = decode(); !result) append_fallback(out, record, result.error());
  finish_entry(out, record);
}

Decoded<void> IndexedDbDecoder::decode_global(std::string& body, std::string_view& type, const RecordView& record,
                                              std::size_t pos) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  const bool live = record.state == KeyState::Live;
  const auto kind = static_cast<std::uint8_t>(key[pos]);
  if (kind <= 6 && pos + 1 == key.size()) {
    type = kGlobalTypes[kind];
    if (!live) return {};
    if (kind == 3 || kind == 4) {
      // A blob journal: pairs of database id and blob number.
      const std::size_t mark = body.size();
      append_field_name(body, "value");
      body.push_back('[');
      std::size_t p = 0;
      while (p < value.size()) {
        auto id = read_varint(value, p);
        if (!id) return fail_field(body, mark, id);
        auto number = read_varint(value, id->end);
        if (!number) return fail_field(body, mark, number);
        p = number->end;
        if (body.back() != '[') body += ", ";
        body += "{\"database_id\": ";
        append_wide(body, id->value);
        body += ", \"blob_number\": ";
        append_wide(body, number->value);
        body.push_back('}');
      }
      body.push_back(']');
      return {};
    }
    auto number = decode_int(value);
    if (!number) return std::unexpected(std::move(number.error()));
    append_field_name(body, "value");
    if (kind == 2) {
      body += "{\"blink\": ";
      json::append_int(body, *number & 0xFFFFFFFF);
      body += ", \"v8\": ";
      json::append_int(body, *number >> 32);
      body.push_back('}');
    } else if (kind == 5 || kind == 6) {
      if (!append_windows_time(body, *number)) body += "null";
    } else {
      json::append_int(body, *number);
    }
    return {};
  }
  if (kind == 201) {
    type = "database_name";
    auto origin = read_string_with_length(key, pos + 1);
    if (!origin) return std::unexpected(std::move(origin.error()));
    append_stored_origin(body, origin->bytes);
    auto name = read_string_with_length(key, origin->end);
    if (!name) return std::unexpected(std::move(name.error()));
    append_field_name(body, "database");
    append_units(body, name->bytes);
    if (live) {
      auto id = decode_int(value);
      if (!id) return std::unexpected(std::move(id.error()));
      append_field_name(body, "value");
      json::append_int(body, *id);
    }
    return {};
  }
  if (kind == 100) {
    type = "database_free_list";
    auto id = read_varint(key, pos + 1);
    if (!id) return std::unexpected(std::move(id.error()));
    append_wide_field(body, "database_id", id->value);
    return {};
  }
  if (kind == 50) return decode_journal(body, type, record, pos + 1);
  return std::unexpected("unknown global metadata type " + std::to_string(kind));
}

Decoded<void> IndexedDbDecoder::decode_journal(std::string& body, std::string_view& type, const RecordView& record,
                                               std::size_t pos) {
  // The transaction journal ("LevelDB scopes"): 0 its metadata, 1 <scope> a
  // scope's metadata (the key ranges it locks), 2 <scope> <0 undo | 1
  // cleanup> <sequence, 8 bytes big-endian> a task of that scope. Values are
  // protobuf messages, shown by field number.
  const std::string_view key = user_key_of(record.key, record.file_type);
  if (pos >= key.size()) return std::unexpected("journal key without its type");
  const auto sub = static_cast<std::uint8_t>(key[pos]);
  int task = -1;
  if (sub == 0) {
    type = "journal_metadata";
  } else if (sub == 1 || sub == 2) {
    type = sub == 1 ? "journal_scope" : "journal_task";
    auto scope = read_varint(key, pos + 1);
    if (!scope) return std::unexpected(std::move(scope.error()));
    append_wide_field(body, "scope", scope->value);
    if (sub == 2) {
      const std::size_t p = scope->end;
      if (p >= key.size()) return std::unexpected("journal task key without its kind");
      task = static_cast<std::uint8_t>(key[p]);
      append_field_name(body, "task");
      if (task == 0) {
        body += "\"undo\"";
      } else if (task == 1) {
        body += "\"cleanup\"";
      } else {
        json::append_uint(body, static_cast<std::uint64_t>(task));
      }
      if (key.size() - p - 1 == 8) {
        std::uint64_t sequence = 0;
        for (std::size_t i = p + 1; i < key.size(); ++i) sequence = (sequence << 8) | static_cast<std::uint8_t>(key[i]);
        append_field_name(body, "sequence");
        json::append_uint(body, sequence);
      }
    }
  } else {
    return std::unexpected("unknown journal key type " + std::to_string(sub));
  }
  if (record.state != KeyState::Live) return {};
  const std::size_t mark = body.size();
  append_field_name(body, "value");
  if (auto written = protobuf_.append(body, record.value); !written) return fail_field(body, mark, written);
  if (task >= 0 && !in_journal_) journal_task_ = task;
  return {};
}

void IndexedDbDecoder::append_journal(std::string& out, const RecordView& record, std::uint8_t task) {
  // A task's value (LevelDBScopesUndoTask / LevelDBScopesCleanupTask) is one
  // operation, a message of its own:
  //   undo     1 put {1 key, 2 value}: what the key held before the
  //            transaction changed it, put back if it is rolled back
  //            2 delete {1 key}: a key the transaction created
  //            3 delete_range {1 begin, 2 end}
  //   cleanup  1 delete_range, 2 delete_range_and_compact {1 begin, 2 end}
  // Keys and values are the store's own records, decoded as such.
  constexpr std::string_view kUndo[] = {"put", "delete", "delete_range"};
  constexpr std::string_view kCleanup[] = {"delete_range", "delete_range_and_compact"};
  if (task > 1 || !read_protobuf_fields(record.value, journal_fields_) || journal_fields_.size() != 1 ||
      !journal_fields_[0].is_bytes) {
    return;
  }
  const Wide operation = journal_fields_[0].number;
  if (operation < 1 || operation > (task == 0 ? 3u : 2u)) return;
  const std::string_view message = journal_fields_[0].bytes;
  if (!read_protobuf_fields(message, journal_fields_)) return;
  std::string_view first, second;  // fields 1 and 2 (proto3: absent is empty)
  for (const ProtobufField& field : journal_fields_) {
    if (!field.is_bytes) return;
    if (field.number == 1) first = field.bytes;
    if (field.number == 2) second = field.bytes;
  }
  const bool put = task == 0 && operation == 1;
  const bool range = task == 1 || operation == 3;
  out += ", \"journal\": {\"operation\": ";
  json::append_text(out, task == 0 ? kUndo[operation - 1] : kCleanup[operation - 1]);
  // Each key as the record it is (a put's with the value it held), written
  // as the entry of such a record, less its kind and provenance.
  auto nested = [&](std::string_view name, std::string_view key, std::string_view value, KeyState state) {
    const RecordView view{key, value, record.seq, state, FileType::Log, record.origin_file, record.offset, false};
    std::string line;
    in_journal_ = true;
    append_entry(line, view);
    in_journal_ = false;
    constexpr std::string_view kHead = "{\"kind\": \"indexeddb\", ";
    // The provenance is the line's last field: no "seq" key of a value
    // (written inside it) comes after.
    const std::size_t tail = line.rfind(", \"seq\": ");
    append_field_name(out, name);
    if (!line.starts_with(kHead) || tail == std::string::npos || tail < kHead.size()) {
      out += "null";  // not a line as append_entry writes them
      return;
    }
    out.push_back('{');
    out.append(line, kHead.size(), tail - kHead.size());
    out.push_back('}');
  };
  if (range) {
    nested("begin", first, {}, KeyState::Deleted);
    nested("end", second, {}, KeyState::Deleted);
  } else {
    nested("entry", first, put ? second : std::string_view(), put ? KeyState::Live : KeyState::Deleted);
  }
  out.push_back('}');
}

Decoded<void> IndexedDbDecoder::decode_database(std::string& body, std::string_view& type, const RecordView& record,
                                                std::uint64_t database, std::size_t pos) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  const bool live = record.state == KeyState::Live;
  const auto kind = static_cast<std::uint8_t>(key[pos]);
  // Writes "value" as fn writes it, rolling the field back on failure.
  auto value_field = [&](auto&& fn) -> Decoded<void> {
    const std::size_t mark = body.size();
    append_field_name(body, "value");
    Decoded<void> result = fn();
    if (!result) return fail_field(body, mark, result);
    return {};
  };
  auto int_value = [&]() -> Decoded<void> {
    auto number = decode_int(value);
    if (!number) return std::unexpected(std::move(number.error()));
    json::append_int(body, *number);
    return {};
  };
  auto bool_value = [&]() -> Decoded<void> {
    auto flag = decode_bool(value);
    if (!flag) return std::unexpected(std::move(flag.error()));
    body += *flag ? "true" : "false";
    return {};
  };
  if (kind <= 5 && pos + 1 == key.size()) {
    type = kDatabaseTypes[kind];
    if (!live) return {};
    return value_field([&]() -> Decoded<void> {
      if (kind <= 2) return append_string(body, value);
      if (kind == 3) return int_value();
      auto number = read_varint(value, 0);
      if (!number) return std::unexpected(std::move(number.error()));
      append_wide(body, number->value);
      return {};
    });
  }
  if (kind == 50 || kind == 100) {
    auto store = read_varint(key, pos + 1);
    if (!store) return std::unexpected(std::move(store.error()));
    std::size_t p = store->end;
    Wide index = 0;
    if (kind == 100) {
      auto read = read_varint(key, p);
      if (!read) return std::unexpected(std::move(read.error()));
      index = read->value;
      p = read->end;
    }
    // The database's names are written already; these add the store's (and index's).
    append_store_names(body, database, store->value, index);
    if (p >= key.size()) {
      // A metadata key cut before the byte that says which field it holds.
      type = kind == 50 ? "object_store_field" : "index_field";
      return std::unexpected("key ends before its field byte");
    }
    const int field = static_cast<std::uint8_t>(key[p]);
    if (kind == 50) {
      type = field >= 0 && field <= 7 ? kStoreFields[field] : field_type(type_, "object_store_", key, p);
      if (!live) return {};
      return value_field([&]() -> Decoded<void> {
        if (field == 0) return append_string(body, value);
        if (field == 1) return append_key_path(body, value);
        if (field == 2 || field == 3 || field == 6) return bool_value();
        return int_value();
      });
    }
    type = field >= 0 && field <= 3 ? kIndexFields[field] : field_type(type_, "index_", key, p);
    if (!live) return {};
    return value_field([&]() -> Decoded<void> {
      if (field == 0) return append_string(body, value);
      if (field == 2) return append_key_path(body, value);
      return bool_value();
    });
  }
  if (kind == 200 || kind == 201) {
    std::size_t p = pos + 1;
    if (kind == 201) {
      auto store = read_varint(key, p);
      if (!store) return std::unexpected(std::move(store.error()));
      append_store_names(body, database, store->value, 0);
      p = store->end;
    }
    type = kind == 200 ? "object_store_name" : "index_name";
    auto name = read_string_with_length(key, p);
    if (!name) return std::unexpected(std::move(name.error()));
    append_field_name(body, "name");
    append_units(body, name->bytes);
    if (!live) return {};
    return value_field(int_value);
  }
  if (kind == 150 || kind == 151) {
    type = kind == 150 ? "object_store_free_list" : "index_free_list";
    return {};
  }
  return std::unexpected("unknown database metadata type " + std::to_string(kind));
}

}  // namespace vostrel::chromium
