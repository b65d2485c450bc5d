#include "chromium/session_storage.h"

#include <algorithm>
#include <expected>

#include "chromium/ascii_text.h"
#include "chromium/entry.h"
#include "chromium/origin.h"
#include "format/internal_key.h"
#include "export/json_text.h"
#include "export/python_repr.h"
#include "base/utf8.h"

namespace vostrel::chromium {
namespace {

constexpr std::string_view kKind = "sessionstorage";
constexpr std::size_t kNamespaceIdLength = 36;
constexpr std::string_view kMapPrefix = "map-";
constexpr std::string_view kNamespacePrefix = "namespace-";

using Reason = std::string;

std::string not_a_number(std::string_view text) {
  std::string reason = "not a number: ";
  append_python_repr(reason, text);
  return reason;
}

// A number written as ASCII digits, with at most one "-", as its canonical
// decimal text (no leading zeros, no "-0"). Numbers of any length are kept
// exactly: only the text is compared and written.
std::expected<void, Reason> parse_number(std::string_view bytes, std::string& out) {
  if (auto ascii = check_ascii(bytes); !ascii) return ascii;
  std::string_view digits = bytes;
  const bool negative = digits.starts_with('-');
  if (negative) digits.remove_prefix(1);
  const bool all_digits =
      !digits.empty() && std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; });
  if (!all_digits) return std::unexpected(not_a_number(bytes));
  const std::size_t first = digits.find_first_not_of('0');
  out.clear();
  if (first == std::string_view::npos) {
    out.push_back('0');
    return {};
  }
  if (negative) out += '-';
  out.append(digits.substr(first));
  return {};
}

struct NamespaceKey {
  std::string_view id;      // ASCII
  std::string_view origin;  // raw bytes
};

std::expected<NamespaceKey, Reason> parse_namespace_key(std::string_view key) {
  const std::string_view body = key.substr(kNamespacePrefix.size());
  if (body.size() < kNamespaceIdLength + 1 || body[kNamespaceIdLength] != '-') {
    return std::unexpected(Reason("namespace key without a namespace id"));
  }
  const std::string_view id = body.substr(0, kNamespaceIdLength);
  if (auto ascii = check_ascii(id); !ascii) return std::unexpected(std::move(ascii.error()));
  return NamespaceKey{id, body.substr(kNamespaceIdLength + 1)};
}

}  // namespace

void SessionStorageDecoder::learn(const RecordView& record) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  if (!key.starts_with(kNamespacePrefix) || record.value.empty()) return;
  const auto parsed = parse_namespace_key(key);
  if (!parsed || !parse_number(record.value, number_)) return;
  std::string origin = utf8::decode_replace(parsed->origin);
  // Listed once per (namespace, map, origin): the id has a fixed length and the
  // number holds no NUL, so the joined text is unambiguous.
  std::string identity;
  identity.reserve(parsed->id.size() + number_.size() + 1 + origin.size());
  identity.append(parsed->id).append(number_).append(1, '\0').append(origin);
  if (!known_.insert(std::move(identity)).second) return;
  Map& map = maps_[number_];
  auto owner = std::ranges::find(map.owners, origin, &Owner::origin);
  if (owner == map.owners.end()) {
    map.owners.push_back(Owner{std::move(origin), {}});
    owner = map.owners.end() - 1;
  }
  owner->namespaces.emplace_back(parsed->id);
}

const SessionStorageDecoder::Map* SessionStorageDecoder::owners_of(const std::string& number) {
  const auto found = maps_.find(number);
  if (found == maps_.end()) return nullptr;
  Map& map = found->second;
  if (!map.written) {
    map.written = true;
    if (map.owners.size() == 1) {
      append_origin_fields(map.fields, map.owners.front().origin);
    } else {
      append_field_name(map.fields, "origin");
      map.fields += "null";
    }
    append_field_name(map.fields, "map");
    map.fields += number;
    append_field_name(map.fields, "namespaces");
    map.fields += '[';
    bool first = true;
    for (const Owner& owner : map.owners) {
      for (const std::string& id : owner.namespaces) {
        if (!first) map.fields += ", ";
        first = false;
        json::append_text(map.fields, id);
      }
    }
    map.fields += ']';
    if (map.owners.size() > 1) {
      std::vector<std::string_view> origins;
      for (const Owner& owner : map.owners) origins.emplace_back(owner.origin);
      // Python sorts by code point, which is the order of the UTF-8 bytes.
      std::ranges::sort(origins);
      // Each as its origin (null for none), and as stored where one differs.
      append_field_name(map.origins, "origins");
      map.origins += '[';
      bool differs = false;
      for (std::size_t i = 0; i < origins.size(); ++i) {
        if (i > 0) map.origins += ", ";
        const auto origin = canonical_origin(origins[i]);
        if (origin) {
          json::append_text(map.origins, *origin);
        } else {
          map.origins += "null";
        }
        differs = differs || !origin || *origin != origins[i];
      }
      map.origins += ']';
      if (differs) {
        append_field_name(map.origins, "origins_raw");
        map.origins += '[';
        for (std::size_t i = 0; i < origins.size(); ++i) {
          if (i > 0) map.origins += ", ";
          json::append_text(map.origins, origins[i]);
        }
        map.origins += ']';
      }
    }
  }
  return &map;
}

void SessionStorageDecoder::append_entry(std::string& out, const RecordView& record) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  const bool deleted = record.state == KeyState::Deleted;
  const std::size_t mark = out.size();
  const auto fail = [&](std::string_view reason) {
    out.resize(mark);
    append_undecoded(out, record, kKind, reason);
  };

  if (key.starts_with(kMapPrefix)) {
    const std::size_t split = key.find('-', kMapPrefix.size());
    if (split == std::string_view::npos) return fail("map key without the key separator");
    const std::string_view digits = key.substr(kMapPrefix.size(), split - kMapPrefix.size());
    if (auto number = parse_number(digits, number_); !number) return fail(number.error());
    begin_entry(out, kKind, "item");
    const Map* map = owners_of(number_);
    if (map != nullptr) {
      out += map->fields;
    } else {
      append_field_name(out, "origin");
      out += "null";
      append_field_name(out, "map");
      out += number_;
      append_field_name(out, "namespaces");
      out += "[]";
    }
    append_field_name(out, "key");
    json::append_utf8_surrogateescape(out, key.substr(split + 1));
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
    } else {
      if (value.size() % 2 != 0) return fail("UTF-16 text of odd length");
      json::append_utf16(out, value, false);
    }
    if (map != nullptr) out += map->origins;
  } else if (key.starts_with(kNamespacePrefix)) {
    const auto parsed = parse_namespace_key(key);
    if (!parsed) return fail(parsed.error());
    if (!deleted) {
      if (auto number = parse_number(value, number_); !number) return fail(number.error());
    }
    begin_entry(out, kKind, "namespace");
    append_origin_fields(out, parsed->origin);
    append_field_name(out, "namespace");
    json::append_text(out, parsed->id);
    append_field_name(out, "value");
    out += deleted ? std::string_view("null") : std::string_view(number_);
  } else if (key == "next-map-id") {
    if (!deleted) {
      if (auto number = parse_number(value, number_); !number) return fail(number.error());
    }
    begin_entry(out, kKind, "next_map_id");
    append_field_name(out, "value");
    out += deleted ? std::string_view("null") : std::string_view(number_);
  } else if (key == "version") {
    if (!deleted) {
      if (auto ascii = check_ascii(value); !ascii) return fail(ascii.error());
    }
    begin_entry(out, kKind, "version");
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
    } else {
      json::append_text(out, value);
    }
  } else {
    return fail("not a Session Storage key");
  }
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
