#include "io/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vostrel {

std::expected<StagedFile, OsError> StagedFile::create(const std::string& directory, std::string_view prefix) {
  constexpr std::string_view kUnique = "XXXXXX";  // mkstemp's placeholder
  const std::string_view folder = directory.empty() ? std::string_view(".") : std::string_view(directory);
  const std::string_view separator = folder.ends_with('/') ? "" : "/";
  std::string path;
  path.reserve(folder.size() + separator.size() + prefix.size() + kUnique.size());
  path.append(folder).append(separator).append(prefix).append(kUnique);
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return std::unexpected(OsError{errno});
  return StagedFile(fd, std::move(path));
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::exchange(other.path_, {})) {}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    discard();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

StagedFile::~StagedFile() { discard(); }

void StagedFile::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

std::expected<void, OsError> StagedFile::write(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError{errno});
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

std::expected<bool, OsError> StagedFile::publish(const std::string& path) {
  // close() reports a write the file system could not complete (NFS, quotas).
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) return std::unexpected(OsError{errno});
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    discard();
    return false;
  }
  if (::rename(path_.c_str(), path.c_str()) != 0) return std::unexpected(OsError{errno});
  path_.clear();
  return true;
}

}  // namespace vostrel
