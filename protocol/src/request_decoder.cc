// Decoding of Request bodies.
#include <array>
#include <string>

#include "helper_ipc/codec.h"
#include "json_reader.h"

namespace helper_ipc {

namespace {

using detail::JsonReader;

enum class Kind : std::uint8_t { Unit, Flag, Fields };
enum class FieldType : std::uint8_t { Text, Address };

struct Fields {
  std::string_view expected;      // the invalid-type text for anything but an object or array
  std::string_view element_text;  // the invalid-length text for too short an array
  int count;
  std::array<std::string_view, 3> names;
  std::array<FieldType, 3> types;
};

struct Variant {
  Kind kind;
  const Fields* fields;
};

using enum FieldType;
constexpr Fields kPfLoadAnchor{"struct variant Request::PfLoadAnchor",
                               "struct variant Request::PfLoadAnchor with 2 elements",
                               2,
                               {"anchor", "rules"},
                               {Text, Text}};
constexpr Fields kPfFlushAnchor{"struct variant Request::PfFlushAnchor",
                                "struct variant Request::PfFlushAnchor with 1 element",
                                1,
                                {"anchor"},
                                {Text}};
constexpr Fields kPfRelease{"struct variant Request::PfRelease",
                            "struct variant Request::PfRelease with 1 element",
                            1,
                            {"token"},
                            {Text}};
constexpr Fields kIfconfigRead{"struct variant Request::IfconfigRead",
                               "struct variant Request::IfconfigRead with 1 element",
                               1,
                               {"iface"},
                               {Text}};
constexpr Fields kIfconfigSet{"struct variant Request::IfconfigSet",
                              "struct variant Request::IfconfigSet with 3 elements",
                              3,
                              {"iface", "addr", "mask"},
                              {Text, Address, Address}};
constexpr Fields kIfconfigDelete{"struct variant Request::IfconfigDelete",
                                 "struct variant Request::IfconfigDelete with 2 elements",
                                 2,
                                 {"iface", "addr"},
                                 {Text, Address}};
constexpr Fields kIcmpEcho{"struct variant Request::IcmpEcho",
                           "struct variant Request::IcmpEcho with 1 element",
                           1,
                           {"ip"},
                           {Address}};

// In the declaration order of Request.
constexpr std::array<std::string_view, 12> kNames = {
    "Ping",      "GetForwarding", "SetForwarding", "PfLoadAnchor",   "PfFlushAnchor", "PfEnable",
    "PfRelease", "IfconfigRead",  "IfconfigSet",   "IfconfigDelete", "BindDhcp67",    "IcmpEcho"};
constexpr std::array<Variant, 12> kVariants = {{
    {Kind::Unit, nullptr},
    {Kind::Unit, nullptr},
    {Kind::Flag, nullptr},
    {Kind::Fields, &kPfLoadAnchor},
    {Kind::Fields, &kPfFlushAnchor},
    {Kind::Unit, nullptr},
    {Kind::Fields, &kPfRelease},
    {Kind::Fields, &kIfconfigRead},
    {Kind::Fields, &kIfconfigSet},
    {Kind::Fields, &kIfconfigDelete},
    {Kind::Unit, nullptr},
    {Kind::Fields, &kIcmpEcho},
}};
static_assert(std::variant_size_v<Request> == kNames.size());

class RequestDecoder {
 public:
  explicit RequestDecoder(std::string_view body) : r_(body) {}

  Result<Request, DecodeError> decode() {
    const int index = r_.read_enum(
        kNames, [this](int i) { return bare(i); }, [this](int i) { return read_value(i); });
    if (index < 0) return r_.take_error();
    return build(index);
  }

 private:
  // A variant named by a bare string: complete only when it has no payload.
  bool bare(int index) {
    switch (kVariants[index].kind) {
      case Kind::Unit:
        return true;
      case Kind::Flag:
        return r_.fail_without_position("invalid type: unit variant, expected newtype variant");
      case Kind::Fields:
        break;
    }
    return r_.fail_without_position("invalid type: unit variant, expected struct variant");
  }

  // The value of the single member `{"Name": value}`.
  bool read_value(int index) {
    const Variant& v = kVariants[index];
    switch (v.kind) {
      case Kind::Unit:
        return r_.read_unit();
      case Kind::Flag:
        return r_.read_flag(flag_);
      case Kind::Fields:
        break;
    }
    const int c = r_.peek();
    if (c == '{') return read_field_object(*v.fields);
    if (c == '[') {
      return r_.read_fixed_array(v.fields->count, v.fields->element_text,
                                 [&](int i) { return read_field(v.fields->types[i], i); });
    }
    return r_.fail_invalid_type(v.fields->expected);
  }

  bool read_field_object(const Fields& f) {
    r_.bump();
    bool given[3] = {};
    std::string key;
    for (bool first = true;; first = false) {
      int c = r_.peek();
      if (c == '}') {
        r_.bump();
        break;
      }
      if (!first) {
        if (c < 0) return r_.fail("EOF while parsing an object");
        if (c != ',') return r_.fail_at_next("expected `,` or `}`");
        r_.bump();
        c = r_.peek();
        if (c == '}') return r_.fail_at_next("trailing comma");
      }
      if (c < 0) return r_.fail("EOF while parsing an object");
      if (c != '"') return r_.fail_at_next("key must be a string");
      if (!r_.read_string(key)) return false;
      int field = -1;
      for (int i = 0; i < f.count; ++i) {
        if (f.names[i] == key) field = i;
      }
      if (field >= 0 && given[field]) {
        return r_.fail("duplicate field `" + std::string(f.names[field]) + "`");
      }
      const int colon = r_.peek();
      if (colon < 0) return r_.fail("EOF while parsing an object");
      if (colon != ':') return r_.fail_at_next("expected `:`");
      r_.bump();
      if (field < 0) {
        if (!r_.skip_value()) return false;  // a key that names no field
        continue;
      }
      if (!read_field(f.types[field], field)) return false;
      given[field] = true;
    }
    for (int i = 0; i < f.count; ++i) {
      if (!given[i]) return r_.fail("missing field `" + std::string(f.names[i]) + "`");
    }
    return true;
  }

  bool read_field(FieldType type, int i) {
    return type == Text ? r_.read_text(text_[i]) : r_.read_address(addr_[i]);
  }

  Request build(int index) {
    switch (index) {
      case 0:
        return Ping{};
      case 1:
        return GetForwarding{};
      case 2:
        return SetForwarding{flag_};
      case 3:
        return PfLoadAnchor{std::move(text_[0]), std::move(text_[1])};
      case 4:
        return PfFlushAnchor{std::move(text_[0])};
      case 5:
        return PfEnable{};
      case 6:
        return PfRelease{std::move(text_[0])};
      case 7:
        return IfconfigRead{std::move(text_[0])};
      case 8:
        return IfconfigSet{std::move(text_[0]), addr_[1], addr_[2]};
      case 9:
        return IfconfigDelete{std::move(text_[0]), addr_[1]};
      case 10:
        return BindDhcp67{};
      default:
        return IcmpEcho{addr_[0]};
    }
  }

  JsonReader r_;
  bool flag_ = false;
  std::string text_[3];
  Ipv4Addr addr_[3];
};

}  // namespace

Result<Request, DecodeError> decode_request(std::string_view body) {
  return RequestDecoder(body).decode();
}

std::string_view variant_name(const Request& request) {
  return kNames[request.index()];
}

}  // namespace helper_ipc
