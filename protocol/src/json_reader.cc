#include "json_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "helper_ipc/utf8.h"
#include "text_escape.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace helper_ipc::detail {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The size of the buffer in which a kept text is gathered.
constexpr std::size_t kBufferSize = 4096;

bool ends_plain_run(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

// The string scan: a block of bytes is copied and examined at once, and the scan learns how many
// of them come before the first byte that ends a plain run (a double quote, a backslash, a control
// character or a non-ASCII byte). Which scan is built: 16-byte vectors with SSE2 (every x86-64) or
// NEON (every arm64), else 8-byte words on little-endian machines, else one byte at a time.
// HELPER_IPC_STRING_SCAN_WORD forces the word scan, so that it is built and tested on machines
// that have vectors.
#if defined(HELPER_IPC_STRING_SCAN_WORD)
#define HELPER_IPC_SCAN_WORD 1
#elif defined(__SSE2__)
#define HELPER_IPC_SCAN_SSE2 1
#elif defined(__ARM_NEON) && defined(__aarch64__)
#define HELPER_IPC_SCAN_NEON 1
#else
#define HELPER_IPC_SCAN_WORD 1
#endif

#if defined(HELPER_IPC_SCAN_SSE2)
constexpr std::size_t kBlock = 16;
// A signed compare with 0x20 catches the control characters and, as negative numbers, the bytes
// of 0x80 and above.
template <bool kStore>
inline std::size_t scan_block(const unsigned char* src, char* dst) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  if constexpr (kStore) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
      _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  const auto m = static_cast<unsigned>(_mm_movemask_epi8(hits));
  return m != 0 ? static_cast<std::size_t>(std::countr_zero(m)) : kBlock;
}
#elif defined(HELPER_IPC_SCAN_NEON)
constexpr std::size_t kBlock = 16;
template <bool kStore>
inline std::size_t scan_block(const unsigned char* src, char* dst) {
  const uint8x16_t v = vld1q_u8(src);
  if constexpr (kStore) vst1q_u8(reinterpret_cast<std::uint8_t*>(dst), v);
  // As with SSE2, a signed compare with 0x20 catches the control characters and the bytes of 0x80
  // and above.
  const uint8x16_t hits =
      vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))),
               vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(0x20)));
  // NEON has no byte mask: narrowing each 16-bit lane by 4 bits leaves four bits per byte.
  const std::uint64_t m =
      vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(hits), 4)), 0);
  return m != 0 ? static_cast<std::size_t>(std::countr_zero(m)) / 4 : kBlock;
}
#else
constexpr std::size_t kBlock = 8;
template <bool kStore>
inline std::size_t scan_block(const unsigned char* src, char* dst) {
  // Eight bytes in a word. Each term flags its lowest matching byte exactly (borrows only reach
  // higher bytes), so the lowest flag of the union is the first byte that ends the run.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  std::uint64_t w;
  std::memcpy(&w, src, 8);
  if constexpr (kStore) std::memcpy(dst, &w, 8);
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t backslash = w ^ (kOnes * '\\');
    const std::uint64_t hits = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                               ((w - kOnes * 0x20) & ~w) | w;
    const std::uint64_t m = hits & kHighs;
    return m != 0 ? static_cast<std::size_t>(std::countr_zero(m)) / 8 : kBlock;
  } else {
    std::size_t k = 0;
    while (k < kBlock && !ends_plain_run(src[k]))
      ++k;
    return k;
  }
}
#endif

// Returns the index of the first byte at or after p[i] that ends a plain run; `n` when the body
// ends first.
inline std::size_t skip_plain(const unsigned char* p, std::size_t i, std::size_t n) {
  for (; i + kBlock <= n; i += kBlock) {
    const std::size_t plain = scan_block<false>(p + i, nullptr);
    if (plain < kBlock) return i + plain;
  }
  while (i < n && !ends_plain_run(p[i]))
    ++i;
  return i;
}

// The shortest decimal digits that read back as `v`, written out in full without an exponent,
// with ".0" when there is no fractional part: 1.5 -> "1.5", 1e2 -> "100.0", 1e-7 -> "0.0000001".
std::string shortest_decimal(double v) {
  char buf[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // buf is "[-]d[.ddd]e[+-]xx".
  std::string_view text(buf);
  std::string out;
  if (text.front() == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0')
    digits.pop_back();
  const long point = std::strtol(text.data() + e + 1, nullptr, 10) + 1;  // digits before the point
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

// A text of the peer's quoted in a failure text: escaped like any text in the log, so that it
// cannot break the log line that reports the failure, and cut after its first kQuotedBytes bytes
// (at a character's start) with a count of the rest, so that a failure text stays small however
// long the text the peer sent: a byte can take six in the log's escaped form.
constexpr std::size_t kQuotedBytes = 256;
void append_peer_text(std::string& out, std::string_view text, char quote) {
  std::size_t cut = text.size();
  if (cut > kQuotedBytes) {
    cut = kQuotedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
  }
  out.push_back(quote);
  append_log_escaped(out, text.substr(0, cut));
  out.push_back(quote);
  if (cut < text.size()) out += " (+" + std::to_string(text.size() - cut) + " more bytes)";
}

// What each short escape stands for, by the character after the backslash; 0 for `u` and for
// the characters that begin no escape.
constexpr std::array<char, 256> kUnescaped = [] {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}();

constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";

}  // namespace

int JsonReader::peek() {
  while (pos_ < s_.size()) {
    const char c = s_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

bool JsonReader::fail_at(std::string_view message, std::size_t pos) {
  if (!error_.empty()) return false;
  const std::string_view before = s_.substr(0, pos);
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = line_start == std::string_view::npos ? pos : pos - line_start - 1;
  error_.assign(message);
  error_ += " at line " + std::to_string(line) + " column " + std::to_string(column);
  return false;
}

bool JsonReader::fail_without_position(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool JsonReader::read_plain_string(std::string_view& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
  const std::size_t i = skip_plain(p, pos_ + 1, s_.size());
  if (i >= s_.size() || p[i] != '"') return false;
  out = s_.substr(pos_ + 1, i - pos_ - 1);
  pos_ = i + 1;
  return true;
}

bool JsonReader::read_string(std::string& out) {
  // Most texts are plain ASCII without escapes: one scan and one copy.
  if (std::string_view plain; read_plain_string(plain)) {
    out.assign(plain);
    return true;
  }
  out.clear();
  // A text is never longer than what is left of the body. Reserving that much up front spares a
  // long text (the rules of a rule set) its reallocations; the pages of a large reservation are
  // not touched until written, and a short text gives the rest back below.
  const std::size_t left = s_.size() - pos_;
  constexpr std::size_t kReserveFrom = 4096;
  if (left >= kReserveFrom) out.reserve(left);
  if (!parse_string<true>(&out)) return false;
  if (out.capacity() > 2 * out.size() + kReserveFrom) out.shrink_to_fit();
  return true;
}

bool JsonReader::parse_hex4(std::size_t& i, std::uint32_t& value) {
  value = 0;
  for (int k = 0; k < 4; ++k, ++i) {
    if (i >= s_.size()) {
      pos_ = s_.size();
      return fail(kEofString);
    }
    const char c = s_[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return fail_at("unexpected end of hex escape", i + 1);
    }
    value = value << 4 | digit;
  }
  return true;
}

template <bool kKeep>
bool JsonReader::parse_string(std::string* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s_.data());
  const std::size_t n = s_.size();
  std::size_t i = pos_ + 1;  // past the opening quote
  // A kept text is gathered in a buffer that stays in cache and handed to `out` a few KiB at a
  // time: plain bytes are copied in as they are scanned and escapes resolved into it, so that a
  // long text with many escapes grows in a few large appends. The buffer is left uninitialised
  // until written. Its write position is a local, which stores of text bytes cannot alias.
  char buf[kKeep ? kBufferSize : 1];
  char* d = buf;
  char* const end = buf + sizeof buf;
  auto room = [&](std::size_t k) {  // makes room for k bytes at d
    if (static_cast<std::size_t>(end - d) < k) {
      out->append(buf, static_cast<std::size_t>(d - buf));
      d = buf;
    }
  };
  // A kept text is checked as UTF-8 once its closing quote is read, so that a control character
  // or a malformed escape anywhere in it is reported first: where its first ill-formed sequence
  // began, if any.
  std::size_t ill_formed = n;
  auto eof = [&] {
    pos_ = n;
    return fail(kEofString);
  };
  for (;;) {
    // A plain run, a block at a time. Whole blocks are copied before they are examined: the bytes
    // past the end of the run are simply overwritten next. The room is checked once for as many
    // blocks as it holds.
    if constexpr (kKeep) {
      for (;;) {
        room(kBlock);
        const std::size_t stop = std::min(n, i + static_cast<std::size_t>(end - d));
        std::size_t plain = kBlock;
        for (; i + kBlock <= stop; i += kBlock, d += kBlock) {
          plain = scan_block<true>(p + i, d);
          if (plain < kBlock) break;
        }
        if (plain < kBlock) {
          i += plain;
          d += plain;
          break;
        }
        if (i + kBlock > n) {  // what is left of the body is shorter than a block
          for (; i < n && !ends_plain_run(p[i]); ++i) {
            room(1);
            *d++ = static_cast<char>(p[i]);
          }
          break;
        }
      }
    } else {
      i = skip_plain(p, i, n);
    }
    if (i >= n) return eof();
    const unsigned char c = p[i];
    if (c == '\\') {  // the most common end of a plain run
      if (++i >= n) return eof();
      const unsigned char escape = p[i++];
      if (const char plain = kUnescaped[escape]; plain != 0) {
        if constexpr (kKeep) {
          room(1);
          *d++ = plain;
        }
        continue;
      }
      if (escape != 'u') return fail_at("invalid escape", i);
      std::uint32_t cp;
      if (!parse_hex4(i, cp)) return false;
      // In a value that is thrown away, \u escapes are checked for their form only: they are not
      // paired into characters.
      if constexpr (kKeep) {
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at("invalid unicode code point", i);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          // A leading surrogate: a \u escape of a trailing surrogate must follow.
          constexpr std::string_view kLone = "lone leading surrogate in hex escape";
          for (char expected : {'\\', 'u'}) {
            if (i >= n) return eof();
            if (s_[i++] != expected) return fail_at(kLone, i);
          }
          std::uint32_t trail;
          if (!parse_hex4(i, trail)) return false;
          if (trail < 0xDC00 || trail > 0xDFFF) return fail_at(kLone, i);
          cp = 0x10000 + ((cp - 0xD800) << 10) + (trail - 0xDC00);
        }
        room(4);
        d += utf8::encode(cp, d);
      }
      continue;
    }
    if (c == '"') {
      if constexpr (kKeep) {
        if (ill_formed < n) return fail_at("invalid unicode code point", ill_formed + 1);
        out->append(buf, static_cast<std::size_t>(d - buf));
      }
      pos_ = i + 1;
      return true;
    }
    if (c < 0x20) {
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", i + 1);
    }
    // A byte of 0x80 or above.
    if constexpr (kKeep) {
      const utf8::Step step = utf8::decode(s_, i);
      if (step.code_point == utf8::kInvalid) {
        ill_formed = std::min(ill_formed, i);
      } else {
        room(4);
        std::memcpy(d, p + i, step.length);
        d += step.length;
      }
      i += step.length;
    } else {
      ++i;  // a value that is thrown away is not checked as UTF-8
    }
  }
}

int JsonReader::read_variant_name(std::span<const std::string_view> names) {
  std::string unescaped;
  std::string_view name;
  if (!read_plain_string(name)) {
    if (!read_string(unescaped)) return -1;
    name = unescaped;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  std::string message = "unknown variant ";
  append_peer_text(message, name, '`');
  message += ", expected one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) message += ", ";
    message.push_back('`');
    message += names[i];
    message.push_back('`');
  }
  fail(message);
  return -1;
}

bool JsonReader::read_unit() {
  return peek() == 'n' ? read_literal("null") : fail_invalid_type("unit");
}

bool JsonReader::read_flag(bool& out) {
  const int c = peek();
  if (c != 't' && c != 'f') return fail_invalid_type("a boolean");
  out = c == 't';
  return read_literal(out ? "true" : "false");
}

bool JsonReader::read_text(std::string& out) {
  return peek() == '"' ? read_string(out) : fail_invalid_type("a string");
}

bool JsonReader::read_address(Ipv4Addr& out) {
  if (peek() != '"') return fail_invalid_type("IPv4 address");
  std::string unescaped;
  std::string_view dotted;
  if (!read_plain_string(dotted)) {
    if (!read_string(unescaped)) return false;
    dotted = unescaped;
  }
  const std::optional<Ipv4Addr> addr = Ipv4Addr::parse(dotted);
  if (!addr) return fail("invalid IPv4 address syntax");
  out = *addr;
  return true;
}

bool JsonReader::read_literal(std::string_view word) {
  for (std::size_t k = 1; k < word.size(); ++k) {
    const std::size_t i = pos_ + k;
    if (i >= s_.size()) {
      pos_ = s_.size();
      return fail(kEofValue);
    }
    if (s_[i] != word[k]) return fail_at("expected ident", i + 1);
  }
  pos_ += word.size();
  return true;
}

bool JsonReader::parse_number(std::string* found) {
  const std::size_t start = pos_;
  const std::size_t n = s_.size();
  auto digit_at = [&](std::size_t i) { return i < n && is_digit(s_[i]); };
  // The body ends inside the number: after its sign, its point or its exponent mark.
  auto incomplete = [&] {
    pos_ = n;
    return fail("invalid number");
  };
  std::size_t i = pos_;
  const bool negative = s_[i] == '-';
  if (negative) ++i;
  if (i >= n) return incomplete();
  if (s_[i] == '0') {
    if (digit_at(++i)) return fail_at("invalid number", i + 1);
  } else if (is_digit(s_[i])) {
    while (digit_at(i))
      ++i;
  } else {
    return fail_at("invalid number", i + 1);
  }
  bool is_float = false;
  if (i < n && s_[i] == '.') {
    is_float = true;
    if (++i >= n) return incomplete();
    if (!is_digit(s_[i])) return fail_at("invalid number", i + 1);
    while (digit_at(i))
      ++i;
  }
  if (i < n && (s_[i] == 'e' || s_[i] == 'E')) {
    is_float = true;
    ++i;
    if (i < n && (s_[i] == '+' || s_[i] == '-')) ++i;
    if (i >= n) return incomplete();
    if (!is_digit(s_[i])) return fail_at("invalid number", i + 1);
    while (digit_at(i))
      ++i;
  }
  pos_ = i;
  if (found == nullptr) return true;

  const std::string_view text = s_.substr(start, i - start);
  if (!is_float) {
    // Integers keep their exact value while it fits 64 bits (down to -2^63); larger ones are
    // read as floating point, as a JSON reader of doubles would.
    std::uint64_t magnitude = 0;
    bool fits = true;
    for (char c : text.substr(negative ? 1 : 0)) {
      const auto d = static_cast<std::uint64_t>(c - '0');
      if (magnitude > (UINT64_MAX - d) / 10) {
        fits = false;
        break;
      }
      magnitude = magnitude * 10 + d;
    }
    // -0 has no integer value of its own: it is read as the floating-point -0.0.
    if (fits && (!negative || (magnitude != 0 && magnitude <= (std::uint64_t{1} << 63)))) {
      *found = "integer `";
      if (negative) found->push_back('-');
      *found += std::to_string(magnitude);
      found->push_back('`');
      return true;
    }
  }
  const std::string copy(text);
  const double value = std::strtod(copy.c_str(), nullptr);
  if (std::isinf(value)) return fail("number out of range");
  *found = "floating point `" + shortest_decimal(value) + "`";
  return true;
}

bool JsonReader::skip_value() {
  std::vector<bool> open;  // one entry per enclosing container: true for an object
  // Reads a member's key and colon; the next byte begins the member's value. `eof` is the text
  // for a body that ends where the key must begin.
  auto member_key = [this](std::string_view eof) {
    const int c = peek();
    if (c < 0) return fail(eof);
    if (c != '"') return fail_at_next("key must be a string");
    if (!parse_string<false>(nullptr)) return false;
    const int colon = peek();
    if (colon < 0) return fail(kEofObject);
    if (colon != ':') return fail_at_next("expected `:`");
    bump();
    return true;
  };
  for (;;) {
    // A value begins here.
    const int c = peek();
    switch (c) {
      case -1:
        return fail(kEofValue);
      case '"':
        if (!parse_string<false>(nullptr)) return false;
        break;
      case 'n':
        if (!read_literal("null")) return false;
        break;
      case 't':
        if (!read_literal("true")) return false;
        break;
      case 'f':
        if (!read_literal("false")) return false;
        break;
      case '[': {
        bump();
        const int next = peek();
        if (next == ']') {
          bump();
          break;
        }
        if (next < 0) return fail(kEofList);
        open.push_back(false);
        continue;
      }
      case '{':
        bump();
        if (peek() == '}') {
          bump();
          break;
        }
        open.push_back(true);
        if (!member_key(kEofObject)) return false;
        continue;
      default:
        if (c != '-' && !is_digit(static_cast<char>(c))) return fail_at_next("expected value");
        if (!parse_number(nullptr)) return false;
    }
    // A value ended: close the containers it completes, then move on to the next value.
    for (;;) {
      if (open.empty()) return true;
      const bool in_object = open.back();
      const char close = in_object ? '}' : ']';
      const int next = peek();
      if (next == close) {
        bump();
        open.pop_back();
        continue;
      }
      if (next == ',') {
        bump();
        if (peek() == close) return fail_at_next("trailing comma");
        // After a comma a key must begin: a body that ends here ends where a value must.
        if (in_object && !member_key(kEofValue)) return false;
        break;
      }
      if (next < 0) return fail(in_object ? kEofObject : kEofList);
      return fail_at_next(in_object ? "expected `,` or `}`" : "expected `,` or `]`");
    }
  }
}

bool JsonReader::fail_invalid_type(std::string_view expected) {
  std::string found;
  const int c = peek();
  switch (c) {
    case -1:
      return fail(kEofValue);
    case 'n':
      if (!read_literal("null")) return false;
      found = "null";
      break;
    case 't':
      if (!read_literal("true")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      if (!read_literal("false")) return false;
      found = "boolean `false`";
      break;
    case '"': {
      std::string text;
      if (!read_string(text)) return false;
      found = "string ";
      append_peer_text(found, text, '"');
      break;
    }
    case '[':
      bump();
      found = "sequence";
      break;
    case '{':
      bump();
      found = "map";
      break;
    default:
      if (c != '-' && !is_digit(static_cast<char>(c))) return fail_at_next("expected value");
      if (!parse_number(&found)) return false;
  }
  return fail("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace helper_ipc::detail
