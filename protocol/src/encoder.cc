// Encoding of Response bodies, and the log rendering of requests.
#include <variant>

#include "helper_ipc/codec.h"
#include "text_escape.h"

namespace helper_ipc {

namespace {

using detail::append_json_string;
using detail::append_log_quoted;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;  // compilers without aggregate deduction need the guide

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

std::string encode_request(const Request& request) {
  const std::string_view name = variant_name(request);
  std::string out;
  // Named fields form `{"Name":{"a":x,"b":y}}`.
  bool has_fields = false;
  auto field = [&](const char* key) -> std::string& {
    if (has_fields) {
      out += ',';
    } else {
      ((out = "{\"") += name) += "\":{";
      has_fields = true;
    }
    ((out += '"') += key) += "\":";
    return out;
  };
  std::visit(Overloaded{
                 [&](const SetForwarding& r) {
                   ((out = "{\"") += name) += "\":";
                   out += json_bool(r.value);
                 },
                 [&](const PfLoadAnchor& r) {
                   out.reserve(r.anchor.size() + r.rules.size() + 48);
                   append_json_string(field("anchor"), r.anchor);
                   append_json_string(field("rules"), r.rules);
                 },
                 [&](const PfFlushAnchor& r) { append_json_string(field("anchor"), r.anchor); },
                 [&](const PfRelease& r) { append_json_string(field("token"), r.token); },
                 [&](const IfconfigRead& r) { append_json_string(field("iface"), r.iface); },
                 [&](const IfconfigSet& r) {
                   append_json_string(field("iface"), r.iface);
                   append_json_address(field("addr"), r.addr);
                   append_json_address(field("mask"), r.mask);
                 },
                 [&](const IfconfigDelete& r) {
                   append_json_string(field("iface"), r.iface);
                   append_json_address(field("addr"), r.addr);
                 },
                 [&](const IcmpEcho& r) { append_json_address(field("ip"), r.ip); },
                 [&](const auto&) { ((out = "\"") += name) += '"'; },  // no payload
             },
             request);
  if (has_fields) {
    out += "}}";
  } else if (out.front() == '{') {
    out += '}';  // SetForwarding
  }
  return out;
}

std::string render_for_log(const Request& request) {
  std::string out(variant_name(request));
  // Named fields render as `Name { a: x, b: y }`.
  bool has_fields = false;
  auto field = [&](const char* name) -> std::string& {
    out += has_fields ? ", " : " { ";
    has_fields = true;
    out += name;
    out += ": ";
    return out;
  };
  std::visit(Overloaded{
                 [&](const SetForwarding& r) {
                   out += '(';
                   out += json_bool(r.value);
                   out += ')';
                 },
                 [&](const PfLoadAnchor& r) {
                   append_log_quoted(field("anchor"), r.anchor);
                   append_log_quoted(field("rules"), r.rules);
                 },
                 [&](const PfFlushAnchor& r) { append_log_quoted(field("anchor"), r.anchor); },
                 [&](const PfRelease& r) { append_log_quoted(field("token"), r.token); },
                 [&](const IfconfigRead& r) { append_log_quoted(field("iface"), r.iface); },
                 [&](const IfconfigSet& r) {
                   append_log_quoted(field("iface"), r.iface);
                   r.addr.append_to(field("addr"));
                   r.mask.append_to(field("mask"));
                 },
                 [&](const IfconfigDelete& r) {
                   append_log_quoted(field("iface"), r.iface);
                   r.addr.append_to(field("addr"));
                 },
                 [&](const IcmpEcho& r) { r.ip.append_to(field("ip")); },
                 [](const auto&) {},  // no payload: the name alone
             },
             request);
  if (has_fields) out += " }";
  return out;
}

}  // namespace helper_ipc
