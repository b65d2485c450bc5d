#pragma once
// Where an IndexedDB store's blob files are. Chromium keeps them in
// "<origin>.indexeddb.blob" beside "<origin>.indexeddb.leveldb"; an examiner's
// copy of the store may be named otherwise ("db" beside an intact blob
// folder). So: the sibling named after the store when it is a directory, else
// the first (in sorted order) sibling directory whose name ends in
// ".indexeddb.blob", else the sibling by name all the same (paths are shown
// even where no file is).

#include <string>
#include <string_view>

namespace vostrel::chromium {

[[nodiscard]] std::string find_blob_directory(std::string_view store_directory);

}  // namespace vostrel::chromium
