#pragma once
// UTF-8 validity, as the directory reader (entry names), the manifest reader
// (comparator names) and the file-name rules apply it.

#include <string_view>

namespace vostrel {

// Strict UTF-8: no overlong forms, no UTF-16 surrogates, nothing past U+10FFFF.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace vostrel
