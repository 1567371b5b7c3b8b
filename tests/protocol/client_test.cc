// The client's side: request encoding and reply decoding, an adopted descriptor that cannot be
// used, and a client's own time limit. How the client answers each reply, silence and hang-up
// is in c_interface_test.cc, through the C interface over it.
#include "helper_ipc/client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/platform.h"

namespace helper_ipc {
namespace {

const Ipv4Addr kAddr = *Ipv4Addr::parse("192.168.64.1");
const Ipv4Addr kMask = *Ipv4Addr::parse("255.255.255.0");
const std::string kAwkward = std::string("q\"b\\s\n\t\x01\x7f\u00e9\U0001F600") + '\0';

TEST(ClientCodec, RequestsReadBackAsThemselves) {
  const std::vector<Request> all = {
      Ping{},
      GetForwarding{},
      SetForwarding{true},
      PfLoadAnchor{"com.x/y", kAwkward},
      PfFlushAnchor{kAwkward},
      PfEnable{},
      PfRelease{""},
      IfconfigRead{"en0"},
      IfconfigSet{kAwkward, kAddr, kMask},
      IfconfigDelete{"en5", kAddr},
      BindDhcp67{},
      IcmpEcho{kAddr},
  };
  for (const Request& request : all) {
    const std::string body = encode_request(request);
    auto back = decode_request(body);
    ASSERT_TRUE(back.ok()) << body << ": " << back.error().text;
    EXPECT_EQ(*back, request) << body;
  }
  EXPECT_EQ(encode_request(Ping{}), R"("Ping")");
  EXPECT_EQ(encode_request(SetForwarding{false}), R"({"SetForwarding":false})");
  EXPECT_EQ(encode_request(IfconfigSet{"en0", kAddr, kMask}),
            R"({"IfconfigSet":{"iface":"en0","addr":"192.168.64.1","mask":"255.255.255.0"}})");
}

TEST(ClientCodec, RepliesReadBackAsThemselves) {
  const std::vector<Response> all = {
      Pong{},
      Forwarding{true},
      Ok{},
      PfToken{kAwkward},
      PfToken{std::nullopt},
      Ifconfig{{{kAddr, kMask}}},
      Ifconfig{},
      IcmpResult{false},
      FdFollows{},
      Err{kAwkward},
      Err{""},
  };
  for (const Response& response : all) {
    const std::string body = encode_response(response);
    auto back = decode_response(body);
    ASSERT_TRUE(back.ok()) << body << ": " << back.error().text;
    EXPECT_EQ(*back, response) << body;
  }
}

TEST(ClientCodec, RefusesRepliesThatDoNotFit) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"("Forwarding")", "invalid type: unit variant, expected newtype variant"},
      {R"({"Pong":1})", "invalid type: integer `1`, expected unit at line 1 column 9"},
      {R"({"PfToken":5})", "invalid type: integer `5`, expected a string at line 1 column 12"},
      {R"({"Ifconfig":"1.2.3.4"})",
       "invalid type: string \"1.2.3.4\", expected a tuple of size 2 at line 1 column 21"},
      {R"({"Ifconfig":["1.2.3.4"]})",
       "invalid length 1, expected a tuple of size 2 at line 1 column 23"},
      {R"({"Ifconfig":["1.2.3.4","1.2.3.4","1.2.3.4"]})",
       "trailing characters at line 1 column 34"},
      {R"({"Ifconfig":["1.2.3.4","255.0.0"]})", "invalid IPv4 address syntax at line 1 column 32"},
      {R"({"Err":null})", "invalid type: null, expected a string at line 1 column 11"},
      {R"({"Ok":null} x)", "trailing characters at line 1 column 13"},
  };
  for (const auto& [body, text] : cases) {
    auto got = decode_response(body);
    ASSERT_FALSE(got.ok()) << body;
    EXPECT_EQ(got.error().text, text) << body;
  }
}

// A descriptor made outside the library: no SO_NOSIGPIPE until adopt sets it.
std::pair<UniqueFd, UniqueFd> plain_socketpair() {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  EXPECT_TRUE(platform::set_cloexec(a.get()).ok());
  EXPECT_TRUE(platform::set_cloexec(b.get()).ok());
  return {std::move(a), std::move(b)};
}

TEST(ClientAdopt, ACallOnAnUnusableDescriptorFailsAndRaisesNoSigpipe) {
  // SIGPIPE keeps its default action: a send that raised it would end the test. A peer that has
  // gone is seen before anything is sent; one that goes while a large request is being sent is
  // the daemon's hang-up; a descriptor that is no socket fails to send.
  auto [ours, theirs] = plain_socketpair();
  std::thread leaving([peer = std::move(theirs)] {  // closes its end after the prefix
    char prefix[4];
    EXPECT_EQ(read(peer.get(), prefix, 4), 4);
  });
  int ends[2] = {-1, -1};
  ASSERT_EQ(pipe(ends), 0);
  UniqueFd pipe_read(ends[0]), pipe_write(ends[1]);
  struct Row {
    const char* what;
    UniqueFd fd;
    ClientError::Kind kind;
    std::string text;
  } rows[] = {
      {"a socket whose peer has gone", plain_socketpair().first, ClientError::Kind::Io,
       "the daemon had closed the connection before the request (as it does when it stops or the "
       "console changes hands); nothing was sent, and a connection handed over by its descriptor "
       "cannot be made again"},
      {"a peer that goes while the request is sent", std::move(ours), ClientError::Kind::Refused,
       "the daemon closed the connection without a reply: this user is not admitted or holds too "
       "many connections, the request was not understood, or the daemon is stopping (the "
       "daemon's log says which)"},
      {"a pipe", std::move(pipe_write), ClientError::Kind::Io,
       "sending the request failed: " + os_error_text(ENOTSOCK)},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    Client client = Client::adopt(std::move(row.fd));
    auto got = client.call(PfLoadAnchor{"a", std::string(900 << 10, 'r')});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, row.kind);
    EXPECT_EQ(got.error().text, row.text);
  }
  leaving.join();
}

// A client's own time limit bounds each call: this peer never answers.
TEST(ClientTimeLimit, EndsACallThatGetsNoReply) {
  auto [ours, theirs] = plain_socketpair();
  Client client = Client::adopt(std::move(ours));
  client.set_timeout(std::chrono::milliseconds(100));
  auto reply = client.call(Ping{});
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error().kind, ClientError::Kind::TimedOut);
  EXPECT_EQ(client.fd(), -1);  // dropped, so that a late reply cannot be taken for another's
}

}  // namespace
}  // namespace helper_ipc
