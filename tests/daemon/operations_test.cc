// The replies of the operations, from tool outcomes made up here: no tool runs.
#include "operations.h"

#include <cerrno>
#include <string>

#include "gtest/gtest.h"

namespace pelmor {
namespace {

using helper_ipc::Err;
using helper_ipc::Forwarding;
using helper_ipc::Ifconfig;
using helper_ipc::IoError;
using helper_ipc::Ipv4Addr;
using helper_ipc::Ok;
using helper_ipc::PfToken;
using helper_ipc::Response;

ToolOutcome exited(std::string out, std::string err) {
  return SuccessfulExit{Captured{std::move(out), std::move(err)}};
}
ToolOutcome failed(std::string out, std::string err, int wait_status = 1 << 8) {
  return UnsuccessfulExit{Captured{std::move(out), std::move(err)}, wait_status};
}
const ToolOutcome kMissingTool = RunFailure{IoError::from_errno(ENOENT)};
const char* const kMissingText = "No such file or directory (os error 2)";

// An outcome of a tool's run, and the reply made of it.
struct Row {
  ToolOutcome outcome;
  Response reply;
};

// The tool's standard error, decoded lossily and trimmed (text_test.cc has how), is the text.
TEST(StandardReply, MapsEachOutcome) {
  const Row rows[] = {
      {kMissingTool, Err{kMissingText}},
      {RunFailure{IoError::invalid_input("nul byte found in provided data")},
       Err{"nul byte found in provided data"}},
      {failed("printed", "  cannot do that \n\n"), Err{"cannot do that"}},
      {failed("", "\xFF\xFE bad\n"), Err{"\xEF\xBF\xBD\xEF\xBF\xBD bad"}},
      {failed("only standard output", ""), Err{""}},
      {failed("", "", 9), Err{""}},  // ended by a signal
      {exited("", "warning: ignored\n"), Ok{}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(standard_reply(row.outcome), row.reply);
}

TEST(GetForwarding, IsOnExactlyForALoneOne) {
  const Row rows[] = {
      {exited("1\n", ""), Forwarding{true}},
      {exited("\u00A01\r\n", ""), Forwarding{true}},
      {exited("0\n", ""), Forwarding{false}},
      {exited("", ""), Forwarding{false}},
      {exited("", "1"), Forwarding{false}},
      {exited("01\n", ""), Forwarding{false}},
      {exited("2\n", ""), Forwarding{false}},
      {exited("1\n1\n", ""), Forwarding{false}},
      {exited("true\n", ""), Forwarding{false}},
      {failed("1\n", ""), Err{""}},
      {failed("", "unknown oid 'net.inet.ip.forwarding'\n"),
       Err{"unknown oid 'net.inet.ip.forwarding'"}},
      {kMissingTool, Err{kMissingText}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(reply_get_forwarding(row.outcome), row.reply);
}

TEST(PfEnable, TakesTheFirstNonEmptyTokenWhateverTheExit) {
  const Row rows[] = {
      {exited("", "pf enabled\nToken : 10383094628536762891\n"), PfToken{"10383094628536762891"}},
      {exited("", "Token:777"), PfToken{"777"}},
      {exited("", "Token :\nToken :   \nToken: \t\nToken : 9\n"), PfToken{"9"}},
      {exited("", "  \tToken : 42\r\n"), PfToken{"42"}},
      {exited("", "Token : 1\nToken : 2\n"), PfToken{"1"}},
      {exited("", "Token :  not a number  \n"), PfToken{"not a number"}},
      {exited("", "Token:\u00A05\u3000\n"), PfToken{"5"}},
      {failed("", "pf already enabled\nToken : 5\n"), PfToken{"5"}},
      // Not a token line: other letter case, text before the label, a label without colon.
      {exited("", "token : 1\nTOKEN: 2\nMy Token : 3\nToken 4\n"), PfToken{}},
      {exited("Token : 5\n", ""), PfToken{}},  // standard output is not searched
      {failed("", "token : 1\n"), Err{"token : 1"}},
      {failed("", ""), Err{""}},
      {kMissingTool, Err{kMissingText}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(reply_pf_enable(row.outcome), row.reply);
}

Ifconfig pair(const char* addr, const char* mask) {
  return Ifconfig{std::pair{*Ipv4Addr::parse(addr), *Ipv4Addr::parse(mask)}};
}

TEST(IfconfigRead, TheFirstInetLineDecides) {
  const std::string header =
      "en5: flags=8863<UP,BROADCAST,RUNNING> mtu 1500\n\tether 0:0:0:0:0:1\n";
  const struct {
    std::string out;
    Ifconfig reply;
  } rows[] = {
      {header + "\tinet 192.168.64.1 netmask 0xffffff00 broadcast 192.168.64.255\n",
       pair("192.168.64.1", "255.255.255.0")},
      {"\tinet6 fe80::1%en5 prefixlen 64\n\tinet 10.0.0.1 netmask 0xff000000\n",
       pair("10.0.0.1", "255.0.0.0")},
      {"inet 10.0.0.1 --> 10.0.0.2 netmask 0xffffffff", pair("10.0.0.1", "255.255.255.255")},
      {"inet 10.0.0.1 netmask 0xff000000\ninet 10.0.0.2 netmask 0xffff0000\n",
       pair("10.0.0.1", "255.0.0.0")},
      {"inet 10.0.0.1 broadcast 10.0.0.255\ninet 10.0.0.2 netmask 0xff000000\n", {}},
      {"inet\t10.0.0.1 netmask 0xff000000\ninet 10.0.0.2 netmask 0xffff0000\n",
       pair("10.0.0.2", "255.255.0.0")},
      {"\xFF\xFE\n\xC2\xA0inet 10.0.0.1\xE3\x80\x80netmask 0xff000000\r\n",
       pair("10.0.0.1", "255.0.0.0")},
      {"inet 010.0.0.1 netmask 0xff000000", {}},
      {"inet 10.0.0.1 netmask", {}},
      {"inet 10.0.0.1 subnetmask 0xff000000", pair("10.0.0.1", "255.0.0.0")},
      {"inet 10.0.0.1 netmask ffnetmask", pair("10.0.0.1", "0.0.0.255")},
      {"inet 10.0.0.1 netmask 0xffffff00 netmask 0xff000000", pair("10.0.0.1", "255.255.255.0")},
      {"\tinet6 ::1 prefixlen 128\n\tstatus: active\n", {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(reply_ifconfig_read(exited(row.out, "")), Response{row.reply}) << row.out;
  }
  // Only a successful run is read.
  const std::string good = "inet 10.0.0.1 netmask 0xff000000\n";
  EXPECT_EQ(reply_ifconfig_read(failed(good, "")), Response{Ifconfig{}});
  EXPECT_EQ(reply_ifconfig_read(kMissingTool), Response{Ifconfig{}});
}

TEST(IfconfigRead, ReadsTheNetmaskAsThirtyTwoBitHexadecimal) {
  const std::pair<const char*, const char*> rows[] = {
      {"0xffffff00", "255.255.255.0"},
      {"ffffff00", "255.255.255.0"},
      {"0x0xffffff00", "255.255.255.0"},
      {"0x0000000000ffffffff", "255.255.255.255"},
      {"0xFFFF0000", "255.255.0.0"},
      {"0x0", "0.0.0.0"},
      {"+ff", "0.0.0.255"},
      {"0x+ff", "0.0.0.255"},
      {"0Xffffff00", "none"},
      {"0x1ffffff00", "none"},
      {"255.255.255.0", "none"},
      {"+0xff", "none"},
      {"-ff", "none"},
      {"0x", "none"},
      {"0xfg", "none"},
  };
  for (const auto& [word, mask] : rows) {
    const auto parsed =
        parse_first_inet_line(std::string("inet 10.0.0.1 netmask ") + word + " broadcast x");
    EXPECT_EQ(parsed ? parsed->second.to_string() : "none", mask) << word;
  }
}

// A NUL in a name starts no tool; the interface names exist nowhere, should one start anyway.
TEST(Operations, RefuseNulBytesInNames) {
  const Response refused = Err{"nul byte found in provided data"};
  const std::string anchor("pelmor\0x", 8);
  const std::string iface("pelmor-none\0x", 13);
  const Ipv4Addr addr = *Ipv4Addr::parse("10.0.0.1");
  EXPECT_EQ(pf_load_anchor({anchor, "pass all\n"}), refused);
  EXPECT_EQ(pf_flush_anchor({anchor}), refused);
  EXPECT_EQ(pf_release({std::string("1\0x", 3)}), refused);
  EXPECT_EQ(ifconfig_set({iface, addr, addr}), refused);
  EXPECT_EQ(ifconfig_delete({iface, addr}), refused);
  EXPECT_EQ(ifconfig_read({iface}), Response{Ifconfig{}});
}

// A name that the tool would take for an option never reaches it; any other name does.
TEST(Operations, RefuseInterfaceNamesThatBeginWithADash) {
  const Ipv4Addr addr = *Ipv4Addr::parse("10.0.0.1");
  const Response refused = Err{"invalid interface name: must not begin with '-'"};
  const std::string refused_names[] = {"-a", "-", "--", "-en0", std::string("-\0x", 3)};
  // Dashes elsewhere, a hyphen that is not the ASCII one.
  for (const std::string iface : {"en0", "en-0", "bridge100-", " -a", "\u2010a", ""})
    EXPECT_TRUE(is_passable_interface_name(iface)) << iface;
  for (const std::string& iface : refused_names) {
    SCOPED_TRACE(iface);
    EXPECT_FALSE(is_passable_interface_name(iface));
    // Refused before any tool starts, so these answers come whatever is installed.
    EXPECT_EQ(ifconfig_set({iface, addr, addr}), refused);
    EXPECT_EQ(ifconfig_delete({iface, addr}), refused);
    EXPECT_EQ(ifconfig_read({iface}), Response{Ifconfig{}});
  }
}

}  // namespace
}  // namespace pelmor
