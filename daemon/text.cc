#include "text.h"

#include <cstddef>
#include <cstdint>

#include "helper_ipc/utf8.h"

namespace pelmor {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
// decode() takes one step through a byte string: the character at the front and the bytes it
// takes, or, for an ill-formed sequence, kInvalid and the length of its maximal subpart.
using helper_ipc::utf8::decode;
using helper_ipc::utf8::kInvalid;
using helper_ipc::utf8::Step;

std::uint8_t byte_at(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
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
  const Step last = decode(text, start);
  if (start + last.length != text.size()) return 0;
  return is_white_space(last.code_point) ? last.length : 0;
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Step step = decode(bytes, i);
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
    const Step first = decode(text, 0);
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
    const Step step = decode(text, i);
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
