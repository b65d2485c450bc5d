#pragma once
// Entries as CSV rows (`vostrel chromium --format csv`): the columns every
// kind's entries share, one row an entry, in the form Python's csv module
// writes (excel dialect, "\n" ending each row) of the values Python's json
// module reads from the entry's line:
//
//   store           the store's path (invalid UTF-8 bytes as \udcNN)
//   key, value      json.dumps(value, ensure_ascii=False) of the entry's
//                   field: its JSON text with strings and numbers written the
//                   way Python writes them back (a string's escapes resolved
//                   and only what JSON requires escaped, numbers as Python's
//                   int and float print, a repeated object key once, with its
//                   last value)
//   the others      the field's text, its number in decimal, "" for null
//
// A field the entry lacks is an empty cell. A cell holding a comma, a quote
// or a newline is quoted, its quotes doubled. A lone surrogate (JavaScript
// strings may hold one) is written as the text \udxxx.

#include <span>
#include <string>
#include <string_view>

namespace vostrel::chromium {

// The columns, in order (the header row is their names, comma-separated).
[[nodiscard]] std::span<const std::string_view> csv_columns() noexcept;

// The row of one entry line (a JSON object, its newline optional), the store
// column from `store` (raw path bytes).
void append_csv_row(std::string& out, std::string_view line, std::string_view store);

}  // namespace vostrel::chromium
