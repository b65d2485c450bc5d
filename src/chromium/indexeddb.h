#pragma once
// IndexedDB stores (`<origin>.indexeddb.leveldb`) as Chromium's LevelDB
// backing store writes them, each record made one JSON line.
//
// Every key starts with a prefix «database id, object store id, index id»
// (indexeddb_key.h). Id 0 means metadata:
//   «0,0,0» global: 0 schema version, 1 largest database id, 2 data format
//           version (Blink's in the low 32 bits, V8's above), 3/4 recovery and
//           active blob journals, 5 earliest sweep time, 6 earliest
//           compaction time, 50 the transaction journal ("scopes"), 100
//           database free list, 201 <origin> <name> -> database id
//   «db,0,0» database: 0 origin, 1 name, 2 string version, 3 largest object
//           store id, 4 version, 5 blob number generator; 50 <store> <field>
//           object store metadata (0 name, 1 key path, 2 auto increment, 3
//           evictable, 4 last version, 5 largest index id, 6 has key path, 7
//           key generator); 100 <store> <index> <field> index metadata (0
//           name, 1 unique, 2 key path, 3 multi-entry); 150/151 free lists;
//           200 <name> -> store id; 201 <store> <name> -> index id
//   «db,store,1» <primary key>  -> record version (varint), the value
//   «db,store,2» <primary key>  -> "exists" entry: record version (Int)
//   «db,store,3» <primary key>  -> the value's external objects
//   «db,store,≥30» <index key> <0 varint> <primary key> -> version, primary key
//
// Entries name the database, object store and index they belong to, which
// only other records tell: a first pass (learn) over every record collects
// those names (the newest live version of each) and every blob entry, a
// second pass writes the entries. A record's external objects are the blob
// entry for its primary key written in the same transaction, just after it:
// the oldest blob entry newer than the record.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chromium/indexeddb_value.h"
#include "chromium/protobuf.h"
#include "chromium/wide_varint.h"
#include "format/record.h"

namespace vostrel::chromium {

// The "<origin>.indexeddb.blob" directory beside an IndexedDB store directory
// (the directory's path normalised as os.path.normpath does, ".leveldb"
// replaced by ".blob"), "" when the directory's name does not end in ".leveldb".
[[nodiscard]] std::string indexeddb_blob_directory(std::string_view store_directory);

class IndexedDbDecoder {
 public:
  explicit IndexedDbDecoder(std::string blob_directory);  // "" for none
  // A copy (a decoding thread's own) holds what the first pass learned and
  // buffers of its own.
  IndexedDbDecoder(const IndexedDbDecoder& other);
  IndexedDbDecoder& operator=(const IndexedDbDecoder&) = delete;
  IndexedDbDecoder(IndexedDbDecoder&&) = default;
  IndexedDbDecoder& operator=(IndexedDbDecoder&&) = default;
  // First pass: every record, in the store's order, all before the first append_entry.
  void learn(const RecordView& record);
  // Whether a table's data block, between index keys lower and upper, holds
  // nothing the first pass learns from, so that the pass need not read it
  // (DecodeScratch::skip_block): when both keys have the same prefix, of
  // an object store's records, exists entries or index entries, every key
  // between them has it too, and the pass learns only from metadata and
  // blob entries.
  [[nodiscard]] static bool nothing_to_learn_between(std::string_view lower, std::string_view upper) noexcept;
  // Takes over what another decoder's first pass learned from the records
  // that come after this one's (the next data files): the result is what one
  // pass over both in turn learns. So the data files can be learned from
  // apart, each into a decoder of its own, and gathered in their order.
  void merge(IndexedDbDecoder&& later);
  // Second pass: one whole line, ending in \n.
  void append_entry(std::string& out, const RecordView& record);
  // Every blob file read from now on is copied there too (blob_file.h).
  void copy_blobs_to(std::shared_ptr<BlobCopies> copies) { blob_files_.copy_to(std::move(copies)); }

 private:
  struct StoreId {
    std::uint64_t database;
    Wide object_store;
    Wide index;
    bool operator==(const StoreId&) const = default;
  };
  struct StoreIdHash {
    std::size_t operator()(const StoreId& id) const noexcept;
  };
  struct Name {
    std::uint64_t seq;
    std::string json;  // the name as a JSON string
  };
  struct DatabaseName {
    std::uint64_t seq;
    std::string origin_fields;  // ', "origin": ...' as append_origin_fields writes them
    std::string name_json;
  };
  struct BlobVersion {
    std::uint64_t seq;
    std::string value;
    std::size_t arrival;  // its place among the key's versions as met, which breaks ties of seq
  };
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };

  void learn_name(const RecordView& record, std::uint64_t database, std::size_t pos);
  // origin, database, database_id, then append_store_names.
  void append_names(std::string& out, std::uint64_t database, Wide object_store, Wide index);
  void write_names(std::string& out, std::uint64_t database, Wide object_store, Wide index);
  // object_store, object_store_id when object_store is not 0; index, index_id when index is not 0.
  void append_store_names(std::string& out, std::uint64_t database, Wide object_store, Wide index);
  const ExternalObjects* find_externals(std::uint64_t database, std::uint64_t object_store,
                                        std::string_view encoded_key, std::uint64_t seq);
  void append_record(std::string& out, const RecordView& record, std::uint64_t database,
                     std::uint64_t object_store, std::size_t pos);
  void append_index(std::string& out, const RecordView& record, std::uint64_t database,
                    std::uint64_t object_store, std::uint64_t index, std::size_t pos);
  Decoded<void> decode_global(std::string& body, std::string_view& type, const RecordView& record,
                              std::size_t pos);
  Decoded<void> decode_journal(std::string& body, std::string_view& type, const RecordView& record,
                               std::size_t pos);
  // , "journal": {"operation": ..., "entry" | "begin", "end": the entries of
  // the records a journal task names}
  void append_journal(std::string& out, const RecordView& record, std::uint8_t task);
  Decoded<void> decode_database(std::string& body, std::string_view& type, const RecordView& record,
                                std::uint64_t database, std::size_t pos);

  std::string blob_directory_;
  BlobFiles blob_files_;  // what each blob file named so far holds
  std::unordered_map<std::int64_t, DatabaseName> databases_;
  std::unordered_map<StoreId, Name, StoreIdHash> stores_;   // index 0
  std::unordered_map<StoreId, Name, StoreIdHash> indexes_;
  std::unordered_map<std::string, std::vector<BlobVersion>, StringHash, std::equal_to<>> blobs_;

  bool blobs_sorted_ = false;  // each key's versions ordered by seq, done when the second pass begins

  // The names last written, for the ids names_ids_.
  bool names_cached_ = false;
  StoreId names_ids_{};
  std::string names_text_;

  // Reused from record to record.
  std::string blob_key_;
  std::string body_;
  std::string type_;
  ExternalObjects externals_;                  // the external objects of externals_of_
  const BlobVersion* externals_of_ = nullptr;  // the blob entry last read into externals_
  bool externals_valid_ = false;
  ExternalObjects entry_objects_;
  ValueUnwrapper unwrapper_;
  int journal_task_ = -1;    // the kind of the journal task being written (0 undo, 1 cleanup)
  bool in_journal_ = false;  // writing a journal task's records: no task inside them is opened
  std::vector<ProtobufField> journal_fields_;
  ProtobufJson protobuf_;
};

}  // namespace vostrel::chromium
