// The real library's own dumper as a baseline for `vostrel dump`: calls
// leveldb::DumpFile on every .log/.ldb/.sst file of a directory, in file-name
// order, writing its text to standard output through a 1 MiB buffer.
//
//   dumpfile_loop DIR > /dev/null

#include <dirent.h>
#include <leveldb/dumpfile.h>
#include <leveldb/env.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class StdoutFile : public leveldb::WritableFile {
 public:
  leveldb::Status Append(const leveldb::Slice& data) override {
    buffer_.append(data.data(), data.size());
    if (buffer_.size() >= (1u << 20)) return Flush();
    return leveldb::Status::OK();
  }
  leveldb::Status Close() override { return Flush(); }
  leveldb::Status Flush() override {
    const char* p = buffer_.data();
    std::size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t n = ::write(1, p, left);
      if (n <= 0) return leveldb::Status::IOError("write to stdout failed");
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return leveldb::Status::OK();
  }
  leveldb::Status Sync() override { return Flush(); }

 private:
  std::string buffer_;
};

bool is_data_file(const std::string& name) {
  for (const char* ext : {".log", ".ldb", ".sst"}) {
    const std::string e(ext);
    if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dumpfile_loop DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return 1;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    if (is_data_file(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  StdoutFile out;
  for (const std::string& name : names) {
    const leveldb::Status status = leveldb::DumpFile(leveldb::Env::Default(), dir + "/" + name, &out);
    if (!status.ok()) std::fprintf(stderr, "%s: %s\n", name.c_str(), status.ToString().c_str());
  }
  return out.Close().ok() ? 0 : 1;
}
