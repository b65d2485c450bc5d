#include "chromium/windows_time.h"

#include <cstdint>

#include "export/json_text.h"

namespace vostrel::chromium {
namespace {
// Microseconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kWindowsToUnix = 11'644'473'600'000'000;
// Far beyond years 1 to 9999 from either epoch (about 292,000 years), small
// enough that the shift below cannot overflow.
constexpr std::int64_t kFarAway = std::int64_t{1} << 62;
}  // namespace

bool append_windows_time(std::string& out, WideSigned microseconds) {
  if (microseconds > kFarAway || microseconds < -kFarAway) return false;
  const auto unix_microseconds = static_cast<std::int64_t>(microseconds) - kWindowsToUnix;
  const std::size_t mark = out.size();
  out += "{\"$date\": ";
  if (!json::append_utc_time(out, unix_microseconds)) {
    out.resize(mark);
    return false;
  }
  out.push_back('}');
  return true;
}

}  // namespace vostrel::chromium
