// Escaping of texts for the two places where the protocol writes them: JSON strings and the
// one-line log rendering.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace helper_ipc::detail {

// Appends `text` as a JSON string: quotes, `\"`, `\\`, the short escapes for U+0008, U+0009,
// U+000A, U+000C and U+000D, `\u00xx` (lowercase hex) for the rest of U+0000 to U+001F, and every
// other character as its own UTF-8 bytes.
void append_json_string(std::string& out, std::string_view text);

// Appends `text` in double quotes for the log: `\"`, `\\`, `\t`, `\r`, `\n`, `\0`, and `\u{..}`
// for every other character that is not printable or extends a grapheme. `text` is valid UTF-8.
void append_log_quoted(std::string& out, std::string_view text);

// As append_log_quoted, without the quotes.
void append_log_escaped(std::string& out, std::string_view text);

// Whether the log rendering writes the code point as a `\u{..}` escape.
bool is_log_escaped(std::uint32_t code_point);

}  // namespace helper_ipc::detail
