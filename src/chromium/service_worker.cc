#include "chromium/service_worker.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "chromium/entry.h"
#include "chromium/origin.h"
#include "chromium/plain_store.h"
#include "chromium/store_kind.h"
#include "chromium/windows_time.h"
#include "export/json_text.h"
#include "format/internal_key.h"

namespace vostrel::chromium {
namespace {

// How a field of the two messages is written.
enum class Form : std::uint8_t {
  Unsigned,  // uint64, uint32
  Signed,    // int64, int32 (two's complement in the varint)
  Bool,
  Enum,      // the value's name, or its number when it has none
  Text,      // a string (UTF-8)
  Time,      // int64 microseconds since 1601 as ISO text
  Message,   // a nested message of known fields
  Protobuf,  // a nested message written in the typed form (protobuf.h)
};

struct KnownField {
  std::uint32_t number;
  std::string_view name;
  Form form;
  bool repeated = false;
  std::span<const KnownField> fields = {};       // of a Message
  std::span<const std::string_view> names = {};  // of an Enum, by value
};

// The enums and messages of service_worker_database.proto.
constexpr std::string_view kSkippable[] = {"", "NOT_SKIPPABLE", "SKIPPABLE_EMPTY_FETCH_HANDLER"};
constexpr std::string_view kUpdateViaCache[] = {"IMPORTS", "ALL", "NONE"};
constexpr std::string_view kScriptType[] = {"CLASSIC", "MODULE"};
constexpr std::string_view kEmbedderPolicy[] = {"NONE_OR_NOT_EXIST", "REQUIRE_CORP", "CREDENTIALLESS"};
constexpr std::string_view kAncestorFrame[] = {"NORMAL_FRAME", "FENCED_FRAME"};
constexpr std::string_view kReferrerPolicy[] = {
    "ALWAYS", "DEFAULT", "NO_REFERRER_WHEN_DOWNGRADE", "NEVER", "ORIGIN", "ORIGIN_WHEN_CROSS_ORIGIN",
    "STRICT_ORIGIN_WHEN_CROSS_ORIGIN", "SAME_ORIGIN", "STRICT_ORIGIN"};
constexpr std::string_view kAddressSpace[] = {"UNKNOWN", "LOCAL", "PRIVATE", "PUBLIC"};

constexpr KnownField kTrialFeature[] = {
    {1, "name", Form::Text},
    {2, "tokens", Form::Text, true},
};
constexpr KnownField kTrialInfo[] = {{1, "features", Form::Message, true, kTrialFeature}};
constexpr KnownField kPreloadState[] = {
    {1, "enabled", Form::Bool},
    {2, "header", Form::Text},
};
constexpr KnownField kPolicies[] = {
    {1, "referrer_policy", Form::Enum, false, {}, kReferrerPolicy},
    {2, "sandbox_flags", Form::Signed},
    {3, "ip_address_space", Form::Enum, false, {}, kAddressSpace},
};
constexpr KnownField kRegistration[] = {
    {1, "registration_id", Form::Signed},
    {2, "scope_url", Form::Text},
    {3, "script_url", Form::Text},
    {4, "version_id", Form::Signed},
    {5, "is_active", Form::Bool},
    {6, "has_fetch_handler", Form::Bool},
    {22, "fetch_handler_skippable_type", Form::Enum, false, {}, kSkippable},
    {7, "last_update_check_time", Form::Time},
    {8, "resources_total_size_bytes", Form::Unsigned},
    {11, "origin_trial_tokens", Form::Message, false, kTrialInfo},
    {12, "navigation_preload_state", Form::Message, false, kPreloadState},
    {13, "used_features", Form::Unsigned, true},
    {14, "update_via_cache", Form::Enum, false, {}, kUpdateViaCache},
    {15, "script_type", Form::Enum, false, {}, kScriptType},
    {16, "script_response_time", Form::Time},
    {17, "cross_origin_embedder_policy_value", Form::Enum, false, {}, kEmbedderPolicy},
    {18, "cross_origin_embedder_policy_reporting_endpoint", Form::Text},
    {19, "cross_origin_embedder_policy_report_only_value", Form::Enum, false, {}, kEmbedderPolicy},
    {20, "cross_origin_embedder_policy_report_only_reporting_endpoint", Form::Text},
    {21, "ancestor_frame_type", Form::Enum, false, {}, kAncestorFrame},
    {23, "policy_container_policies", Form::Message, false, kPolicies},
    {24, "router_rules", Form::Protobuf},
};
constexpr KnownField kResource[] = {
    {1, "resource_id", Form::Signed},
    {2, "url", Form::Text},
    {3, "size_bytes", Form::Unsigned},
    {4, "sha256_checksum", Form::Text},
};

constexpr std::string_view kKind = "serviceworker";

// A number as Chromium writes ids: base::NumberToString of an int64.
std::optional<std::int64_t> parse_id(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

void append_signed(std::string& out, std::uint64_t value);

// , "<name>": <the number text holds> (`name` empty: the number alone, as a value).
Decoded<void> append_id(std::string& out, std::string_view name, std::string_view text) {
  const auto id = parse_id(text);
  if (!id) return std::unexpected(std::string(name.empty() ? "value" : name) + " is not a number");
  if (!name.empty()) append_field_name(out, name);
  append_signed(out, static_cast<std::uint64_t>(*id));
  return {};
}

void append_signed(std::string& out, std::uint64_t value) {
  if (value >> 63) {
    out.push_back('-');
    json::append_uint(out, ~value + 1);
  } else {
    json::append_uint(out, value);
  }
}

class MessageWriter {
 public:
  explicit MessageWriter(ProtobufJson& protobuf) : protobuf_(protobuf) {}

  // The message as a JSON object of the schema's fields, in the schema's order,
  // then "unknown_fields" (typed form) for numbers the schema does not know.
  Decoded<void> append(std::string& out, std::string_view message, std::span<const KnownField> schema) {
    std::vector<ProtobufField> fields;
    if (auto read = read_protobuf_fields(message, fields, true); !read) return read;
    out.push_back('{');
    bool first = true;
    for (const KnownField& known : schema) {
      std::size_t count = 0;
      const ProtobufField* last = nullptr;
      for (const ProtobufField& field : fields) {
        if (field.number == known.number) {
          ++count;
          last = &field;
        }
      }
      if (count == 0) continue;
      if (!first) out += ", ";
      first = false;
      json::append_text(out, known.name);
      out += ": ";
      if (!known.repeated) {
        // As a protobuf library reads it: of a repeated singular field the last.
        if (auto value = append_value(out, *last, known); !value) return value;
        continue;
      }
      out.push_back('[');
      bool first_item = true;
      for (const ProtobufField& field : fields) {
        if (field.number != known.number) continue;
        if (auto value = append_items(out, field, known, first_item); !value) return value;
      }
      out.push_back(']');
    }
    std::string unknown;
    for (const ProtobufField& field : fields) {
      bool listed = false;
      for (const KnownField& known : schema) listed = listed || field.number == known.number;
      if (!listed) unknown += field.raw;
    }
    if (!unknown.empty()) {
      if (!first) out += ", ";
      out += "\"unknown_fields\": ";
      if (auto typed = protobuf_.append_typed(out, unknown); !typed) return typed;
    }
    out.push_back('}');
    return {};
  }

 private:
  // A repeated field's items: one, or several packed in one length-delimited
  // field (as proto3 and [packed = true] write numbers).
  Decoded<void> append_items(std::string& out, const ProtobufField& field, const KnownField& known, bool& first) {
    const bool numeric = known.form != Form::Text && known.form != Form::Message && known.form != Form::Protobuf;
    if (!(numeric && field.wire == 2)) {
      if (!first) out += ", ";
      first = false;
      return append_value(out, field, known);
    }
    for (std::size_t pos = 0; pos < field.bytes.size();) {
      auto item = read_varint(field.bytes, pos);
      if (!item) return std::unexpected(std::move(item.error()));
      pos = item->end;
      if (!first) out += ", ";
      first = false;
      if (auto value = append_value(out, ProtobufField{field.number, false, item->value, {}, 0, {}}, known); !value) {
        return value;
      }
    }
    return {};
  }

  Decoded<void> append_value(std::string& out, const ProtobufField& field, const KnownField& known) {
    const bool wants_bytes = known.form == Form::Text || known.form == Form::Message || known.form == Form::Protobuf;
    if (wants_bytes != field.is_bytes || !fits_u64(field.integer)) {
      return std::unexpected("field " + std::string(known.name) + " has the wrong wire type");
    }
    const auto value = static_cast<std::uint64_t>(field.integer);
    switch (known.form) {
      case Form::Unsigned:
        json::append_uint(out, value);
        break;
      case Form::Signed:
        append_signed(out, value);
        break;
      case Form::Bool:
        out += value != 0 ? "true" : "false";
        break;
      case Form::Enum:
        if (value < known.names.size() && !known.names[value].empty()) {
          json::append_text(out, known.names[value]);
        } else {
          append_signed(out, value);
        }
        break;
      case Form::Time:
        if (!append_windows_time(out, static_cast<WideSigned>(static_cast<std::int64_t>(value)))) {
          append_signed(out, value);
        }
        break;
      case Form::Text:
        json::append_utf8_replace(out, field.bytes);
        break;
      case Form::Message:
        return append(out, field.bytes, known.fields);
      case Form::Protobuf:
        if (field.bytes.empty()) {
          out += "{}";
        } else if (auto typed = protobuf_.append_typed(out, field.bytes); !typed) {
          return typed;
        }
        break;
    }
    return {};
  }

  ProtobufJson& protobuf_;
};

struct KeyPrefix {
  std::string_view prefix;
  std::string_view type;
};
// The key prefixes, each with the type of its entries. "REG:" cannot be
// confused with the longer REG_ and REGID_ prefixes: its colon comes first.
constexpr KeyPrefix kPrefixes[] = {
    {"REG:", "registration"},
    {"RES:", "resource"},
    {"URES:", "uncommitted_resource"},
    {"PRES:", "purgeable_resource"},
    {"REGID_TO_ORIGIN:", "registration_origin"},
    {"REG_USER_DATA:", "user_data"},
    {"REG_HAS_USER_DATA:", "has_user_data"},
    {"INITDATA_UNIQUE_ORIGIN:", "unique_origin"},
    {"INITDATA_DB_VERSION", "database_version"},
    {"INITDATA_NEXT_REGISTRATION_ID", "next_registration_id"},
    {"INITDATA_NEXT_RESOURCE_ID", "next_resource_id"},
    {"INITDATA_NEXT_VERSION_ID", "next_version_id"},
    {"INITDATA_", "init_data"},
};

const KeyPrefix* prefix_of(std::string_view key) noexcept {
  for (const KeyPrefix& prefix : kPrefixes) {
    if (key.starts_with(prefix.prefix)) return &prefix;
  }
  return nullptr;
}

// The two parts of a key around its '\0'.
Decoded<std::pair<std::string_view, std::string_view>> split(std::string_view rest) {
  const std::size_t zero = rest.find('\0');
  if (zero == std::string_view::npos) return std::unexpected("key without its separator");
  return std::pair{rest.substr(0, zero), rest.substr(zero + 1)};
}

}  // namespace

bool is_service_worker_key(std::string_view key) noexcept { return prefix_of(key) != nullptr; }

void ServiceWorkerDecoder::append_entry(std::string& out, const RecordView& record) {
  const std::string_view key = user_key_of(record.key, record.file_type);
  const std::string_view value = record.value;
  const bool deleted = record.state == KeyState::Deleted;
  const std::size_t mark = out.size();
  const KeyPrefix* prefix = prefix_of(key);
  // A value of any form (user data, unknown settings): as a plain store's.
  const auto append_any_value = [&]() -> Decoded<void> {
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
    } else {
      append_unknown_value(out, value, protobuf_);
    }
    return {};
  };
  auto decoded = [&]() -> Decoded<void> {
    if (prefix == nullptr) return std::unexpected("not a service worker database key");
    const std::string_view type = prefix->type;
    const std::string_view rest = key.substr(prefix->prefix.size());
    begin_entry(out, kKind, type);
    MessageWriter writer(protobuf_);
    if (type == "registration") {
      auto parts = split(rest);
      if (!parts) return std::unexpected(std::move(parts.error()));
      append_origin_fields(out, parts->first);
      if (auto id = append_id(out, "registration_id", parts->second); !id) return id;
      append_field_name(out, "value");
      return deleted ? (out += "null", Decoded<void>{}) : writer.append(out, value, kRegistration);
    }
    if (type == "resource") {
      auto parts = split(rest);
      if (!parts) return std::unexpected(std::move(parts.error()));
      if (auto id = append_id(out, "version_id", parts->first); !id) return id;
      if (auto id = append_id(out, "resource_id", parts->second); !id) return id;
      append_field_name(out, "value");
      return deleted ? (out += "null", Decoded<void>{}) : writer.append(out, value, kResource);
    }
    if (type == "uncommitted_resource" || type == "purgeable_resource") {
      if (auto id = append_id(out, "resource_id", rest); !id) return id;
    } else if (type == "registration_origin") {
      if (auto id = append_id(out, "registration_id", rest); !id) return id;
      if (!deleted) append_origin_fields(out, value);
    } else if (type == "user_data" || type == "has_user_data") {
      auto parts = split(rest);
      if (!parts) return std::unexpected(std::move(parts.error()));
      const bool data = type == "user_data";
      if (auto id = append_id(out, "registration_id", data ? parts->first : parts->second); !id) return id;
      append_field_name(out, "name");
      json::append_utf8_replace(out, data ? parts->second : parts->first);
      if (data) return append_any_value();
    } else if (type == "unique_origin") {
      append_origin_fields(out, rest);
    } else if (type == "init_data") {
      append_field_name(out, "key");
      append_escaped(out, key);
      return append_any_value();
    } else {  // a number: the schema version or the next id of a kind
      append_field_name(out, "value");
      if (deleted) {
        out += "null";
        return {};
      }
      return append_id(out, {}, value);
    }
    // The value of the others is the text stored (empty as Chromium writes them).
    append_field_name(out, "value");
    if (deleted) {
      out += "null";
    } else {
      json::append_utf8_replace(out, value);
    }
    return {};
  }();
  if (!decoded) {
    out.resize(mark);
    append_undecoded(out, record, kKind, decoded.error());
    return;
  }
  finish_entry(out, record);
}

}  // namespace vostrel::chromium
