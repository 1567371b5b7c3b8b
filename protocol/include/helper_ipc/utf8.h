// UTF-8, decoded and encoded one character at a time: the one decoder behind the JSON reader's
// check of raw bytes, the log rendering and the daemon's text functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace helper_ipc::utf8 {

// Not a character: what decode() yields for an ill-formed sequence.
inline constexpr char32_t kInvalid = 0xFFFFFFFF;

struct Step {
  char32_t code_point;  // kInvalid for an ill-formed sequence
  std::size_t length;   // the bytes it takes; at least 1
};

// The character that starts at bytes[i] (i < bytes.size()). A well-formed sequence (no overlong
// form, no surrogate, nothing above U+10FFFF) yields its code point and length; an ill-formed one
// yields kInvalid and the length of its maximal subpart, the bytes that could still have begun a
// character, so that stepping on from there replaces each maximal subpart once (the Unicode
// Standard's recommended practice). A sequence cut off by the end of `bytes` is ill-formed.
constexpr Step decode(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<std::uint8_t>(bytes[i]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {kInvalid, 1};  // 80..C1 and F5..FF never begin a character
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= bytes.size()) return {kInvalid, k};
    const auto b = static_cast<std::uint8_t>(bytes[i + k]);
    if (b < low || b > high) return {kInvalid, k};
    value = value << 6 | (b & 0x3Fu);
    low = 0x80;
    high = 0xBF;
  }
  return {value, length};
}

// Writes the UTF-8 form of the scalar value `cp` to out[0..3] and returns its length.
constexpr std::size_t encode(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | cp >> 6);
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | cp >> 12);
    out[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | cp >> 18);
  out[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace helper_ipc::utf8
