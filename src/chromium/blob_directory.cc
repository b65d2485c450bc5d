#include "chromium/blob_directory.h"

#include <filesystem>
#include <system_error>

#include "base/path.h"
#include "chromium/indexeddb.h"

namespace vostrel::chromium {

std::string find_blob_directory(std::string_view store_directory) {
  namespace fs = std::filesystem;
  std::error_code error;
  std::string by_name = indexeddb_blob_directory(store_directory);
  if (!by_name.empty() && fs::is_directory(by_name, error)) return by_name;
  const std::string store = normal_path(store_directory);
  const std::size_t slash = store.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : store.substr(0, slash);
  std::string best;
  fs::directory_iterator it(parent, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.ends_with(".indexeddb.blob") || !it->is_directory(error) || error) {
      error.clear();
      continue;
    }
    if (best.empty() || it->path().string() < best) best = it->path().string();
  }
  return best.empty() ? by_name : best;
}

}  // namespace vostrel::chromium
