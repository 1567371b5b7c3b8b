// Any bytes through the text functions that read tool output. Lossy decoding agrees with a
// decoding by maximal subparts written here, yields valid UTF-8, leaves valid UTF-8 alone and is
// idempotent; trimming, line splitting and word splitting return pieces of their input that put
// it back together.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "text.h"

using namespace pelmor::fuzz;

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Every well-formed sequence copied, every maximal subpart of an ill-formed one replaced.
std::string lossy_by_maximal_subparts(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    if (const std::size_t n = utf8_sequence_at(bytes, i, &cp); n > 0) {
      out.append(bytes, i, n);
      i += n;
    } else {
      out += kReplacement;
      i += maximal_subpart_at(bytes, i);
    }
  }
  return out;
}

// Whether `piece` is a view into `whole`.
bool is_within(std::string_view piece, std::string_view whole) {
  const auto* p = piece.data();
  return piece.empty() || (p >= whole.data() && p + piece.size() <= whole.data() + whole.size());
}

// The offset of a non-empty piece of `whole`.
std::size_t offset_in(std::string_view piece, std::string_view whole) {
  return static_cast<std::size_t>(piece.data() - whole.data());
}

// Whether valid UTF-8 `text` consists of White_Space characters only.
bool all_white_space(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t n = utf8_sequence_at(text, i, &cp);
    if (n == 0 || !is_white_space(cp)) return false;
    i += n;
  }
  return true;
}

bool starts_with_white_space(std::string_view text) {
  char32_t cp;
  return !text.empty() && utf8_sequence_at(text, 0, &cp) > 0 && is_white_space(cp);
}

bool ends_with_white_space(std::string_view text) {
  // The last character starts at most three bytes before the end.
  for (std::size_t n = 1; n <= 4 && n <= text.size(); ++n) {
    char32_t cp;
    if (utf8_sequence_at(text, text.size() - n, &cp) == n) return is_white_space(cp);
  }
  return false;
}

void check_trim(std::string_view text) {
  const std::string_view trimmed = pelmor::trim_white_space(text);
  expect(is_within(trimmed, text), "trim: not a piece of its input", text);
  const std::size_t start = trimmed.empty() ? 0 : offset_in(trimmed, text);
  const std::string_view before = text.substr(0, start);
  const std::string_view after = text.substr(start + trimmed.size());
  if (trimmed.empty()) {
    expect(all_white_space(text), "trim: removed everything from a text that is not all blank",
           text);
    return;
  }
  expect(all_white_space(before), "trim: removed more than white space at the start", text);
  expect(all_white_space(after), "trim: removed more than white space at the end", text);
  expect(!starts_with_white_space(trimmed), "trim: white space left at the start", text);
  expect(!ends_with_white_space(trimmed), "trim: white space left at the end", text);
}

void check_lines(std::string_view text) {
  const std::vector<std::string_view> lines = pelmor::split_lines(text);
  // Put the text back together: each line, then the LF or CR LF that ended it.
  std::size_t pos = 0;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    expect(line.find('\n') == std::string_view::npos, "split_lines: a line holds an LF", text);
    expect(text.substr(pos, line.size()) == line, "split_lines: lines do not rejoin to the input",
           text);
    pos += line.size();
    const bool last = k + 1 == lines.size();
    if (text.substr(pos, 2) == "\r\n") {
      pos += 2;
    } else if (text.substr(pos, 1) == "\n") {
      expect(line.empty() || line.back() != '\r', "split_lines: a CR before the LF was kept", text);
      pos += 1;
    } else {
      expect(last && pos == text.size(), "split_lines: a line ends without LF before the end",
             text);
      expect(!line.empty(), "split_lines: an empty last line without LF", text);
    }
  }
  expect(pos == text.size(), "split_lines: lines do not cover the input", text);
}

void check_words(std::string_view text) {
  const std::vector<std::string_view> words = pelmor::split_words(text);
  std::size_t pos = 0;  // the end of the previous word
  for (std::size_t k = 0; k < words.size(); ++k) {
    const std::string_view word = words[k];
    expect(!word.empty(), "split_words: an empty word", text);
    expect(is_within(word, text), "split_words: a word that is no piece of the input", text);
    const std::size_t start = offset_in(word, text);
    expect(start >= pos, "split_words: words out of order or overlapping", text);
    const std::string_view gap = text.substr(pos, start - pos);
    expect(all_white_space(gap), "split_words: something other than white space between words",
           text);
    expect(k == 0 || !gap.empty(), "split_words: two words without white space between", text);
    for (std::size_t i = 0; i < word.size();) {
      char32_t cp;
      const std::size_t n = utf8_sequence_at(word, i, &cp);
      expect(n > 0, "split_words: a word that is not valid UTF-8", text);
      expect(!is_white_space(cp), "split_words: white space inside a word", text);
      i += n;
    }
    pos = start + word.size();
  }
  expect(all_white_space(text.substr(pos)), "split_words: a word left out at the end", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string text = pelmor::decode_lossy(bytes);
  expect(is_valid_utf8(text), "decode_lossy: invalid UTF-8 out", bytes);
  expect(text == lossy_by_maximal_subparts(bytes),
         "decode_lossy: not one U+FFFD per maximal subpart", bytes);
  if (is_valid_utf8(bytes)) expect(text == bytes, "decode_lossy: changed valid UTF-8", bytes);
  expect(pelmor::decode_lossy(text) == text, "decode_lossy: not idempotent", bytes);

  check_trim(text);
  check_lines(text);
  check_lines(bytes);  // lines are cut at bytes: any input
  check_words(text);

  // The raw bytes too: no property beyond staying inside the input, but no fault either.
  const std::string_view trimmed = pelmor::trim_white_space(bytes);
  expect(is_within(trimmed, bytes), "trim: not a piece of its input", bytes);
  for (std::string_view word : pelmor::split_words(bytes))
    expect(!word.empty() && is_within(word, bytes), "split_words: a word outside its input", bytes);
  return 0;
}
