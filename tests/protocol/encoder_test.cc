// Reply bodies, the log rendering of requests, and the dotted form of addresses (which texts are
// addresses, for the decoder and the C interface alike).
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/codec.h"

namespace helper_ipc {
namespace {

Ipv4Addr addr(const char* dotted) {
  return *Ipv4Addr::parse(dotted);
}

TEST(EncodeResponse, WritesTheCompactBodyOfEveryVariant) {
  const std::vector<std::pair<Response, std::string>> cases = {
      {Pong{}, R"("Pong")"},
      {Forwarding{true}, R"({"Forwarding":true})"},
      {Forwarding{false}, R"({"Forwarding":false})"},
      {Ok{}, R"("Ok")"},
      {PfToken{"12345"}, R"({"PfToken":"12345"})"},
      {PfToken{std::nullopt}, R"({"PfToken":null})"},
      {PfToken{""}, R"({"PfToken":""})"},
      {Ifconfig{{{addr("192.168.2.1"), addr("255.255.255.0")}}},
       R"({"Ifconfig":["192.168.2.1","255.255.255.0"]})"},
      {Ifconfig{std::nullopt}, R"({"Ifconfig":null})"},
      {IcmpResult{true}, R"({"IcmpResult":true})"},
      {IcmpResult{false}, R"({"IcmpResult":false})"},
      {FdFollows{}, R"("FdFollows")"},
      {Err{"a\"b"}, R"({"Err":"a\"b"})"},
      // Short escapes, \u00xx for the other control characters, everything else raw.
      {Err{std::string("\\ \b\t\n\f\r \x01\x1b\x1f\x7f / \u00e9\u2028") + '\0'},
       std::string(R"({"Err":"\\ \b\t\n\f\r \u0001\u001b\u001f)") + "\x7f / \u00e9\u2028" +
           R"(\u0000"})"},
  };
  for (const auto& [response, body] : cases)
    EXPECT_EQ(encode_response(response), body);
}

TEST(RenderForLog, KeepsEveryRequestOnOneLine) {
  const std::vector<std::pair<Request, std::string>> cases = {
      {Ping{}, "Ping"},
      {BindDhcp67{}, "BindDhcp67"},
      {SetForwarding{true}, "SetForwarding(true)"},
      {SetForwarding{false}, "SetForwarding(false)"},
      {PfLoadAnchor{"com.x", "pass in\nblock out\n"},
       R"(PfLoadAnchor { anchor: "com.x", rules: "pass in\nblock out\n" })"},
      {PfFlushAnchor{""}, R"(PfFlushAnchor { anchor: "" })"},
      {PfRelease{"7"}, R"(PfRelease { token: "7" })"},
      {IfconfigRead{"en0"}, R"(IfconfigRead { iface: "en0" })"},
      {IfconfigSet{"en0", addr("192.168.2.1"), addr("255.255.255.0")},
       R"(IfconfigSet { iface: "en0", addr: 192.168.2.1, mask: 255.255.255.0 })"},
      {IfconfigDelete{"en5", addr("10.0.0.1")},
       R"(IfconfigDelete { iface: "en5", addr: 10.0.0.1 })"},
      {IcmpEcho{addr("127.0.0.1")}, "IcmpEcho { ip: 127.0.0.1 }"},
      // Quotes, backslashes, the short escapes, then \u{..} for the characters that are not
      // printable or extend a grapheme; the apostrophe and printable non-ASCII stay.
      {PfRelease{std::string("\"\\\t\r\n", 5) + '\0' + "'\u00e9\u4e2d"},
       R"(PfRelease { token: "\"\\\t\r\n\0'é中" })"},
      {PfRelease{"\x01\x1b\x7f\u0085\u00a0\u00ad\u0301\u200b\u2028\u2029\u3000\ue000\U000E0001"},
       R"(PfRelease { token: "\u{1}\u{1b}\u{7f}\u{85}\u{a0}\u{ad}\u{301}\u{200b}\u{2028}\u{2029}\u{3000}\u{e000}\u{e0001}" })"},
      // Unassigned code points (Cn) are escaped too; U+0020 is not.
      {PfRelease{"a b\u0378\U0010FFFF"}, R"(PfRelease { token: "a b\u{378}\u{10ffff}" })"},
      // The classes follow Unicode 17.0: characters that it and 16.0 assigned are printed, and
      // U+0CC0, a vowel sign that 16.0 made grapheme-extending, is escaped.
      {PfRelease{"\uA7CB\U00010D40\U00018CFF"},
       "PfRelease { token: \"\uA7CB\U00010D40\U00018CFF\" }"},
      {PfRelease{"\u0C5C\u0CDC\uA7D2\U0001FAEF"},
       "PfRelease { token: \"\u0C5C\u0CDC\uA7D2\U0001FAEF\" }"},
      {PfRelease{"\u0C95\u0CC0"}, "PfRelease { token: \"\u0C95\\u{cc0}\" }"},
  };
  for (const auto& [request, line] : cases)
    EXPECT_EQ(render_for_log(request), line);
}

TEST(Ipv4Addr, ParsesStrictlyAndRendersDotted) {
  for (const char* good : {"0.0.0.0", "1.2.3.4", "10.0.0.1", "192.168.64.255", "255.255.255.255"}) {
    auto a = Ipv4Addr::parse(good);
    ASSERT_TRUE(a.has_value()) << good;
    EXPECT_EQ(a->to_string(), good);
  }
  EXPECT_EQ(Ipv4Addr::parse("192.168.2.1")->to_u32(), 0xC0A80201u);
  EXPECT_EQ(Ipv4Addr::from_u32(0xFFFFFF00u).to_string(), "255.255.255.0");
  for (const char* bad :
       {"", "1", "1.2.3", "1.2.3.4.", ".1.2.3", "1..3.4", "1.2.3.256", "256.0.0.1", "01.2.3.4",
        "1.2.3.04", "1.2.3.000", "1.2.3.4 ", " 1.2.3.4", "1.2.3.-4", "+1.2.3.4", "1.2.3.1234",
        "a.b.c.d", "1.2.3.4\n", "001.002.003.0004"}) {
    EXPECT_FALSE(Ipv4Addr::parse(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace helper_ipc
