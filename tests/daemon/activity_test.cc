// The bookkeeping of what the daemon has going on: which connection gives up its place, what a stop
// closes and counts, and what a console that changes hands closes. Connections are socket pairs,
// so that a shutdown shows at the other end.
#include "activity.h"

#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "admission.h"
#include "gtest/gtest.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor {
namespace {

using helper_ipc::UniqueFd;
using Slot = Activity::Slot;

const auto nobody = [](uid_t) { return false; };

TEST(Activity, WhoGivesUpAPlace) {
  const auto slot = [](uid_t uid, bool busy, bool given_up = false) {
    return Slot{true, given_up, busy, false, uid, -1};
  };
  struct Row {
    const char* what;
    std::vector<Slot> slots;
    std::optional<std::size_t> chosen;
  };
  const Row rows[] = {
      {"nobody has left", {slot(501, false), slot(501, true)}, std::nullopt},
      {"idle before busy", {slot(1001, true), slot(501, false), slot(1002, false)}, 2},
      {"busy when none is idle", {slot(501, false), slot(1001, true)}, 1},
      {"never free or given up", {Slot{}, slot(1001, false, true), slot(1001, true)}, 2},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(choose_eviction(r.slots, [](uid_t uid) { return uid != 501; }), r.chosen) << r.what;
  }
}

// A connection in the table, and the client's end of it.
struct Open {
  UniqueFd ours, theirs;
  Activity::Place place;
  Open(Activity& activity, uid_t uid, bool busy) {
    auto pair = helper_ipc::platform::stream_socketpair();
    EXPECT_TRUE(pair.ok());
    ours = std::move(pair->first);
    theirs = std::move(pair->second);
    place = activity.take(uid, ours.get(), nobody).place;
    if (busy) {
      EXPECT_TRUE(place.begin_request());
    }
  }
  // Whether the client sees the end of the stream now.
  bool ended() const {
    char byte;
    return recv(theirs.get(), &byte, 1, MSG_DONTWAIT) == 0;
  }
};

TEST(Activity, AStopClosesTheIdleAndLetsTheBusyFinish) {
  struct Row {
    std::vector<bool> busy;  // the connections open when the stop begins
    std::string line;
  };
  const Row rows[] = {
      {{}, "stopping: 0 requests finished, 0 connections closed"},
      {{false, false}, "stopping: 0 requests finished, 2 connections closed"},
      {{true, false, true}, "stopping: 2 requests finished, 3 connections closed"},
  };
  for (const Row& r : rows) {
    Activity activity;
    std::vector<std::unique_ptr<Open>> open;
    for (const bool busy : r.busy)
      open.push_back(std::make_unique<Open>(activity, 501, busy));
    activity.begin_stop();
    for (std::size_t i = 0; i < open.size(); ++i) {
      EXPECT_EQ(open[i]->ended(), !r.busy[i]) << i;
      // No request begins any more; one that was going on finishes, and its connection ends.
      EXPECT_FALSE(r.busy[i] ? open[i]->place.end_request() : open[i]->place.begin_request());
    }
    EXPECT_EQ(activity.wait_closed(std::chrono::steady_clock::now()), open.empty());
    open.clear();
    EXPECT_TRUE(activity.wait_closed(std::chrono::steady_clock::now()));
    EXPECT_EQ(stop_line(activity.report()), r.line);
  }
}

TEST(Activity, AConsoleThatChangesHandsClosesTheIdleOfThoseWhoLeft) {
  Activity activity;
  Open idle(activity, 1001, false), busy(activity, 1001, true), stays(activity, 501, false);
  EXPECT_EQ(notice_console(activity, 1001), std::nullopt);  // the first look: nothing to compare
  EXPECT_EQ(
      notice_console(activity, 501),
      "closed 1 idle connections of users the console no longer admits (console_uid=Some(501))");
  EXPECT_EQ(notice_console(activity, std::nullopt), std::nullopt);  // everybody is admitted
  EXPECT_EQ(std::vector<bool>({idle.ended(), busy.ended(), stays.ended()}),
            std::vector<bool>({true, false, false}));
}

}  // namespace
}  // namespace pelmor
