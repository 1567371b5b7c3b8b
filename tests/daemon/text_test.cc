// The text functions with which tool output is read: lossy decoding, trimming and lines; the
// words are those of the operations' tables (operations_test.cc).
#include "text.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace pelmor {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

TEST(DecodeLossy, ReplacesEachMaximalSubpartOnce) {
  const struct {
    std::string bytes, text;
  } rows[] = {
      {"", ""},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      // Valid sequences of every length pass, including the edges of the ranges.
      {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD",
       "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD"},
      {"\xFF\xFE", R + R},
      {"a\x80z", "a" + R + "z"},
      {"\xE2\x82z", R + "z"},       // a truncated sequence is one subpart
      {"\xF0\x9F\x98", R},          // also at the very end
      {"\xF0\x80", R + R},          // 80 cannot follow F0
      {"\xED\xA0\x80", R + R + R},  // surrogate
      {"\xE0\x9F\x80", R + R + R},  // overlong
      {"\xC0\xAF\xC1\xBF", R + R + R + R},
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xF5\xBF", R + R},
      {"\xC2\xC2\xA9", R + "\xC2\xA9"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(decode_lossy(row.bytes), row.text) << row.bytes;
}

TEST(TrimWhiteSpace, RemovesExactlyTheWhiteSpaceSetAtBothEnds) {
  const struct {
    std::string_view text, trimmed;
  } rows[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {"  two words \n", "two words"},
      {"\xC2\xA0x\xC2\xA0", "x"},                      // U+00A0
      {"\xE3\x80\x80x\xE3\x80\x80", "x"},              // U+3000
      {"\xC2\x85x\xC2\x85", "x"},                      // U+0085
      {"\xE1\x9A\x80\xE2\x80\x80x\xE2\x80\x8A", "x"},  // U+1680, U+2000, U+200A
      {"\xE2\x80\xA8\xE2\x80\xA9x\xE2\x80\xAF\xE2\x81\x9F", "x"},
      {"a\xC2\xA0\xE3\x80\x80 b", "a\xC2\xA0\xE3\x80\x80 b"},  // inner ones stay
      // Not White_Space: zero width space, Mongolian vowel separator, byte order mark.
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},
      {"\xE1\xA0\x8Ex\xEF\xBB\xBF", "\xE1\xA0\x8Ex\xEF\xBB\xBF"},
      // Characters whose last byte equals the last byte of a white-space character.
      {"x\xC4\x85", "x\xC4\x85"},
      {"x\xE4\xB8\xA0", "x\xE4\xB8\xA0"},
      {"\xF0\x9F\x98\x80 ", "\xF0\x9F\x98\x80"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(trim_white_space(row.text), row.trimmed) << row.text;
}

// A line feed ends a line, and one carriage return before it goes with it; the rest stays.
TEST(SplitLines, CutsAfterEachLineFeedAndDropsOneCarriageReturn) {
  using Lines = std::vector<std::string_view>;
  EXPECT_EQ(split_lines(""), Lines{});
  EXPECT_EQ(split_lines("a\r\nb\n\nc\r"), (Lines{"a", "b", "", "c\r"}));
  EXPECT_EQ(split_lines("a\rb\r\r\n"), Lines{"a\rb\r"});
}

}  // namespace
}  // namespace pelmor
