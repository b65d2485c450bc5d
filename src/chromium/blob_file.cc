#include "chromium/blob_file.h"

#include <optional>

#include "base/hex.h"
#include "base/sha256.h"
#include "chromium/indexeddb_value.h"
#include "export/json_text.h"
#include "io/mapped_file.h"
#include "io/staged_file.h"
#include "io/safe_copy.h"

namespace vostrel::chromium {
namespace {

constexpr std::size_t kReadPiece = std::size_t{1} << 20;

std::string join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + '/' + name;
}

// The copy of one blob file as it is read: written beside its final name and
// published under the content's hash once the whole file went through.
class Copy {
 public:
  Copy(BlobCopies* copies, const std::string& path) : copies_(copies), path_(path) {
    if (copies_ == nullptr) return;
    auto made = StagedFile::create(copies_->directory(), ".blob-");
    if (made) {
      file_.emplace(std::move(*made));
    } else {
      copies_->failed(path_, made.error().message());
    }
  }
  void write(std::string_view piece) {
    if (!file_) return;
    if (auto written = file_->write(piece); !written) {
      copies_->failed(path_, written.error().message());
      file_.reset();
    }
  }
  void publish(const std::string& sha256) {
    if (!file_ || !copies_->wanted(sha256)) return;  // the same content is there already
    auto published = file_->publish(join(copies_->directory(), sha256));
    if (!published) {
      copies_->failed(path_, published.error().message());
    } else {
      copies_->published(sha256);
    }
  }

 private:
  BlobCopies* copies_;
  const std::string& path_;
  std::optional<StagedFile> file_;  // empty: no copy is being made
};

std::string facts_of(const std::string& path, ByteBuffer& buffer, BlobCopies* copies) {
  auto file = MappedFile::open(path);
  if (!file) return ", \"found\": false";
  std::string facts = ", \"found\": true, \"file_size\": ";
  json::append_uint(facts, file->size());
  const auto not_read = [&](const char* why, std::string_view fields) {
    if (copies != nullptr) copies->failed(path, why);
    return facts += fields;
  };
  if (file->has_holes()) return not_read("a file with holes is not read", ", \"sparse\": true, \"sha256\": null");
  if (file->size() > kMaxBlobFile) return not_read("a file over 1 GiB is not read", ", \"sha256\": null");
  Copy copy(copies, path);
  Sha256 hash;
  prepare_fault_guard();
  for (std::size_t done = 0; done < file->size();) {
    const std::string_view piece = file->read(done, std::min(kReadPiece, file->size() - done), buffer);
    if (piece.empty()) return not_read("the file lost bytes while it was read", ", \"sha256\": null");
    hash.update(piece);
    copy.write(piece);
    done += piece.size();
  }
  std::string digest;
  for (const std::uint8_t byte : hash.finish()) hex::append_byte(digest, byte);
  copy.publish(digest);
  facts += ", \"sha256\": \"";
  facts += digest;
  facts += '"';
  return facts;
}

}  // namespace

bool BlobCopies::wanted(const std::string& sha256) {
  const std::lock_guard lock(mutex_);
  return !done_.contains(sha256);
}

void BlobCopies::published(const std::string& sha256) {
  const std::lock_guard lock(mutex_);
  done_.insert(sha256);
}

void BlobCopies::failed(const std::string& path, std::string reason) {
  const std::lock_guard lock(mutex_);
  ++failures_;
  if (noted_.size() < kMaxNoted) noted_.emplace_back(path, std::move(reason));
}

std::uint64_t BlobCopies::failures() const {
  const std::lock_guard lock(mutex_);
  return failures_;
}

std::vector<std::pair<std::string, std::string>> BlobCopies::noted_failures() const {
  const std::lock_guard lock(mutex_);
  return noted_;
}

void BlobFiles::append_facts(std::string& out, const std::string& path) {
  auto found = known_.find(path);
  if (found == known_.end()) found = known_.emplace(path, facts_of(path, buffer_, copies_.get())).first;
  out += found->second;
}

}  // namespace vostrel::chromium
