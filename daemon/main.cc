// pelmor_helper: the root daemon. main() sets up the listening socket and accepts clients for as
// long as the process lives; each connection gets a thread of its own that runs
// handle_connection(), which authorises the peer and then answers its requests one by one through
// handle_request().
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "dhcp_socket.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/frame.h"
#include "helper_ipc/platform.h"
#include "icmp_probe.h"
#include "log.h"
#include "operations.h"

namespace pelmor {

using namespace helper_ipc;

namespace {

constexpr const char* kSocketPath = "/var/run/pelmor-helper.sock";
constexpr const char* kConsolePath = "/dev/console";
constexpr std::size_t kConnectionStack = 2 * 1024 * 1024;
constexpr int kExitBind = 1;
constexpr int kExitThread = 101;

// A diagnostic of a thread that stops, on standard error.
void diagnose(const std::string& text) {
  (void)write_all(STDERR_FILENO, text + "\n");
}

// Ignores SIGPIPE, so that a vanished client or tool shows as EPIPE; reopens any of the standard
// descriptors that is closed on /dev/null, so that no socket ever takes their numbers.
void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
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

std::string render_console_uid(std::optional<uid_t> uid) {
  return uid ? "Some(" + std::to_string(*uid) + ")" : "None";
}

// Root is always refused; the console's owner is admitted; when the console's owner cannot be
// read, every other user is.
bool is_admitted(uid_t peer, std::optional<uid_t> console) {
  if (peer == 0) return false;
  return !console || *console == peer;
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
  if (!sent) log_line("write_frame_with_fd error: " + sent.error().text());
}

}  // namespace

Response handle_request(Request request) {
  return std::visit(
      Overloaded{
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
          [](IcmpEcho& r) { return icmp_echo(r); },
      },
      request);
}

void handle_connection(UniqueFd connection) {
  uid_t peer = static_cast<uid_t>(-1);
  if (auto uid = platform::peer_uid(connection.get())) peer = *uid;
  std::optional<uid_t> console;
  if (struct stat st; stat(kConsolePath, &st) == 0) console = st.st_uid;

  const std::string console_text = render_console_uid(console);
  log_line("connection from uid=" + std::to_string(peer) + " (console_uid=" + console_text + ")");
  if (!is_admitted(peer, console)) {
    log_line("rejecting peer: uid=" + std::to_string(peer) +
             " not authorized (console_uid=" + console_text + ")");
    return;
  }

  // Reads go through a duplicate of the connection, writes through the connection itself.
  const int dup = fcntl(connection.get(), F_DUPFD_CLOEXEC, 3);
  if (dup == -1) {
    diagnose("connection thread stopped: clone stream: " + IoError::last_os_error().text());
    return;
  }
  UniqueFd duplicate(dup);
  BufReader reader(duplicate.get());
  BufWriter writer(connection.get());

  for (;;) {
    auto request = read_frame(reader);
    if (!request) {
      // End of input is how a client says goodbye; anything else is worth a line.
      if (request.error().kind() != IoErrorKind::UnexpectedEof) {
        log_line("read_frame error: " + request.error().text());
      }
      break;
    }
    log_line("request: " + render_for_log(*request));
    if (std::holds_alternative<BindDhcp67>(*request)) {
      hand_off_dhcp_socket(connection.get(), writer);
      break;
    }
    const Status sent = write_frame(writer, handle_request(std::move(request).value()));
    if (!sent) {
      log_line("write_frame error: " + sent.error().text());
      break;
    }
  }
  (void)writer.flush();
  connection.reset();
  // `duplicate` closes last, as the scope ends.
}

namespace {

void* connection_thread(void* arg) {
  std::unique_ptr<UniqueFd> connection(static_cast<UniqueFd*>(arg));
  // Whatever stops this thread ends this connection only.
  try {
    handle_connection(std::move(*connection));
  } catch (const ThreadStop&) {
    // The diagnostic is written already.
  } catch (const std::exception& e) {
    diagnose(std::string("connection thread stopped: ") + e.what());
  } catch (...) {
    diagnose("connection thread stopped");
  }
  return nullptr;
}

// Starts a detached thread with a 2 MiB stack that owns `connection`. Returns 0 or the error
// number of the failure, in which case the connection is closed.
int spawn_connection_thread(UniqueFd connection) {
  auto owned = std::make_unique<UniqueFd>(std::move(connection));
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

[[noreturn]] void serve(const UniqueFd& listener) {
  for (;;) {
    auto connection = platform::accept_connection(listener.get());
    if (!connection) {
      if (connection.error().os_code() != EINTR) {
        log_line("accept() failed: " + connection.error().text());
      }
      continue;
    }
    if (const int rc = spawn_connection_thread(std::move(connection).value()); rc != 0) {
      diagnose("failed to spawn thread: " + os_error_text(rc));
      _exit(kExitThread);  // the listening socket closes with the process; the file stays
    }
  }
}

int run() {
  log_line("starting, pid=" + std::to_string(getpid()));
  (void)unlink(kSocketPath);  // left by an earlier run; anything that stays makes bind fail
  auto listener = listen_on(kSocketPath);
  if (!listener) {
    log_line(std::string("FATAL: bind ") + kSocketPath + " failed: " + listener.error().text());
    return kExitBind;
  }
  // Every local user may connect; who may use the connection is decided per peer.
  if (retry_eintr([] { return chmod(kSocketPath, 0666); }) == -1) {
    log_line(std::string("WARN: chmod ") + kSocketPath +
             " failed: " + IoError::last_os_error().text());
  }
  log_line(std::string("listening on ") + kSocketPath);
  serve(*listener);
}

}  // namespace
}  // namespace pelmor

int main() {
  pelmor::prepare_process();
  try {
    return pelmor::run();
  } catch (const pelmor::ThreadStop&) {
    _exit(pelmor::kExitThread);  // the main thread could not write its log line
  }
}
