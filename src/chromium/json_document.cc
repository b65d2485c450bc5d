#include "chromium/json_document.h"

#include <vector>

#include "base/utf8.h"

namespace vostrel::chromium {
namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_hex(char c) noexcept { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

class Copier {
 public:
  Copier(std::string& out, std::string_view text) : out_(out), text_(text) {}

  bool run() {
    // Each container open on the way down: '[' an array, '{' an object, 'O'
    // an object written inside {"$object": ...}. Its depth is bounded by the
    // text's size, one byte per level.
    std::vector<char> open;
    enum class Want { Value, ValueOrClose, Key, KeyOrClose } want = Want::Value;
    for (;;) {
      skip_space();
      if (at_ == text_.size()) return false;
      const char c = text_[at_];
      if ((want == Want::ValueOrClose && c == ']') || (want == Want::KeyOrClose && c == '}')) {
        close(open);  // the container is a complete value
      } else if (want == Want::Key || want == Want::KeyOrClose) {
        if (c != '"' || !string()) return false;
        skip_space();
        if (at_ == text_.size() || text_[at_] != ':') return false;
        ++at_;
        out_ += ": ";
        want = Want::Value;
        continue;
      } else if (c == '{') {
        const bool wrap = first_key_is_dollar(at_ + 1);
        out_ += wrap ? "{\"$object\": {" : "{";
        open.push_back(wrap ? 'O' : '{');
        ++at_;
        want = Want::KeyOrClose;
        continue;
      } else if (c == '[') {
        out_.push_back('[');
        open.push_back('[');
        ++at_;
        want = Want::ValueOrClose;
        continue;
      } else if (!scalar()) {
        return false;
      }
      // A value is complete: what may follow it depends on its container.
      for (;;) {
        skip_space();
        if (open.empty()) return at_ == text_.size();
        if (at_ == text_.size()) return false;
        const char next = text_[at_];
        if (next == ',') {
          ++at_;
          out_ += ", ";
          want = open.back() == '[' ? Want::Value : Want::Key;
          break;
        }
        if ((next == ']' && open.back() == '[') || (next == '}' && open.back() != '[')) {
          close(open);
          continue;
        }
        return false;
      }
    }
  }

 private:
  void skip_space() noexcept {
    while (at_ < text_.size() && is_space(text_[at_])) ++at_;
  }

  void close(std::vector<char>& open) {
    out_ += open.back() == '[' ? "]" : open.back() == 'O' ? "}}" : "}";
    open.pop_back();
    ++at_;
  }

  // Whether the object whose members start at `from` has a first key that
  // starts with "$" (written as itself or as the escape \u0024).
  bool first_key_is_dollar(std::size_t from) const noexcept {
    while (from < text_.size() && is_space(text_[from])) ++from;
    if (from >= text_.size() || text_[from] != '"') return false;
    const std::string_view rest = text_.substr(from + 1);
    if (rest.starts_with('$')) return true;
    return rest.size() >= 6 && rest[0] == '\\' && rest[1] == 'u' && rest[2] == '0' && rest[3] == '0' &&
           rest[4] == '2' && rest[5] == '4';
  }

  // A string from its opening quote; copied whole when valid.
  bool string() {
    const std::size_t start = at_++;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        out_.append(text_.substr(start, at_ - start));
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (text_.size() - at_ < 2) return false;
        const char e = text_[at_ + 1];
        if (e == 'u') {
          if (text_.size() - at_ < 6) return false;
          for (std::size_t k = 2; k < 6; ++k) {
            if (!is_hex(text_[at_ + k])) return false;
          }
          at_ += 6;
          continue;
        }
        if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' && e != 'r' && e != 't') {
          return false;
        }
        at_ += 2;
        continue;
      }
      if (c < 0x80) {
        ++at_;
        continue;
      }
      const utf8::Step step = utf8::next(text_.substr(at_));
      if (!step.valid) return false;
      at_ += step.length;
    }
    return false;
  }

  bool literal(std::string_view word) {
    if (!text_.substr(at_).starts_with(word)) return false;
    out_.append(word);
    at_ += word.size();
    return true;
  }

  // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  bool number() {
    const std::size_t start = at_;
    const auto digits = [&] {
      const std::size_t from = at_;
      while (at_ < text_.size() && is_digit(text_[at_])) ++at_;
      return at_ > from;
    };
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    if (at_ < text_.size() && text_[at_] == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    if (at_ < text_.size() && text_[at_] == '.') {
      ++at_;
      if (!digits()) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      ++at_;
      if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
      if (!digits()) return false;
    }
    out_.append(text_.substr(start, at_ - start));
    return true;
  }

  bool scalar() {
    switch (text_[at_]) {
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  std::string& out_;
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool append_json_document(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  if (Copier(out, text).run()) return true;
  out.resize(start);
  return false;
}

}  // namespace vostrel::chromium
