#include "json_reader.h"

#include <algorithm>
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
#endif

namespace helper_ipc::detail {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Gathers the text of a string in a buffer that stays in cache, handing it to the output a few
// KiB at a time: plain bytes are copied in as they are scanned and escapes resolved into it, so
// that a long text with many escapes grows in a few large appends.
class TextSink {
 public:
  explicit TextSink(std::string* out) : out_(out) {}
  // Where the next `n` bytes (at most 16) go.
  char* room(std::size_t n) {
    if (kSize - len_ < n) flush();
    return buf_ + len_;
  }
  void commit(std::size_t n) { len_ += n; }
  void put(char c) {
    *room(1) = c;
    commit(1);
  }
  void flush() {
    out_->append(buf_, len_);
    len_ = 0;
  }

 private:
  static constexpr std::size_t kSize = 4096;
  std::string* out_;
  std::size_t len_ = 0;
  char buf_[kSize];
};

bool ends_plain_run(unsigned char c) {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

// Copies the plain run that starts at p[i] to `sink` (when there is one) and returns the index of
// the first byte that ends it: a double quote, a backslash, a control character or a non-ASCII
// byte; `n` when the body ends first. Whole blocks are copied before they are examined: the bytes
// past the end of the run are simply not committed.
inline std::size_t copy_plain(const unsigned char* p, std::size_t i, std::size_t n,
                              TextSink* sink) {
#if defined(__SSE2__)
  // Sixteen bytes at a time. A signed compare with 0x20 catches the control characters and, as
  // negative numbers, the bytes of 0x80 and above.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (sink != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i*>(sink->room(16)), v);
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                     _mm_cmplt_epi8(v, space));
    const auto m = static_cast<unsigned>(_mm_movemask_epi8(hits));
    const std::size_t plain = m != 0 ? static_cast<std::size_t>(std::countr_zero(m)) : 16;
    if (sink != nullptr) sink->commit(plain);
    if (plain < 16) return i + plain;
  }
#else
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time in a word. Each term flags its lowest matching byte exactly (borrows
    // only reach higher bytes), so the lowest flag of the union is the first byte that ends the
    // run.
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (sink != nullptr) std::memcpy(sink->room(8), &w, 8);
      const std::uint64_t quote = w ^ (kOnes * '"');
      const std::uint64_t backslash = w ^ (kOnes * '\\');
      const std::uint64_t hits = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                 ((w - kOnes * 0x20) & ~w) | w;
      const std::uint64_t m = hits & kHighs;
      const std::size_t plain = m != 0 ? static_cast<std::size_t>(std::countr_zero(m)) / 8 : 8;
      if (sink != nullptr) sink->commit(plain);
      if (plain < 8) return i + plain;
    }
  }
#endif
  for (; i < n && !ends_plain_run(p[i]); ++i) {
    if (sink != nullptr) sink->put(static_cast<char>(p[i]));
  }
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

bool JsonReader::read_string(std::string& out) {
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
  TextSink sink(out);        // its buffer is left uninitialised until written
  TextSink* const to = kKeep ? &sink : nullptr;
  // A kept text is checked as UTF-8 once its closing quote is read, so that a control character
  // or a malformed escape anywhere in it is reported first: where its first ill-formed sequence
  // began, if any.
  std::size_t ill_formed = n;
  auto eof = [&] {
    pos_ = n;
    return fail(kEofString);
  };
  for (;;) {
    i = copy_plain(p, i, n, to);
    if (i >= n) return eof();
    const unsigned char c = p[i];
    if (c >= 0x80) {
      if constexpr (kKeep) {
        const utf8::Step step = utf8::decode(s_, i);
        if (step.code_point == utf8::kInvalid) {
          ill_formed = std::min(ill_formed, i);
        } else {
          std::memcpy(to->room(4), p + i, step.length);
          to->commit(step.length);
        }
        i += step.length;
      } else {
        ++i;  // a value that is thrown away is not checked as UTF-8
      }
      continue;
    }
    if (c < 0x20) {
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", i + 1);
    }
    if (c == '"') {
      if constexpr (kKeep) {
        if (ill_formed < n) return fail_at("invalid unicode code point", ill_formed + 1);
        to->flush();
      }
      pos_ = i + 1;
      return true;
    }
    // A backslash.
    if (++i >= n) return eof();
    const char escape = s_[i++];
    char plain = 0;
    switch (escape) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        std::uint32_t cp;
        if (!parse_hex4(i, cp)) return false;
        // In a value that is thrown away, \u escapes are checked for their form only: they are
        // not paired into characters.
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
          to->commit(utf8::encode(cp, to->room(4)));
        }
        continue;
      }
      default:
        return fail_at("invalid escape", i);
    }
    if constexpr (kKeep) to->put(plain);
  }
}

int JsonReader::read_variant_name(std::span<const std::string_view> names) {
  std::string name;
  if (!read_string(name)) return -1;
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
  std::string dotted;
  if (!read_string(dotted)) return false;
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
