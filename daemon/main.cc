// pelmor_helper: the root daemon. main() sets up the listening socket and accepts clients until it
// is asked to stop. The accept loop decides each peer at once (admission.h): a refused or over-cap
// peer is closed there; an admitted one gets a thread of its own that runs handle_connection(),
// which answers its requests one by one through handle_request() for as long as the peer's user
// keeps the console. The process's signals, its pid file and its stop are lifecycle.h's.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "activity.h"
#include "admission.h"
#include "connection.h"
#include "dhcp_socket.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/message_frames.h"
#include "helper_ipc/overloaded.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/socket_path.h"
#include "icmp_probe.h"
#include "lifecycle.h"
#include "log.h"
#include "operations.h"
#include "sys.h"

namespace pelmor {

using namespace helper_ipc;

namespace {

constexpr std::size_t kConnectionStack = 2 * 1024 * 1024;
constexpr int kExitCannotStart = 1;  // no socket, or another daemon runs
constexpr int kExitThread = 101;
// The soft descriptor limit wanted at start, with room to spare beyond the caps.
constexpr rlim_t kWantedDescriptors = 4096;

// A diagnostic of a thread that stops, on standard error.
void diagnose(const std::string& text) {
  (void)write_all(STDERR_FILENO, text + "\n");
}

// A line of the main thread's own: one that cannot be written ends the daemon.
void log_or_exit(std::string_view message) {
  if (!log_line(message)) _exit(kExitThread);
}

// Ignores SIGPIPE, so that a vanished client or tool shows as EPIPE; blocks the signals that the
// signal thread takes; reopens any of the standard descriptors that is closed on /dev/null, so
// that no socket ever takes their numbers.
void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
  lifecycle::block_signals();
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // A standard stream, so without close-on-exec. It takes the lowest free number, which is `fd`
    // itself, since the lower ones are open by now.
    const int null = open("/dev/null", O_RDWR);
    if (null == -1) std::abort();
    if (null != fd) {
      UniqueFd extra(null);
      if (dup2(null, fd) == -1) std::abort();
    }
  }
}

// The DHCP server socket hand-off: the reply carries the socket's descriptor; our copy is closed
// whether or not it could be sent.
void hand_off_dhcp_socket(int connection, BufWriter& writer) {
  auto socket = bind_dhcp67();
  if (!socket) {
    (void)write_frame(writer, Err{socket.error()});
    return;
  }
  (void)writer.flush();  // earlier replies go out ahead of the descriptor
  const Status sent = write_frame_with_fd(connection, FdFollows{}, socket->get());
  socket->reset();
  if (!sent) (void)log_line("write_frame_with_fd error: " + sent.error().text());  // it ends anyway
}

// Waits until the next frame begins to arrive (or is buffered already; its first bytes are read
// into the buffer, and a failure to read is left to read_frame); the connection is busy from then
// until its reply is out. False when the daemon stops or the connection's place was given up: the
// connection ends, its next frame unread.
bool await_request(Connection& connection) {
  connection.reader().fill();
  return connection.place().begin_request();
}

}  // namespace

std::optional<Response> handle_request(Request request) {
  const auto operation = Overloaded{
      [](Ping&) -> Response { return Pong{}; },
      [](GetForwarding&) { return get_forwarding(); },
      [](SetForwarding& r) { return set_forwarding(r); },
      [](PfLoadAnchor& r) { return pf_load_anchor(r); },
      [](PfFlushAnchor& r) { return pf_flush_anchor(r); },
      [](PfEnable&) { return pf_enable(); },
      [](PfRelease& r) { return pf_release(r); },
      [](IfconfigRead& r) { return ifconfig_read(r); },
      [](IfconfigSet& r) { return ifconfig_set(r); },
      [](IfconfigDelete& r) { return ifconfig_delete(r); },
      [](BindDhcp67&) -> Response { return Err{"BindDhcp67 must be handled by the caller"}; },
      [](IcmpEcho& r) { return icmp_echo(r); },  // nothing when its log line failed
  };
  return std::visit([&](auto& r) -> std::optional<Response> { return operation(r); }, request);
}

// Every line that cannot be written ends the connection here, as every failure to read or write
// does.
void handle_connection(AdmittedPeer peer) {
  Connection connection(std::move(peer));
  while (await_request(connection)) {
    auto request = read_frame(connection.reader());
    if (!request) {
      // End of input is how a client says goodbye; anything else is worth a line.
      if (request.error().kind() != IoErrorKind::UnexpectedEof) {
        (void)log_line("read_frame error: " + request.error().text());
      }
      return;
    }
    // The console may have changed hands since the peer was admitted: a user who has left it
    // keeps no root powers through a connection opened before.
    const auto console = console_owner();
    if (auto line = notice_console(activity(), console); line && !log_line(*line)) return;
    if (!is_admitted(connection.uid(), console)) {
      (void)log_line(not_authorized_line(connection.uid(), console));
      return;
    }
    connection.place().name_request(request->index());
    if (!log_line("request: " + render_for_log(*request))) return;
    if (std::holds_alternative<BindDhcp67>(*request)) {
      hand_off_dhcp_socket(connection.socket(), connection.writer());
      (void)connection.place().end_request();  // the connection ends after the hand-off anyway
      return;
    }
    const std::optional<Response> reply = handle_request(std::move(request).value());
    if (!reply) return;
    if (const Status sent = write_frame(connection.writer(), *reply); !sent) {
      (void)log_line("write_frame error: " + sent.error().text());
      return;
    }
    // A stop, or a peer who took this connection's place, ends it once its reply is out.
    if (!connection.place().end_request()) return;
  }
  // The connection flushes, gives back its place, and closes its descriptors as it goes.
}

namespace {

void* connection_thread(void* arg) {
  std::unique_ptr<AdmittedPeer> connection(static_cast<AdmittedPeer*>(arg));
  // Whatever stops this thread ends this connection only.
  try {
    handle_connection(std::move(*connection));
  } catch (const std::exception& e) {
    diagnose(std::string("connection thread stopped: ") + e.what());
  } catch (...) {
    diagnose("connection thread stopped");
  }
  return nullptr;
}

// Starts a detached thread with a 2 MiB stack that owns `connection`. Returns 0 or the error
// number of the failure, in which case the connection is closed.
int spawn_connection_thread(AdmittedPeer connection) {
  auto owned = std::make_unique<AdmittedPeer>(std::move(connection));
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setstacksize(&attr, kConnectionStack);
  if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, connection_thread, owned.get());
  pthread_attr_destroy(&attr);
  if (rc == 0) (void)owned.release();  // the thread owns it now
  return rc;
}

Result<UniqueFd> listen_on(const char* path) {
  auto listener = platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!listener) return listener;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  if (bind(listener->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1 ||
      listen(listener->get(), -1) == -1) {
    return IoError::last_os_error();
  }
  return listener;
}

// Lines about a connection, written by the accept loop. One that cannot be written costs the
// connection it is about (after the diagnostic), as it did when the connection's thread wrote it,
// never the daemon.
bool write_connection_lines(const std::vector<std::string>& lines) {
  return std::all_of(lines.begin(), lines.end(), [](const std::string& l) { return log_line(l); });
}

enum class Woken { Peer, Time, Stop };

// Waits until a connection is waiting on `listener`, `until` has come (when given), or a stop is
// asked for on `stop`.
Woken wait_for_peer(const UniqueFd& listener, int stop, std::optional<Clock::time_point> until) {
  int timeout = -1;
  if (until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count();
    timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
  }
  pollfd ready[] = {{listener.get(), POLLIN, 0}, {stop, POLLIN, 0}};
  (void)poll(ready, 2, timeout);
  if (ready[1].revents != 0) return Woken::Stop;
  return ready[0].revents != 0 ? Woken::Peer : Woken::Time;
}

// The accept loop, until a stop is asked for on `stop`. Everything it keeps is bounded: the refusal
// log has a fixed number of slots, and the activity a fixed table of connections.
void serve(const UniqueFd& listener, int stop) {
  RefusalLog refusals;
  AcceptFailures failures;
  for (;;) {
    // A window whose summary is due is closed even when its uid has stopped connecting: the loop
    // waits for the listener no longer than until the next summary. A summary is about connections
    // closed already: one that cannot be written is dropped.
    const Clock::time_point now = Clock::now();
    (void)write_connection_lines(refusals.close_windows(now));
    for (const std::string& line : failures.close_burst(now))
      log_or_exit(line);
    auto next = refusals.next_summary();
    if (const auto report = failures.next_report(); report && (!next || *report < *next)) {
      next = report;
    }
    const Woken woken = wait_for_peer(listener, stop, next);
    if (woken == Woken::Stop) return;
    if (woken == Woken::Time) continue;
    auto accepted = sys::accept_connection(listener.get());
    if (accepted) {
      // A peer whose uid cannot be read is refused.
      uid_t peer = kUnknownUid;
      if (auto uid = sys::peer_uid(accepted->get())) peer = *uid;
      Admission admission =
          admit(peer, accepted->get(), console_owner(), Clock::now(), activity(), refusals);
      if (!admission.place) {
        (void)write_connection_lines(admission.lines);  // refused: closed here either way
        continue;
      }
      // An admitted connection reads through a duplicate of its own. When the descriptor table is
      // full, the accept may take the last free number and leave none for the duplicate: that is
      // the shortage of a failed accept, and the connection is closed as part of its burst.
      auto duplicate = duplicate_for_reading(accepted->get());
      if (duplicate) {
        if (!write_connection_lines(admission.lines)) continue;  // the place goes, then the socket
        const int rc = spawn_connection_thread(AdmittedPeer{std::move(accepted).value(),
                                                            std::move(duplicate).value(), peer,
                                                            std::move(admission.place)});
        if (rc != 0) {
          diagnose("failed to spawn thread: " + os_error_text(rc));
          _exit(kExitThread);  // the listening socket closes with the process; the file stays
        }
        continue;
      }
      admission.place.leave();  // before its socket closes
      if (!AcceptFailures::is_resource_error(duplicate.error().os_code())) {
        diagnose("connection closed: clone stream: " + duplicate.error().text());
        continue;
      }
      accepted = std::move(duplicate).error();
    }
    if (accepted.error().os_code() == EINTR) continue;
    const AcceptFailures::Step step = failures.failed(accepted.error(), Clock::now());
    for (const std::string& line : step.lines)
      log_or_exit(line);
    pollfd asked{stop, POLLIN, 0};
    const auto pause =
        std::chrono::duration_cast<std::chrono::milliseconds>(AcceptFailures::kPause);
    if (step.pause && poll(&asked, 1, static_cast<int>(pause.count())) == 1) return;
  }
}

int run() {
  remember_log_file();
  const int stop = lifecycle::start_signal_thread();
  log_or_exit("starting, pid=" + std::to_string(getpid()));
  // One daemon at a time: a second one started by hand leaves the first one's files alone.
  const lifecycle::PidFile pid_file = lifecycle::take_pid_file();
  if (pid_file.held_elsewhere) {
    log_or_exit("FATAL: another pelmor-helper is running (pid " +
                (pid_file.other_pid ? std::to_string(*pid_file.other_pid) : "unknown") + ")");
    return kExitCannotStart;
  }
  // The caps' connections take two descriptors each, their tools a few more; a launchd daemon
  // starts with 256. A limit that cannot be raised is no reason not to start: the caps and the
  // accept loop's pause keep the daemon within whatever it has.
  sys::raise_descriptor_limit(kWantedDescriptors);
  (void)unlink(kSocketPath);  // left by an earlier run; anything that stays makes bind fail
  // The socket file is created with mode 0666 in the first place; the umask is the process's, so
  // it is changed only here, before any connection thread exists, and restored at once (the
  // signal thread sets the mode of any file it creates itself).
  const mode_t umask_before = umask(0111);
  auto listener = listen_on(kSocketPath);
  umask(umask_before);
  if (!listener) {
    lifecycle::release_pid_file();
    log_or_exit(std::string("FATAL: bind ") + kSocketPath + " failed: " + listener.error().text());
    return kExitCannotStart;
  }
  // Every local user may connect; who may use the connection is decided per peer. The mode is set
  // again without following a link, so that nothing swapped in at the path is changed.
  if (auto st = sys::chmod_nofollow(kSocketPath, 0666); !st) {
    log_or_exit(std::string("WARN: chmod ") + kSocketPath + " failed: " + st.error().text());
  }
  log_or_exit(std::string("listening on ") + kSocketPath);
  if (pid_file.warning) log_or_exit(*pid_file.warning);
  serve(*listener, stop);
  // The socket file stays; the next start removes it.
  listener->reset();
  lifecycle::stop();
}

}  // namespace
}  // namespace pelmor

// Every exit is an _exit, as the stop's is: the signal thread is still running, and exit() would
// run the static destructors (and a sanitizer's leak check) under it.
int main() {
  pelmor::prepare_process();
  _exit(pelmor::run());
}
