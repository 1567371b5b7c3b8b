// The C interface over Client: every entry point checks its arguments, takes the handle's turn
// within the call's deadline, runs the request through the C++ client and turns each outcome, a
// thrown std::bad_alloc included, into a status and a text kept for the calling thread.
#include <fcntl.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/helper_ipc.h"
#include "helper_ipc/platform.h"

namespace {

using namespace helper_ipc;

// The calls on a handle take turns: a lock whose wait ends at a deadline. (A condition variable
// rather than std::timed_mutex, whose clocked wait ThreadSanitizer does not see.)
class Turn {
 public:
  bool take(const Deadline& deadline) {
    std::unique_lock lock(mutex_);
    const auto free = [this] { return !busy_; };
    if (!deadline.bounded()) {
      free_.wait(lock, free);
    } else if (!free_.wait_until(lock, deadline.at(), free)) {
      return false;
    }
    busy_ = true;
    return true;
  }
  void give_back() {
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
};

std::atomic<std::uint64_t> next_handle_id{1};

}  // namespace

struct helper_ipc_client {
  const std::uint64_t id = next_handle_id++;
  const std::shared_ptr<const int> alive = std::make_shared<const int>(0);  // for Texts
  std::atomic<std::uint32_t> timeout_ms{HELPER_IPC_DEFAULT_TIMEOUT_MS};
  Turn turn;
  std::optional<Client> client;  // used only by the call that has the turn
};

namespace {

constexpr const char* kNullHandle = "the client handle is NULL";
constexpr const char* kOutOfMemory = "out of memory";

// What the calls on one handle returned to one thread. Each thread keeps its own, so that a call
// on another thread never frees a text this one still reads; those of freed handles go when the
// thread next needs a new one, or when it ends.
struct Texts {
  std::uint64_t handle;
  std::weak_ptr<const int> alive;
  std::string error;                  // the last failure's text
  const char* fixed_error = nullptr;  // used instead of `error` when that could not be stored
  std::string token;                  // the last enable token returned
};
thread_local std::vector<std::unique_ptr<Texts>> thread_texts;
// A handle for which this thread could not even make its Texts: its last call ran out of memory.
thread_local std::uint64_t texts_out_of_memory = 0;

Texts* find_texts(const helper_ipc_client& c) {
  for (const auto& t : thread_texts) {
    if (t->handle == c.id) return t.get();
  }
  return nullptr;
}

Texts& texts_for(const helper_ipc_client& c) {
  Texts* texts = find_texts(c);
  if (texts == nullptr) {
    std::erase_if(thread_texts, [](const auto& t) { return t->alive.expired(); });
    auto fresh = std::make_unique<Texts>(Texts{c.id, c.alive, {}, nullptr, {}});
    thread_texts.push_back(std::move(fresh));
    texts = thread_texts.back().get();
  }
  if (texts_out_of_memory == c.id) texts_out_of_memory = 0;
  texts->error.clear();
  texts->fixed_error = nullptr;
  return *texts;
}

helper_ipc_status status_of(ClientError::Kind kind) {
  switch (kind) {
    case ClientError::Kind::ErrReply:
      return HELPER_IPC_ERR_REPLY;
    case ClientError::Kind::Refused:
      return HELPER_IPC_REFUSED;
    case ClientError::Kind::BadArgument:
      return HELPER_IPC_BAD_ARGUMENT;
    case ClientError::Kind::ProtocolError:
      return HELPER_IPC_PROTOCOL_ERROR;
    case ClientError::Kind::TimedOut:
      return HELPER_IPC_TIMED_OUT;
    case ClientError::Kind::Connect:
    case ClientError::Kind::Io:
      break;
  }
  return HELPER_IPC_CONNECTION_FAILED;
}

// One call on a handle: its deadline, the calling thread's texts, and the handle's turn once taken.
struct Call {
  helper_ipc_client& c;
  Texts& texts;
  const Deadline deadline = Deadline::after(std::chrono::milliseconds(c.timeout_ms.load()));
  bool has_turn = false;

  Call(helper_ipc_client& handle, Texts& own) : c(handle), texts(own) {}
  Call(const Call&) = delete;
  ~Call() {
    if (has_turn) c.turn.give_back();
  }

  helper_ipc_status fail(helper_ipc_status status, std::string text) {
    texts.error = std::move(text);
    return status;
  }
  helper_ipc_status fail(ClientError e) { return fail(status_of(e.kind), std::move(e.text)); }

  // HELPER_IPC_OK once the call has the handle, or why not.
  helper_ipc_status take_turn() {
    has_turn = c.turn.take(deadline);
    if (has_turn) return HELPER_IPC_OK;
    return fail(HELPER_IPC_TIMED_OUT,
                "another call on this handle held it for the whole time "
                "limit of " +
                    std::to_string(deadline.limit().count()) + " ms; nothing was sent");
  }
  // The handle's client once the call has the turn, or the failure.
  helper_ipc_status take_client() {
    if (auto st = take_turn(); st != HELPER_IPC_OK) return st;
    if (c.client) return HELPER_IPC_OK;
    return fail(HELPER_IPC_CONNECTION_FAILED,
                "the handle has no connection: connect it first (helper_ipc_connect, "
                "helper_ipc_adopt)");
  }
};

// Runs `body` on a live handle; nothing thrown gets past it.
template <class Body>
helper_ipc_status guarded(helper_ipc_client* c, Body&& body) noexcept {
  if (c == nullptr) return HELPER_IPC_BAD_ARGUMENT;
  Texts* texts = nullptr;
  try {
    texts = &texts_for(*c);
    Call call(*c, *texts);
    try {
      return body(call);
    } catch (...) {
      // Whatever was thrown (in practice std::bad_alloc) may have cut a frame in half.
      if (call.has_turn && c->client) c->client->close();
      throw;
    }
  } catch (...) {
    const char* why = kOutOfMemory;
    try {
      throw;
    } catch (const std::bad_alloc&) {
    } catch (...) {
      why = "an unexpected failure inside helper_ipc";
    }
    if (texts == nullptr) {
      texts_out_of_memory = c->id;
    } else {
      texts->error.clear();
      texts->fixed_error = why;
    }
    return HELPER_IPC_CONNECTION_FAILED;
  }
}

// The argument checks, each with the text of its failure; nothing is sent when one fails.
struct Arguments {
  Call& call;
  std::optional<std::string> problem;

  void need(const void* p, const char* name) {
    if (p == nullptr && !problem) problem = std::string(name) + " is NULL";
  }
  Ipv4Addr address(const char* text, const char* name) {
    need(text, name);
    if (problem) return {};
    auto parsed = Ipv4Addr::parse(text);
    if (!parsed) {
      problem = std::string(name) + " \"" + text + "\" is not a dotted-decimal IPv4 address";
      return {};
    }
    return *parsed;
  }
  bool bad() {
    if (problem) call.fail(HELPER_IPC_BAD_ARGUMENT, std::move(*problem));
    return problem.has_value();
  }
};

// Sends `request` and hands the reply to `take` when it is a `Want`.
template <class Want, class Take>
helper_ipc_status ask(Call& call, const Request& request, Take&& take) {
  if (auto st = call.take_client(); st != HELPER_IPC_OK) return st;
  auto reply = call.c.client->call(request, call.deadline);
  if (!reply) return call.fail(std::move(reply).error());
  if (const Want* want = std::get_if<Want>(&*reply)) {
    take(*want);
    return HELPER_IPC_OK;
  }
  if (const Err* err = std::get_if<Err>(&*reply)) return call.fail(HELPER_IPC_ERR_REPLY, err->text);
  // The client lets through only the replies that answer the request, this one's Want among them.
  return call.fail(HELPER_IPC_PROTOCOL_ERROR,
                   "the reply does not answer " + std::string(variant_name(request)));
}

template <class Want>
helper_ipc_status ask(Call& call, const Request& request) {
  return ask<Want>(call, request, [](const Want&) {});
}

}  // namespace

extern "C" {

const char* helper_ipc_version(void) {
  return HELPER_IPC_VERSION_STRING;
}

helper_ipc_client* helper_ipc_client_new(void) {
  try {
    return new helper_ipc_client();
  } catch (...) {
    return nullptr;
  }
}

void helper_ipc_client_free(helper_ipc_client* client) {
  delete client;
}

helper_ipc_status helper_ipc_set_timeout_ms(helper_ipc_client* client, uint32_t ms) {
  if (client == nullptr) return HELPER_IPC_BAD_ARGUMENT;
  client->timeout_ms = ms;
  return HELPER_IPC_OK;
}

helper_ipc_status helper_ipc_connect(helper_ipc_client* client, const char* path) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(path, "path");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    if (auto st = call.take_turn(); st != HELPER_IPC_OK) return st;
    call.c.client.reset();
    auto connected = Client::connect(path, call.deadline);
    if (!connected) return call.fail(std::move(connected).error());
    call.c.client.emplace(std::move(connected).value());
    return HELPER_IPC_OK;
  });
}

// The C header spells the path out for C callers; it is the daemon's.
static_assert(std::string_view(HELPER_IPC_DEFAULT_SOCKET_PATH) == helper_ipc::kSocketPath);

helper_ipc_status helper_ipc_connect_default(helper_ipc_client* client) {
  return helper_ipc_connect(client, HELPER_IPC_DEFAULT_SOCKET_PATH);
}

helper_ipc_status helper_ipc_adopt(helper_ipc_client* client, int fd) {
  return guarded(client, [&](Call& call) {
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) {
      return call.fail(HELPER_IPC_BAD_ARGUMENT, std::to_string(fd) + " is not an open descriptor");
    }
    UniqueFd owned(fd);
    if (auto st = call.take_turn(); st != HELPER_IPC_OK) return st;
    call.c.client.reset();
    if (auto st = platform::set_cloexec(owned.get()); !st) {
      return call.fail(HELPER_IPC_CONNECTION_FAILED,
                       "adopting the descriptor: " + st.error().text());
    }
    call.c.client.emplace(Client::adopt(std::move(owned)));
    return HELPER_IPC_OK;
  });
}

void helper_ipc_disconnect(helper_ipc_client* client) {
  if (client == nullptr) return;
  try {
    client->turn.take(Deadline());
    client->client.reset();
    client->turn.give_back();
  } catch (...) {
    // Taking the lock failed: the connection stays; nothing else can be done here.
  }
}

const char* helper_ipc_last_error(const helper_ipc_client* client) {
  if (client == nullptr) return kNullHandle;
  if (const Texts* texts = find_texts(*client)) {
    return texts->fixed_error != nullptr ? texts->fixed_error : texts->error.c_str();
  }
  return texts_out_of_memory == client->id ? kOutOfMemory : "";
}

size_t helper_ipc_last_error_len(const helper_ipc_client* client) {
  const Texts* texts = client != nullptr ? find_texts(*client) : nullptr;
  if (texts != nullptr && texts->fixed_error == nullptr) return texts->error.size();
  return std::strlen(helper_ipc_last_error(client));
}

const char* helper_ipc_status_name(helper_ipc_status status) {
  switch (status) {
    case HELPER_IPC_OK:
      return "HELPER_IPC_OK";
    case HELPER_IPC_ERR_REPLY:
      return "HELPER_IPC_ERR_REPLY";
    case HELPER_IPC_REFUSED:
      return "HELPER_IPC_REFUSED";
    case HELPER_IPC_CONNECTION_FAILED:
      return "HELPER_IPC_CONNECTION_FAILED";
    case HELPER_IPC_BAD_ARGUMENT:
      return "HELPER_IPC_BAD_ARGUMENT";
    case HELPER_IPC_PROTOCOL_ERROR:
      return "HELPER_IPC_PROTOCOL_ERROR";
    case HELPER_IPC_TIMED_OUT:
      return "HELPER_IPC_TIMED_OUT";
  }
  return "unknown status";
}

helper_ipc_status helper_ipc_ping(helper_ipc_client* client) {
  return guarded(client, [&](Call& call) { return ask<Pong>(call, Ping{}); });
}

helper_ipc_status helper_ipc_get_forwarding(helper_ipc_client* client, bool* enabled) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(enabled, "enabled");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Forwarding>(call, GetForwarding{}, [&](const Forwarding& f) { *enabled = f.value; });
  });
}

helper_ipc_status helper_ipc_set_forwarding(helper_ipc_client* client, bool enabled) {
  return guarded(client, [&](Call& call) { return ask<Ok>(call, SetForwarding{enabled}); });
}

helper_ipc_status helper_ipc_pf_load_anchor(helper_ipc_client* client, const char* anchor,
                                            const char* rules) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(anchor, "anchor");
    args.need(rules, "rules");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(call, PfLoadAnchor{anchor, rules});
  });
}

helper_ipc_status helper_ipc_pf_flush_anchor(helper_ipc_client* client, const char* anchor) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(anchor, "anchor");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(call, PfFlushAnchor{anchor});
  });
}

helper_ipc_status helper_ipc_pf_enable_len(helper_ipc_client* client, bool* has_token,
                                           const char** token, size_t* token_len) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(has_token, "has_token");
    args.need(token, "token");
    args.need(token_len, "token_len");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<PfToken>(call, PfEnable{}, [&](const PfToken& t) {
      call.texts.token = t.token.value_or("");  // first, as it may throw
      *has_token = t.token.has_value();
      *token = t.token ? call.texts.token.c_str() : nullptr;
      *token_len = call.texts.token.size();
    });
  });
}

helper_ipc_status helper_ipc_pf_enable(helper_ipc_client* client, bool* has_token,
                                       const char** token) {
  size_t len = 0;
  return helper_ipc_pf_enable_len(client, has_token, token, &len);
}

helper_ipc_status helper_ipc_pf_release(helper_ipc_client* client, const char* token) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(token, "token");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(call, PfRelease{token});
  });
}

helper_ipc_status helper_ipc_ifconfig_read(helper_ipc_client* client, const char* iface,
                                           bool* has_value, uint32_t* addr, uint32_t* mask) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(iface, "iface");
    args.need(has_value, "has_value");
    args.need(addr, "addr");
    args.need(mask, "mask");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ifconfig>(call, IfconfigRead{iface}, [&](const Ifconfig& i) {
      *has_value = i.value.has_value();
      *addr = i.value ? i.value->first.to_u32() : 0;
      *mask = i.value ? i.value->second.to_u32() : 0;
    });
  });
}

helper_ipc_status helper_ipc_ifconfig_set(helper_ipc_client* client, const char* iface,
                                          const char* addr, const char* mask) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(iface, "iface");
    const Ipv4Addr a = args.address(addr, "addr");
    const Ipv4Addr m = args.address(mask, "mask");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(call, IfconfigSet{iface, a, m});
  });
}

helper_ipc_status helper_ipc_ifconfig_delete(helper_ipc_client* client, const char* iface,
                                             const char* addr) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(iface, "iface");
    const Ipv4Addr a = args.address(addr, "addr");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(call, IfconfigDelete{iface, a});
  });
}

helper_ipc_status helper_ipc_icmp_echo(helper_ipc_client* client, const char* ip, bool* answered) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    const Ipv4Addr a = args.address(ip, "ip");
    args.need(answered, "answered");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<IcmpResult>(call, IcmpEcho{a}, [&](const IcmpResult& r) { *answered = r.value; });
  });
}

helper_ipc_status helper_ipc_bind_dhcp67(helper_ipc_client* client, int* fd) {
  return guarded(client, [&](Call& call) {
    Arguments args{call, {}};
    args.need(fd, "fd");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    if (auto st = call.take_client(); st != HELPER_IPC_OK) return st;
    auto socket = call.c.client->bind_dhcp67(call.deadline);
    if (!socket) return call.fail(std::move(socket).error());
    *fd = socket->release();
    return HELPER_IPC_OK;
  });
}

bool helper_ipc_ipv4_parse(const char* text, uint32_t* addr) {
  if (text == nullptr || addr == nullptr) return false;
  const auto parsed = Ipv4Addr::parse(text);
  if (parsed) *addr = parsed->to_u32();
  return parsed.has_value();
}

char* helper_ipc_ipv4_format(uint32_t addr, char out[HELPER_IPC_IPV4_TEXT_SIZE]) {
  static_assert(HELPER_IPC_IPV4_TEXT_SIZE == Ipv4Addr::kMaxTextLength + 1);
  if (out == nullptr) return out;
  *Ipv4Addr::from_u32(addr).write_to(out) = '\0';
  return out;
}

}  // extern "C"
