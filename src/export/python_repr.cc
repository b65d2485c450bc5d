#include "export/python_repr.h"

#include <cstdint>

#include "base/hex.h"
#include "base/utf8.h"

namespace vostrel {

void append_python_repr(std::string& out, std::string_view bytes) {
  const bool has_single = bytes.find('\'') != std::string_view::npos;
  const bool has_double = bytes.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out.push_back(quote);
  auto escape = [&](char form, char32_t c, int digits) {
    out.push_back('\\');
    out.push_back(form);
    hex::append_digits(out, c, digits);
  };
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const auto step = utf8::next(bytes.substr(pos));
    if (!step.valid) {
      for (std::size_t i = 0; i < step.length; ++i) {
        escape('u', 0xDC00 + static_cast<std::uint8_t>(bytes[pos + i]), 4);
      }
      pos += step.length;
      continue;
    }
    const char32_t c = step.code_point;
    if (c == '\\' || c == static_cast<char32_t>(quote)) {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else if (!utf8::is_printable(c)) {
      if (c < 0x100) {
        escape('x', c, 2);
      } else if (c < 0x10000) {
        escape('u', c, 4);
      } else {
        escape('U', c, 8);
      }
    } else {
      out.append(bytes.substr(pos, step.length));
    }
    pos += step.length;
  }
  out.push_back(quote);
}

}  // namespace vostrel
