#pragma once
// The origin a Chromium store names, in the one form every entry gives it:
// `scheme://host[:port]`, as Chromium serializes an origin (lower-case scheme
// and host, no port when it is the scheme's default, no path).
//
// The stores write origins in three ways:
//   Local Storage    `http://127.0.0.1:8765` (already that form)
//   Session Storage  `http://127.0.0.1:8765/` (the origin as a URL)
//   IndexedDB        `http_127.0.0.1_8765@1`: Chromium's storage identifier,
//                    `<scheme>_<host>_<port>` (port 0 for the scheme's default,
//                    the ':' of an IPv6 host written '_', `file__0` for every
//                    file origin) and the IndexedDB suffix "@1".

#include <optional>
#include <string>
#include <string_view>

namespace vostrel::chromium {

// The origin stored text names, or nothing when it is neither an origin URL
// nor a storage identifier Chromium would have written (a unique origin's
// `__0` included: it names no origin).
[[nodiscard]] std::optional<std::string> canonical_origin(std::string_view stored);

// , "origin": <canonical or null>[, "origin_raw": <stored>] - the stored text
// only where it differs. stored is UTF-8 (invalid sequences written replaced).
void append_origin_fields(std::string& out, std::string_view stored);

}  // namespace vostrel::chromium
