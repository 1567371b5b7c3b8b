#include "admission.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace pelmor {

namespace {

constexpr const char* kConsolePath = "/dev/console";

std::string connection_line(uid_t peer, const std::string& console) {
  return "connection from uid=" + std::to_string(peer) + " (console_uid=" + console + ")";
}

}  // namespace

bool is_admitted(uid_t peer, std::optional<uid_t> console) {
  if (peer == 0 || peer == kUnknownUid) return false;
  return !console || *console == peer;
}

std::optional<uid_t> console_owner() {
  struct stat st;
  if (stat(kConsolePath, &st) != 0) return std::nullopt;
  return st.st_uid;
}

std::string render_console_uid(std::optional<uid_t> uid) {
  return uid ? "Some(" + std::to_string(*uid) + ")" : "None";
}

std::string not_authorized_line(uid_t peer, std::optional<uid_t> console) {
  return "rejecting peer: uid=" + std::to_string(peer) +
         " not authorized (console_uid=" + render_console_uid(console) + ")";
}

// ---- RefusalLog -------------------------------------------------------------------------------

std::string RefusalLog::summary(const Window& w) {
  return "rejected " + std::to_string(w.suppressed) +
         " more connections from uid=" + std::to_string(w.uid) +
         " (console_uid=" + render_console_uid(w.console) + ")";
}

std::string RefusalLog::overflow_summary() const {
  return "rejected " + std::to_string(overflow_.suppressed) + " more connections from " +
         (overflow_more_ ? "more than " : "") + std::to_string(overflow_distinct_) +
         " other uids (console_uid=" + render_console_uid(overflow_.console) + ")";
}

void RefusalLog::close(Window& w, std::vector<std::string>& summaries) {
  if (w.suppressed > 0) summaries.push_back(&w == &overflow_ ? overflow_summary() : summary(w));
  w = Window{};
  if (&w == &overflow_) {
    overflow_distinct_ = 0;
    overflow_more_ = false;
  }
}

bool RefusalLog::count(Window& w, std::optional<uid_t> console) {
  w.console = console;
  if (w.written < kLinesPerWindow) {
    ++w.written;
    return true;
  }
  ++w.suppressed;
  return false;
}

bool RefusalLog::note(uid_t uid, std::optional<uid_t> console, Clock::time_point now,
                      std::vector<std::string>& summaries) {
  Window* free = nullptr;
  for (Window& w : windows_) {
    const bool open = w.used && now - w.start < kWindow;
    if (open && w.uid == uid) return count(w, console);
    // A closed window that close_windows() has not seen yet ends here, its slot free again.
    if (w.used && !open) close(w, summaries);
    if (!w.used && free == nullptr) free = &w;
  }
  if (free != nullptr) {
    *free = Window{true, uid, now, 0, 0, console};
    return count(*free, console);
  }
  // Every slot holds an open window: the refusal counts in the overflow window, never in a fresh
  // window of its own, so that no number of uids can raise the budget.
  if (overflow_.used && now - overflow_.start >= kWindow) close(overflow_, summaries);
  if (!overflow_.used) overflow_ = Window{true, 0, now, 0, 0, console};
  if (count(overflow_, console)) return true;
  const auto end = overflow_uids_.begin() + static_cast<long>(overflow_distinct_);
  if (std::find(overflow_uids_.begin(), end, uid) != end) return false;
  if (overflow_distinct_ < kOverflowUids) {
    overflow_uids_[overflow_distinct_++] = uid;
  } else {
    overflow_more_ = true;
  }
  return false;
}

std::vector<std::string> RefusalLog::close_windows(Clock::time_point now) {
  std::vector<std::string> lines;
  for (Window& w : windows_) {
    if (w.used && now - w.start >= kWindow) close(w, lines);
  }
  if (overflow_.used && now - overflow_.start >= kWindow) close(overflow_, lines);
  return lines;
}

std::optional<Clock::time_point> RefusalLog::next_summary() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](const Window& w) {
    if (w.used && w.suppressed > 0 && (!next || w.start + kWindow < *next))
      next = w.start + kWindow;
  };
  for (const Window& w : windows_)
    consider(w);
  consider(overflow_);
  return next;
}

std::size_t RefusalLog::windows() const {
  return static_cast<std::size_t>(
      std::count_if(windows_.begin(), windows_.end(), [](const Window& w) { return w.used; }));
}

// ---- AcceptFailures ---------------------------------------------------------------------------

bool AcceptFailures::is_resource_error(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

std::vector<std::string> AcceptFailures::end_burst() {
  std::vector<std::string> lines;
  if (burst_ && repeats_ > 0) {
    lines.push_back("accept() failed: " + burst_->text() + " (repeated " +
                    std::to_string(repeats_) + " times)");
  }
  burst_.reset();
  repeats_ = 0;
  return lines;
}

AcceptFailures::Step AcceptFailures::failed(const helper_ipc::IoError& error,
                                            Clock::time_point now) {
  Step step;
  const bool resource = is_resource_error(error.os_code());
  if (burst_ && *burst_ == error && now - burst_start_ < kReport) {
    ++repeats_;
    step.pause = true;
    return step;
  }
  step.lines = end_burst();
  step.lines.push_back("accept() failed: " + error.text());
  if (resource) {
    burst_ = error;
    burst_start_ = now;
    step.pause = true;
  }
  return step;
}

std::vector<std::string> AcceptFailures::close_burst(Clock::time_point now) {
  if (!burst_ || now - burst_start_ < kReport) return {};
  return end_burst();
}

std::optional<Clock::time_point> AcceptFailures::next_report() const {
  if (!burst_ || repeats_ == 0) return std::nullopt;
  return burst_start_ + kReport;
}

// ---- The decision -----------------------------------------------------------------------------

std::optional<std::string> notice_console(Activity& activity, std::optional<uid_t> console) {
  if (!activity.console_changed(console)) return std::nullopt;
  const std::size_t closed =
      activity.close_idle([&](uid_t uid) { return !is_admitted(uid, console); });
  if (closed == 0) return std::nullopt;
  return "closed " + std::to_string(closed) +
         " idle connections of users the console no longer admits (console_uid=" +
         render_console_uid(console) + ")";
}

Admission admit(uid_t peer, int socket, std::optional<uid_t> console, Clock::time_point now,
                Activity& activity, RefusalLog& refusals) {
  Admission out;
  if (auto line = notice_console(activity, console)) out.lines.push_back(std::move(*line));
  Activity::Taken taken;
  const bool authorized = is_admitted(peer, console);
  if (authorized) {
    taken = activity.take(peer, socket, [&](uid_t uid) { return !is_admitted(uid, console); });
    if (taken.place) {
      out.lines.push_back(connection_line(peer, render_console_uid(console)));
      out.place = std::move(taken.place);
      return out;
    }
  }
  // A refusal: the texts are made only when the budget lets them be written, so that a flood
  // costs little more than its system calls.
  const bool write = refusals.note(peer, console, now, out.lines);
  if (!write) return out;
  const std::string console_text = render_console_uid(console);
  out.lines.push_back(connection_line(peer, console_text));
  const std::string uid = std::to_string(peer);
  if (!authorized) {
    out.lines.push_back(not_authorized_line(peer, console));
  } else if (taken.full == Activity::Full::User) {
    out.lines.push_back("rejecting peer: uid=" + uid + " has too many connections (" +
                        std::to_string(taken.held) + ")");
  } else {
    out.lines.push_back("rejecting peer: uid=" + uid + " finds too many connections in all (" +
                        std::to_string(taken.held) + ")");
  }
  return out;
}

}  // namespace pelmor
