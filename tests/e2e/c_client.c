/* A client of the daemon written in C against helper_ipc/helper_ipc.h, for the end-to-end suite.
 *
 * usage: c_client [--socket PATH | --adopt PATH] COMMAND [ARG...] [COMMAND [ARG...]]...
 *
 * Connects (to the default socket, to PATH, or by connecting a socket itself and handing it over
 * with helper_ipc_adopt), then runs the commands in order on that one handle and prints one line
 * per command: its name, the status's name, then the value on success or the failure text in
 * brackets. The exit status is the status of the last command (10 for a usage error). */
#define _POSIX_C_SOURCE 200809L
#define _DARWIN_C_SOURCE /* macOS: INADDR_LOOPBACK and the socket options beside POSIX */

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "helper_ipc/helper_ipc.h"

static helper_ipc_status report(const char* command, helper_ipc_client* c, helper_ipc_status status,
                                const char* value) {
  if (status == HELPER_IPC_OK) {
    printf("%s: %s%s%s\n", command, helper_ipc_status_name(status), value[0] ? " " : "", value);
  } else {
    printf("%s: %s [%s]\n", command, helper_ipc_status_name(status), helper_ipc_last_error(c));
  }
  return status;
}

/* The DHCP socket as the receiver sees it, then one datagram sent from it to a socket on
 * 127.0.0.1: "sent-from=67" when it arrived from port 67. */
static void describe_dhcp_socket(int fd, char* out, size_t size) {
  struct sockaddr_in local, receiver_addr, from;
  socklen_t len = sizeof local;
  int type = 0, broadcast = 0;
  socklen_t int_len = sizeof(int);
  char addr[HELPER_IPC_IPV4_TEXT_SIZE];
  int sent_from = -1;
  int receiver;
  memset(&local, 0, sizeof local);
  getsockname(fd, (struct sockaddr*)&local, &len);
  getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &int_len);
  int_len = sizeof(int);
  getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, &int_len);

  receiver = socket(AF_INET, SOCK_DGRAM, 0);
  memset(&receiver_addr, 0, sizeof receiver_addr);
  receiver_addr.sin_family = AF_INET;
  receiver_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  len = sizeof receiver_addr;
  if (receiver >= 0 &&
      bind(receiver, (const struct sockaddr*)&receiver_addr, sizeof receiver_addr) == 0 &&
      getsockname(receiver, (struct sockaddr*)&receiver_addr, &len) == 0 &&
      sendto(fd, "offer", 5, 0, (const struct sockaddr*)&receiver_addr, sizeof receiver_addr) ==
          5) {
    struct pollfd p;
    char buf[16];
    p.fd = receiver;
    p.events = POLLIN;
    p.revents = 0;
    len = sizeof from;
    if (poll(&p, 1, 5000) == 1 &&
        recvfrom(receiver, buf, sizeof buf, 0, (struct sockaddr*)&from, &len) == 5 &&
        memcmp(buf, "offer", 5) == 0) {
      sent_from = ntohs(from.sin_port);
    }
  }
  if (receiver >= 0) close(receiver);
  snprintf(out, size, "udp=%d addr=%s port=%d broadcast=%d cloexec=%d sent-from=%d",
           type == SOCK_DGRAM, helper_ipc_ipv4_format(ntohl(local.sin_addr.s_addr), addr),
           ntohs(local.sin_port), broadcast, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0, sent_from);
}

/* ---- Bad arguments: each call must answer HELPER_IPC_BAD_ARGUMENT and leave the handle usable. */

static bool flag;
static uint32_t word;
static int fd_out;

static helper_ipc_status null_handle(helper_ipc_client* c) {
  (void)c;
  return helper_ipc_ping(NULL);
}
static helper_ipc_status null_anchor(helper_ipc_client* c) {
  return helper_ipc_pf_load_anchor(c, NULL, "pass in all\n");
}
static helper_ipc_status null_rules(helper_ipc_client* c) {
  return helper_ipc_pf_load_anchor(c, "a", NULL);
}
static helper_ipc_status null_out_flag(helper_ipc_client* c) {
  return helper_ipc_get_forwarding(c, NULL);
}
static helper_ipc_status null_token_out(helper_ipc_client* c) {
  return helper_ipc_pf_enable(c, &flag, NULL);
}
static helper_ipc_status null_iface(helper_ipc_client* c) {
  return helper_ipc_ifconfig_read(c, NULL, &flag, &word, &word);
}
static helper_ipc_status leading_zero(helper_ipc_client* c) {
  return helper_ipc_ifconfig_set(c, "en0", "10.0.0.01", "255.0.0.0");
}
static helper_ipc_status mask_too_big(helper_ipc_client* c) {
  return helper_ipc_ifconfig_set(c, "en0", "10.0.0.1", "255.255.255.256");
}
static helper_ipc_status three_parts(helper_ipc_client* c) {
  return helper_ipc_icmp_echo(c, "127.0.0", &flag);
}
static helper_ipc_status with_port(helper_ipc_client* c) {
  return helper_ipc_ifconfig_delete(c, "en0", "10.0.0.1:67");
}
static helper_ipc_status null_address(helper_ipc_client* c) {
  return helper_ipc_ifconfig_delete(c, "en0", NULL);
}
static helper_ipc_status null_fd_out(helper_ipc_client* c) {
  return helper_ipc_bind_dhcp67(c, NULL);
}
static helper_ipc_status null_path(helper_ipc_client* c) {
  return helper_ipc_connect(c, NULL);
}
static helper_ipc_status closed_descriptor(helper_ipc_client* c) {
  return helper_ipc_adopt(c, 999);
}

static helper_ipc_status bad_arguments(helper_ipc_client* c) {
  static const struct {
    const char* name;
    helper_ipc_status (*call)(helper_ipc_client*);
  } cases[] = {
      {"null-handle", null_handle},       {"null-anchor", null_anchor},
      {"null-rules", null_rules},         {"null-out-flag", null_out_flag},
      {"null-token-out", null_token_out}, {"null-iface", null_iface},
      {"leading-zero", leading_zero},     {"mask-too-big", mask_too_big},
      {"three-parts", three_parts},       {"with-port", with_port},
      {"null-address", null_address},     {"null-fd-out", null_fd_out},
      {"null-path", null_path},           {"closed-descriptor", closed_descriptor},
  };
  size_t i;
  helper_ipc_status worst = HELPER_IPC_BAD_ARGUMENT;
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const helper_ipc_status status = cases[i].call(c);
    printf("%s: %s [%s]\n", cases[i].name, helper_ipc_status_name(status),
           helper_ipc_last_error(cases[i].call == null_handle ? NULL : c));
    if (status != HELPER_IPC_BAD_ARGUMENT) worst = status;
  }
  helper_ipc_client_free(NULL); /* ignored */
  return worst;
}

/* ---- The commands. */

struct command {
  const char* name;
  int arity;
};
static const struct command commands[] = {
    {"ping", 0},      {"forwarding-get", 0}, {"forwarding-set", 1}, {"pf-load", 2},
    {"pf-flush", 1},  {"pf-enable", 0},      {"pf-release", 1},     {"iface-read", 1},
    {"iface-set", 3}, {"iface-delete", 2},   {"icmp", 1},           {"dhcp67", 0},
    {"connect", 0},   {"bad-arguments", 0},
};

static const char* socket_path = NULL;

static helper_ipc_status run(helper_ipc_client* c, const char* name, char** args) {
  char value[256] = "";
  char a[HELPER_IPC_IPV4_TEXT_SIZE], m[HELPER_IPC_IPV4_TEXT_SIZE];
  helper_ipc_status st;
  bool b = false;
  if (strcmp(name, "ping") == 0) {
    st = helper_ipc_ping(c);
  } else if (strcmp(name, "forwarding-get") == 0) {
    st = helper_ipc_get_forwarding(c, &b);
    strcpy(value, b ? "on" : "off");
  } else if (strcmp(name, "forwarding-set") == 0) {
    st = helper_ipc_set_forwarding(c, strcmp(args[0], "on") == 0);
  } else if (strcmp(name, "pf-load") == 0) {
    st = helper_ipc_pf_load_anchor(c, args[0], args[1]);
  } else if (strcmp(name, "pf-flush") == 0) {
    st = helper_ipc_pf_flush_anchor(c, args[0]);
  } else if (strcmp(name, "pf-enable") == 0) {
    const char* token = NULL;
    st = helper_ipc_pf_enable(c, &b, &token);
    if (b) {
      snprintf(value, sizeof value, "token=%s", token);
    } else {
      strcpy(value, token == NULL ? "no token" : "no token, yet a text");
    }
  } else if (strcmp(name, "pf-release") == 0) {
    st = helper_ipc_pf_release(c, args[0]);
  } else if (strcmp(name, "iface-read") == 0) {
    uint32_t addr = 1, mask = 1;
    st = helper_ipc_ifconfig_read(c, args[0], &b, &addr, &mask);
    if (b) {
      snprintf(value, sizeof value, "%s/%s", helper_ipc_ipv4_format(addr, a),
               helper_ipc_ipv4_format(mask, m));
    } else {
      snprintf(value, sizeof value, "none (%u/%u)", (unsigned)addr, (unsigned)mask);
    }
  } else if (strcmp(name, "iface-set") == 0) {
    st = helper_ipc_ifconfig_set(c, args[0], args[1], args[2]);
  } else if (strcmp(name, "iface-delete") == 0) {
    st = helper_ipc_ifconfig_delete(c, args[0], args[1]);
  } else if (strcmp(name, "icmp") == 0) {
    st = helper_ipc_icmp_echo(c, args[0], &b);
    strcpy(value, b ? "answered" : "no answer");
  } else if (strcmp(name, "dhcp67") == 0) {
    fd_out = -1;
    st = helper_ipc_bind_dhcp67(c, &fd_out);
    if (st == HELPER_IPC_OK) {
      describe_dhcp_socket(fd_out, value, sizeof value);
      close(fd_out);
    }
  } else if (strcmp(name, "connect") == 0) {
    st = socket_path ? helper_ipc_connect(c, socket_path) : helper_ipc_connect_default(c);
  } else {
    return bad_arguments(c);
  }
  return report(name, c, st, value);
}

/* Connects a socket to `path` without the library, for helper_ipc_adopt. */
static int connect_by_hand(const char* path) {
  struct sockaddr_un addr;
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
  if (fd >= 0 && connect(fd, (const struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int main(int argc, char** argv) {
  int i = 1;
  helper_ipc_status st;
  helper_ipc_client* c = helper_ipc_client_new();
  if (c == NULL) return 10;
  if (i + 1 < argc && strcmp(argv[i], "--socket") == 0) {
    socket_path = argv[i + 1];
    i += 2;
    st = helper_ipc_connect(c, socket_path);
  } else if (i + 1 < argc && strcmp(argv[i], "--adopt") == 0) {
    const int fd = connect_by_hand(argv[i + 1]);
    i += 2;
    st = helper_ipc_adopt(c, fd);
    if (st == HELPER_IPC_OK && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) {
      puts("adopt: the descriptor was not made close-on-exec");
      st = HELPER_IPC_BAD_ARGUMENT;
    }
  } else {
    st = helper_ipc_connect_default(c);
  }
  if (st != HELPER_IPC_OK) {
    report("connect", c, st, "");
  }
  while (i < argc) {
    size_t k;
    const struct command* found = NULL;
    for (k = 0; k < sizeof commands / sizeof commands[0]; ++k) {
      if (strcmp(argv[i], commands[k].name) == 0) found = &commands[k];
    }
    if (found == NULL || i + found->arity >= argc) {
      fprintf(stderr, "c_client: unknown command or missing arguments at %s\n", argv[i]);
      helper_ipc_client_free(c);
      return 10;
    }
    st = run(c, found->name, argv + i + 1);
    i += 1 + found->arity;
  }
  fflush(stdout);
  helper_ipc_client_free(c);
  return (int)st;
}
