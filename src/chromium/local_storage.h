#pragma once
// Local Storage (`Local Storage/leveldb`) as Chromium's DOM storage writes it.
//
// Keys and values:
//   VERSION                  -> schema version, ASCII digits
//   META:<origin>            -> protobuf: 1 last_modified (base::Time), 2 size_bytes
//   METAACCESS:<origin>      -> protobuf: 1 last_accessed (base::Time)
//   _<origin>\x00<key>       -> value
// The origin is the storage key serialised as text (`https://example.org`,
// with `^`-separated parts for partitioned storage). Item keys and values are
// strings with a leading format byte: 0 for UTF-16LE, 1 for Latin-1 (used when
// every character fits in one byte).

#include <string>

#include "format/record.h"

namespace vostrel::chromium {

// One whole line, ending in \n. A record that does not decode keeps only its
// raw bytes and the reason (no partly decoded fields).
void append_local_storage_entry(std::string& out, const RecordView& record);

}  // namespace vostrel::chromium
