// simdjson's On-Demand API, in a source file of its own: it is compiled for the building CPU.
#include <simdjson.h>

#include <string>

#include "peers.h"

namespace pelmor_bench {

namespace ondemand = simdjson::ondemand;
using helper_ipc::IfconfigSet;
using helper_ipc::Ipv4Addr;
using helper_ipc::PfLoadAnchor;

struct SimdjsonOnDemand::Parser {
  ondemand::parser parser;
};

SimdjsonOnDemand::SimdjsonOnDemand() : parser_(std::make_unique<Parser>()) {}
SimdjsonOnDemand::~SimdjsonOnDemand() = default;

const char* SimdjsonOnDemand::kernel() {
#define PELMOR_BENCH_STR2(x) #x
#define PELMOR_BENCH_STR(x) PELMOR_BENCH_STR2(x)
  return PELMOR_BENCH_STR(SIMDJSON_BUILTIN_IMPLEMENTATION);
}

namespace {

// Reads `{"name": {fields}}` from the padded body, handing each field's key and value to
// `take(key, value)`, which returns false to reject the body. Nothing may follow the object.
template <class Take>
bool read_request(ondemand::parser& parser, std::string_view padded_body, std::string_view name,
                  Take&& take) {
  ondemand::document doc;
  if (parser
          .iterate(padded_body.data(), padded_body.size(),
                   padded_body.size() + simdjson::SIMDJSON_PADDING)
          .get(doc)) {
    return false;
  }
  ondemand::object root;
  if (doc.get_object().get(root)) return false;
  int members = 0;
  for (auto member : root) {
    std::string_view key;
    if (++members > 1 || member.unescaped_key().get(key) || key != name) return false;
    ondemand::object fields;
    if (member.value().get_object().get(fields)) return false;
    for (auto field : fields) {
      std::string_view field_key;
      if (field.unescaped_key().get(field_key)) return false;
      ondemand::value value;
      if (field.value().get(value) || !take(field_key, value)) return false;
    }
  }
  // The object was the whole document.
  return members == 1 && doc.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

bool take_text(ondemand::value& value, std::string& out) {
  std::string_view text;
  if (value.get_string().get(text)) return false;
  out.assign(text);
  return true;
}

bool take_address(ondemand::value& value, Ipv4Addr& out) {
  std::string_view text;
  if (value.get_string().get(text)) return false;
  const auto addr = Ipv4Addr::parse(text);
  if (!addr) return false;
  out = *addr;
  return true;
}

}  // namespace

std::optional<PfLoadAnchor> SimdjsonOnDemand::pf_load_anchor(std::string_view padded_body) {
  PfLoadAnchor out;
  bool anchor = false, rules = false;
  const bool ok = read_request(parser_->parser, padded_body, "PfLoadAnchor",
                               [&](std::string_view key, ondemand::value& value) {
                                 if (key == "anchor") return anchor = take_text(value, out.anchor);
                                 if (key == "rules") return rules = take_text(value, out.rules);
                                 return true;  // other keys are skipped
                               });
  if (!ok || !anchor || !rules) return std::nullopt;
  return out;
}

std::optional<IfconfigSet> SimdjsonOnDemand::ifconfig_set(std::string_view padded_body) {
  IfconfigSet out;
  bool iface = false, addr = false, mask = false;
  const bool ok = read_request(parser_->parser, padded_body, "IfconfigSet",
                               [&](std::string_view key, ondemand::value& value) {
                                 if (key == "iface") return iface = take_text(value, out.iface);
                                 if (key == "addr") return addr = take_address(value, out.addr);
                                 if (key == "mask") return mask = take_address(value, out.mask);
                                 return true;
                               });
  if (!ok || !iface || !addr || !mask) return std::nullopt;
  return out;
}

}  // namespace pelmor_bench
