// The accept loop's decisions without sockets: the admission table, the caps, the refusal log's
// budget and summaries, and the accept back-off, on a clock that the tests move.
#include "admission.h"

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace pelmor {
namespace {

using namespace std::chrono_literals;
using helper_ipc::IoError;
using Lines = std::vector<std::string>;

const Clock::time_point t0 = Clock::time_point() + 1000h;

TEST(Admission, Table) {
  struct Row {
    uid_t peer;
    std::optional<uid_t> console;
    bool admitted;
  };
  const Row rows[] = {
      {0, 0, false},
      {0, std::nullopt, false},
      {501, 501, true},
      {501, 502, false},
      {501, std::nullopt, true},
      {501, 0, false},
      // A peer whose uid could not be read is never admitted as an unknown uid.
      {kUnknownUid, std::nullopt, false},
      {kUnknownUid, kUnknownUid, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(is_admitted(r.peer, r.console), r.admitted)
        << "peer " << r.peer << ", console " << render_console_uid(r.console);
  }
}

// The lines of each outcome: the connection's, then the refusal's, if any.
TEST(Admission, LinesOfEachOutcome) {
  struct Row {
    uid_t peer;
    std::optional<uid_t> console;
    std::size_t already_held;  // connections the peer holds before
    std::size_t others;        // connections other users hold
    std::string refusal;       // none: admitted
  };
  constexpr std::size_t kTotal = Activity::kTotal;
  const Row rows[] = {
      {501, 501, 0, 0, ""},
      {502, 501, 0, 0, "rejecting peer: uid=502 not authorized (console_uid=Some(501))"},
      {501, 501, Activity::kPerUid, 0, "rejecting peer: uid=501 has too many connections (64)"},
      {501, std::nullopt, 3, kTotal - 4, ""},
      {501, std::nullopt, 3, kTotal - 3,
       "rejecting peer: uid=501 finds too many connections in all (256)"},
      // The others have left the console: one of them gives up its place.
      {501, 501, 3, kTotal - 3, ""},
  };
  const auto nobody = [](uid_t) { return false; };
  for (const Row& r : rows) {
    Activity activity;
    RefusalLog refusals;
    std::vector<Activity::Place> held;
    for (std::size_t i = 0; i < r.already_held; ++i)
      held.push_back(activity.take(r.peer, -1, nobody).place);
    for (std::size_t i = 0; i < r.others; ++i)
      held.push_back(activity.take(static_cast<uid_t>(2000 + i / 50), -1, nobody).place);
    Admission a = admit(r.peer, -1, r.console, t0, activity, refusals);
    const std::string console = r.console ? "Some(" + std::to_string(*r.console) + ")" : "None";
    Lines want = {"connection from uid=" + std::to_string(r.peer) + " (console_uid=" + console +
                  ")"};
    if (!r.refusal.empty()) want.push_back(r.refusal);
    EXPECT_EQ(a.lines, want);
    EXPECT_EQ(static_cast<bool>(a.place), r.refusal.empty()) << r.peer;
    EXPECT_EQ(activity.held(r.peer), r.already_held + (r.refusal.empty() ? 1 : 0));
  }
}

// Refusals of one uid at the times given (offsets from t0); the lines written in full (pairs
// counted as one) and the summaries.
struct Flood {
  RefusalLog log;
  std::size_t written = 0;
  Lines summaries;
  void refuse(uid_t uid, Clock::duration at, std::optional<uid_t> console = 501) {
    if (log.note(uid, console, t0 + at, summaries)) ++written;
  }
  void close(Clock::duration at) {
    for (auto& line : log.close_windows(t0 + at))
      summaries.push_back(line);
  }
};

// The refusals of one uid within its window, 50 us apart: the first ten are written in full, the
// rest summed up when the window that began with the first has closed.
TEST(RefusalLog, WindowBudgetAndSummary) {
  const auto more = [](const char* n) {
    return Lines{"rejected " + std::string(n) +
                 " more connections from uid=1001 (console_uid=Some(501))"};
  };
  struct Row {
    int refusals;
    std::size_t written;  // written in full
    Lines summaries;      // when the window has closed
  };
  const Row rows[] = {{10, 10, {}}, {11, 10, more("1")}, {100'000, 10, more("99990")}};
  for (const Row& r : rows) {
    Flood f;
    for (int i = 0; i < r.refusals; ++i)
      f.refuse(1001, std::chrono::microseconds(i * 50));
    EXPECT_EQ(f.written, r.written) << r.refusals;
    const auto due = r.summaries.empty() ? std::nullopt : std::optional(t0 + 10s);
    EXPECT_EQ(f.log.next_summary(), due) << r.refusals;
    f.close(9s);
    EXPECT_TRUE(f.summaries.empty()) << r.refusals << ": the window is still open";
    f.close(10s);
    EXPECT_EQ(f.summaries, r.summaries) << r.refusals;
    EXPECT_EQ(f.log.windows(), 0u) << r.refusals;
    EXPECT_FALSE(f.log.next_summary()) << r.refusals;
  }
}

TEST(RefusalLog, ANewWindowAfterTheOldOneClosed) {
  Flood f;
  for (int i = 0; i < 12; ++i)
    f.refuse(1001, 0s);
  // The next refusal comes after the window, before the loop closed it: its summary comes first,
  // then the budget starts again.
  f.refuse(1001, 10s, 0);
  EXPECT_EQ(f.summaries,
            Lines{"rejected 2 more connections from uid=1001 (console_uid=Some(501))"});
  EXPECT_EQ(f.written, 11u);
  for (int i = 0; i < 9; ++i)
    f.refuse(1001, 11s, 0);
  EXPECT_EQ(f.written, 20u);
  f.refuse(1001, 11s, std::nullopt);
  f.close(20s);
  EXPECT_EQ(f.summaries.back(), "rejected 1 more connections from uid=1001 (console_uid=None)");
}

// Uids taking turns: each refusal is written in full or counted in a summary, and however many
// uids there are, the lines stay within the bound; uids beyond the table share one window.
TEST(RefusalLog, AnyNumberOfUidsStayWithinTheBound) {
  struct Row {
    uid_t uids;
    int rounds;
    std::size_t written;   // refusals written in full
    std::string overflow;  // the end of the overflow window's summary, if it has one
  };
  const Row rows[] = {
      {32, 100, 320, ""},
      {33, 100, 330, "from 1 other uids (console_uid=Some(501))"},
      {120, 50, 330, "from 88 other uids (console_uid=Some(501))"},
      {5000, 2, 74, "from more than 256 other uids (console_uid=Some(501))"},
  };
  for (const Row& r : rows) {
    Flood f;
    for (int round = 0; round < r.rounds; ++round) {
      for (uid_t uid = 0; uid < r.uids; ++uid)
        f.refuse(7000 + uid, std::chrono::milliseconds(round));
    }
    f.close(10s);
    std::size_t counted = f.written;
    std::string overflow;
    for (const std::string& s : f.summaries) {
      counted += std::stoul(s.substr(std::string("rejected ").size()));
      if (s.find(" other uids") != std::string::npos) overflow = s.substr(s.find("from "));
    }
    EXPECT_EQ(f.written, r.written) << r.uids;
    EXPECT_EQ(counted, static_cast<std::size_t>(r.uids) * r.rounds) << r.uids;
    EXPECT_LE(2 * f.written + f.summaries.size(), RefusalLog::kMostLines) << r.uids;
    EXPECT_EQ(overflow, r.overflow) << r.uids;
  }
}

TEST(AcceptFailures, BurstsOfResourceErrors) {
  const IoError emfile = IoError::from_errno(EMFILE);
  const IoError enfile = IoError::from_errno(ENFILE);
  const IoError other = IoError::from_errno(ECONNABORTED);
  const std::string emfile_line = "accept() failed: " + emfile.text();
  struct Row {
    int code;
    bool resource;
  };
  for (const Row& r : {Row{EMFILE, true}, Row{ENFILE, true}, Row{ENOBUFS, true}, Row{ENOMEM, true},
                       Row{ECONNABORTED, false}, Row{EPROTO, false}, Row{EPERM, false}}) {
    EXPECT_EQ(AcceptFailures::is_resource_error(r.code), r.resource) << r.code;
    AcceptFailures f;
    EXPECT_EQ(f.failed(IoError::from_errno(r.code), t0).pause, r.resource) << r.code;
  }

  AcceptFailures f;
  // A burst: one line, a pause after every attempt, the count when its period has passed.
  auto first = f.failed(emfile, t0);
  EXPECT_EQ(first.lines, Lines{emfile_line});
  EXPECT_TRUE(first.pause);
  EXPECT_FALSE(f.next_report()) << "nothing to count yet";
  for (int i = 1; i <= 40; ++i) {
    auto step = f.failed(emfile, t0 + i * 100ms);
    EXPECT_TRUE(step.lines.empty()) << i;
    EXPECT_TRUE(step.pause) << i;
  }
  ASSERT_TRUE(f.next_report());
  EXPECT_EQ(*f.next_report(), t0 + AcceptFailures::kReport);
  EXPECT_TRUE(f.close_burst(t0 + 9s).empty());
  EXPECT_EQ(f.close_burst(t0 + 10s), Lines{emfile_line + " (repeated 40 times)"});
  EXPECT_TRUE(f.close_burst(t0 + 20s).empty());
  EXPECT_FALSE(f.next_report());

  // Another error ends the burst; a non-resource error is written each time, without a pause.
  (void)f.failed(emfile, t0);
  (void)f.failed(emfile, t0);
  auto switched = f.failed(enfile, t0);
  EXPECT_EQ(switched.lines,
            (Lines{emfile_line + " (repeated 1 times)", "accept() failed: " + enfile.text()}));
  for (int i = 0; i < 3; ++i) {
    auto step = f.failed(other, t0);
    EXPECT_EQ(step.lines, Lines{"accept() failed: " + other.text()});
    EXPECT_FALSE(step.pause);
  }
  // A burst that did not repeat closes without a count.
  AcceptFailures once;
  (void)once.failed(emfile, t0);
  EXPECT_TRUE(once.close_burst(t0 + 10s).empty());
  EXPECT_EQ(once.failed(emfile, t0 + 11s).lines, Lines{emfile_line});

  // A shortage that lasts: a count and a new first line every report period, not per attempt.
  AcceptFailures lasting;
  std::size_t lines = 0;
  for (int i = 0; i < 600; ++i)  // one minute of attempts 100 ms apart
    lines += lasting.failed(emfile, t0 + i * 100ms).lines.size();
  EXPECT_LE(lines, 12u);
  EXPECT_GE(lines, 6u);
}

}  // namespace
}  // namespace pelmor
