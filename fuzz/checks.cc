#include "checks.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace pelmor::fuzz {

using namespace helper_ipc;

namespace {

// What the first byte of a sequence says: the sequence's length and the value bits it carries.
struct Lead {
  std::size_t length;
  char32_t bits;
};

std::optional<Lead> lead_of(unsigned char b) {
  if (b < 0x80) return Lead{1, b};
  if ((b & 0xE0u) == 0xC0u) return Lead{2, b & 0x1Fu};
  if ((b & 0xF0u) == 0xE0u) return Lead{3, b & 0x0Fu};
  if ((b & 0xF8u) == 0xF0u) return Lead{4, b & 0x07u};
  return std::nullopt;  // a continuation byte, or F8..FF
}

// Whether the first `k` bytes at bytes[i] (all present) can begin a well-formed sequence: they
// carry the lead's pattern and continuation bytes, and the code points that they leave possible
// include one that a sequence of this length may encode (not overlong, not a surrogate, at most
// U+10FFFF). With k equal to the length, that one code point goes to *code_point.
bool begins_well_formed(std::string_view bytes, std::size_t i, std::size_t k, Lead lead,
                        char32_t* code_point = nullptr) {
  char32_t known = lead.bits;
  for (std::size_t j = 1; j < k; ++j) {
    const auto b = static_cast<unsigned char>(bytes[i + j]);
    if ((b & 0xC0u) != 0x80u) return false;
    known = static_cast<char32_t>(known << 6 | (b & 0x3Fu));
  }
  constexpr std::array<char32_t, 5> kLowest = {0, 0, 0x80, 0x800, 0x10000};
  constexpr std::array<char32_t, 5> kHighest = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
  const auto missing = static_cast<unsigned>(6 * (lead.length - k));
  const auto first = static_cast<char32_t>(known << missing);
  const auto last = static_cast<char32_t>(first | ((char32_t{1} << missing) - 1));
  const char32_t low = std::max(first, kLowest[lead.length]);
  const char32_t high = std::min(last, kHighest[lead.length]);
  if (low > high) return false;
  if (low >= 0xD800 && high <= 0xDFFF) return false;  // surrogates only
  if (code_point != nullptr) *code_point = known;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool in(char32_t cp, char32_t first, char32_t last) {
  return cp >= first && cp <= last;
}

// Characters that break a log line or hide in it: C0 and C1 controls, DEL, the line and
// paragraph separators.
bool breaks_log_line(char32_t cp) {
  return cp < 0x20 || in(cp, 0x7F, 0x9F) || cp == 0x2028 || cp == 0x2029;
}

// Calls f with each code point of `text`, which is valid UTF-8.
template <class F>
void for_each_code_point(std::string_view text, F f) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    const std::size_t n = utf8_sequence_at(text, i, &cp);
    expect(n > 0, "invalid UTF-8", text);
    f(cp);
    i += n;
  }
}

// Reads the decimal number at text[*pos] (no sign, no leading zero); nullopt when there is none.
std::optional<std::size_t> read_decimal(std::string_view text, std::size_t* pos) {
  const std::size_t start = *pos;
  std::size_t value = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9' && *pos - start < 12) {
    value = value * 10 + static_cast<std::size_t>(text[*pos] - '0');
    ++*pos;
  }
  if (*pos == start || (*pos - start > 1 && text[start] == '0')) return std::nullopt;
  return value;
}

// Walks a log rendering from its start, comparing it with what the request holds.
class Rendering {
 public:
  explicit Rendering(std::string_view line) : line_(line) {}

  void literal(std::string_view expected) {
    expect(line_.substr(pos_, expected.size()) == expected, "log rendering: expected literal",
           std::string(expected) + " in " + std::string(line_));
    pos_ += expected.size();
  }
  // A text: quoted, and reading back as the request's own text.
  void value(const std::string& text) {
    literal("\"");
    expect(read_log_quoted(line_, &pos_) == text, "log rendering: a text reads back differently",
           line_);
  }
  void value(const Ipv4Addr& a) {
    const std::string dotted = std::to_string(a.octets[0]) + "." + std::to_string(a.octets[1]) +
                               "." + std::to_string(a.octets[2]) + "." +
                               std::to_string(a.octets[3]);
    literal(dotted);
  }
  void value(bool flag) { literal(flag ? "true" : "false"); }
  void end() { expect(pos_ == line_.size(), "log rendering: text after the request", line_); }

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
};

}  // namespace

void fail(std::string_view what, std::string_view detail) {
  std::string shown;
  for (unsigned char c : detail.substr(0, 4000)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  if (detail.size() > 4000) shown += "...";
  std::fprintf(stderr, "\n*** property failed: %.*s\n*** detail: %s\n",
               static_cast<int>(what.size()), what.data(), shown.c_str());
  std::abort();
}

std::size_t utf8_sequence_at(std::string_view bytes, std::size_t i, char32_t* code_point) {
  const auto lead = lead_of(static_cast<unsigned char>(bytes[i]));
  if (!lead || bytes.size() - i < lead->length) return 0;
  return begins_well_formed(bytes, i, lead->length, *lead, code_point) ? lead->length : 0;
}

std::size_t maximal_subpart_at(std::string_view bytes, std::size_t i) {
  const auto lead = lead_of(static_cast<unsigned char>(bytes[i]));
  if (!lead) return 1;
  std::size_t longest = 1;
  const std::size_t available = std::min(lead->length, bytes.size() - i);
  for (std::size_t k = 2; k <= available && begins_well_formed(bytes, i, k, *lead); ++k)
    longest = k;
  return longest;
}

bool is_valid_utf8(std::string_view bytes) {
  char32_t cp;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_sequence_at(bytes, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_white_space(char32_t cp) {
  // PropList.txt, White_Space.
  constexpr char32_t kSingles[] = {0x20,   0x85,   0xA0,   0x1680, 0x2028,
                                   0x2029, 0x202F, 0x205F, 0x3000};
  return in(cp, 0x09, 0x0D) || in(cp, 0x2000, 0x200A) ||
         std::find(std::begin(kSingles), std::end(kSingles), cp) != std::end(kSingles);
}

bool must_be_escaped_in_log(char32_t cp) {
  if (breaks_log_line(cp)) return true;
  // Space separators other than U+0020.
  if (cp == 0xA0 || cp == 0x1680 || in(cp, 0x2000, 0x200A) || cp == 0x202F || cp == 0x205F ||
      cp == 0x3000) {
    return true;
  }
  // Format characters: soft hyphen, Arabic letter mark, zero-width and bidirectional controls,
  // invisible operators, byte order mark, interlinear annotation, tags.
  if (cp == 0xAD || cp == 0x61C || in(cp, 0x200B, 0x200F) || in(cp, 0x202A, 0x202E) ||
      in(cp, 0x2060, 0x2064) || in(cp, 0x2066, 0x206F) || cp == 0xFEFF || in(cp, 0xFFF9, 0xFFFB) ||
      cp == 0xE0001 || in(cp, 0xE0020, 0xE007F)) {
    return true;
  }
  // Surrogates, private use (with the noncharacters at the ends of planes 15 and 16).
  if (in(cp, 0xD800, 0xDFFF) || in(cp, 0xE000, 0xF8FF) || in(cp, 0xF0000, 0x10FFFF)) return true;
  // Noncharacters.
  if (in(cp, 0xFDD0, 0xFDEF) || (cp & 0xFFFE) == 0xFFFE) return true;
  // Grapheme extenders: combining diacritical marks (and those for symbols), variation
  // selectors.
  return in(cp, 0x300, 0x36F) || in(cp, 0x20D0, 0x20F0) || in(cp, 0xFE00, 0xFE0F) ||
         in(cp, 0xE0100, 0xE01EF);
}

bool must_stay_in_log(char32_t cp) {
  if (in(cp, 0x20, 0x7E)) return cp != '"' && cp != '\\';
  return (in(cp, 0xA1, 0xFF) && cp != 0xAD) || in(cp, 0x4E00, 0x9FA5) || in(cp, 0x1F600, 0x1F64F);
}

std::string read_log_quoted(std::string_view line, std::size_t* pos) {
  std::string out;
  std::size_t i = *pos;
  for (;;) {
    expect(i < line.size(), "log rendering: unterminated text", line);
    const char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return out;
    }
    if (c != '\\') {
      char32_t cp;
      const std::size_t n = utf8_sequence_at(line, i, &cp);
      expect(n > 0, "log rendering: invalid UTF-8", line);
      expect(!must_be_escaped_in_log(cp), "log rendering: a character that must be escaped",
             line.substr(i, n));
      out.append(line, i, n);
      i += n;
      continue;
    }
    expect(++i < line.size(), "log rendering: a backslash at the end", line);
    const char e = line[i++];
    switch (e) {
      case '"':
      case '\\':
        out += e;
        continue;
      case 't':
        out += '\t';
        continue;
      case 'r':
        out += '\r';
        continue;
      case 'n':
        out += '\n';
        continue;
      case '0':
        out += '\0';
        continue;
      case 'u':
        break;
      default:
        fail("log rendering: an unknown escape", line.substr(i - 2, 2));
    }
    expect(i < line.size() && line[i] == '{', "log rendering: \\u without {", line);
    const std::size_t digits = ++i;
    char32_t cp = 0;
    while (i < line.size() &&
           ((line[i] >= '0' && line[i] <= '9') || (line[i] >= 'a' && line[i] <= 'f'))) {
      cp = cp << 4 | static_cast<char32_t>(line[i] <= '9' ? line[i] - '0' : line[i] - 'a' + 10);
      ++i;
      expect(i - digits <= 6, "log rendering: more than six hex digits", line);
    }
    expect(i > digits && i < line.size() && line[i] == '}',
           "log rendering: \\u{ without lowercase hex digits and }", line);
    expect(line[digits] != '0', "log rendering: a leading zero in \\u{..}", line);
    ++i;
    expect(cp <= 0x10FFFF && !in(cp, 0xD800, 0xDFFF), "log rendering: \\u{..} of no character",
           line);
    expect(cp != '"' && cp != '\\' && cp != '\t' && cp != '\r' && cp != '\n' && cp != 0,
           "log rendering: \\u{..} for a character with a short escape", line);
    expect(!must_stay_in_log(cp), "log rendering: a printable character escaped", line);
    append_utf8(out, cp);
  }
}

void check_log_rendering(const Request& request, std::string_view line) {
  expect(!line.empty(), "log rendering: empty");
  expect(is_valid_utf8(line), "log rendering: invalid UTF-8", line);
  for_each_code_point(line, [&](char32_t cp) {
    expect(!breaks_log_line(cp), "log rendering: a line break or control character", line);
  });
  Rendering r(line);
  std::visit(
      [&](const auto& message) {
        using M = std::decay_t<decltype(message)>;
        r.literal(M::kName);
        if constexpr (kShape<M> == Shape::kValue) {
          r.literal("(");
          r.value(field_value<0>(message));
          r.literal(")");
        } else if constexpr (kShape<M> == Shape::kFields) {
          std::string_view separator = " { ";
          for_each_field(message, [&](const auto& field, const auto& value) {
            r.literal(separator);
            r.literal(field.name);
            r.literal(": ");
            r.value(value);
            separator = ", ";
          });
          r.literal(" }");
        }
      },
      request);
  r.end();
}

void check_failure_text(std::string_view text, std::string_view body) {
  expect(!text.empty(), "failure without a text", body);
  expect(is_valid_utf8(text), "failure text: invalid UTF-8", text);
  for_each_code_point(text, [&](char32_t cp) {
    expect(!breaks_log_line(cp), "failure text: a line break or control character", text);
  });
  if (text == "invalid type: unit variant, expected newtype variant" ||
      text == "invalid type: unit variant, expected struct variant") {
    return;
  }
  constexpr std::string_view kAtLine = " at line ";
  const std::size_t at = text.rfind(kAtLine);
  expect(at != std::string_view::npos && at > 0, "failure text: no position", text);
  std::size_t pos = at + kAtLine.size();
  const auto line = read_decimal(text, &pos);
  expect(line.has_value() && *line >= 1, "failure text: no line number", text);
  constexpr std::string_view kColumn = " column ";
  expect(text.substr(pos, kColumn.size()) == kColumn, "failure text: no column", text);
  pos += kColumn.size();
  const auto column = read_decimal(text, &pos);
  expect(column.has_value() && pos == text.size(), "failure text: no column number", text);
  // The position must lie in the body: the line exists, and the column does not pass its end.
  std::size_t line_start = 0;
  for (std::size_t l = 1; l < *line; ++l) {
    const std::size_t lf = body.find('\n', line_start);
    expect(lf != std::string_view::npos, "failure text: a line after the body's last", text);
    line_start = lf + 1;
  }
  const std::size_t line_end = std::min(body.find('\n', line_start), body.size());
  expect(*column <= line_end - line_start, "failure text: a column past the end of its line", text);
}

void check_compact_json(std::string_view body) {
  expect(is_valid_utf8(body), "encoded body: invalid UTF-8", body);
  bool in_string = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const auto c = static_cast<unsigned char>(body[i]);
    expect(c >= 0x20, "encoded body: a raw control character", body);
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else {
      expect(c != ' ', "encoded body: white space outside strings", body);
      if (c == '"') in_string = true;
    }
  }
  expect(!in_string, "encoded body: an unterminated string", body);
}

namespace {

void check_text(const std::string& text) {
  expect(is_valid_utf8(text), "decoded text: invalid UTF-8", text);
}
void check_text(const Ipv4Addr&) {}
void check_text(bool) {}
template <class A, class B>
void check_text(const std::pair<A, B>& pair) {
  check_text(pair.first);
  check_text(pair.second);
}
template <class T>
void check_text(const std::optional<T>& value) {
  if (value) check_text(*value);
}

// Every text field of any message of the family.
template <class Family>
void check_texts(const Family& family) {
  std::visit(
      [](const auto& message) {
        for_each_field(message, [](const auto&, const auto& value) { check_text(value); });
      },
      family);
}

}  // namespace

void check_texts_are_utf8(const Request& request) {
  check_texts(request);
}

void check_texts_are_utf8(const Response& response) {
  check_texts(response);
}

}  // namespace pelmor::fuzz
