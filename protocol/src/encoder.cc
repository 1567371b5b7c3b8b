// Encoding of Response bodies, and the log rendering of requests.
#include <variant>

#include "helper_ipc/codec.h"
#include "text_escape.h"

namespace helper_ipc {

namespace {

using detail::append_json_string;
using detail::append_log_quoted;

void append_json_address(std::string& out, const Ipv4Addr& addr) {
  out.push_back('"');
  addr.append_to(out);
  out.push_back('"');
}

const char* json_bool(bool b) {
  return b ? "true" : "false";
}

}  // namespace

std::string encode_response(const Response& response) {
  std::string out;
  std::visit(Overloaded{
                 [&](const Pong&) { out = "\"Pong\""; },
                 [&](const Forwarding& r) { (out = "{\"Forwarding\":") += json_bool(r.value); },
                 [&](const Ok&) { out = "\"Ok\""; },
                 [&](const PfToken& r) {
                   out = "{\"PfToken\":";
                   if (r.token) {
                     out.reserve(out.size() + r.token->size() + 3);
                     append_json_string(out, *r.token);
                   } else {
                     out += "null";
                   }
                 },
                 [&](const Ifconfig& r) {
                   out = "{\"Ifconfig\":";
                   if (r.value) {
                     out.push_back('[');
                     append_json_address(out, r.value->first);
                     out.push_back(',');
                     append_json_address(out, r.value->second);
                     out.push_back(']');
                   } else {
                     out += "null";
                   }
                 },
                 [&](const IcmpResult& r) { (out = "{\"IcmpResult\":") += json_bool(r.value); },
                 [&](const FdFollows&) { out = "\"FdFollows\""; },
                 [&](const Err& r) {
                   out.reserve(r.text.size() + 10);
                   out = "{\"Err\":";
                   append_json_string(out, r.text);
                 },
             },
             response);
  if (out.front() == '{') out.push_back('}');
  return out;
}

namespace {

// Calls `text(key, value)` or `address(key, value)` for each named field of `request`, in
// declaration order; nothing for a request without named fields. The one list of the requests'
// fields, for the JSON form and the log rendering alike.
template <class Text, class Address>
void for_each_field(const Request& request, Text&& text, Address&& address) {
  std::visit(Overloaded{
                 [&](const PfLoadAnchor& r) {
                   text("anchor", r.anchor);
                   text("rules", r.rules);
                 },
                 [&](const PfFlushAnchor& r) { text("anchor", r.anchor); },
                 [&](const PfRelease& r) { text("token", r.token); },
                 [&](const IfconfigRead& r) { text("iface", r.iface); },
                 [&](const IfconfigSet& r) {
                   text("iface", r.iface);
                   address("addr", r.addr);
                   address("mask", r.mask);
                 },
                 [&](const IfconfigDelete& r) {
                   text("iface", r.iface);
                   address("addr", r.addr);
                 },
                 [&](const IcmpEcho& r) { address("ip", r.ip); },
                 [](const auto&) {},
             },
             request);
}

}  // namespace

std::string encode_request(const Request& request) {
  const std::string_view name = variant_name(request);
  std::string out;
  if (const auto* r = std::get_if<SetForwarding>(&request)) {
    ((((out = "{\"") += name) += "\":") += json_bool(r->value)) += '}';
    return out;
  }
  // Named fields form `{"Name":{"a":x,"b":y}}`, a request without them `"Name"`.
  auto key = [&](const char* k) -> std::string& {
    if (out.empty()) {
      ((out = "{\"") += name) += "\":{";
    } else {
      out += ',';
    }
    ((out += '"') += k) += "\":";
    return out;
  };
  for_each_field(
      request, [&](const char* k, const std::string& v) { append_json_string(key(k), v); },
      [&](const char* k, const Ipv4Addr& v) { append_json_address(key(k), v); });
  if (out.empty()) {
    ((out = '"') += name) += '"';
  } else {
    out += "}}";
  }
  return out;
}

std::string render_for_log(const Request& request) {
  std::string out(variant_name(request));
  if (const auto* r = std::get_if<SetForwarding>(&request)) {
    ((out += '(') += json_bool(r->value)) += ')';
    return out;
  }
  // Named fields render as `Name { a: x, b: y }`.
  const std::size_t name_end = out.size();
  auto key = [&](const char* k) -> std::string& {
    ((out += out.size() == name_end ? " { " : ", ") += k) += ": ";
    return out;
  };
  for_each_field(
      request, [&](const char* k, const std::string& v) { append_log_quoted(key(k), v); },
      [&](const char* k, const Ipv4Addr& v) { v.append_to(key(k)); });
  if (out.size() != name_end) out += " }";
  return out;
}

}  // namespace helper_ipc
