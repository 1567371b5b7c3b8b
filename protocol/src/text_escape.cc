#include "text_escape.h"

#include <algorithm>
#include <iterator>

#include "helper_ipc/utf8.h"
#include "unicode_tables.h"

namespace helper_ipc::detail {

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text, run, std::string_view::npos);
  out.push_back('"');
}

bool is_log_escaped(std::uint32_t code_point) {
  const CodeRange* end = kLogEscapedRanges + kLogEscapedRangeCount;
  // The first range whose last code point is not below `code_point`.
  const CodeRange* r =
      std::lower_bound(kLogEscapedRanges, end, code_point,
                       [](const CodeRange& range, std::uint32_t cp) { return range.last < cp; });
  return r != end && r->first <= code_point;
}

void append_log_escaped(std::string& out, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {  // printable ASCII stays as it is
      ++i;
      continue;
    }
    const utf8::Step step = utf8::decode(text, i);
    std::uint32_t cp = step.code_point;
    const std::size_t len = step.length;
    const char* escape = nullptr;
    switch (cp) {
      case '"':
        escape = "\\\"";
        break;
      case '\\':
        escape = "\\\\";
        break;
      case '\t':
        escape = "\\t";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\0':
        escape = "\\0";
        break;
      default:
        if (!is_log_escaped(cp)) {
          i += len;
          continue;
        }
    }
    out.append(text, run, i - run);
    i += len;
    run = i;
    if (escape != nullptr) {
      out += escape;
      continue;
    }
    out += "\\u{";
    char digits[8];
    int n = 0;
    do {
      digits[n++] = kHex[cp & 0xF];
      cp >>= 4;
    } while (cp != 0);
    while (n > 0)
      out.push_back(digits[--n]);
    out.push_back('}');
  }
  out.append(text, run, std::string_view::npos);
}

void append_log_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  append_log_escaped(out, text);
  out.push_back('"');
}

}  // namespace helper_ipc::detail
