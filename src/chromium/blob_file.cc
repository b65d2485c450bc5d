#include "chromium/blob_file.h"

#include "base/hex.h"
#include "base/sha256.h"
#include "chromium/indexeddb_value.h"
#include "export/json_text.h"
#include "io/mapped_file.h"
#include "io/safe_copy.h"

namespace vostrel::chromium {
namespace {

constexpr std::size_t kReadPiece = std::size_t{1} << 20;

std::string facts_of(const std::string& path, ByteBuffer& buffer) {
  auto file = MappedFile::open(path);
  if (!file) return ", \"found\": false";
  std::string facts = ", \"found\": true, \"file_size\": ";
  json::append_uint(facts, file->size());
  if (file->has_holes()) return facts + ", \"sparse\": true, \"sha256\": null";
  if (file->size() > kMaxBlobFile) return facts + ", \"sha256\": null";
  Sha256 hash;
  prepare_fault_guard();
  for (std::size_t done = 0; done < file->size();) {
    const std::string_view piece = file->read(done, std::min(kReadPiece, file->size() - done), buffer);
    if (piece.empty()) return facts + ", \"sha256\": null";  // the file lost bytes since it was opened
    hash.update(piece);
    done += piece.size();
  }
  facts += ", \"sha256\": \"";
  for (const std::uint8_t byte : hash.finish()) hex::append_byte(facts, byte);
  facts += '"';
  return facts;
}

}  // namespace

void BlobFiles::append_facts(std::string& out, const std::string& path) {
  auto found = known_.find(path);
  if (found == known_.end()) found = known_.emplace(path, facts_of(path, buffer_)).first;
  out += found->second;
}

}  // namespace vostrel::chromium
