#include "activity.h"

#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <utility>

#include "helper_ipc/messages.h"
#include "helper_ipc/schema.h"

namespace pelmor {

// ---- Place ------------------------------------------------------------------------------------

Activity::Place::Place(Place&& other) noexcept
    : activity_(std::exchange(other.activity_, nullptr)), slot_(other.slot_) {}

Activity::Place& Activity::Place::operator=(Place&& other) noexcept {
  if (this != &other) {
    leave();
    activity_ = std::exchange(other.activity_, nullptr);
    slot_ = other.slot_;
  }
  return *this;
}

bool Activity::Place::begin_request() {
  std::lock_guard guard(activity_->lock_);
  Slot& slot = activity_->slots_[slot_];
  if (activity_->stopping_ || slot.given_up || slot.shut) return false;
  slot.busy = true;
  activity_->requests_[slot_].store(kNoRequest, std::memory_order_relaxed);
  return true;
}

void Activity::Place::name_request(std::size_t variant) noexcept {
  activity_->requests_[slot_].store(variant, std::memory_order_relaxed);
}

bool Activity::Place::end_request() {
  std::lock_guard guard(activity_->lock_);
  Slot& slot = activity_->slots_[slot_];
  slot.busy = false;
  if (activity_->stopping_) {
    ++activity_->finished_;
    return false;
  }
  return !slot.given_up;
}

void Activity::Place::leave() noexcept {
  if (activity_ != nullptr) std::exchange(activity_, nullptr)->leave(slot_);
}

void Activity::leave(std::size_t slot) noexcept {
  std::lock_guard guard(lock_);
  --(slots_[slot].given_up ? ending_ : admitted_);
  slots_[slot] = Slot{};
  if (stopping_) {
    ++closed_;
    changed_.notify_all();
  }
}

// ---- Places -----------------------------------------------------------------------------------

std::optional<std::size_t> choose_eviction(std::span<const Activity::Slot> slots,
                                           const Activity::Departed& departed) {
  std::optional<std::size_t> busy;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Activity::Slot& s = slots[i];
    if (!s.used || s.given_up || !departed(s.uid)) continue;
    if (!s.busy) return i;
    if (!busy) busy = i;
  }
  return busy;
}

namespace {

void shut(Activity::Slot& slot) {
  if (slot.shut) return;
  (void)::shutdown(slot.socket, SHUT_RDWR);
  slot.shut = true;
}

}  // namespace

void Activity::give_up(Slot& slot) {
  slot.given_up = true;
  --admitted_;
  ++ending_;
  if (!slot.busy) shut(slot);
}

Activity::Taken Activity::take(uid_t uid, int socket, const Departed& departed) {
  std::lock_guard guard(lock_);
  std::size_t of_uid = 0;
  for (const Slot& s : slots_)
    of_uid += s.used && !s.given_up && s.uid == uid;
  if (of_uid >= kPerUid) return {Place(), Full::User, of_uid};
  if (admitted_ >= kTotal) {
    std::optional<std::size_t> victim;
    if (ending_ < kEnding) victim = choose_eviction(slots_, departed);
    if (!victim) return {Place(), Full::All, admitted_};
    give_up(slots_[*victim]);
  }
  // Fewer than kTotal places are held and fewer than kEnding given up: a slot is free.
  const auto free = static_cast<std::size_t>(
      std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.used; }) -
      slots_.begin());
  slots_[free] = Slot{true, false, false, false, uid, socket};
  ++admitted_;
  return {Place(this, free), Full::No, of_uid + 1};
}

std::size_t Activity::held(uid_t uid) const {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [&](const Slot& s) {
    return s.used && !s.given_up && s.uid == uid;
  }));
}

std::size_t Activity::held() const {
  std::lock_guard guard(lock_);
  return admitted_;
}

// ---- The console ------------------------------------------------------------------------------

bool Activity::console_changed(std::optional<uid_t> console) noexcept {
  const std::int64_t now = console ? static_cast<std::int64_t>(*console) : -1;
  const std::int64_t before = console_.exchange(now, std::memory_order_relaxed);
  return before != kNeverLooked && before != now;
}

std::size_t Activity::close_idle(const Departed& departed) {
  std::lock_guard guard(lock_);
  std::size_t closed = 0;
  for (Slot& s : slots_) {
    if (!s.used || s.given_up || s.busy || s.shut || !departed(s.uid)) continue;
    shut(s);
    ++closed;
  }
  return closed;
}

// ---- Tools ------------------------------------------------------------------------------------

bool Activity::tool_starting() {
  std::lock_guard guard(lock_);
  if (cutting_) return false;
  ++starting_;
  return true;
}

void Activity::tool_started(pid_t pid) {
  std::lock_guard guard(lock_);
  --starting_;
  if (pid > 0) tools_.push_back(pid);
  if (cutting_) changed_.notify_all();
}

void Activity::tool_ending(pid_t pid) {
  std::lock_guard guard(lock_);
  if (auto it = std::find(tools_.begin(), tools_.end(), pid); it != tools_.end()) tools_.erase(it);
}

// ---- The stop ---------------------------------------------------------------------------------

void Activity::begin_stop() {
  std::lock_guard guard(lock_);
  stopping_ = true;
  for (Slot& s : slots_) {
    if (s.used && !s.busy) shut(s);
  }
}

bool Activity::wait_closed(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, deadline, [&] { return admitted_ + ending_ == 0; });
}

Activity::Report Activity::report_locked() const {
  Report report{finished_, closed_, {}, 0};
  constexpr auto& kNames = helper_ipc::kVariantNames<helper_ipc::Request>;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (!slots_[i].used || !slots_[i].busy) continue;
    const std::size_t request = requests_[i].load(std::memory_order_relaxed);
    report.cut.push_back(
        (request < kNames.size() ? std::string(kNames[request]) : "a frame being read") +
        " from uid=" + std::to_string(slots_[i].uid));
  }
  return report;
}

Activity::Report Activity::report() const {
  std::lock_guard guard(lock_);
  return report_locked();
}

Activity::Report Activity::cut_short() {
  std::unique_lock guard(lock_);
  stopping_ = true;
  cutting_ = true;
  // A tool being started now is killed with the others: a start takes no longer than its exec.
  changed_.wait(guard, [&] { return starting_ == 0; });
  Report report = report_locked();
  // Registered tools have not been reaped: each pid is still its tool's, running or ended.
  for (pid_t pid : tools_)
    (void)::kill(pid, SIGKILL);
  report.killed = tools_.size();
  return report;
}

std::string stop_line(const Activity::Report& report, std::string_view cut_short) {
  std::string line = "stopping";
  if (!cut_short.empty()) line += " at once (" + std::string(cut_short) + ")";
  line += ": " + std::to_string(report.finished) + " requests finished, " +
          std::to_string(report.closed) + " connections closed";
  if (cut_short.empty()) return line;
  line += ", " + std::to_string(report.cut.size()) + " cut";
  for (std::size_t i = 0; i < report.cut.size(); ++i)
    line += (i == 0 ? " (" : ", ") + report.cut[i] + (i + 1 == report.cut.size() ? ")" : "");
  return line + ", " + std::to_string(report.killed) + " tools killed";
}

Activity& activity() {
  static Activity* const the = new Activity;
  return *the;
}

}  // namespace pelmor
