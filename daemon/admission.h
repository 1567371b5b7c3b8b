// Who may use a connection, and what a peer may make the daemon spend before it is turned away.
// The accept loop decides every connection here, before any thread exists for it: the decision
// table, the caps on open connections (held with the rest of what is going on, activity.h), a log
// budget for refusals, and the pause after accept runs out of a resource. Nothing here reads or
// writes a socket; the time comes in from the caller, so that the tests can move it.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "activity.h"
#include "helper_ipc/io_error.h"

namespace pelmor {

using Clock = std::chrono::steady_clock;

// The peer uid when the system cannot tell it.
inline constexpr uid_t kUnknownUid = static_cast<uid_t>(-1);

// Root is always refused, and so is a peer whose uid could not be read; the console's owner is
// admitted; when the console's owner cannot be read, every other user is.
bool is_admitted(uid_t peer, std::optional<uid_t> console);

// The owner of "/dev/console" (following links), or nothing when its status cannot be read.
// Read anew on every call.
std::optional<uid_t> console_owner();

// "Some(501)" or "None", as the log lines show the console uid.
std::string render_console_uid(std::optional<uid_t> uid);

// The line of a peer the decision table refuses: at its connection, or at a request after the
// console has changed hands.
std::string not_authorized_line(uid_t peer, std::optional<uid_t> console);

// The log budget of refusals: the first kLinesPerWindow refusals of a uid's window are written in
// full, the rest are counted, and when the window closes one line says how many were not written.
// The table of windows has a fixed size; a uid that finds no slot free (every window open) goes
// into one overflow window that all such uids share, with the same budget and a summary of its
// own. So any number of uids together write at most kMostLines lines about refusals per window.
// Used by the accept loop alone.
class RefusalLog {
 public:
  static constexpr std::size_t kLinesPerWindow = 10;
  static constexpr Clock::duration kWindow = std::chrono::seconds(10);
  static constexpr std::size_t kSlots = 32;
  // The uids that the overflow window's summary tells apart; beyond, it says "more than".
  static constexpr std::size_t kOverflowUids = 256;
  // A refusal written in full is two lines; each window, the overflow one too, ends in a summary.
  static constexpr std::size_t kMostLines = (kSlots + 1) * (2 * kLinesPerWindow + 1);
  static_assert(kMostLines <= 1000);

  // Whether the refusal of `uid` at `now` is written in full; when not, it is counted. The summary
  // of an earlier window that closed without being collected goes to `summaries`.
  bool note(uid_t uid, std::optional<uid_t> console, Clock::time_point now,
            std::vector<std::string>& summaries);
  // The summary lines of the windows that have closed by `now`, which are then forgotten.
  std::vector<std::string> close_windows(Clock::time_point now);
  // When the next window with something to summarise closes, if one has.
  std::optional<Clock::time_point> next_summary() const;
  // The uids' windows open (the overflow window not counted).
  std::size_t windows() const;

 private:
  struct Window {
    bool used = false;
    uid_t uid = 0;  // not used by the overflow window
    Clock::time_point start;
    std::size_t written = 0;
    std::size_t suppressed = 0;
    std::optional<uid_t> console;  // as at the last refusal counted
  };
  // Whether `w` counts the refusal (written in full, or suppressed).
  static bool count(Window& w, std::optional<uid_t> console);
  static std::string summary(const Window& w);
  std::string overflow_summary() const;
  // The summary of `w`, if it has one, then `w` forgotten.
  void close(Window& w, std::vector<std::string>& summaries);

  std::array<Window, kSlots> windows_{};
  Window overflow_;
  std::array<uid_t, kOverflowUids> overflow_uids_{};  // the distinct uids it suppressed
  std::size_t overflow_distinct_ = 0;
  bool overflow_more_ = false;  // and more than those
};

// accept() failures in bursts. A resource failure (EMFILE, ENFILE, ENOBUFS, ENOMEM) repeats for as
// long as the shortage lasts, so the loop pauses before the next accept, and the line is written
// at the first failure of a burst; the same failure again within kReport is counted, and when the
// burst's kReport has passed (or another error comes) one more line gives the number of repeats.
// A success in between does not end a burst: when the table is full, one descriptor may come free
// and be taken again at every attempt. Other errors are written each time, without a pause.
class AcceptFailures {
 public:
  static constexpr Clock::duration kPause = std::chrono::milliseconds(100);
  static constexpr Clock::duration kReport = std::chrono::seconds(10);

  static bool is_resource_error(int code);

  struct Step {
    std::vector<std::string> lines;  // to write now
    bool pause = false;              // sleep kPause before the next accept
  };
  Step failed(const helper_ipc::IoError& error, Clock::time_point now);
  // The count of a burst whose kReport has passed by `now`, if it repeated; the burst is over.
  std::vector<std::string> close_burst(Clock::time_point now);
  // When the count of the burst going on falls due, if it has repeated.
  std::optional<Clock::time_point> next_report() const;

 private:
  std::vector<std::string> end_burst();

  std::optional<helper_ipc::IoError> burst_;  // the error of the burst going on
  Clock::time_point burst_start_;
  std::size_t repeats_ = 0;
};

// Called with the console's owner at every look (each accept, each request): when it has changed
// hands since the last look, the idle connections of users it no longer admits are shut down, and
// the line to write about them, when there were any.
std::optional<std::string> notice_console(Activity& activity, std::optional<uid_t> console);

// The accept loop's decision for one accepted connection: the lines to write and, for an admitted
// peer, its place under the caps.
struct Admission {
  std::vector<std::string> lines;
  Activity::Place place;  // empty: close the connection now
};

// Decides the connection of `peer` on `socket` while `console` owns the console, at `now`: the
// console's change noticed, the decision table, then the caps (a peer whom only the total keeps
// out gets the place of a user who left the console), with the lines of a refusal under the
// refusal log's budget.
Admission admit(uid_t peer, int socket, std::optional<uid_t> console, Clock::time_point now,
                Activity& activity, RefusalLog& refusals);

}  // namespace pelmor
