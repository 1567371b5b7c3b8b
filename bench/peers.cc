#include "peers.h"

#include <rapidjson/document.h>
#include <simdjson.h>

#include <nlohmann/json.hpp>
#include <string>

namespace pelmor_bench {

using helper_ipc::IfconfigSet;
using helper_ipc::Ipv4Addr;
using helper_ipc::PfLoadAnchor;

// ---- nlohmann/json ---------------------------------------------------------------------------

namespace {

// The value of the single member `{"name": value}`, or nullptr.
nlohmann::json* nlohmann_variant(nlohmann::json& doc, std::string_view name) {
  if (!doc.is_object() || doc.size() != 1) return nullptr;
  auto it = doc.begin();
  if (it.key() != name) return nullptr;
  return &it.value();
}

std::string* nlohmann_text(nlohmann::json& fields, const char* key) {
  auto it = fields.find(key);
  if (it == fields.end() || !it->is_string()) return nullptr;
  return &it->get_ref<std::string&>();
}

}  // namespace

std::optional<PfLoadAnchor> nlohmann_pf_load_anchor(std::string_view body) {
  auto doc = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  nlohmann::json* fields = nlohmann_variant(doc, "PfLoadAnchor");
  if (fields == nullptr || !fields->is_object()) return std::nullopt;
  std::string* anchor = nlohmann_text(*fields, "anchor");
  std::string* rules = nlohmann_text(*fields, "rules");
  if (anchor == nullptr || rules == nullptr) return std::nullopt;
  return PfLoadAnchor{std::move(*anchor), std::move(*rules)};
}

std::optional<IfconfigSet> nlohmann_ifconfig_set(std::string_view body) {
  auto doc = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
  nlohmann::json* fields = nlohmann_variant(doc, "IfconfigSet");
  if (fields == nullptr || !fields->is_object()) return std::nullopt;
  std::string* iface = nlohmann_text(*fields, "iface");
  std::string* addr_text = nlohmann_text(*fields, "addr");
  std::string* mask_text = nlohmann_text(*fields, "mask");
  if (iface == nullptr || addr_text == nullptr || mask_text == nullptr) return std::nullopt;
  const auto addr = Ipv4Addr::parse(*addr_text);
  const auto mask = Ipv4Addr::parse(*mask_text);
  if (!addr || !mask) return std::nullopt;
  return IfconfigSet{std::move(*iface), *addr, *mask};
}

// ---- RapidJSON -------------------------------------------------------------------------------

namespace {

bool rapidjson_parse(rapidjson::Document& doc, std::string_view body, bool validate) {
  if (validate) {
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(body.data(), body.size());
  } else {
    doc.Parse(body.data(), body.size());
  }
  return !doc.HasParseError();
}

const rapidjson::Value* rapidjson_variant(const rapidjson::Document& doc, std::string_view name) {
  if (!doc.IsObject() || doc.MemberCount() != 1) return nullptr;
  const auto& member = *doc.MemberBegin();
  if (std::string_view(member.name.GetString(), member.name.GetStringLength()) != name) {
    return nullptr;
  }
  return member.value.IsObject() ? &member.value : nullptr;
}

std::optional<std::string_view> rapidjson_text(const rapidjson::Value& fields, const char* key) {
  auto it = fields.FindMember(key);
  if (it == fields.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string_view(it->value.GetString(), it->value.GetStringLength());
}

}  // namespace

std::optional<PfLoadAnchor> rapidjson_pf_load_anchor(std::string_view body, bool validate) {
  rapidjson::Document doc;
  if (!rapidjson_parse(doc, body, validate)) return std::nullopt;
  const rapidjson::Value* fields = rapidjson_variant(doc, "PfLoadAnchor");
  if (fields == nullptr) return std::nullopt;
  const auto anchor = rapidjson_text(*fields, "anchor");
  const auto rules = rapidjson_text(*fields, "rules");
  if (!anchor || !rules) return std::nullopt;
  return PfLoadAnchor{std::string(*anchor), std::string(*rules)};
}

std::optional<IfconfigSet> rapidjson_ifconfig_set(std::string_view body, bool validate) {
  rapidjson::Document doc;
  if (!rapidjson_parse(doc, body, validate)) return std::nullopt;
  const rapidjson::Value* fields = rapidjson_variant(doc, "IfconfigSet");
  if (fields == nullptr) return std::nullopt;
  const auto iface = rapidjson_text(*fields, "iface");
  const auto addr_text = rapidjson_text(*fields, "addr");
  const auto mask_text = rapidjson_text(*fields, "mask");
  if (!iface || !addr_text || !mask_text) return std::nullopt;
  const auto addr = Ipv4Addr::parse(*addr_text);
  const auto mask = Ipv4Addr::parse(*mask_text);
  if (!addr || !mask) return std::nullopt;
  return IfconfigSet{std::string(*iface), *addr, *mask};
}

// ---- simdjson DOM ----------------------------------------------------------------------------

struct SimdjsonDom::Parser {
  simdjson::dom::parser parser;
};

SimdjsonDom::SimdjsonDom() : parser_(std::make_unique<Parser>()) {}
SimdjsonDom::~SimdjsonDom() = default;

namespace {

// The value of the single member `{"name": {...}}`.
std::optional<simdjson::dom::object> dom_variant(simdjson::dom::parser& parser,
                                                 std::string_view padded_body,
                                                 std::string_view name) {
  simdjson::dom::element doc;
  // Parses in place: the caller's buffer is padded already.
  if (parser.parse(padded_body.data(), padded_body.size(), false).get(doc)) return std::nullopt;
  simdjson::dom::object root;
  if (doc.get_object().get(root) || root.size() != 1) return std::nullopt;
  const auto member = *root.begin();
  simdjson::dom::object fields;
  if (member.key != name || member.value.get_object().get(fields)) return std::nullopt;
  return fields;
}

std::optional<std::string_view> dom_text(simdjson::dom::object& fields, std::string_view key) {
  std::string_view text;
  if (fields.at_key(key).get_string().get(text)) return std::nullopt;
  return text;
}

}  // namespace

std::optional<PfLoadAnchor> SimdjsonDom::pf_load_anchor(std::string_view padded_body) {
  auto fields = dom_variant(parser_->parser, padded_body, "PfLoadAnchor");
  if (!fields) return std::nullopt;
  const auto anchor = dom_text(*fields, "anchor");
  const auto rules = dom_text(*fields, "rules");
  if (!anchor || !rules) return std::nullopt;
  return PfLoadAnchor{std::string(*anchor), std::string(*rules)};
}

std::optional<IfconfigSet> SimdjsonDom::ifconfig_set(std::string_view padded_body) {
  auto fields = dom_variant(parser_->parser, padded_body, "IfconfigSet");
  if (!fields) return std::nullopt;
  const auto iface = dom_text(*fields, "iface");
  const auto addr_text = dom_text(*fields, "addr");
  const auto mask_text = dom_text(*fields, "mask");
  if (!iface || !addr_text || !mask_text) return std::nullopt;
  const auto addr = Ipv4Addr::parse(*addr_text);
  const auto mask = Ipv4Addr::parse(*mask_text);
  if (!addr || !mask) return std::nullopt;
  return IfconfigSet{std::string(*iface), *addr, *mask};
}

std::size_t simdjson_padding() {
  return simdjson::SIMDJSON_PADDING;
}

}  // namespace pelmor_bench
