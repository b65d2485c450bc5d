#include "chromium/origin.h"

#include <algorithm>
#include <charconv>

#include "chromium/entry.h"
#include "export/json_text.h"

namespace vostrel::chromium {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool scheme_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// A host as an origin holds it: no character a URL would end it at, and an
// IPv6 address only whole in brackets.
bool host_chars(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u >= 0x7F || c == '/' || c == '\\' || c == '?' || c == '#' || c == '@') return false;
  }
  if (host.front() == '[') return host.size() > 2 && host.back() == ']';
  return host.find_first_of("[]:") == std::string_view::npos;
}

// A port's decimal digits (1 to 5 of them, below 2^16).
std::optional<unsigned> parse_port(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned port = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (error != std::errc() || end != digits.data() + digits.size() || port >= 65536) return std::nullopt;
  return port;
}

unsigned default_port(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  if (scheme == "ftp") return 21;
  return 0;
}

std::optional<std::string> join(std::string_view scheme, std::string_view host, unsigned port) {
  if (scheme.empty() || !(scheme.front() >= 'a' && scheme.front() <= 'z') ||
      !std::ranges::all_of(scheme, scheme_char) || !host_chars(host)) {
    return std::nullopt;
  }
  std::string out(scheme);
  out += "://";
  std::ranges::transform(host, std::back_inserter(out), lower);
  if (port != 0 && port != default_port(scheme)) {
    out.push_back(':');
    out += std::to_string(port);
  }
  return out;
}

// `scheme://host[:port]`, with or without one trailing '/'.
std::optional<std::string> from_url(std::string_view text) {
  const std::size_t colon = text.find("://");
  std::string scheme(text.substr(0, colon));
  std::ranges::transform(scheme, scheme.begin(), lower);
  std::string_view rest = text.substr(colon + 3);
  if (rest.ends_with('/')) rest.remove_suffix(1);
  if (scheme == "file") {
    if (rest.empty()) return std::string("file://");
    return std::nullopt;
  }
  unsigned port = 0;
  const std::size_t port_colon = rest.rfind(':');
  if (port_colon != std::string_view::npos && rest.find(']', port_colon) == std::string_view::npos) {
    const auto parsed = parse_port(rest.substr(port_colon + 1));
    if (!parsed || *parsed == 0) return std::nullopt;
    port = *parsed;
    rest = rest.substr(0, port_colon);
  }
  return join(scheme, rest, port);
}

// Chromium's storage identifier `<scheme>_<host>_<port>`, parsed by the
// rules Chromium parses it by: ASCII without "..", '\', '/', ':' or NUL,
// the scheme up to the first '_', the port after the last.
std::optional<std::string> from_identifier(std::string_view text) {
  if (text.find("..") != std::string_view::npos) return std::nullopt;
  for (char c : text) {
    if (c == '\\' || c == '/' || c == ':' || c == '\0' || static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  }
  const std::size_t first = text.find('_');
  const std::size_t last = text.rfind('_');
  if (first == std::string_view::npos || first == 0 || last == first || last + 1 == text.size()) {
    return std::nullopt;
  }
  const std::string_view scheme = text.substr(0, first);
  if (scheme == "file") return std::string("file://");
  if (scheme == "about" || scheme == "data" || scheme == "javascript") return std::nullopt;
  const auto port = parse_port(text.substr(last + 1));
  if (!port) return std::nullopt;
  std::string host(text.substr(first + 1, last - first - 1));
  if (host.size() >= 5 && host.front() == '[' && host.back() == ']') std::ranges::replace(host, '_', ':');
  return join(scheme, host, *port);
}

}  // namespace

std::optional<std::string> canonical_origin(std::string_view stored) {
  if (stored.find("://") != std::string_view::npos) return from_url(stored);
  // IndexedDB's suffix after the identifier.
  if (stored.ends_with("@1")) stored.remove_suffix(2);
  return from_identifier(stored);
}

void append_origin_fields(std::string& out, std::string_view stored) {
  append_field_name(out, "origin");
  const auto origin = canonical_origin(stored);
  if (!origin) {
    out += "null";
  } else {
    json::append_text(out, *origin);
    if (*origin == stored) return;
  }
  append_field_name(out, "origin_raw");
  json::append_utf8_replace(out, stored);
}

}  // namespace vostrel::chromium
