// The C interface over Client: every entry point checks its arguments, runs the request through the
// C++ client and turns each outcome, a thrown std::bad_alloc included, into a status and a text
// kept by the handle.
#include <fcntl.h>

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"
#include "helper_ipc/helper_ipc.h"
#include "helper_ipc/platform.h"

struct helper_ipc_client {
  std::optional<helper_ipc::Client> connection;
  std::string error;                  // the last failure's text
  const char* fixed_error = nullptr;  // used instead of `error` when that could not be stored
  std::string token;                  // the last enable token returned
};

namespace {

using namespace helper_ipc;

constexpr const char* kNullHandle = "the client handle is NULL";

// A failure. Ones that leave the stream in an unknown state end the connection.
helper_ipc_status fail(helper_ipc_client& c, helper_ipc_status status, std::string text) {
  if (status == HELPER_IPC_REFUSED || status == HELPER_IPC_CONNECTION_FAILED) c.connection.reset();
  c.error = std::move(text);
  return status;
}

helper_ipc_status from_client_error(helper_ipc_client& c, ClientError e) {
  // A reset or a write into a closed connection counts as the daemon's hang-up already (Closed).
  switch (e.kind) {
    case ClientError::Kind::ErrReply:
      return fail(c, HELPER_IPC_ERR_REPLY, std::move(e.text));
    case ClientError::Kind::Closed:
    case ClientError::Kind::BadReply:
      return fail(c, HELPER_IPC_REFUSED, std::move(e.text));
    case ClientError::Kind::Usage:
      return fail(c, HELPER_IPC_BAD_ARGUMENT, std::move(e.text));
    case ClientError::Kind::Connect:
    case ClientError::Kind::Io:
      break;
  }
  return fail(c, HELPER_IPC_CONNECTION_FAILED, std::move(e.text));
}

// Runs `body` on a live handle; nothing thrown gets past it.
template <class Body>
helper_ipc_status guarded(helper_ipc_client* c, Body&& body) noexcept {
  if (c == nullptr) return HELPER_IPC_BAD_ARGUMENT;
  c->fixed_error = nullptr;
  c->error.clear();
  try {
    return body(*c);
  } catch (...) {
    // Whatever was thrown (in practice std::bad_alloc) may have cut a frame in half.
    c->connection.reset();
    c->error.clear();
    try {
      throw;
    } catch (const std::bad_alloc&) {
      c->fixed_error = "out of memory";
    } catch (...) {
      c->fixed_error = "an unexpected failure inside helper_ipc";
    }
    return HELPER_IPC_CONNECTION_FAILED;
  }
}

// The argument checks, each with the text of its failure; nothing is sent when one fails.
struct Arguments {
  helper_ipc_client& c;
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
    if (problem) fail(c, HELPER_IPC_BAD_ARGUMENT, std::move(*problem));
    return problem.has_value();
  }
};

helper_ipc_status not_connected(helper_ipc_client& c) {
  return fail(c, HELPER_IPC_CONNECTION_FAILED,
              "not connected to the daemon (a connection ends after a refusal, a failed exchange "
              "and the DHCP socket hand-off; connect again)");
}

// Sends `request` and hands the reply to `take` when it is a `Want`.
template <class Want, class Take>
helper_ipc_status ask(helper_ipc_client& c, const Request& request, Take&& take) {
  if (!c.connection) return not_connected(c);
  auto reply = c.connection->call(request);
  if (!reply) return from_client_error(c, std::move(reply).error());
  if (const Want* want = std::get_if<Want>(&*reply)) {
    take(*want);
    return HELPER_IPC_OK;
  }
  if (const Err* err = std::get_if<Err>(&*reply)) return fail(c, HELPER_IPC_ERR_REPLY, err->text);
  return fail(
      c, HELPER_IPC_REFUSED,
      "the daemon answered " + render_for_log(request) + " with " + encode_response(*reply));
}

template <class Want>
helper_ipc_status ask(helper_ipc_client& c, const Request& request) {
  return ask<Want>(c, request, [](const Want&) {});
}

}  // namespace

extern "C" {

const char* helper_ipc_version(void) {
  return HELPER_IPC_VERSION_STRING;
}

helper_ipc_client* helper_ipc_client_new(void) {
  return new (std::nothrow) helper_ipc_client();
}

void helper_ipc_client_free(helper_ipc_client* client) {
  delete client;
}

helper_ipc_status helper_ipc_connect(helper_ipc_client* client, const char* path) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(path, "path");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    c.connection.reset();
    auto connected = Client::connect(path);
    if (!connected) return from_client_error(c, std::move(connected).error());
    c.connection.emplace(std::move(connected).value());
    return HELPER_IPC_OK;
  });
}

helper_ipc_status helper_ipc_connect_default(helper_ipc_client* client) {
  return helper_ipc_connect(client, HELPER_IPC_DEFAULT_SOCKET_PATH);
}

helper_ipc_status helper_ipc_adopt(helper_ipc_client* client, int fd) {
  return guarded(client, [&](helper_ipc_client& c) {
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) {
      return fail(c, HELPER_IPC_BAD_ARGUMENT, std::to_string(fd) + " is not an open descriptor");
    }
    UniqueFd owned(fd);
    c.connection.reset();
    if (auto st = platform::set_cloexec(owned.get()); !st) {
      return fail(c, HELPER_IPC_CONNECTION_FAILED, "adopting the descriptor: " + st.error().text());
    }
    c.connection.emplace(Client::adopt(std::move(owned)));
    return HELPER_IPC_OK;
  });
}

void helper_ipc_disconnect(helper_ipc_client* client) {
  if (client != nullptr) client->connection.reset();
}

const char* helper_ipc_last_error(const helper_ipc_client* client) {
  if (client == nullptr) return kNullHandle;
  return client->fixed_error != nullptr ? client->fixed_error : client->error.c_str();
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
  }
  return "unknown status";
}

helper_ipc_status helper_ipc_ping(helper_ipc_client* client) {
  return guarded(client, [&](helper_ipc_client& c) { return ask<Pong>(c, Ping{}); });
}

helper_ipc_status helper_ipc_get_forwarding(helper_ipc_client* client, bool* enabled) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(enabled, "enabled");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Forwarding>(c, GetForwarding{}, [&](const Forwarding& f) { *enabled = f.value; });
  });
}

helper_ipc_status helper_ipc_set_forwarding(helper_ipc_client* client, bool enabled) {
  return guarded(client, [&](helper_ipc_client& c) { return ask<Ok>(c, SetForwarding{enabled}); });
}

helper_ipc_status helper_ipc_pf_load_anchor(helper_ipc_client* client, const char* anchor,
                                            const char* rules) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(anchor, "anchor");
    args.need(rules, "rules");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(c, PfLoadAnchor{anchor, rules});
  });
}

helper_ipc_status helper_ipc_pf_flush_anchor(helper_ipc_client* client, const char* anchor) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(anchor, "anchor");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(c, PfFlushAnchor{anchor});
  });
}

helper_ipc_status helper_ipc_pf_enable(helper_ipc_client* client, bool* has_token,
                                       const char** token) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(has_token, "has_token");
    args.need(token, "token");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<PfToken>(c, PfEnable{}, [&](const PfToken& t) {
      *has_token = t.token.has_value();
      if (t.token) c.token = *t.token;
      *token = t.token ? c.token.c_str() : nullptr;
    });
  });
}

helper_ipc_status helper_ipc_pf_release(helper_ipc_client* client, const char* token) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(token, "token");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(c, PfRelease{token});
  });
}

helper_ipc_status helper_ipc_ifconfig_read(helper_ipc_client* client, const char* iface,
                                           bool* has_value, uint32_t* addr, uint32_t* mask) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(iface, "iface");
    args.need(has_value, "has_value");
    args.need(addr, "addr");
    args.need(mask, "mask");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ifconfig>(c, IfconfigRead{iface}, [&](const Ifconfig& i) {
      *has_value = i.value.has_value();
      *addr = i.value ? i.value->first.to_u32() : 0;
      *mask = i.value ? i.value->second.to_u32() : 0;
    });
  });
}

helper_ipc_status helper_ipc_ifconfig_set(helper_ipc_client* client, const char* iface,
                                          const char* addr, const char* mask) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(iface, "iface");
    const Ipv4Addr a = args.address(addr, "addr");
    const Ipv4Addr m = args.address(mask, "mask");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(c, IfconfigSet{iface, a, m});
  });
}

helper_ipc_status helper_ipc_ifconfig_delete(helper_ipc_client* client, const char* iface,
                                             const char* addr) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(iface, "iface");
    const Ipv4Addr a = args.address(addr, "addr");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<Ok>(c, IfconfigDelete{iface, a});
  });
}

helper_ipc_status helper_ipc_icmp_echo(helper_ipc_client* client, const char* ip, bool* answered) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    const Ipv4Addr a = args.address(ip, "ip");
    args.need(answered, "answered");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    return ask<IcmpResult>(c, IcmpEcho{a}, [&](const IcmpResult& r) { *answered = r.value; });
  });
}

helper_ipc_status helper_ipc_bind_dhcp67(helper_ipc_client* client, int* fd) {
  return guarded(client, [&](helper_ipc_client& c) {
    Arguments args{c, {}};
    args.need(fd, "fd");
    if (args.bad()) return HELPER_IPC_BAD_ARGUMENT;
    if (!c.connection) return not_connected(c);
    auto socket = c.connection->bind_dhcp67();
    c.connection.reset();  // the daemon ends the connection after the hand-off, either way
    if (!socket) return from_client_error(c, std::move(socket).error());
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
