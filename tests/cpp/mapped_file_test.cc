// Mapped files: a file's bytes however the process and the file system
// behave (no mapping left, FIFOs, files shrinking or sparse, pages dropped),
// with no descriptor held and no fault escaping.

#include <dirent.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/mapped_file.h"
#include "io/safe_copy.h"
#include "test_support.h"

namespace vostrel {
namespace {

using testing::TempDir;
using testing::write_file;


std::size_t open_descriptor_count() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// Everything read() gives from the start of the file.
std::string all_bytes(const MappedFile& file) {
  ByteBuffer buffer;
  return std::string(file.read(0, file.size(), buffer));
}

TEST(MappedFile, EmptyFileHasNoMapping) {
  TempDir dir;
  write_file(dir.file("empty"), "");
  auto file = MappedFile::open(dir.file("empty"));
  ASSERT_TRUE(file.has_value()) << file.error().message();
  EXPECT_FALSE(file->has_mapping());
  EXPECT_EQ(file->size(), 0u);
  EXPECT_TRUE(all_bytes(*file).empty());
}

TEST(MappedFile, MissingFileIsOsError) {
  TempDir dir;
  const auto file = MappedFile::open(dir.file("missing"));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().code, ENOENT);
  const std::string message = file.error().message();
  EXPECT_TRUE(message.ends_with(" (os error 2)")) << message;
  EXPECT_EQ(message, std::string(std::strerror(ENOENT)) + " (os error 2)");
}

TEST(MappedFile, DirectoryIsNotReadAsAFile) {
  TempDir dir;
  const auto file = MappedFile::open(dir.path());
  // Directories cannot be mapped; whatever the file system reports, nothing
  // may be handed out as file bytes.
  if (file.has_value()) {
    EXPECT_FALSE(file->has_mapping());
  } else {
    EXPECT_NE(file.error().code, 0);
  }
}

// Files keep their descriptors for pread only up to a quarter of the
// descriptor limit: a directory of more files than the limit still opens
// whole, and every file reads the same whichever way it is held, also once
// unlinked.
TEST(MappedFile, HoldsDescriptorsWithinABudgetAndOutlivesTheFile) {
  TempDir dir;
  constexpr int kFiles = 40;
  auto name = [&](int i) { return dir.file(std::to_string(i).append(".bin")); };
  auto content = [](int i) { return std::string(100000, static_cast<char>('a' + i % 26)) + "tail"; };
  for (int i = 0; i < kFiles; ++i) write_file(name(i), content(i));
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::size_t before = open_descriptor_count();
  ASSERT_GT(before, 0u);
  struct rlimit lowered = saved;
  lowered.rlim_cur = before + 24;  // a budget of (before + 24) / 4
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<MappedFile> files;
  for (int i = 0; i < kFiles; ++i) {
    auto file = MappedFile::open(name(i));
    ASSERT_TRUE(file.has_value()) << i << ": " << file.error().message();
    files.push_back(std::move(*file));
  }
  const std::size_t held = open_descriptor_count() - before;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_GT(held, 0u);
  EXPECT_LE(held, (before + 24) / 4);
  for (int i = 0; i < kFiles; ++i) ::unlink(name(i).c_str());
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(files[i].has_mapping());
    EXPECT_EQ(all_bytes(files[i]), content(i)) << i;
  }
  files.clear();
  EXPECT_EQ(open_descriptor_count(), before);
}

#if !defined(__SANITIZE_ADDRESS__)
// A process that has used up its mappings (vm.max_map_count, reached by
// directories of tens of thousands of tables) must still get a file's bytes.
TEST(MappedFile, FileIsReadWhenNoMappingIsLeft) {
  TempDir dir;
  const std::string content = std::string(70000, 'q') + "end";
  write_file(dir.file("000001.ldb"), content);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Fill the address space with one-page mappings whose protections
    // alternate, so the kernel cannot merge them, until no more are allowed.
    std::vector<void*> pages;
    pages.reserve(1 << 20);
    for (int i = 0; i < (1 << 20); ++i) {
      void* page = ::mmap(nullptr, 4096, (i % 2) != 0 ? PROT_READ : PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (page == MAP_FAILED) break;
      pages.push_back(page);
    }
    void* probe = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe != MAP_FAILED) ::_exit(3);  // the limit was not reached: inconclusive
    const auto file = MappedFile::open(dir.file("000001.ldb"));
    ::_exit(file.has_value() && all_bytes(*file) == content ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "could not exhaust the mapping limit";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

// A FIFO put where a file was listed must not block the open (no writer
// would ever come), and is refused as not a regular file. The alarm turns a
// blocking open into a failure instead of a hang.
TEST(MappedFile, FifoIsRefusedWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("000001.log").c_str(), 0600), 0);
  ::alarm(30);
  const auto file = MappedFile::open(dir.file("000001.log"));
  ::alarm(0);
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error().code, ENODEV);
}

// Truncating a mapped file makes its lost pages fault (SIGBUS): read() gives
// the pages that remain and nothing past them, and the process lives on.
TEST(MappedFile, FileShrinkingWhileMappedReadsShort) {
  TempDir dir;
  const std::string content(5 * 4096, 'x');
  write_file(dir.file("a"), content);
  const auto file = MappedFile::open(dir.file("a"));
  ASSERT_TRUE(file.has_value());
  ASSERT_FALSE(file->is_deferred());
  ASSERT_EQ(::truncate(dir.file("a").c_str(), 2 * 4096), 0);
  prepare_fault_guard();
  ByteBuffer buffer;
  EXPECT_EQ(file->read(4096, 3 * 4096, buffer), std::string(4096, 'x'));
  EXPECT_EQ(file->read(3 * 4096, 4096, buffer), "");
  // Short reads copy out of the mapping: the lost page faults and ends them.
  static_assert(100 < MappedFile::kPreadFrom);
  EXPECT_EQ(file->read(2 * 4096 - 50, 100, buffer), std::string(50, 'x'));
  EXPECT_EQ(file->read(3 * 4096, 100, buffer), "");
  ASSERT_EQ(::truncate(dir.file("a").c_str(), 0), 0);
  EXPECT_EQ(file->read(0, content.size(), buffer), "");
}

TEST(MappedFile, HolesOfASparseFileAreNoted) {
  TempDir dir;
  const std::uint64_t size = std::uint64_t{1} << 30;
  {
    std::FILE* f = std::fopen(dir.file("sparse").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("head", f);
    std::fseek(f, static_cast<long>(size - 4), SEEK_SET);
    std::fputs("tail", f);
    std::fclose(f);
  }
  const auto file = MappedFile::open(dir.file("sparse"));
  ASSERT_TRUE(file.has_value());
  if (!file->in_hole(size / 2, 4096)) GTEST_SKIP() << "the file system reports no holes";
  EXPECT_FALSE(file->in_hole(0, 4096));
  EXPECT_FALSE(file->in_hole(size - 4096, 4096));
  EXPECT_FALSE(file->in_hole(size / 2, size / 2));  // runs into the data at the end
  ByteBuffer buffer;
  EXPECT_EQ(file->read(size - 4, 4, buffer), "tail");
}

TEST(MappedFile, FromBytesCopiesAndMoves) {
  std::string source = "hello";
  MappedFile a = MappedFile::from_bytes(source);
  source[0] = 'j';
  EXPECT_TRUE(a.has_mapping());
  EXPECT_EQ(all_bytes(a), "hello");

  MappedFile b(std::move(a));
  EXPECT_FALSE(a.has_mapping());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(all_bytes(b), "hello");

  MappedFile c = MappedFile::from_bytes("other");
  c = std::move(b);
  EXPECT_EQ(all_bytes(c), "hello");
  EXPECT_FALSE(b.has_mapping());  // NOLINT(bugprone-use-after-move)

  EXPECT_FALSE(MappedFile::from_bytes("").has_mapping());
  EXPECT_FALSE(MappedFile().has_mapping());
}

TEST(MappedFile, MoveAssignMappedIntoMapped) {
  TempDir dir;
  write_file(dir.file("a"), "first");
  write_file(dir.file("b"), "second");
  auto a = MappedFile::open(dir.file("a"));
  auto b = MappedFile::open(dir.file("b"));
  ASSERT_TRUE(a && b);
  *a = std::move(*b);
  EXPECT_EQ(all_bytes(*a), "second");
  EXPECT_FALSE(b->has_mapping());
  MappedFile& alias = *a;
  *a = std::move(alias);  // self-move keeps the mapping
  EXPECT_EQ(all_bytes(*a), "second");
}

TEST(MappedFile, BytesStayReadableAfterTheirPagesAreDropped) {
  const TempDir tmp;
  std::string content(3 * 4096 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  write_file(tmp.file("f"), content);
  const auto file = MappedFile::open(tmp.file("f"));
  ASSERT_TRUE(file.has_value() && file->has_mapping());
  ByteBuffer buffer;
  ASSERT_EQ(file->read(0, content.size(), buffer), content);
  file->drop_pages();
  EXPECT_EQ(file->read(0, content.size(), buffer), content);
  MappedFile::from_bytes(content).drop_pages();  // in memory: nothing to drop, nothing lost
}

// A walk's reads through a window give what read() gives, however they
// follow one another: onward (served from the window, or filling it), back,
// across two files taking turns, past the end.
TEST(ReadWindow, ReadsWhatReadGives) {
  const TempDir tmp;
  constexpr std::size_t kSize = 3 * ReadWindow::kWindow + 1000;
  std::string bytes_a(kSize, '\0');
  std::string bytes_b(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) {
    bytes_a[i] = static_cast<char>(i * 7 % 251);
    bytes_b[i] = static_cast<char>(i * 13 % 241);
  }
  write_file(tmp.file("a"), bytes_a);
  write_file(tmp.file("b"), bytes_b);
  const auto a = MappedFile::open(tmp.file("a"));
  const auto b = MappedFile::open(tmp.file("b"));
  ASSERT_TRUE(a && b);
  const MappedFile heap = MappedFile::from_bytes(bytes_a);
  struct Step {
    const MappedFile* file;
    std::uint64_t offset;
    std::size_t length;
  };
  const std::uint64_t w = ReadWindow::kWindow;
  const std::vector<Step> steps = {
      {&*a, 0, 4000},      {&*a, 4000, 4100},   {&*a, 8100, 300},        {&*a, 8400, w},
      {&*a, 8400 + w, 20}, {&*a, 100, 50},      {&*b, 0, 4000},          {&*a, 150, 4000},
      {&*b, 4000, 4000},   {&*a, 4150, 4000},   {&*a, 8150, 2 * w},      {&*a, kSize - 10, 100},
      {&*a, kSize, 10},    {&heap, 0, 600},     {&heap, 600, 600},       {&heap, 1200, 100},
      {&*b, kSize - w, w}, {&*b, kSize - 5, 5}, {&*a, kSize + 100, 100},
  };
  ReadWindow window;
  ByteBuffer buffer;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    const std::string expected(step.file->read(step.offset, step.length, buffer));
    EXPECT_EQ(window.read(*step.file, step.offset, step.length), expected) << "step " << i;
  }
}

}  // namespace
}  // namespace vostrel
