// The client's side: request encoding and reply decoding, and the client against a peer that
// plays the daemon on a socket pair.
#include "helper_ipc/client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
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

// A client on one end of a socket pair; `peer` plays the daemon on the other end.
class ClientTest : public ::testing::Test {
 protected:
  void run(const std::function<void(int)>& peer) {
    auto pair = platform::stream_socketpair();
    ASSERT_TRUE(pair.ok());
    client_.emplace(Client::adopt(std::move(pair->first)));
    peer_ = std::thread(
        [fd = std::make_shared<UniqueFd>(std::move(pair->second)), peer] { peer(fd->get()); });
  }
  void TearDown() override {
    if (peer_.joinable()) peer_.join();
  }
  // Reads one request frame; the peer then answers as the test wants.
  static Request next_request(int fd) {
    BufReader reader(fd);
    auto request = read_frame(reader);
    EXPECT_TRUE(request.ok());
    return request.ok() ? *request : Request{};
  }
  static void reply(int fd, const Response& response) {
    BufWriter writer(fd);
    EXPECT_TRUE(write_frame(writer, response).ok());
  }

  std::optional<Client> client_;
  std::thread peer_;
};

TEST_F(ClientTest, SendsAFrameAndReadsItsReply) {
  run([](int fd) {
    EXPECT_EQ(next_request(fd), Request{IcmpEcho{kAddr}});
    reply(fd, IcmpResult{true});
    EXPECT_EQ(next_request(fd), Request{Ping{}});
    reply(fd, Pong{});
  });
  auto first = client_->call(IcmpEcho{kAddr});
  ASSERT_TRUE(first.ok()) << first.error().text;
  EXPECT_EQ(*first, Response{IcmpResult{true}});
  auto second = client_->call(Ping{});
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, Response{Pong{}});
}

TEST_F(ClientTest, NamesEachWayAReplyCanFail) {
  struct Case {
    std::function<void(int)> peer;
    ClientError::Kind kind;
    std::string text;
    bool peer_done_first;  // the peer has ended (and closed) before the request is sent
  };
  const std::string hung_up =
      "the daemon closed the connection without a reply (this user is not admitted, or the "
      "request was not understood; the daemon's log says which)";
  const std::vector<Case> cases = {
      {[](int fd) { (void)next_request(fd); }, ClientError::Kind::Closed, hung_up, false},
      // A close with the request unread resets the connection, as a refusal does on Linux.
      {[](int fd) {
         pollfd p{fd, POLLIN, 0};
         ASSERT_EQ(poll(&p, 1, 10'000), 1);
       },
       ClientError::Kind::Closed, hung_up, false},
      // Closed before the request was sent: nobody reads it (EPIPE).
      {[](int) {}, ClientError::Kind::Closed, hung_up, true},
      {[](int fd) {
         (void)next_request(fd);
         ASSERT_TRUE(write_all(fd, std::string("\0\0\0\4Pong", 8)).ok());
       },
       ClientError::Kind::BadReply, "the reply did not decode: expected value at line 1 column 1",
       false},
      {[](int fd) {
         (void)next_request(fd);
         reply(fd, FdFollows{});
       },
       ClientError::Kind::BadReply, "FdFollows came in answer to a request without descriptor",
       false},
  };
  for (const Case& c : cases) {
    run(c.peer);
    if (c.peer_done_first) peer_.join();
    auto got = client_->call(Ping{});
    if (peer_.joinable()) peer_.join();
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, c.kind);
    EXPECT_EQ(got.error().text, c.text);
  }
}

TEST_F(ClientTest, ReceivesTheDhcpSocketAsAnOwnedDescriptor) {
  auto pipe = platform::stream_socketpair();
  ASSERT_TRUE(pipe.ok());
  const int write_end = pipe->second.get();
  run([write_end](int fd) {
    EXPECT_EQ(next_request(fd), Request{BindDhcp67{}});
    EXPECT_TRUE(write_frame_with_fd(fd, FdFollows{}, write_end).ok());
  });
  auto got = client_->bind_dhcp67();
  ASSERT_TRUE(got.ok()) << got.error().text;
  EXPECT_NE(fcntl(got->get(), F_GETFD) & FD_CLOEXEC, 0);
  peer_.join();
  pipe->second.reset();
  ASSERT_TRUE(write_all(got->get(), "x").ok());
  got->reset();
  char c = 0;
  EXPECT_EQ(read(pipe->first.get(), &c, 1), 1);
  EXPECT_EQ(c, 'x');
}

TEST_F(ClientTest, ReportsADhcpReplyWithoutDescriptorOrWithErr) {
  run([](int fd) {
    (void)next_request(fd);
    reply(fd, FdFollows{});
  });
  auto missing = client_->bind_dhcp67();
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().text, "FdFollows arrived without a descriptor");
  peer_.join();

  run([](int fd) {
    (void)next_request(fd);
    reply(fd, Err{"bind 0.0.0.0:67: Address already in use (os error 98)"});
  });
  auto refused = client_->bind_dhcp67();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, ClientError::Kind::ErrReply);
  EXPECT_EQ(refused.error().text, "bind 0.0.0.0:67: Address already in use (os error 98)");
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
  // gone is the daemon's hang-up; a descriptor that is no socket is an I/O failure.
  const struct {
    const char* what;
    std::function<UniqueFd()> make;
    ClientError::Kind kind;
    std::string text;
  } rows[] = {
      {"a socket whose peer has gone", [] { return plain_socketpair().first; },
       ClientError::Kind::Closed,
       "the daemon closed the connection without a reply (this user is not admitted, or the "
       "request was not understood; the daemon's log says which)"},
      {"a pipe",
       [] {
         int ends[2] = {-1, -1};
         EXPECT_EQ(pipe(ends), 0);
         UniqueFd read_end(ends[0]), write_end(ends[1]);
         return write_end;
       },
       ClientError::Kind::Io, "sending the request failed: " + os_error_text(ENOTSOCK)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Client client = Client::adopt(row.make());
    auto got = client.call(Ping{});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, row.kind);
    EXPECT_EQ(got.error().text, row.text);
  }
}

TEST(ClientConnect, ReportsAnAbsentSocket) {
  auto got = Client::connect("/nonexistent/pelmor-helper.sock");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind, ClientError::Kind::Connect);
  EXPECT_EQ(got.error().text,
            "connect /nonexistent/pelmor-helper.sock: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace helper_ipc
