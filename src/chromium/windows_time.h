#pragma once
// Chromium's base::Time as its stores keep it on disk: a count of
// microseconds since 1601-01-01T00:00:00Z (the Windows epoch, on every
// platform). Written as {"$date": "...Z"} like every other moment in the
// output.

#include <string>

namespace vostrel::chromium {

__extension__ typedef __int128 WideSigned;

// Appends {"$date": "<ISO time>"} and returns true; returns false and writes
// nothing when the moment lies outside years 1 to 9999.
[[nodiscard]] bool append_windows_time(std::string& out, WideSigned microseconds);

}  // namespace vostrel::chromium
