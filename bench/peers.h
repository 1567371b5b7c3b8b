// The same request decoding done with general JSON libraries: parse the body, check that it holds
// one member naming the request, and take its fields out as our message types: the texts
// unescaped into std::string, the addresses parsed. Each returns nothing when the body is not
// such a request. These are the peers of helper_ipc::decode_request in the benchmarks.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "helper_ipc/messages.h"

namespace pelmor_bench {

// ---- nlohmann/json: its DOM; the strings are moved out of it.
std::optional<helper_ipc::PfLoadAnchor> nlohmann_pf_load_anchor(std::string_view body);
std::optional<helper_ipc::IfconfigSet> nlohmann_ifconfig_set(std::string_view body);

// ---- RapidJSON: a Document per body, default parse flags (no UTF-8 validation), or with
// kParseValidateEncodingFlag (`validate`), which checks UTF-8 as the others do.
std::optional<helper_ipc::PfLoadAnchor> rapidjson_pf_load_anchor(std::string_view body,
                                                                 bool validate);
std::optional<helper_ipc::IfconfigSet> rapidjson_ifconfig_set(std::string_view body, bool validate);

// ---- simdjson. Both APIs need input padded with SIMDJSON_PADDING readable bytes after its end,
// which a reader of frames could allocate along with the body: `body` must be such a buffer.
// Each keeps one parser for all bodies, as simdjson recommends.

// The DOM API, which picks the best kernel for the CPU at run time.
class SimdjsonDom {
 public:
  SimdjsonDom();
  ~SimdjsonDom();
  std::optional<helper_ipc::PfLoadAnchor> pf_load_anchor(std::string_view padded_body);
  std::optional<helper_ipc::IfconfigSet> ifconfig_set(std::string_view padded_body);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

// The On-Demand API, whose kernel is chosen when it is compiled; its source is compiled for the
// CPU that builds it (-march=native), so that it uses the best kernel there.
class SimdjsonOnDemand {
 public:
  SimdjsonOnDemand();
  ~SimdjsonOnDemand();
  std::optional<helper_ipc::PfLoadAnchor> pf_load_anchor(std::string_view padded_body);
  std::optional<helper_ipc::IfconfigSet> ifconfig_set(std::string_view padded_body);
  // The name of the kernel it was compiled with ("icelake", "haswell", "fallback", ...).
  static const char* kernel();

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

// The padding that simdjson needs after a body.
std::size_t simdjson_padding();

}  // namespace pelmor_bench
