#include "text.h"

#include <cstddef>
#include <cstdint>

namespace pelmor {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr char32_t kInvalid = 0xFFFFFFFF;                  // no character

// One step through a byte string: the character at the front and the bytes it takes, or, for an
// ill-formed sequence, kInvalid and the length of its maximal subpart (at least one byte).
struct Step {
  char32_t code_point;
  std::size_t length;
};

std::uint8_t byte_at(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

// Well-formed UTF-8: after the lead byte, the second byte's range depends on the lead (this
// excludes overlong forms, surrogates and values above U+10FFFF); every further byte is 80..BF.
Step step_at(std::string_view bytes, std::size_t i) {
  const std::uint8_t lead = byte_at(bytes, i);
  if (lead < 0x80) return {lead, 1};

  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kInvalid, 1};  // 80..C1 and F5..FF never start a character
  }

  for (std::size_t k = 1; k < length; ++k) {
    // A byte that cannot continue the sequence ends the maximal subpart before it.
    if (i + k >= bytes.size()) return {kInvalid, k};
    const std::uint8_t b = byte_at(bytes, i + k);
    if (b < low || b > high) return {kInvalid, k};
    value = value << 6 | (b & 0x3Fu);
    low = 0x80;
    high = 0xBF;
  }
  return {value, length};
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The byte length of the white-space character that ends `text`, or 0 when it ends otherwise.
std::size_t trailing_white_space(std::string_view text) {
  // Back over at most three continuation bytes to the byte that starts the last character.
  std::size_t start = text.size() - 1;
  while (start > 0 && text.size() - start < 4 && (byte_at(text, start) & 0xC0u) == 0x80)
    --start;
  const Step last = step_at(text, start);
  if (start + last.length != text.size()) return 0;
  return is_white_space(last.code_point) ? last.length : 0;
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Step step = step_at(bytes, i);
    if (step.code_point == kInvalid) {
      out += kReplacement;
    } else {
      out.append(bytes.substr(i, step.length));
    }
    i += step.length;
  }
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const Step first = step_at(text, 0);
    if (!is_white_space(first.code_point)) break;
    text.remove_prefix(first.length);
  }
  while (!text.empty()) {
    const std::size_t n = trailing_white_space(text);
    if (n == 0) break;
    text.remove_suffix(n);
  }
  return text;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

std::vector<std::string_view> split_words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t word_start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const Step step = step_at(text, i);
    if (is_white_space(step.code_point)) {
      if (i > word_start) words.push_back(text.substr(word_start, i - word_start));
      word_start = i + step.length;
    }
    i += step.length;
  }
  if (i > word_start) words.push_back(text.substr(word_start));
  return words;
}

}  // namespace pelmor
