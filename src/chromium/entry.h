#pragma once
// The line every decoded record of a Chromium store becomes, whatever the
// store's kind:
//
//   {"kind": K, "type": T, <what the record decoded to>,
//    ["error": why, "raw_key": hex, "raw_value": hex,]
//    "seq": N, "state": "live" | "deleted" | "unknown", "origin_file": path,
//    "offset": N[, "status": "current" | "superseded" | "orphaned"]}
//
// The error fields appear when the record, or a part of it, did not decode:
// the fields decoded before the failure stay, the raw bytes follow, so no
// record is ever lost to its form. The trailing four are the raw record's
// provenance as `vostrel dump` gives it (the path decoded from UTF-8 with
// replacement). The status, when asked for, is added to the finished line
// by the store's walk (chromium_export.h), which alone knows it.

#include <span>
#include <string>
#include <string_view>

#include "format/record.h"

namespace vostrel::chromium {

// Every name "type" takes, sorted: what a filter on types may ask for. (The
// fields of IndexedDB metadata that Chromium does not define yet are
// "object_store_field_<n>" and "index_field_<n>", not listed.)
[[nodiscard]] std::span<const std::string_view> entry_types() noexcept;

// {"kind": "<kind>", "type": "<type>"
void begin_entry(std::string& out, std::string_view kind, std::string_view type);

// , "<name>":    (followed by the caller's value)
void append_field_name(std::string& out, std::string_view name);

// , "error": "<reason>", "raw_key": "<hex>", "raw_value": "<hex>"
void append_fallback(std::string& out, const RecordView& record, std::string_view reason);

// Whether an entry's line (one whole line, newline included) ends with the
// fallback fields: only append_fallback writes a top-level "raw_value", and
// it is the entry's last field before the provenance finish_entry writes.
// `provenance`, where that begins in the line when the caller knows it
// (finish_entry's mark, below), spares looking for it.
[[nodiscard]] bool is_fallback_line(std::string_view line,
                                    std::size_t provenance = std::string_view::npos) noexcept;

// , "seq": N, "state": "...", "origin_file": "...", "offset": N}\n
void finish_entry(std::string& out, const RecordView& record);

// Where the last finish_entry on this thread began writing, and into which
// string: a writer of lines reads it right after an entry is appended.
struct ProvenanceMark {
  const std::string* out = nullptr;
  std::size_t at = 0;
};
[[nodiscard]] ProvenanceMark last_provenance() noexcept;

// A record that did not decode at all: {"kind": kind, "type": "undecoded"},
// its fallback fields and its provenance.
void append_undecoded(std::string& out, const RecordView& record, std::string_view kind,
                      std::string_view reason);

}  // namespace vostrel::chromium
