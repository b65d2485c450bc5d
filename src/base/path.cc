#include "base/path.h"

#include <vector>

namespace vostrel {

std::string normal_path(std::string_view path) {
  if (path.empty()) return ".";
  std::size_t leading = 0;
  if (path.starts_with('/')) leading = path.starts_with("//") && !path.starts_with("///") ? 2 : 1;
  std::vector<std::string_view> steps;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view step = path.substr(begin, end - begin);
    begin = end + 1;
    if (step.empty() || step == ".") continue;
    if (step != ".." || (leading == 0 && steps.empty()) || (!steps.empty() && steps.back() == "..")) {
      steps.push_back(step);
    } else if (!steps.empty()) {
      steps.pop_back();
    }
  }
  std::string out(leading, '/');
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (i != 0) out.push_back('/');
    out += steps[i];
  }
  if (out.empty()) out.push_back('.');
  return out;
}

std::string_view final_component(std::string_view path) noexcept {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view file_stem(std::string_view path) noexcept {
  const std::string_view name = final_component(path);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace vostrel
