#pragma once
// JSON text stored as a value (chrome.storage writes each setting's value
// with base::JSONWriter; many apps keep JSON in their stores too), checked
// against RFC 8259 and copied into an entry line.
//
// The copy is the same document in the entry's own form: whitespace between
// tokens dropped, ", " and ": " as separators, strings and numbers as they
// were written (any escape JSON allows stays, so no character changes). An
// object whose first key starts with "$" is wrapped as {"$object": {...}},
// as the entries wrap such JavaScript objects: a "$"-led object in a value is
// then always one of the entries' own forms. Text that is not one JSON value
// (invalid UTF-8 included) is refused and nothing is appended.

#include <string>
#include <string_view>

namespace vostrel::chromium {

// Appends the document and returns true, or returns false leaving out as it was.
[[nodiscard]] bool append_json_document(std::string& out, std::string_view text);

}  // namespace vostrel::chromium
