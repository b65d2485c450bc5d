#pragma once
// Paths as text: '/'-separated, handled lexically, with no file system access.

#include <string>
#include <string_view>

namespace vostrel {

// A path made normal lexically, with no file system access, as Python's
// posixpath.normpath does: empty and "." steps dropped, ".." taking back the
// step before it (kept where there is none, dropped at the root), one or two
// leading slashes kept (three or more become one), "." for nothing left.
[[nodiscard]] std::string normal_path(std::string_view path);

// The final component of a '/'-separated path (the text after the last '/').
[[nodiscard]] std::string_view final_component(std::string_view path) noexcept;

// The final component without its last extension: "000123" for
// "dir/000123.ldb", "a.b" for "a.b.c". A name whose only '.' is its first
// character has no extension, so ".x" is its own stem.
[[nodiscard]] std::string_view file_stem(std::string_view path) noexcept;

}  // namespace vostrel
