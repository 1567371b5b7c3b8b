// helper_ipc's C interface against the real daemon, for what only the daemon shows: how it ends a
// call without a reply. Each request and reply through the interface is in
// tests/protocol/c_interface_test.cc, against a stand-in.
#include <signal.h>

#include <optional>
#include <string>

#include "gtest/gtest.h"
#include "harness.h"
#include "helper_ipc/helper_ipc.h"

namespace e2e {
namespace {

class CInterfaceTest : public NamespaceTest {};

// A user the daemon does not admit, and a daemon killed while its tool runs: the call ends at
// once with HELPER_IPC_REFUSED and the sentence that names every reason.
TEST_F(CInterfaceTest, ReportsACallThatTheDaemonEndsWithoutAReplyAsRefused) {
  struct Row {
    const char* what;
    std::optional<uid_t> console;
    bool killed;
  };
  const Row rows[] = {
      {"not admitted", kOtherUser, false},
      {"killed mid-request", kUser, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    reset_environment();
    set_console_owner(row.console);
    StandIn{"sysctl"}.delay("5");  // longer than the kill takes to come
    Daemon daemon;
    const auto got = as_users(
        {kUser},
        [] {
          helper_ipc_client* c = helper_ipc_client_new();
          bool on = false;
          std::string out = helper_ipc_status_name(helper_ipc_connect_default(c));
          out += std::string(" ") + helper_ipc_status_name(helper_ipc_get_forwarding(c, &on));
          out += std::string(" [") + helper_ipc_last_error(c) + "]";
          helper_ipc_client_free(c);
          return out;
        },
        [&] {
          if (row.killed && daemon.find_line("request: GetForwarding")) {
            kill(daemon.pid(), SIGKILL);
          }
        });
    EXPECT_EQ(got[0],
              "HELPER_IPC_OK HELPER_IPC_REFUSED [the daemon closed the connection without a reply: "
              "this user is not admitted or holds too many connections, the request was not "
              "understood, or the daemon is stopping (the daemon's log says which)]");
  }
}

}  // namespace
}  // namespace e2e
