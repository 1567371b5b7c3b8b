// The daemon's connection loop, measured from a client over its UNIX-domain socket, against bare
// servers over the same kind of socket (on a thread of this process, or in a process of their
// own): one Ping round trip on an open connection (also against an echo that does the daemon's
// bookkeeping of each request), whole connections (connect, one Ping, close), and connections that
// the daemon refuses (connect, see the close).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "benchmarks.h"
#include "environment.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/platform.h"
#include "helper_ipc/retry_eintr.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"
#include "operations.h"
#include "sys.h"

namespace pelmor_bench {

namespace {

using helper_ipc::IoError;
using helper_ipc::Result;
using helper_ipc::Status;
using helper_ipc::UniqueFd;

std::string frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
  return out + body;
}

// The frames on the wire, made by the protocol library: 00 00 00 06 "Ping" and 00 00 00 06 "Pong".
const std::string& ping_frame() {
  static const std::string f = frame(helper_ipc::encode_request(helper_ipc::Ping{}));
  return f;
}
const std::string& pong_frame() {
  static const std::string f = frame(helper_ipc::encode_response(helper_ipc::Pong{}));
  return f;
}

sockaddr_un unix_address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

Result<UniqueFd> listen_unix(const std::string& path) {
  (void)unlink(path.c_str());
  auto listener = helper_ipc::platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!listener) return listener;
  const sockaddr_un addr = unix_address(path);
  if (bind(listener->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1 ||
      listen(listener->get(), SOMAXCONN) == -1) {
    return IoError::last_os_error();
  }
  return listener;
}

Result<UniqueFd> connect_unix(const std::string& path) {
  auto socket = helper_ipc::platform::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!socket) return socket;
  const sockaddr_un addr = unix_address(path);
  if (connect(socket->get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == -1) {
    return IoError::last_os_error();
  }
  return socket;
}

// Reads exactly `n` bytes; the end of the stream before that is UnexpectedEof.
Status read_exactly(int fd, char* out, std::size_t n) {
  while (n > 0) {
    auto got = helper_ipc::read_some(fd, out, n);
    if (!got) return std::move(got).error();
    if (*got == 0) return IoError::unexpected_eof();
    out += *got;
    n -= *got;
  }
  return {};
}

// The client's side of one request: writes the Ping frame, reads a whole frame of the same size
// and checks that it is the Pong frame. Empty on success, else why not.
std::string ping(int fd) {
  if (auto st = helper_ipc::write_all(fd, ping_frame()); !st) return "send: " + st.error().text();
  char reply[16];
  const std::size_t n = pong_frame().size();
  if (auto st = read_exactly(fd, reply, n); !st) return "receive: " + st.error().text();
  if (std::string_view(reply, n) != pong_frame()) return "the reply is not the Pong frame";
  return {};
}

// What the daemon does for each request besides reading it and answering: it reads the console's
// owner (one stat of "/dev/console") and writes one log line, with one write under a lock, to its
// standard output, a regular file.
class Bookkeeping {
 public:
  explicit Bookkeeping(const std::string& log_path)
      : log_(open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644)) {}

  bool request(std::string_view what) {
    struct stat console;
    if (stat("/dev/console", &console) == 0) benchmark::DoNotOptimize(console.st_uid);
    std::string line = "[pelmor-helper] request: ";
    line += what;
    line += '\n';
    std::lock_guard guard(lock_);
    return helper_ipc::write_all(log_.get(), line).ok();
  }

 private:
  UniqueFd log_;
  std::mutex lock_;
};

// The server's side of an echo: reads one Ping-sized frame, does the daemon's bookkeeping if
// given, writes the Pong frame.
bool serve_one(int fd, Bookkeeping* books = nullptr) {
  char request[16];
  return read_exactly(fd, request, ping_frame().size()).ok() &&
         (books == nullptr || books->request("Ping")) &&
         helper_ipc::write_all(fd, pong_frame()).ok();
}

// A bare server: accepts connections one after another and hands each to `handle`, on a thread
// of this process or, like the daemon, in a process of its own (forked; it ends when the server
// is destroyed). Either runs on the servers' CPU.
class BareServer {
 public:
  using Handler = std::function<void(UniqueFd)>;
  enum class Where { Thread, Process };

  BareServer(std::string name, Handler handle, Where where = Where::Thread)
      : path_(socket_dir() + "/" + std::move(name)) {
    auto listener = listen_unix(path_);
    if (!listener) {
      error_ = "listening on " + path_ + ": " + listener.error().text();
      return;
    }
    listener_ = std::move(listener).value();
    if (where == Where::Thread) {
      thread_ = std::thread([this, handle = std::move(handle)] { serve(handle); });
      return;
    }
    process_ = fork();
    if (process_ == -1) {
      error_ = "fork: " + IoError::last_os_error().text();
    } else if (process_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the benchmark
      serve(handle);
      _exit(0);
    } else {
      listener_.reset();  // the child's now
    }
  }
  ~BareServer() {
    if (thread_.joinable()) {
      stop_.store(true);
      (void)connect_unix(path_);  // wakes the accept; closed at once
      thread_.join();
    }
    if (process_ > 0) {
      kill(process_, SIGKILL);
      helper_ipc::retry_eintr([&] { return waitpid(process_, nullptr, 0); });
    }
    (void)unlink(path_.c_str());
  }
  BareServer(const BareServer&) = delete;
  BareServer& operator=(const BareServer&) = delete;

  const std::string& path() const { return path_; }
  // Why the server could not start, if it could not.
  const std::string& error() const { return error_; }

 private:
  void serve(const Handler& handle) {
    PinnedThread pin(server_cpu());  // where the daemon runs; threads made here inherit it
    while (!stop_.load()) {
      auto connection = pelmor::sys::accept_connection(listener_.get());
      if (!connection) {
        if (connection.error().os_code() == EINTR) continue;
        return;
      }
      if (stop_.load()) return;
      handle(std::move(connection).value());
    }
  }

  std::string path_;
  std::string error_;
  UniqueFd listener_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  pid_t process_ = -1;
};

// Serves a connection like the daemon's loop, without its work: frames until end of input.
void echo_until_eof(UniqueFd connection) {
  while (serve_one(connection.get())) {
  }
}

// A thread per connection, as the daemon makes them (detached, 2 MiB stack), that echoes until
// the end of input. Counts the threads still running, so that a benchmark waits for them.
class ThreadPerConnection {
 public:
  void spawn(UniqueFd connection) {
    auto job = std::make_unique<Job>(Job{this, std::move(connection)});
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    live_.fetch_add(1);
    pthread_t thread;
    if (pthread_create(&thread, &attr, &ThreadPerConnection::main, job.get()) == 0) {
      (void)job.release();
    } else {
      live_.fetch_sub(1);
    }
    pthread_attr_destroy(&attr);
  }
  void wait_idle() const {
    while (live_.load() != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

 private:
  struct Job {
    ThreadPerConnection* owner;
    UniqueFd connection;
  };
  static void* main(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    echo_until_eof(std::move(job->connection));
    job->owner->live_.fetch_sub(1);
    return nullptr;
  }
  std::atomic<int> live_{0};
};

// Where a client benchmark runs: on the servers' CPU, or on another one.
enum class Placement { SameCpu, TwoCpus };

// Pins the benchmark's thread for the placement; false (and the benchmark skipped) if it cannot.
bool place_client(benchmark::State& state, Placement placement, std::optional<PinnedThread>& pin) {
  const int cpu = placement == Placement::SameCpu ? server_cpu() : other_cpu();
  if (cpu < 0) {
    state.SkipWithError("needs two CPUs");
    return false;
  }
  pin.emplace(cpu);
  if (!pin->error().empty()) {
    state.SkipWithError(("pinning the client: " + pin->error()).c_str());
    return false;
  }
  return true;
}

bool skip_without_daemon(benchmark::State& state) {
  if (const auto& why = daemon_unavailable()) {
    state.SkipWithError(("needs the daemon: " + *why).c_str());
    return true;
  }
  return false;
}

// ---- Client operations -----------------------------------------------------------------------

// One Ping on the open connection `fd`.
Operation ping_on(int fd) {
  return [fd] { return ping(fd); };
}

// Connect, one Ping, close.
Operation connect_ping_close(std::string path) {
  return [path = std::move(path)]() -> std::string {
    auto connection = connect_unix(path);
    if (!connection) return "connect: " + connection.error().text();
    return ping(connection->get());
  };
}

// The least a connection costs: connect, and see the server close it.
Operation connect_see_close(std::string path) {
  return [path = std::move(path)]() -> std::string {
    auto connection = connect_unix(path);
    if (!connection) return "connect: " + connection.error().text();
    char byte;
    auto got = helper_ipc::read_some(connection->get(), &byte, 1);
    if (!got || *got != 0) return "the server did not close the connection";
    return {};
  };
}

// ---- One Ping on an open connection ----------------------------------------------------------

void round_trip_to(benchmark::State& state, const std::string& path) {
  auto connection = connect_unix(path);
  if (!connection) {
    return state.SkipWithError(("connect " + path + ": " + connection.error().text()).c_str());
  }
  run_operation(state, ping_on(connection->get()));
}

void round_trip_echo(benchmark::State& state) {
  BareServer server("echo.sock", echo_until_eof);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  round_trip_to(state, server.path());
}

// The same echo in a process of its own, as the daemon is: each wake-up switches address spaces.
void round_trip_echo_process(benchmark::State& state) {
  BareServer server("echo-process.sock", echo_until_eof, BareServer::Where::Process);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  round_trip_to(state, server.path());
}

// The echo in a process of its own that also does the daemon's bookkeeping of each request: the
// floor of the daemon's round trip.
void round_trip_echo_bookkeeping_process(benchmark::State& state) {
  Bookkeeping books(socket_dir() + "/echo.log");
  BareServer server(
      "echo-bookkeeping.sock",
      [&books](UniqueFd connection) {
        while (serve_one(connection.get(), &books)) {
        }
      },
      BareServer::Where::Process);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  round_trip_to(state, server.path());
}

void round_trip_daemon(benchmark::State& state) {
  if (skip_without_daemon(state)) return;
  round_trip_to(state, kDaemonSocket);
}

// ---- Whole connections -----------------------------------------------------------------------

void connection_accept_close(benchmark::State& state) {
  BareServer server("accept-close.sock", [](UniqueFd) {});
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  run_operation(state, connect_see_close(server.path()));
}

void serve_one_and_close(UniqueFd connection) {
  serve_one(connection.get());
}

void connection_accept_pong(benchmark::State& state) {
  BareServer server("accept-pong.sock", serve_one_and_close);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  run_operation(state, connect_ping_close(server.path()));
}

void connection_thread_per_connection(benchmark::State& state) {
  ThreadPerConnection threads;
  {
    BareServer server("threads.sock",
                      [&threads](UniqueFd connection) { threads.spawn(std::move(connection)); });
    if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
    run_operation(state, connect_ping_close(server.path()));
  }
  threads.wait_idle();
}

void connection_thread_per_connection_process(benchmark::State& state) {
  // The threads live in the server's process and end with it.
  ThreadPerConnection threads;
  BareServer server(
      "threads-process.sock",
      [&threads](UniqueFd connection) { threads.spawn(std::move(connection)); },
      BareServer::Where::Process);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  run_operation(state, connect_ping_close(server.path()));
}

void connection_daemon(benchmark::State& state) {
  if (skip_without_daemon(state)) return;
  run_operation(state, connect_ping_close(kDaemonSocket));
}

// A peer whom the daemon refuses: the accept loop closes it at once, with no thread; against a
// bare server that accepts and closes in a process of its own.
void refused_accept_close_process(benchmark::State& state) {
  BareServer server(
      "accept-close-process.sock", [](UniqueFd) {}, BareServer::Where::Process);
  if (!server.error().empty()) return state.SkipWithError(server.error().c_str());
  run_operation(state, connect_see_close(server.path()));
}

void refused_daemon(benchmark::State& state) {
  if (skip_without_daemon(state)) return;
  AsRefusedUser refused;
  if (!refused.error().empty()) return state.SkipWithError(refused.error().c_str());
  run_operation(state, connect_see_close(kDaemonSocket));
}

}  // namespace

void register_socket_benchmarks() {
  using Benchmark = void (*)(benchmark::State&);
  const std::pair<const char*, Benchmark> benchmarks[] = {
      {"round_trip/ping/echo", round_trip_echo},
      {"round_trip/ping/echo_process", round_trip_echo_process},
      {"round_trip/ping/echo_bookkeeping_process", round_trip_echo_bookkeeping_process},
      {"round_trip/ping/daemon", round_trip_daemon},
      {"connection/accept_close", connection_accept_close},
      {"connection/accept_pong", connection_accept_pong},
      {"connection/thread_per_connection_pong", connection_thread_per_connection},
      {"connection/thread_per_connection_pong_process", connection_thread_per_connection_process},
      {"connection/daemon", connection_daemon},
      {"refused/accept_close_process", refused_accept_close_process},
      {"refused/daemon", refused_daemon},
  };
  for (const auto placement : {Placement::SameCpu, Placement::TwoCpus}) {
    const char* suffix = placement == Placement::SameCpu ? "/same_cpu" : "/two_cpus";
    for (const auto& entry : benchmarks) {
      const Benchmark run = entry.second;
      benchmark::RegisterBenchmark((std::string(entry.first) + suffix).c_str(),
                                   [placement, run](benchmark::State& state) {
                                     std::optional<PinnedThread> pin;
                                     if (place_client(state, placement, pin)) run(state);
                                   })
          ->UseRealTime();
    }
  }
}

}  // namespace pelmor_bench
