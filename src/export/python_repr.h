#pragma once
// Text quoted as Python's repr() quotes a str, for messages that must read as
// the command's Python code has always written them (a number that is not
// one, a blob file that cannot be read, a tag no decoder knows).

#include <string>
#include <string_view>

namespace vostrel {

// repr() of bytes.decode("utf-8", "surrogateescape"), written as UTF-8: the
// quote is ' unless the text holds a ' and no ", which takes ". Inside, the
// backslash and the quote are preceded by a backslash; \t, \n and \r are
// written so; any other character str.isprintable() refuses as \xNN below
// U+0100, \uNNNN below U+10000, else \UNNNNNNNN; each byte of an undecodable
// sequence is the lone surrogate U+DC80..U+DCFF and written \udcNN; every
// other character is itself.
void append_python_repr(std::string& out, std::string_view bytes);

}  // namespace vostrel
