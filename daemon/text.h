// The text functions with which operations read what a tool printed. All are pure and none fails.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pelmor {

// Byte string to text: valid UTF-8 passes unchanged; every maximal subpart of an invalid sequence
// becomes one U+FFFD REPLACEMENT CHARACTER (the Unicode Standard's recommended practice).
std::string decode_lossy(std::string_view bytes);

// Removes every leading and trailing character with the Unicode White_Space property (U+0009 to
// U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000). `text` is valid UTF-8.
std::string_view trim_white_space(std::string_view text);

// Cuts `text` after every LF; each line loses its LF and a CR right before it. A last piece without
// LF is a line; a text ending in LF yields no empty line after it; an empty text yields no line.
std::vector<std::string_view> split_lines(std::string_view text);

// The non-empty runs of characters between White_Space characters, in order.
std::vector<std::string_view> split_words(std::string_view text);

}  // namespace pelmor
