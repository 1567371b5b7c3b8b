// Checks that the fuzz targets assert, written without the code under test: UTF-8 well-formedness
// and maximal subparts, the White_Space set, the log rendering read back, and the failure that
// stops a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "helper_ipc/codec.h"

namespace pelmor::fuzz {

// Prints `what` (and `detail`, escaped) to standard error and aborts, which libFuzzer reports as a
// crash and keeps the input that caused it.
[[noreturn]] void fail(std::string_view what, std::string_view detail = {});

// Aborts with `what` unless `condition` holds.
inline void expect(bool condition, std::string_view what, std::string_view detail = {}) {
  if (!condition) fail(what, detail);
}

// The well-formed UTF-8 sequence at bytes[i]: its length, and its code point in *code_point.
// 0 when the bytes there do not form a complete well-formed sequence.
std::size_t utf8_sequence_at(std::string_view bytes, std::size_t i, char32_t* code_point);

// The length of the maximal subpart at bytes[i], where no well-formed sequence starts: the longest
// run that begins some well-formed sequence, or 1 when none does.
std::size_t maximal_subpart_at(std::string_view bytes, std::size_t i);

bool is_valid_utf8(std::string_view bytes);

// The Unicode White_Space property.
bool is_white_space(char32_t code_point);

// Whether the log rendering must write `code_point` as an escape: the control characters (Cc),
// line and paragraph separators, space separators other than U+0020, the common format characters
// (Cf: bidirectional controls, zero-width characters, the soft hyphen, the byte order mark),
// private use, surrogates, noncharacters, and the combining diacritical marks. A subset of what
// the rendering escapes: what is not listed here may go either way.
bool must_be_escaped_in_log(char32_t code_point);

// Whether the log rendering must keep `code_point` as it is: printable ASCII other than the double
// quote and the backslash, and the letters, digits and symbols of Latin-1 (U+00A1 to U+00FF but
// the soft hyphen).
bool must_stay_in_log(char32_t code_point);

// Reads back a text that the log rendering wrote between double quotes, starting just after the
// opening quote at line[*pos]. On success returns the text and leaves *pos just past the closing
// quote; on anything the rendering must not write, aborts.
std::string read_log_quoted(std::string_view line, std::size_t* pos);

// Checks that `line` is the log rendering of `request`: one line of valid UTF-8 with no line
// break or control character, the variant's name, and each field in order, texts quoted so that
// they read back as the request's own texts. Aborts on a mismatch.
void check_log_rendering(const helper_ipc::Request& request, std::string_view line);

// Checks a decoder's failure text: non-empty, one line of valid UTF-8 without control
// characters, and (except for the two failures of a bare variant name that needs a payload)
// ending in " at line L column C" with a position inside `body`. Aborts otherwise.
void check_failure_text(std::string_view text, std::string_view body);

// Checks that a JSON body written by an encoder holds no raw control character (every one is
// escaped) and no white space outside strings.
void check_compact_json(std::string_view body);

// The text fields of a request or a response, each checked for UTF-8 validity.
void check_texts_are_utf8(const helper_ipc::Request& request);
void check_texts_are_utf8(const helper_ipc::Response& response);

}  // namespace pelmor::fuzz
