// helper_ipc's C interface end to end: a program written in C (c_client.c) and a Python script that
// goes through ctypes (ctypes_client.py) talk to the real daemon as the console's owner, and print
// what the interface gave them, one line per call.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/stream.h"

extern char** environ;

namespace e2e {
namespace {

using Lines = std::vector<std::string>;
using helper_ipc::UniqueFd;

enum class Program { C, Python };

struct Outcome {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  Lines lines;      // standard output and standard error, line by line
};

// Runs `argv` (argv[0] an absolute path) as `uid`, with its output on a pipe.
Outcome run_as(uid_t uid, const std::vector<std::string>& argv) {
  Outcome run;
  auto pipe = pelmor_sandbox::make_pipe();
  if (!pipe) return run;
  auto& [from_child, to_parent] = *pipe;
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // The C program finds the library's copy beside it (its built-in search path may be out of
  // reach).
  const std::string library_path = "LD_LIBRARY_PATH=" + reachable_folder();
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string_view(*e).rfind("LD_LIBRARY_PATH=", 0) != 0) env.push_back(*e);
  }
  env.push_back(const_cast<char*>(library_path.c_str()));
  env.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (dup2(to_parent.get(), 1) == -1 || dup2(to_parent.get(), 2) == -1 ||
        setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
      _exit(126);
    }
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  to_parent.reset();
  std::string out;
  char buf[4096];
  for (;;) {
    auto n = helper_ipc::read_some(from_child.get(), buf, sizeof buf);
    if (!n || *n == 0) break;
    out.append(buf, *n);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  for (std::size_t start = 0; start < out.size();) {
    const std::size_t end = out.find('\n', start);
    run.lines.push_back(out.substr(start, end - start));
    start = end == std::string::npos ? out.size() : end + 1;
  }
  return run;
}

// `words` given to the C program or to the Python script, run as the console's owner.
Outcome client(Program program, const std::vector<std::string>& words, uid_t uid = kUser) {
  // The build may sit in a folder that `uid` cannot enter: the programs and the library run from
  // copies that it can reach.
  const std::string library = reachable_copy(PELMOR_C_LIBRARY, PELMOR_C_LIBRARY_SONAME);
  std::vector<std::string> argv;
  if (program == Program::C) {
    argv = {reachable_copy(PELMOR_C_CLIENT, "c_client")};
  } else {
    argv = {PELMOR_PYTHON, "-I", reachable_copy(PELMOR_CTYPES_CLIENT, "ctypes_client.py"), library};
  }
  argv.insert(argv.end(), words.begin(), words.end());
  return run_as(uid, argv);
}

std::string name(Program program) {
  return program == Program::C ? "C" : "Python";
}

constexpr int kOk = 0, kErrReply = 1, kConnectionFailed = 3, kBadArgument = 4;

const std::string kNotConnected =
    "not connected to the daemon (a connection ends after a refusal, a failed exchange and the "
    "DHCP socket hand-off; connect again)";

class CInterfaceTest : public ::testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    if (unavailable()) GTEST_SKIP() << *unavailable();
    if (GetParam() == Program::Python) {
#ifdef PELMOR_SANITIZED
      GTEST_SKIP() << "this build is sanitizer-instrumented: a Python process cannot load "
                      "libhelper_ipc_c without the sanitizer's runtime preloaded; the C program "
                      "covers the interface here, the dev and ci builds run the script";
#endif
      if (access(PELMOR_PYTHON, X_OK) != 0) {
        GTEST_SKIP() << PELMOR_PYTHON << " cannot be run here";
      }
    }
    reset_environment();
  }
};

// Each request through the interface: what the tool was given, and what the caller got back.
TEST_P(CInterfaceTest, EveryRequestReachesItsToolAndItsReplyTheCaller) {
  struct Row {
    std::vector<std::string> words;
    std::string tool, out, err;
    int tool_status;
    std::vector<std::string> tool_args;  // empty: the request runs no tool
    std::string line;
    int status;
  };
  const std::string rules = "pass in all\nblock out proto udp";
  // The daemon trims the tool's text and passes on everything else, quotes, backslashes, tabs and
  // non-ASCII letters included.
  const std::string odd = "sysctl: \"net.inet.ip.forwarding\" \\ refus\xc3\xa9\tfor now";
  const Row rows[] = {
      {{"ping"}, "", "", "", 0, {}, "ping: HELPER_IPC_OK", kOk},
      {{"forwarding-get"},
       "sysctl",
       "1\n",
       "",
       0,
       {"-n", "net.inet.ip.forwarding"},
       "forwarding-get: HELPER_IPC_OK on",
       kOk},
      {{"forwarding-get"},
       "sysctl",
       "0\n",
       "",
       0,
       {"-n", "net.inet.ip.forwarding"},
       "forwarding-get: HELPER_IPC_OK off",
       kOk},
      {{"forwarding-set", "off"},
       "sysctl",
       "net.inet.ip.forwarding: 1 -> 0\n",
       "",
       0,
       {"-w", "net.inet.ip.forwarding=0"},
       "forwarding-set: HELPER_IPC_OK",
       kOk},
      {{"forwarding-set", "on"},
       "sysctl",
       "",
       " " + odd + " \n\n",
       1,
       {"-w", "net.inet.ip.forwarding=1"},
       "forwarding-set: HELPER_IPC_ERR_REPLY [" + odd + "]",
       kErrReply},
      {{"pf-load", "com.example/vpn", rules},
       "pfctl",
       "",
       "",
       0,
       {"-a", "com.example/vpn", "-f", "-"},
       "pf-load: HELPER_IPC_OK",
       kOk},
      {{"pf-flush", "com.example/vpn"},
       "pfctl",
       "",
       "rules cleared\n",
       0,
       {"-a", "com.example/vpn", "-F", "all"},
       "pf-flush: HELPER_IPC_OK",
       kOk},
      {{"pf-enable"},
       "pfctl",
       "",
       "pf enabled\nToken : 8817223\n",
       0,
       {"-E"},
       "pf-enable: HELPER_IPC_OK token=8817223",
       kOk},
      {{"pf-enable"},
       "pfctl",
       "",
       "pf enabled\n",
       0,
       {"-E"},
       "pf-enable: HELPER_IPC_OK no token",
       kOk},
      {{"pf-release", "8817223"},
       "pfctl",
       "",
       "pfctl: no such token\n",
       1,
       {"-X", "8817223"},
       "pf-release: HELPER_IPC_ERR_REPLY [pfctl: no such token]",
       kErrReply},
      {{"iface-read", "en0"},
       "ifconfig",
       "en0: flags=8863<UP,BROADCAST> mtu 1500\n"
       "\tinet 192.168.64.1 netmask 0xffffff00 broadcast 192.168.64.255\n",
       "",
       0,
       {"en0"},
       "iface-read: HELPER_IPC_OK 192.168.64.1/255.255.255.0",
       kOk},
      {{"iface-read", "nope0"},
       "ifconfig",
       "",
       "ifconfig: interface nope0 does not exist\n",
       1,
       {"nope0"},
       "iface-read: HELPER_IPC_OK none (0/0)",
       kOk},
      {{"iface-set", "en5", "10.0.0.1", "255.255.0.0"},
       "ifconfig",
       "",
       "",
       0,
       {"en5", "inet", "10.0.0.1", "netmask", "255.255.0.0"},
       "iface-set: HELPER_IPC_OK",
       kOk},
      {{"iface-delete", "en5", "10.0.0.1"},
       "ifconfig",
       "",
       "ifconfig: SIOCDIFADDR: Can't assign requested address\n",
       1,
       {"en5", "inet", "10.0.0.1", "delete"},
       "iface-delete: HELPER_IPC_ERR_REPLY [ifconfig: SIOCDIFADDR: Can't assign requested "
       "address]",
       kErrReply},
      {{"icmp", "127.0.0.1"}, "", "", "", 0, {}, "icmp: HELPER_IPC_OK answered", kOk},
      {{"icmp", "127.0.0.01"},
       "",
       "",
       "",
       0,
       {},
       "icmp: HELPER_IPC_BAD_ARGUMENT [ip \"127.0.0.01\" is not a dotted-decimal IPv4 address]",
       kBadArgument},
  };
  Daemon daemon;
  for (const Row& row : rows) {
    const std::string what = name(GetParam()) + " " + row.words[0];
    for (const char* tool : {"sysctl", "pfctl", "ifconfig"})
      StandIn{tool}.reset();
    if (!row.tool.empty()) StandIn{row.tool}.answer(row.out, row.err, row.tool_status);
    const Outcome run = client(GetParam(), row.words);
    EXPECT_EQ(run.lines, Lines{row.line}) << what;
    EXPECT_EQ(run.status, row.status) << what;
    if (row.tool.empty()) continue;
    const auto calls = StandIn{row.tool}.calls();
    ASSERT_EQ(calls.size(), 1u) << what;
    EXPECT_EQ(calls[0].args, row.tool_args) << what;
    EXPECT_EQ(calls[0].input, row.words[0] == "pf-load" ? rules : "") << what;
  }
}

// A UDP socket on port 67 that nobody may share.
UniqueFd hold_port_67() {
  UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in any = port_67_on_every_address();
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) fd.reset();
  return fd;
}

// The socket arrives bound and usable (a datagram sent from it to 127.0.0.1 leaves from port 67),
// the connection has ended afterwards, and the same handle connects again.
TEST_P(CInterfaceTest, HandsOverAUsableDhcpSocketThenNeedsANewConnection) {
  Daemon daemon;
  const Outcome run = client(GetParam(), {"dhcp67", "ping", "connect", "ping"});
  EXPECT_EQ(run.lines,
            (Lines{"dhcp67: HELPER_IPC_OK udp=1 addr=0.0.0.0 port=67 broadcast=1 cloexec=1 "
                   "sent-from=67",
                   "ping: HELPER_IPC_CONNECTION_FAILED [" + kNotConnected + "]",
                   "connect: HELPER_IPC_OK", "ping: HELPER_IPC_OK"}));
  EXPECT_EQ(run.status, kOk);
}

TEST_P(CInterfaceTest, GivesTheDaemonsTextWhenPort67IsTaken) {
  const UniqueFd holder = hold_port_67();
  ASSERT_TRUE(holder.valid());
  Daemon daemon;
  const Outcome run = client(GetParam(), {"dhcp67"});
  EXPECT_EQ(run.lines, Lines{"dhcp67: HELPER_IPC_ERR_REPLY [bind 0.0.0.0:67: Address already in "
                             "use (os error 98)]"});
  EXPECT_EQ(run.status, kErrReply);
}

// A client the daemon does not admit, and a socket that is not there.
TEST_P(CInterfaceTest, ReportsARefusalAndAMissingSocket) {
  const std::string closed = "[the daemon closed the connection without a reply";
  Daemon daemon;
  set_console_owner(kOtherUser);
  const Outcome refused = client(GetParam(), {"ping", "ping"});
  ASSERT_EQ(refused.lines.size(), 2u);
  const std::string refusal = "ping: HELPER_IPC_REFUSED " + closed;
  EXPECT_EQ(refused.lines[0].substr(0, refusal.size()), refusal) << refused.lines[0];
  EXPECT_EQ(refused.lines[1], "ping: HELPER_IPC_CONNECTION_FAILED [" + kNotConnected + "]");
  EXPECT_TRUE(daemon.find_line("rejecting peer: "));

  const Outcome missing = client(GetParam(), {"--socket", "/var/run/absent.sock", "ping"});
  EXPECT_EQ(missing.lines,
            (Lines{"connect: HELPER_IPC_CONNECTION_FAILED [connect /var/run/absent.sock: No such "
                   "file or directory (os error 2)]",
                   "ping: HELPER_IPC_CONNECTION_FAILED [" + kNotConnected + "]"}));
  EXPECT_EQ(missing.status, kConnectionFailed);
}

std::string test_name(const ::testing::TestParamInfo<Program>& program) {
  return name(program.param);
}

INSTANTIATE_TEST_SUITE_P(Clients, CInterfaceTest, ::testing::Values(Program::C, Program::Python),
                         test_name);

class CProgramTest : public NamespaceTest {};

// Unusable arguments are answered with their status and text, nothing is sent for them, and the
// connection stays usable.
TEST_F(CProgramTest, AnswersBadArgumentsWithoutSendingOrCrashing) {
  const auto bad = [](const std::string& text) { return "HELPER_IPC_BAD_ARGUMENT [" + text + "]"; };
  const auto not_an_address = [&](const std::string& field, const std::string& text) {
    return bad(field + " \"" + text + "\" is not a dotted-decimal IPv4 address");
  };
  Daemon daemon;
  const Outcome run = client(Program::C, {"bad-arguments", "ping"});
  EXPECT_EQ(run.lines, (Lines{
                           "null-handle: " + bad("the client handle is NULL"),
                           "null-anchor: " + bad("anchor is NULL"),
                           "null-rules: " + bad("rules is NULL"),
                           "null-out-flag: " + bad("enabled is NULL"),
                           "null-token-out: " + bad("token is NULL"),
                           "null-iface: " + bad("iface is NULL"),
                           "leading-zero: " + not_an_address("addr", "10.0.0.01"),
                           "mask-too-big: " + not_an_address("mask", "255.255.255.256"),
                           "three-parts: " + not_an_address("ip", "127.0.0"),
                           "with-port: " + not_an_address("addr", "10.0.0.1:67"),
                           "null-address: " + bad("addr is NULL"),
                           "null-fd-out: " + bad("fd is NULL"),
                           "null-path: " + bad("path is NULL"),
                           "closed-descriptor: " + bad("999 is not an open descriptor"),
                           "ping: HELPER_IPC_OK",
                       }));
  EXPECT_EQ(run.status, kOk);
  // The only request the daemon saw is the last one.
  const Lines log = daemon.lines(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[3], "[pelmor-helper] request: Ping");
}

// A socket the caller connected itself, handed over with helper_ipc_adopt.
TEST_F(CProgramTest, TalksOverAnAdoptedDescriptor) {
  Daemon daemon;
  const Outcome run = client(Program::C, {"--adopt", kSocketPath, "ping", "icmp", "127.0.0.1"});
  EXPECT_EQ(run.lines, (Lines{"ping: HELPER_IPC_OK", "icmp: HELPER_IPC_OK answered"}));
  EXPECT_EQ(run.status, kOk);
}

}  // namespace
}  // namespace e2e
