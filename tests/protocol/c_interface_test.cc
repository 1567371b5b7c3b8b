// The C interface against a peer that plays the daemon on a socket pair: how each kind of reply
// becomes a status, and that running out of memory at any allocation of a call is a status too.
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/helper_ipc.h"
#include "helper_ipc/platform.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELMOR_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELMOR_OWN_ALLOCATOR 0
#endif
#endif
#ifndef PELMOR_OWN_ALLOCATOR
#define PELMOR_OWN_ALLOCATOR 1
#endif

namespace {

// The allocations this thread may still make before operator new throws; -1: no limit.
thread_local long allocations_left = -1;
thread_local bool allocation_refused = false;

}  // namespace

#if PELMOR_OWN_ALLOCATOR
// Every allocation of this program, the shared library's included, goes through here.
void* operator new(std::size_t size) {
  if (allocations_left == 0) {
    allocation_refused = true;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#endif

namespace {

using helper_ipc::UniqueFd;

// A peer that reads one request and answers with `reply` (or hangs up when it is empty); the
// handle's end of the pair is adopted by `client`.
class Peer {
 public:
  Peer(helper_ipc_client* client, std::string reply) {
    auto pair = helper_ipc::platform::stream_socketpair();
    if (!pair) return;
    adopted_ = helper_ipc_adopt(client, pair->first.release());
    thread_ = std::thread([fd = std::move(pair->second), reply = std::move(reply)] {
      helper_ipc::BufReader reader(fd.get());
      helper_ipc::BufWriter writer(fd.get());
      if (read_frame_body(reader).ok() && !reply.empty()) {
        (void)write_frame_body(writer, reply);
      }
    });
  }
  ~Peer() {
    if (thread_.joinable()) thread_.join();
  }
  helper_ipc_status adopted() const { return adopted_; }

 private:
  helper_ipc_status adopted_ = HELPER_IPC_CONNECTION_FAILED;
  std::thread thread_;
};

struct Handle {
  helper_ipc_client* c = helper_ipc_client_new();
  ~Handle() { helper_ipc_client_free(c); }
};

TEST(CInterface, TurnsEachKindOfReplyIntoItsStatus) {
  struct Row {
    std::string reply;
    helper_ipc_status status;
    std::string text;  // the start of the failure text
  };
  const Row rows[] = {
      {R"({"PfToken":"8817223"})", HELPER_IPC_OK, ""},
      {R"({"PfToken":null})", HELPER_IPC_OK, ""},
      {R"({"Err":"a\"b\\c\u0001\u00e9"})", HELPER_IPC_ERR_REPLY, "a\"b\\c\x01\xc3\xa9"},
      {R"("Ok")", HELPER_IPC_REFUSED, R"(the daemon answered PfEnable with "Ok")"},
      {R"("FdFollows")", HELPER_IPC_REFUSED, "FdFollows came in answer"},
      {R"({"PfToken":7})", HELPER_IPC_REFUSED, "the reply did not decode: "},
      {"", HELPER_IPC_REFUSED, "the daemon closed the connection without a reply"},
  };
  for (const Row& row : rows) {
    Handle h;
    Peer peer(h.c, row.reply);
    ASSERT_EQ(peer.adopted(), HELPER_IPC_OK);
    bool has_token = true;
    const char* token = "untouched";
    EXPECT_EQ(helper_ipc_pf_enable(h.c, &has_token, &token), row.status) << row.reply;
    const std::string text = helper_ipc_last_error(h.c);
    EXPECT_EQ(text.substr(0, row.text.size()), row.text) << row.reply;
    if (row.status == HELPER_IPC_OK) {
      EXPECT_EQ(text, "");
      EXPECT_EQ(has_token, row.reply.find("null") == std::string::npos) << row.reply;
      EXPECT_EQ(token ? std::string(token) : "NULL", has_token ? "8817223" : "NULL");
    } else {
      EXPECT_STREQ(token, "untouched") << row.reply;  // out-parameters only on success
    }
    // An Err leaves the connection open; the other failures end it.
    EXPECT_EQ(helper_ipc_ping(h.c) == HELPER_IPC_CONNECTION_FAILED,
              row.status == HELPER_IPC_REFUSED)
        << row.reply;
  }
}

// Allocation k of a call fails, for every k until the call needs no more: each time the call
// returns a status (no exception escapes, nothing aborts), and the handle says why. The texts are
// long enough to live outside std::string's own storage, so that each one allocates.
TEST(CInterface, AnswersOutOfMemoryWithAStatusAtEveryAllocation) {
  if (!PELMOR_OWN_ALLOCATOR) GTEST_SKIP() << "the sanitizer's allocator stays in place here";
  const std::string token(40, '7');
  const std::string anchor = "com.example.a-long-anchor-name/vpn";
  const std::string rules = "pass in all\npass out all\nblock in proto udp to port 67\n";
  struct Row {
    std::string reply;
    std::function<helper_ipc_status(helper_ipc_client*)> call;
    helper_ipc_status completed;  // the status when no allocation fails
  };
  const Row rows[] = {
      {R"({"PfToken":")" + token + R"("})",
       [&](helper_ipc_client* c) {
         bool has_token = false;
         const char* got = nullptr;
         const helper_ipc_status st = helper_ipc_pf_enable(c, &has_token, &got);
         return st == HELPER_IPC_OK && got != token ? HELPER_IPC_REFUSED : st;
       },
       HELPER_IPC_OK},
      {R"({"Err":"pfctl: the rules of this anchor could not be loaded"})",
       [&](helper_ipc_client* c) {
         return helper_ipc_pf_load_anchor(c, anchor.c_str(), rules.c_str());
       },
       HELPER_IPC_ERR_REPLY},
  };
  for (const Row& row : rows) {
    int out_of_memory = 0;
    for (long k = 0;; ++k) {
      ASSERT_LT(k, 10000) << "the call never completed";
      Handle h;
      Peer peer(h.c, row.reply);
      ASSERT_EQ(peer.adopted(), HELPER_IPC_OK);
      allocation_refused = false;
      allocations_left = k;
      const helper_ipc_status status = row.call(h.c);
      allocations_left = -1;
      if (!allocation_refused) {
        EXPECT_EQ(status, row.completed) << row.reply;
        break;
      }
      ASSERT_EQ(status, HELPER_IPC_CONNECTION_FAILED) << row.reply << ", allocation " << k;
      EXPECT_STREQ(helper_ipc_last_error(h.c), "out of memory") << row.reply;
      ++out_of_memory;
    }
    EXPECT_GE(out_of_memory, 2) << row.reply;
  }

  // No memory for a handle: NULL, and a NULL handle is a bad argument, not a crash.
  allocations_left = 0;
  helper_ipc_client* none = helper_ipc_client_new();
  allocations_left = -1;
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(helper_ipc_ping(none), HELPER_IPC_BAD_ARGUMENT);
}

TEST(CInterface, ParsesAndFormatsAddressesAsTheRequestsDo) {
  struct Row {
    const char* text;
    bool parses;
    std::uint32_t value;
  };
  const Row rows[] = {
      {"0.0.0.0", true, 0},    {"192.168.2.1", true, 0xC0A80201}, {"255.255.255.255", true, ~0u},
      {"10.0.0.01", false, 0}, {"256.0.0.1", false, 0},           {"1.2.3", false, 0},
      {" 1.2.3.4", false, 0},  {"1.2.3.4/24", false, 0},
  };
  for (const Row& row : rows) {
    std::uint32_t value = 7;
    EXPECT_EQ(helper_ipc_ipv4_parse(row.text, &value), row.parses) << row.text;
    EXPECT_EQ(value, row.parses ? row.value : 7u) << row.text;
    char text[HELPER_IPC_IPV4_TEXT_SIZE];
    if (row.parses) {
      EXPECT_STREQ(helper_ipc_ipv4_format(row.value, text), row.text);
    }
  }
  EXPECT_FALSE(helper_ipc_ipv4_parse(nullptr, nullptr));
}

}  // namespace
