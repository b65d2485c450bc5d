#pragma once
// Session Storage ("Session Storage"), as Chromium's DOM storage writes it.
//
//   version                      -> schema version, ASCII digits
//   next-map-id                  -> the next map's number, ASCII digits
//   namespace-<id>-<origin>      -> the number of the map holding that tab's
//                                   (namespace's) items for the origin
//   map-<number>-<key>           -> an item's value
//
// The namespace id is 36 characters (a GUID with "_" for "-"). Several
// namespaces can share one map (a cloned tab) until one of them writes. Item
// keys are UTF-8 and values UTF-16LE, neither with a format byte.
//
// An item is tied to its origin only through the namespace entries naming its
// map, and "map-" sorts before "namespace-", so those entries may come later
// in a table: a first pass over every record learns them (learn), the second
// writes the entries (append_entry).

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format/record.h"

namespace vostrel::chromium {

class SessionStorageDecoder {
 public:
  // First pass: a namespace entry that names a map (deleted ones included:
  // they still say whose map it was). Others are ignored.
  void learn(const RecordView& record);
  // Second pass: the record's entry, one whole line.
  void append_entry(std::string& out, const RecordView& record);

 private:
  struct Owner {
    std::string origin;                   // UTF-8, invalid sequences replaced
    std::vector<std::string> namespaces;  // in the order first met
  };
  struct Map {
    std::vector<Owner> owners;  // in the order first met
    // The item fields that follow from the owners, written once:
    // ', "origin": ..., "map": N, "namespaces": [...]' and, for a map of more
    // than one origin, ', "origins": [...]'.
    bool written = false;
    std::string fields;
    std::string origins;
  };
  const Map* owners_of(const std::string& number);

  std::unordered_map<std::string, Map> maps_;  // by the map number's decimal text
  std::unordered_set<std::string> known_;      // namespace id, number and origin already listed
  std::string number_;                         // scratch
};

}  // namespace vostrel::chromium
