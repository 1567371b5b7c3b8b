// A single-pass JSON reader over the bytes of one frame body, with the failure texts of the
// protocol. The message decoders drive it grammar-first: they ask for the token they expect and
// the reader reports exactly what stood there instead. Nothing recurses on nesting: a value that
// is skipped is skipped with a bit stack, so a peer cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "helper_ipc/codec.h"
#include "helper_ipc/ipv4.h"

namespace helper_ipc::detail {

class JsonReader {
 public:
  explicit JsonReader(std::string_view body) : s_(body) {}

  // Skips JSON white space and returns the next byte without consuming it; -1 at the end.
  int peek();
  // Consumes one byte (the one peek() returned).
  void bump() { ++pos_; }

  // ---- Values. Each returns false after recording a failure. -----------------------------
  // At a double quote: reads a string, resolving escapes; the text is valid UTF-8.
  bool read_string(std::string& out);
  // At a double quote: when the string is plain (no escape, control character or non-ASCII byte),
  // reads it and returns true, `out` viewing its bytes in the body; else reads nothing and returns
  // false, and read_string reads it.
  bool read_plain_string(std::string_view& out);
  // At the first letter of `word` ("null", "true", "false"): reads exactly that literal.
  bool read_literal(std::string_view word);
  // Reads and throws away any well-formed value, however deeply nested.
  bool skip_value();
  // At a value of the wrong type: reads it and fails with
  // "invalid type: {what was found}, expected {expected}".
  bool fail_invalid_type(std::string_view expected);

  // ---- Typed values of the messages: on anything else they fail with the invalid-type text.
  bool read_unit();                  // null, else expected "unit"
  bool read_flag(bool& out);         // true or false, else expected "a boolean"
  bool read_text(std::string& out);  // a string, else expected "a string"
  bool read_address(Ipv4Addr& out);  // a dotted-decimal string, else expected "IPv4 address"

  // At an opening bracket: reads an array of exactly `count` elements, each with
  // `read_element(index)`. Fewer fail with "invalid length {given}, expected {length_text}", more
  // (or anything but the closing bracket after the last) with "trailing characters".
  template <class ReadElement>
  bool read_fixed_array(int count, std::string_view length_text, ReadElement&& read_element);

  // ---- Enums. ------------------------------------------------------------------------------
  // Reads a whole body holding one enum value: either a string naming a variant, or an object
  // with exactly one member whose key names the variant and whose value `read_value(index)`
  // reads. `bare(index)` handles a variant given by its name alone: it returns true when the name
  // is a complete value, else it records a failure and returns false. Only white space may follow
  // the value. Returns the variant's index, or -1 after recording a failure.
  template <class Bare, class ReadValue>
  int read_enum(std::span<const std::string_view> names, Bare&& bare, ReadValue&& read_value);

  // ---- Failures. The first one recorded wins; each returns false. ------------------------
  // At the position reached so far.
  bool fail(std::string_view message) { return fail_at(message, pos_); }
  // At the next byte, which is counted as read (the end of the body, when there is none).
  bool fail_at_next(std::string_view message) {
    return fail_at(message, pos_ < s_.size() ? pos_ + 1 : pos_);
  }
  // Without the position suffix.
  bool fail_without_position(std::string message);

  DecodeError take_error() { return DecodeError{std::move(error_)}; }

 private:
  template <bool kKeep>
  bool parse_string(std::string* out);
  // Reads a string that must name one of `names`; returns its index, or -1 after a failure.
  int read_variant_name(std::span<const std::string_view> names);
  bool parse_hex4(std::size_t& i, std::uint32_t& value);
  bool parse_number(std::string* found);
  bool fail_at(std::string_view message, std::size_t pos);

  std::string_view s_;
  std::size_t pos_ = 0;
  std::string error_;
};

template <class ReadElement>
bool JsonReader::read_fixed_array(int count, std::string_view length_text,
                                  ReadElement&& read_element) {
  bump();
  if (peek() < 0) return fail("EOF while parsing a list");
  for (int i = 0; i < count; ++i) {
    int c = peek();
    if (c == ']') {
      bump();
      return fail("invalid length " + std::to_string(i) + ", expected " + std::string(length_text));
    }
    if (i > 0) {
      if (c < 0) return fail("EOF while parsing a list");
      if (c != ',') return fail_at_next("expected `,` or `]`");
      bump();
      if (peek() == ']') return fail_at_next("trailing comma");
    }
    if (!read_element(i)) return false;
  }
  const int c = peek();
  if (c == ']') {
    bump();
    return true;
  }
  if (c < 0) return fail("EOF while parsing a list");
  if (c != ',') return fail_at_next("trailing characters");  // the values are complete
  bump();
  return fail_at_next(peek() == ']' ? "trailing comma" : "trailing characters");
}

template <class Bare, class ReadValue>
int JsonReader::read_enum(std::span<const std::string_view> names, Bare&& bare,
                          ReadValue&& read_value) {
  int index = -1;
  switch (peek()) {
    case -1:
      fail("EOF while parsing a value");
      return -1;
    case '"':
      index = read_variant_name(names);
      if (index < 0 || !bare(index)) return -1;
      break;
    case '{': {
      bump();
      const int c = peek();
      if (c < 0) {
        fail("EOF while parsing an object");
        return -1;
      }
      if (c != '"') {
        fail_at_next(c == '}' ? "expected value" : "key must be a string");
        return -1;
      }
      index = read_variant_name(names);
      if (index < 0) return -1;
      const int colon = peek();
      if (colon != ':') {
        colon < 0 ? fail("EOF while parsing an object") : fail_at_next("expected `:`");
        return -1;
      }
      bump();
      if (!read_value(index)) return -1;
      const int close = peek();
      if (close != '}') {
        // Anything but the closing brace, a second member included.
        close < 0 ? fail("EOF while parsing an object") : fail_at_next("expected value");
        return -1;
      }
      bump();
      break;
    }
    default:
      fail_at_next("expected value");
      return -1;
  }
  if (peek() >= 0) {
    fail_at_next("trailing characters");
    return -1;
  }
  return index;
}

}  // namespace helper_ipc::detail
