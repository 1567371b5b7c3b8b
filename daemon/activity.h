// What the daemon has going on: the connections it holds and the places they take under the caps,
// whether each is idle (waiting for a frame, nothing of it read) or busy (a frame has begun to
// arrive and its reply is not written yet), and the tools that run. The accept loop takes a place
// for each connection it admits; a connection's thread marks itself busy when a frame begins and
// idle once its reply is out, and those are the only two times a request takes the lock; the tool
// runner registers each tool from its start until the moment before it reaps it.
//
// A stop shuts down the idle connections, lets the busy ones finish, and kills the tools that still
// run when time is up; a console that changed hands shuts down the idle connections of users who
// left it; a peer that finds every place taken gets the place of a user who left. One lock guards
// it all.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelmor {

class Activity {
 public:
  // Far above what one client program opens at once; at the total, the threads' stacks and the
  // descriptors (two per connection) stay well inside the daemon's limits.
  static constexpr std::size_t kPerUid = 64;
  static constexpr std::size_t kTotal = 256;
  // Connections given up to make room while their request finishes. Their users can start no
  // new request (the console check refuses them) and open no new connection, so only a console
  // that changes hands again and again fills this; when it is full, the cap on all connections
  // refuses as it always did. At most kTotal + kEnding connections are open at once.
  static constexpr std::size_t kEnding = kTotal / 2;
  static constexpr std::size_t kSlots = kTotal + kEnding;

  // One open connection, as the table holds it.
  struct Slot {
    bool used = false;
    bool given_up = false;  // its place went to another peer; it ends after its request
    bool busy = false;
    bool shut = false;  // its socket was shut down, never closed, by another thread
    uid_t uid = 0;
    int socket = -1;
  };
  // Whether a user no longer may use the daemon (the console has changed hands).
  using Departed = std::function<bool(uid_t)>;

  // One connection's place; it leaves the table when it is destroyed, which must come before its
  // socket is closed.
  class Place {
   public:
    Place() = default;
    Place(Place&& other) noexcept;
    Place& operator=(Place&& other) noexcept;
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() { leave(); }

    explicit operator bool() const noexcept { return activity_ != nullptr; }
    // A frame has begun to arrive (or is buffered already): busy until end_request(). False when
    // the daemon stops, the place was given up or the socket shut down: the connection ends
    // instead, reading nothing.
    [[nodiscard]] bool begin_request();
    // The request being served (its index among the request variants), for the line of a stop
    // that cuts it short. No lock: one atomic store.
    void name_request(std::size_t variant) noexcept;
    // Its reply is written. False when the connection ends now: the daemon stops, or the place
    // was given up.
    [[nodiscard]] bool end_request();
    void leave() noexcept;

   private:
    friend class Activity;
    Place(Activity* activity, std::size_t slot) : activity_(activity), slot_(slot) {}
    Activity* activity_ = nullptr;
    std::size_t slot_ = 0;
  };

  enum class Full { No, User, All };
  struct Taken {
    Place place;  // empty when a cap is reached
    Full full = Full::No;
    std::size_t held = 0;  // the connections the uid (Full::User) or everyone (Full::All) holds
  };

  Activity() = default;
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

  // A place for a new connection of `uid` on `socket`, or which cap stands in the way. When only
  // the total does, the place of a connection whose user has departed is given up first (see
  // choose_eviction); an idle one is shut down at once.
  Taken take(uid_t uid, int socket, const Departed& departed);
  // Connections that hold a place (given-up ones do not), of `uid` and in all.
  std::size_t held(uid_t uid) const;
  std::size_t held() const;

  // Whether `console` differs from the owner seen at the last look (the first look changes
  // nothing). Lock-free; of all who look, exactly one sees each change.
  bool console_changed(std::optional<uid_t> console) noexcept;
  // Shuts down the idle connections of departed users (those not shut down before); how many.
  std::size_t close_idle(const Departed& departed);

  // A tool is about to start; false once the stop has begun killing tools (start none then).
  [[nodiscard]] bool tool_starting();
  // The tool started then has the pid `pid` (or none started: pid <= 0). It stays registered, and
  // is killed by a stop cut short, until tool_ending(): its pid cannot have been reaped before.
  void tool_started(pid_t pid);
  // Called after the tool has ended, before it is reaped.
  void tool_ending(pid_t pid);

  // What a stop did.
  struct Report {
    std::size_t finished = 0;      // requests that ran to their reply after the stop began
    std::size_t closed = 0;        // connections that ended after the stop began
    std::vector<std::string> cut;  // what the connections still busy were doing
    std::size_t killed = 0;        // tools killed
  };
  // The stop begins: no request begins any more, the idle connections are shut down, and each
  // busy one ends after its reply.
  void begin_stop();
  // Waits until every connection has ended, or `deadline`; whether they all did.
  bool wait_closed(std::chrono::steady_clock::time_point deadline);
  Report report() const;
  // The stop is cut short: no tool starts any more, every tool registered (one being started now
  // once it has started) is killed, and the report names the requests that are cut.
  Report cut_short();

 private:
  void give_up(Slot& slot);
  void leave(std::size_t slot) noexcept;
  Report report_locked() const;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::array<Slot, kSlots> slots_{};
  // The request each busy slot serves, or kNoRequest; written by its own thread without the lock.
  static constexpr std::size_t kNoRequest = static_cast<std::size_t>(-1);
  std::array<std::atomic<std::size_t>, kSlots> requests_{};
  std::size_t admitted_ = 0;  // used slots that were not given up
  std::size_t ending_ = 0;    // used slots that were
  std::atomic<std::int64_t> console_{kNeverLooked};
  static constexpr std::int64_t kNeverLooked = -2;

  bool stopping_ = false;
  bool cutting_ = false;
  std::size_t finished_ = 0;
  std::size_t closed_ = 0;
  std::size_t starting_ = 0;  // tools between tool_starting() and tool_started()
  std::vector<pid_t> tools_;
};

// Which connection gives up its place for a peer whom only the cap on all connections keeps out:
// an idle one of a departed user first (its end frees the place at once), else a busy one of a
// departed user (it ends after its reply); none when no departed user holds a place. Given-up
// slots and free ones are never chosen.
std::optional<std::size_t> choose_eviction(std::span<const Activity::Slot> slots,
                                           const Activity::Departed& departed);

// The line a stop ends with: "stopping: ..." when every connection ended, or, when `cut_short`
// says why the stop was cut short, the requests cut and the tools killed too.
std::string stop_line(const Activity::Report& report, std::string_view cut_short = {});

// The daemon's one Activity, shared by the accept loop, the connections and the tool runner. It is
// never destroyed: detached threads may use it until the process ends.
Activity& activity();

}  // namespace pelmor
