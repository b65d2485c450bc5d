#pragma once
// Fields that Chromium writes as ASCII text (Session Storage's ids and
// numbers, Local Storage's version), checked as the Python decoder that the
// entries' form comes from checked them: bytes.decode("ascii").

#include <string_view>

#include "chromium/codec.h"

namespace vostrel::chromium {

// Nothing when every byte is below 0x80, else the message Python's ASCII
// codec gives for the first byte that is not ("'ascii' codec can't decode
// byte 0xff in position 1: ordinal not in range(128)").
[[nodiscard]] Decoded<void> check_ascii(std::string_view bytes);

}  // namespace vostrel::chromium
