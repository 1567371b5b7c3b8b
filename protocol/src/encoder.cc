// Encoding of Request and Response bodies, and the log rendering of requests. Both follow each
// message's declaration: its name, and its fields in order.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "helper_ipc/codec.h"
#include "text_escape.h"

namespace helper_ipc {

namespace {

using detail::append_json_string;
using detail::append_log_quoted;

// ---- JSON ----------------------------------------------------------------------------------

// About how many bytes a value takes in JSON: room to reserve before writing it.
std::size_t json_size_hint(const std::string& text) {
  return text.size() + 2;
}
std::size_t json_size_hint(const Ipv4Addr&) {
  return 17;
}
std::size_t json_size_hint(bool) {
  return 5;
}
template <class A, class B>
std::size_t json_size_hint(const std::pair<A, B>& pair) {
  return json_size_hint(pair.first) + json_size_hint(pair.second) + 3;
}
template <class T>
std::size_t json_size_hint(const std::optional<T>& value) {
  return value ? json_size_hint(*value) : 4;
}

void append_json(std::string& out, const std::string& text) {
  append_json_string(out, text);
}
void append_json(std::string& out, const Ipv4Addr& addr) {
  out.push_back('"');
  addr.append_to(out);
  out.push_back('"');
}
void append_json(std::string& out, bool flag) {
  out += flag ? "true" : "false";
}
template <class A, class B>
void append_json(std::string& out, const std::pair<A, B>& pair) {
  out.push_back('[');
  append_json(out, pair.first);
  out.push_back(',');
  append_json(out, pair.second);
  out.push_back(']');
}
template <class T>
void append_json(std::string& out, const std::optional<T>& value) {
  if (value) {
    append_json(out, *value);
  } else {
    out += "null";
  }
}

// Compact JSON: `"Name"` for a message without payload, `{"Name":value}` for one with an unnamed
// value, `{"Name":{"a":x,"b":y}}` for one with named fields, in declaration order.
template <class M>
std::string encode_message(const M& message) {
  std::string out;
  if constexpr (kShape<M> == Shape::kUnit) {
    ((out = '"') += M::kName) += '"';
  } else {
    std::size_t size = M::kName.size() + 6;
    for_each_field(message, [&](const auto& field, const auto& value) {
      if constexpr (kShape<M> == Shape::kFields) size += field.name.size() + 4;
      size += json_size_hint(value);
    });
    out.reserve(size);
    ((out = "{\"") += M::kName) += "\":";
    if constexpr (kShape<M> == Shape::kValue) {
      append_json(out, field_value<0>(message));
    } else {
      char separator = '{';
      for_each_field(message, [&](const auto& field, const auto& value) {
        ((out += separator) += '"') += field.name;
        out += "\":";
        append_json(out, value);
        separator = ',';
      });
      out.push_back('}');
    }
    out.push_back('}');
  }
  return out;
}

// ---- The log rendering -----------------------------------------------------------------------

void append_log(std::string& out, const std::string& text) {
  append_log_quoted(out, text);
}
void append_log(std::string& out, const Ipv4Addr& addr) {
  addr.append_to(out);
}
void append_log(std::string& out, bool flag) {
  out += flag ? "true" : "false";
}

// `Name` for a message without payload, `Name(value)` for one with an unnamed value,
// `Name { a: x, b: y }` for one with named fields.
template <class M>
std::string render_message(const M& message) {
  std::string out(M::kName);
  if constexpr (kShape<M> == Shape::kValue) {
    out.push_back('(');
    append_log(out, field_value<0>(message));
    out.push_back(')');
  } else if constexpr (kShape<M> == Shape::kFields) {
    const char* separator = " { ";
    for_each_field(message, [&](const auto& field, const auto& value) {
      ((out += separator) += field.name) += ": ";
      append_log(out, value);
      separator = ", ";
    });
    out += " }";
  }
  return out;
}

}  // namespace

std::string encode_response(const Response& response) {
  return std::visit([](const auto& message) { return encode_message(message); }, response);
}

std::string encode_request(const Request& request) {
  return std::visit([](const auto& message) { return encode_message(message); }, request);
}

std::string render_for_log(const Request& request) {
  return std::visit([](const auto& message) { return render_message(message); }, request);
}

std::string_view variant_name(const Request& request) {
  return kVariantNames<Request>[request.index()];
}

}  // namespace helper_ipc
