// The decoder: what it accepts, and the exact text of every way it refuses a request or a reply.
#include <pthread.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/codec.h"

namespace helper_ipc {
namespace {

const Ipv4Addr kTen = *Ipv4Addr::parse("10.0.0.1");
const IfconfigSet kSet{"en0", kTen, *Ipv4Addr::parse("255.0.0.0")};

struct Accepted {
  std::string body;
  Request want;
};

// Every form of a message of each shape: a bare name, one value, named fields. The names of the
// messages and of their fields are their declarations' (the encoder and the C interface's requests
// show them).
TEST(DecodeRequest, AcceptsEveryFormOfEachShape) {
  const std::vector<Accepted> cases = {
      {R"("Ping")", Ping{}},
      {" \t\r\n\"Ping\" \n", Ping{}},
      {R"({"Ping":null})", Ping{}},
      {" { \"Ping\" :\tnull } ", Ping{}},
      {R"({"SetForwarding":true})", SetForwarding{true}},
      {R"({"SetForwarding":false})", SetForwarding{false}},
      {R"({"PfLoadAnchor":{"anchor":"a","rules":"b"}})", PfLoadAnchor{"a", "b"}},
      {R"({"PfLoadAnchor":{"rules":"b","anchor":"a"}})", PfLoadAnchor{"a", "b"}},
      {R"({"PfLoadAnchor":["a","b"]})", PfLoadAnchor{"a", "b"}},
      {R"({"PfLoadAnchor":[ "" , "" ]})", PfLoadAnchor{"", ""}},
      {R"({"PfRelease":{"token":"123"}})", PfRelease{"123"}},
      {R"({"IfconfigRead":{"iface":"en0"}})", IfconfigRead{"en0"}},
      // Keys that name no field are skipped, whatever their values hold.
      {R"({"IfconfigRead":{"a":{"b":[[],{},"}",-1.5e3,true,false,null]},"iface":"en0","z":0}})",
       IfconfigRead{"en0"}},
      {R"({"IfconfigSet":{"iface":"en0","addr":"10.0.0.1","mask":"255.0.0.0"}})", kSet},
      {R"({"IfconfigSet":["en0","10.0.0.1","255.0.0.0"]})", kSet},
      {R"({"IfconfigDelete":{"addr":"10.0.0.1","iface":"en5"}})", IfconfigDelete{"en5", kTen}},
      {R"({"IcmpEcho":{"ip":"0.0.0.0"}})", IcmpEcho{Ipv4Addr{}}},
      {R"({"IcmpEcho":["255.255.255.255"]})", IcmpEcho{Ipv4Addr::from_u32(0xFFFFFFFF)}},
      // Escapes are resolved in texts, in variant names and in field names alike.
      {R"({"PfRelease":{"token":"\"\\\/\b\f\n\r\t\u0041\u00e9\u20ac\ud83d\ude00\u0000"}})",
       PfRelease{std::string("\"\\/\b\f\n\r\tA\u00e9\u20ac\U0001F600") + '\0'}},
      {R"({"\u0050ing":null})", Ping{}},
      {R"({"IfconfigRead":{"if\u0061ce":"x"}})", IfconfigRead{"x"}},
      {"{\"PfRelease\":{\"token\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"}}",
       PfRelease{"\u00e9\u20ac\U0001F600"}},
      // A value that is thrown away is only read: its \\u escapes are not paired into characters
      // and its raw bytes are not checked as UTF-8, in its strings and in its keys alike.
      {R"({"PfRelease":{"junk":"\udc00\ud800x","token":"t"}})", PfRelease{"t"}},
      {"{\"PfRelease\":{\"junk\":\"\xff\",\"token\":\"t\"}}", PfRelease{"t"}},
      {"{\"PfRelease\":{\"token\":\"t\",\"junk\":[{\"\xc0\x80\\udfff\":\"\xed\xa0\x80\"}]}}",
       PfRelease{"t"}},
  };
  for (const Accepted& c : cases) {
    auto got = decode_request(c.body);
    ASSERT_TRUE(got.ok()) << c.body << " -> " << got.error().text;
    EXPECT_EQ(*got, c.want) << c.body;
  }
}

struct Refused {
  std::string body;
  std::string text;
};

void expect_refused(const std::vector<Refused>& cases) {
  for (const Refused& c : cases) {
    auto got = decode_request(c.body);
    ASSERT_FALSE(got.ok()) << c.body;
    EXPECT_EQ(got.error().text, c.text) << c.body;
  }
}

const std::string kControl = "control character (\\u0000-\\u001F) found while parsing a string";

// A failure's text with its position.
std::string at(const std::string& what, std::size_t column, int line = 1) {
  return what + " at line " + std::to_string(line) + " column " + std::to_string(column);
}
// The failure for a variant name that names no request, as the failure quotes it.
std::string unknown(const std::string& quoted, std::size_t column, int line = 1) {
  return at("unknown variant " + quoted +
                ", expected one of `Ping`, `GetForwarding`, `SetForwarding`, `PfLoadAnchor`, "
                "`PfFlushAnchor`, `PfEnable`, `PfRelease`, `IfconfigRead`, `IfconfigSet`, "
                "`IfconfigDelete`, `BindDhcp67`, `IcmpEcho`",
            column, line);
}

TEST(DecodeRequest, RefusesWhatTheMessagesDoNotAllow) {
  const std::string icmp_struct = "expected struct variant Request::IcmpEcho";
  expect_refused({
      {R"("ping")", unknown("`ping`", 6)},
      {R"({"Pong":null})", unknown("`Pong`", 7)},
      {"\n\n  \"ping\"", unknown("`ping`", 8, 3)},
      {R"("a\nb")", unknown("`a\\nb`", 6)},  // escaped, as it ends up in a log line
      // A bare name that needs a payload: no position.
      {R"("SetForwarding")", "invalid type: unit variant, expected newtype variant"},
      {R"( "IcmpEcho" )", "invalid type: unit variant, expected struct variant"},
      {R"({"Ping":{}})", at("invalid type: map, expected unit", 9)},
      {R"({"Ping":false})", at("invalid type: boolean `false`, expected unit", 13)},
      {R"({"SetForwarding":1})", at("invalid type: integer `1`, expected a boolean", 18)},
      {R"({"SetForwarding":"true"})", at(R"(invalid type: string "true", expected a boolean)", 23)},
      {R"({"SetForwarding":null})", at("invalid type: null, expected a boolean", 21)},
      {R"({"IcmpEcho":"x\n\u001b\u00a0é"})",
       at(R"(invalid type: string "x\n\u{1b}\u{a0}é", )" + icmp_struct, 31)},
      {R"({"PfLoadAnchor":7})",
       at("invalid type: integer `7`, expected struct variant Request::PfLoadAnchor", 17)},
      {R"({"IfconfigRead":{"iface":"en0","iface":"en1"}})", at("duplicate field `iface`", 38)},
      {R"({"IfconfigSet":{"iface":"en0","addr":"10.0.0.1"}})", at("missing field `mask`", 48)},
      {R"({"IfconfigSet":{}})", at("missing field `iface`", 17)},
      {R"({"IfconfigSet":["en0","10.0.0.1"]})",
       at("invalid length 2, expected struct variant Request::IfconfigSet with 3 elements", 33)},
      {R"({"PfRelease":[]})",
       at("invalid length 0, expected struct variant Request::PfRelease with 1 element", 15)},
      {R"({"PfLoadAnchor":["a","b","c"]})", at("trailing characters", 26)},
      {R"({"PfRelease":["t"}})", at("trailing characters", 18)},
      {R"({"PfLoadAnchor":["a","b",]})", at("trailing comma", 26)},
      {R"({"PfLoadAnchor":["a",]})", at("trailing comma", 22)},
      {R"({"PfRelease":{"token":"t",}})", at("trailing comma", 27)},
      {R"({"PfRelease":{"token":5}})", at("invalid type: integer `5`, expected a string", 23)},
      {R"({"PfRelease":{"token":["5"]}})", at("invalid type: sequence, expected a string", 23)},
      {R"({"IcmpEcho":{"ip":5}})", at("invalid type: integer `5`, expected IPv4 address", 19)},
      // Which texts are addresses is Ipv4Addr's (encoder_test.cc); this is where the decoder says
      // so.
      {R"({"IcmpEcho":{"ip":"1.2.3"}})", at("invalid IPv4 address syntax", 25)},
      {R"({"Ping":null,"Ping":null})", at("expected value", 13)},
      {R"("Ping" x)", at("trailing characters", 8)},
      {R"("Ping""Ping")", at("trailing characters", 7)},
  });
}

// The decoder's replies: the forms only replies have.
TEST(DecodeResponse, RefusesRepliesThatDoNotFit) {
  const std::string pair = "a tuple of size 2";
  const std::pair<std::string, std::string> rows[] = {
      {R"("Forwarding")", "invalid type: unit variant, expected newtype variant"},
      {R"({"Pong":1})", at("invalid type: integer `1`, expected unit", 9)},
      {R"({"PfToken":5})", at("invalid type: integer `5`, expected a string", 12)},
      {R"({"Ifconfig":"1.2.3.4"})", at(R"(invalid type: string "1.2.3.4", expected )" + pair, 21)},
      {R"({"Ifconfig":["1.2.3.4"]})", at("invalid length 1, expected " + pair, 23)},
      {R"({"Ifconfig":["1.2.3.4","1.2.3.4","1.2.3.4"]})", at("trailing characters", 34)},
      {R"({"Ifconfig":["1.2.3.4","255.0.0"]})", at("invalid IPv4 address syntax", 32)},
      {R"({"Err":null})", at("invalid type: null, expected a string", 11)},
      {R"({"Ok":null} x)", at("trailing characters", 13)},
  };
  for (const auto& [body, text] : rows) {
    auto got = decode_response(body);
    ASSERT_FALSE(got.ok()) << body;
    EXPECT_EQ(got.error().text, text) << body;
  }
}

// Failure texts quote at most 256 bytes of the peer's text (whole characters), so that they do not
// grow with the body: escaped, a byte can take six.
TEST(DecodeRequest, QuotesOnlyTheStartOfALongText) {
  const std::string a255(255, 'a');
  const std::string del(300, '\x7f');
  std::string escaped_del;
  for (int i = 0; i < 256; ++i)
    escaped_del += "\\u{7f}";
  expect_refused({
      {"\"" + a255 + "\u00e9\"", unknown("`" + a255 + "` (+2 more bytes)", 259)},
      {R"({"IcmpEcho":")" + del + "\"}",
       at("invalid type: string \"" + escaped_del +
              "\" (+44 more bytes), expected struct variant Request::IcmpEcho",
          314)},
  });
}

TEST(DecodeRequest, DescribesNumbersThatStandWhereTextBelongs) {
  auto with = [](const std::string& value) { return R"({"PfRelease":{"token":)" + value + "}}"; };
  auto found = [](const std::string& what, std::size_t end) {
    return "invalid type: " + what + ", expected a string at line 1 column " + std::to_string(end);
  };
  expect_refused({
      {with("-12"), found("integer `-12`", 25)},
      {with("18446744073709551615"), found("integer `18446744073709551615`", 42)},
      {with("-9223372036854775808"), found("integer `-9223372036854775808`", 42)},
      {with("18446744073709551616"), found("floating point `18446744073709552000.0`", 42)},
      {with("1.5"), found("floating point `1.5`", 25)},
      {with("1e2"), found("floating point `100.0`", 25)},
      {with("-0.0"), found("floating point `-0.0`", 26)},
      {with("-0"), found("floating point `-0.0`", 24)},
      {with("0"), found("integer `0`", 23)},
      {with("0.1e-6"), found("floating point `0.0000001`", 28)},
      {with("1e400"), "number out of range at line 1 column 27"},
      {with("-"), "invalid number at line 1 column 24"},
      {with("01"), "invalid number at line 1 column 24"},
      {with("1."), "invalid number at line 1 column 25"},
      {with("1e+"), "invalid number at line 1 column 26"},
      {with("tru"), "expected ident at line 1 column 26"},
      {with("x"), "expected value at line 1 column 23"},
  });
}

TEST(DecodeRequest, RefusesBrokenStrings) {
  auto token = [](const std::string& raw) { return R"({"PfRelease":{"token":")" + raw + "\"}}"; };
  expect_refused({
      {token(R"(a\x)"), "invalid escape at line 1 column 26"},
      {token(R"(\u12G4)"), "unexpected end of hex escape at line 1 column 28"},
      {token(R"(\uDC00)"), "invalid unicode code point at line 1 column 29"},
      {token(R"(\uD800x)"), "lone leading surrogate in hex escape at line 1 column 30"},
      {token(R"(\uD800\u0041)"), "lone leading surrogate in hex escape at line 1 column 35"},
      {token("a\tb"), at(kControl, 25)},
      {token("a\nb"), at(kControl, 0, 2)},
      // Invalid UTF-8: a stray continuation byte, an overlong form, an encoded surrogate, a
      // code point above U+10FFFF, a truncated sequence.
      {token("\x80"), "invalid unicode code point at line 1 column 24"},
      {token("ab\xc0\x80"), "invalid unicode code point at line 1 column 26"},
      {token("\xed\xa0\x80"), "invalid unicode code point at line 1 column 24"},
      {token("\xf4\x90\x80\x80"), "invalid unicode code point at line 1 column 24"},
      {token("\xe2\x82z"), "invalid unicode code point at line 1 column 24"},
      {R"({"PfRelease":{"token":"abc)", "EOF while parsing a string at line 1 column 26"},
      {"{\"PfRelease\":{\"token\":\"\xe2\x82", "EOF while parsing a string at line 1 column 25"},
      {R"({"PfRelease":{"token":"\u00)", "EOF while parsing a string at line 1 column 27"},
      // A kept text is checked as UTF-8 at its closing quote: a control character or a malformed
      // escape after an ill-formed byte is reported first.
      {token("\xc3\xa9\xff\nx"), at(kControl, 0, 2)},
      {token("\xff\\q"), "invalid escape at line 1 column 26"},
      {token("\xff\\u00"), "unexpected end of hex escape at line 1 column 29"},
      {token("\xff\\uD800x"), "lone leading surrogate in hex escape at line 1 column 31"},
      {token(std::string("a\xff") + "b\xfe\\n"), at("invalid unicode code point", 25)},
      // Keys and variant names are kept texts too.
      {"{\"PfRelease\":{\"tok\xff"
       "en\":\"t\"}}",
       "invalid unicode code point at line 1 column 19"},
      {R"({"PfRelease":{"\ud800":"t"}})", at("lone leading surrogate in hex escape", 22)},
      {"{\"Ping\xff\":null}", "invalid unicode code point at line 1 column 7"},
      // In a value that is thrown away, escapes keep their form and control characters still fail.
      {R"({"PfRelease":{"junk":"\ud80"}})", "unexpected end of hex escape at line 1 column 28"},
      {R"({"PfRelease":{"junk":{"\x":1}}})", "invalid escape at line 1 column 25"},
      {"{\"PfRelease\":{\"junk\":[\"\xff\x01\"]}}", at(kControl, 25)},
  });
}

TEST(DecodeRequest, ReportsEachSyntaxFailure) {
  expect_refused({
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n ", "EOF while parsing a value at line 2 column 1"},
      {"[]", "expected value at line 1 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{}", "expected value at line 1 column 2"},
      {"{1:null}", "key must be a string at line 1 column 2"},
      {R"({"Ping" null})", "expected `:` at line 1 column 9"},
      {R"({"Ping":null)", "EOF while parsing an object at line 1 column 12"},
      {R"({"Ping":)", "EOF while parsing a value at line 1 column 8"},
      {R"({"PfRelease":{"token" "x"}})", "expected `:` at line 1 column 23"},
      {R"({"PfRelease":{"token":"x" "y"}})", "expected `,` or `}` at line 1 column 27"},
      {R"({"PfRelease":{"token":"x")", "EOF while parsing an object at line 1 column 25"},
      {R"({"PfRelease":{5:1}})", "key must be a string at line 1 column 15"},
      {R"({"PfLoadAnchor":["a" "b"]})", "expected `,` or `]` at line 1 column 22"},
      {R"({"PfLoadAnchor":["a")", "EOF while parsing a list at line 1 column 20"},
      // Failures inside a value that is skipped.
      {R"({"IfconfigRead":{"x":[1,2}})", "expected `,` or `]` at line 1 column 26"},
      {R"({"IfconfigRead":{"x":{"a" 1}}})", "expected `:` at line 1 column 27"},
      {R"({"IfconfigRead":{"x":{"a":1,}}})", "trailing comma at line 1 column 29"},
      {R"({"IfconfigRead":{"x":[1,]}})", "trailing comma at line 1 column 25"},
      {R"({"IfconfigRead":{"x":{1:2}}})", "key must be a string at line 1 column 23"},
      // Where the body ends: right after an opening bracket, after a comma where a key must
      // begin, inside a number.
      {R"({"IfconfigRead":{"x":[)", "EOF while parsing a list at line 1 column 22"},
      {R"({"IfconfigSet":[ )", "EOF while parsing a list at line 1 column 17"},
      {R"({"IfconfigSet":["en0",)", "EOF while parsing a value at line 1 column 22"},
      {R"({"PfRelease":{"token":"t",)", "EOF while parsing a value at line 1 column 26"},
      {R"({"IfconfigRead":{"x":{"a":1,)", "EOF while parsing a value at line 1 column 28"},
      {R"({"IfconfigRead":{"x":{)", "EOF while parsing an object at line 1 column 22"},
      {R"({"IfconfigRead":{"x":-)", "invalid number at line 1 column 22"},
      {R"({"IfconfigRead":{"x":1.)", "invalid number at line 1 column 23"},
      {R"({"IfconfigRead":{"x":1e)", "invalid number at line 1 column 23"},
      {R"({"IfconfigRead":{"x":1E-)", "invalid number at line 1 column 24"},
      {R"({"IfconfigRead":{"x":[1)", "EOF while parsing a list at line 1 column 23"},
      {R"({"IfconfigRead":{"x":{"a":1)", "EOF while parsing an object at line 1 column 27"},
      {R"({"IfconfigRead":{"x":+1}})", "expected value at line 1 column 22"},
  });
}

// Plain runs are scanned many bytes at a time: whatever ends a run must be seen at every offset
// within and after a block.
TEST(DecodeRequest, EndsPlainRunsAtEveryOffset) {
  for (std::size_t k = 0; k < 40; ++k) {
    const std::string plain(k, 'a');
    const std::string body = R"({"PfRelease":{"token":")" + plain + R"(\"\\)" + plain +
                             "\u00e9\xc3\xa9" + plain + R"("}})";
    auto got = decode_request(body);
    ASSERT_TRUE(got.ok()) << k << ": " << got.error().text;
    EXPECT_EQ(std::get<PfRelease>(*got).token, plain + "\"\\" + plain + "\u00e9\u00e9" + plain);
    const std::string start = R"({"PfRelease":{"token":")" + plain;
    expect_refused({
        {start + "\x01" + plain + "\"}}", at(kControl, 23 + k + 1)},
        {start + "\xff\"}}", at("invalid unicode code point", 23 + k + 1)},
        {start, at("EOF while parsing a string", 23 + k)},
    });
  }
}

// A long text passes through the decoder's buffer many times over: whatever it holds, and wherever
// the buffer's or a block's end falls, it comes out whole.
TEST(DecodeRequest, KeepsLongTextsWhole) {
  const std::vector<std::string> pieces = {
      "pass in quick on bridge100\n", "label \"x\"", "\u00e9", "\x01", "\\", "\U0001F600", "\t"};
  for (std::size_t size : {4095u, 4096u, 4097u, 8191u, 70000u}) {
    std::string rules;
    for (std::size_t i = 0; rules.size() < size; ++i) {
      rules += pieces[i % pieces.size()];
      rules += std::string(i % 37, 'r');
    }
    rules.resize(size);
    // A cut may leave a broken character at the end; drop it.
    while (!rules.empty() && (static_cast<unsigned char>(rules.back()) & 0x80) != 0)
      rules.pop_back();
    const PfLoadAnchor want{"a", rules};
    auto got = decode_request(encode_request(want));
    ASSERT_TRUE(got.ok()) << size << ": " << got.error().text;
    EXPECT_EQ(*got, Request{want}) << size;
  }
}

// A peer may send a field that names nothing, nested as deeply as 1 MiB allows. Connection
// threads have a 2 MiB stack; the decoder must not recurse on it. Each body's outcome replaces it.
void* decode_each(void* bodies) {
  for (std::string& body : *static_cast<std::vector<std::string>*>(bodies)) {
    auto got = decode_request(body);
    body = got.ok() ? render_for_log(*got) : got.error().text;
  }
  return nullptr;
}

TEST(DecodeRequest, SkipsDeepNestingOnASmallStack) {
  constexpr std::size_t kDepth = 500'000;
  const std::string head = R"({"IfconfigRead":{"x":)";
  const std::string tail = R"(,"iface":"en0"}})";
  std::string objects = head;
  for (std::size_t i = 0; i < kDepth / 4; ++i)
    objects += R"({"":)";
  std::vector<std::string> bodies = {
      head + std::string(kDepth, '[') + std::string(kDepth, ']') + tail,
      head + std::string(kDepth, '['),  // never closed
      objects + "0" + std::string(kDepth / 4, '}') + tail,
  };
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 2 * 1024 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, decode_each, &bodies), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(bodies, (std::vector<std::string>{R"(IfconfigRead { iface: "en0" })",
                                              at("EOF while parsing a list", 500021),
                                              R"(IfconfigRead { iface: "en0" })"}));
}

}  // namespace
}  // namespace helper_ipc
