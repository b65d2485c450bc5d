#pragma once
// Helpers shared by the C++ tests: temporary directories and files, and byte
// builders for hand-made malformed inputs.

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrel::testing {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // path() + "/" + name
  [[nodiscard]] std::string file(std::string_view name) const;

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view bytes);
[[nodiscard]] std::string read_file(const std::string& path);

// Bytes from a hex text such as "ac 02" (spaces ignored).
[[nodiscard]] std::string hex(std::string_view text);

[[nodiscard]] std::string varint(std::uint64_t value);
[[nodiscard]] std::string fixed32(std::uint32_t value);
[[nodiscard]] std::string fixed64(std::uint64_t value);

}  // namespace vostrel::testing
