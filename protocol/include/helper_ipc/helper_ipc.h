/* helper_ipc's C interface: the pelmor-helper client for C, Swift, Python (ctypes) and any other
 * language with a C foreign-function interface. C11 and C++ alike; no C++ type crosses it.
 *
 * Failures. Every call returns a helper_ipc_status; nothing else escapes (no C++ exception, no
 * abort). After anything but HELPER_IPC_OK, helper_ipc_last_error(client) says what happened; for
 * HELPER_IPC_ERR_REPLY it is the daemon's own text, byte for byte.
 *
 * Time limit. Each call on a handle is bounded by the handle's time limit, which is
 * HELPER_IPC_DEFAULT_TIMEOUT_MS until helper_ipc_set_timeout_ms changes it: one deadline for the
 * whole call, from waiting for another thread's call on the handle and connecting to the last byte
 * of the reply. When it runs out the call returns HELPER_IPC_TIMED_OUT.
 *
 * Connections. A handle holds at most one connection. The daemon answers the requests of one
 * connection in order. HELPER_IPC_ERR_REPLY and HELPER_IPC_BAD_ARGUMENT leave the connection as it
 * was; HELPER_IPC_REFUSED, HELPER_IPC_CONNECTION_FAILED, HELPER_IPC_PROTOCOL_ERROR,
 * HELPER_IPC_TIMED_OUT (unless it ran out waiting for another thread) and every
 * helper_ipc_bind_dhcp67 end it, so that a late reply is never taken for the next request's. A
 * handle that connected by path (helper_ipc_connect, helper_ipc_connect_default) connects again,
 * once, when a call finds its connection ended, or closed by the daemon while it was idle (the
 * daemon closes idle connections when it stops or the console changes hands): nothing has been sent
 * on it then. A handle on an adopted descriptor cannot connect again: its calls then fail with
 * HELPER_IPC_CONNECTION_FAILED until it connects or adopts anew.
 *
 * After a time-out or a hang-up. When HELPER_IPC_TIMED_OUT or HELPER_IPC_REFUSED comes after the
 * request was sent (the last error's text says whether it had been), whether the daemon carried it
 * out is unknown: forwarding may have been switched; helper_ipc_pf_enable may have enabled the
 * packet filter, and its token is lost (the daemon keeps no record of tokens). Read the state again
 * where a request reads it, and repeat a request that sets a state (forwarding, an anchor's rules,
 * an address): once more does no harm. The protocol's documentation (docs/protocol.md) has the
 * whole list.
 *
 * Threads. A handle may be used from any thread, and from several at once: its calls take turns
 * (each waits, within its own time limit, for the one before it). The texts a call returns
 * (helper_ipc_last_error, the token of helper_ipc_pf_enable) are kept per thread: a text stays
 * valid for the thread that got it until that thread's next call on the same handle, or until the
 * handle is freed; calls on other threads never touch it. Copy a text to keep it longer.
 * helper_ipc_client_free must not run while another thread uses the handle; separate handles are
 * independent.
 *
 * Texts. Texts returned may hold NUL bytes (the daemon's Err text, a token): the functions that
 * end in _len give their length in bytes, and the NUL-terminated forms stop at the first NUL.
 * Texts the caller passes in are NUL-terminated UTF-8 (so they cannot hold a NUL), read during the
 * call only.
 *
 * Descriptors. The sockets this interface opens are close-on-exec and never raise SIGPIPE; the
 * DHCP socket that helper_ipc_bind_dhcp67 hands over is close-on-exec and the caller's to close.
 *
 * IPv4 addresses. Arguments are dotted-decimal texts, parsed strictly (four parts of one to three
 * digits, each at most 255, no leading zeros, nothing else); a text that does not parse is
 * HELPER_IPC_BAD_ARGUMENT and nothing is sent. Replies give an address as a uint32_t in host byte
 * order, its first octet the most significant (192.168.2.1 is 0xC0A80201). */
#ifndef HELPER_IPC_HELPER_IPC_H
#define HELPER_IPC_HELPER_IPC_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "version.h"

#if defined(HELPER_IPC_C_BUILD) && defined(__GNUC__)
#define HELPER_IPC_API __attribute__((visibility("default")))
#else
#define HELPER_IPC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The daemon's socket, where helper_ipc_connect_default connects. */
#define HELPER_IPC_DEFAULT_SOCKET_PATH "/var/run/pelmor-helper.sock"

/* Room for the longest dotted-decimal address and its NUL ("255.255.255.255"). */
#define HELPER_IPC_IPV4_TEXT_SIZE 16

/* A new handle's time limit per call, in milliseconds: one minute. Long enough for the slowest
 * request (loading a large rule set runs a tool that may take half a minute), short enough that a
 * daemon that hangs does not hold an application's call for ever. */
#define HELPER_IPC_DEFAULT_TIMEOUT_MS 60000

typedef enum helper_ipc_status {
  /* The request was answered as asked. */
  HELPER_IPC_OK = 0,
  /* The daemon answered Err: the operation failed; helper_ipc_last_error is the daemon's text,
   * byte for byte. */
  HELPER_IPC_ERR_REPLY = 1,
  /* The daemon closed the connection without a reply after the request: this user is not
   * admitted or holds too many connections, the request was not understood, or the daemon is
   * stopping. The daemon's log says which. */
  HELPER_IPC_REFUSED = 2,
  /* The socket could not be reached, sending or receiving failed, the connection had ended and
   * cannot be made again, or there was no memory for the call. */
  HELPER_IPC_CONNECTION_FAILED = 3,
  /* An argument was unusable (a NULL pointer, an address that does not parse, a descriptor that
   * is not open, a request too large for the daemon to read); nothing was sent. */
  HELPER_IPC_BAD_ARGUMENT = 4,
  /* A reply that does not decode, or does not answer this request: this library and the daemon
   * do not match. */
  HELPER_IPC_PROTOCOL_ERROR = 5,
  /* The handle's time limit ran out. */
  HELPER_IPC_TIMED_OUT = 6
} helper_ipc_status;

/* A client: the handle through which requests go, holding at most one connection. */
typedef struct helper_ipc_client helper_ipc_client;

/* This library's version, "MAJOR.MINOR.PATCH": the library loaded, which may differ from the
 * HELPER_IPC_VERSION_* numbers that the caller was compiled with. A static text. */
HELPER_IPC_API const char* helper_ipc_version(void);

/* A new handle without a connection, or NULL when there is no memory for one. */
HELPER_IPC_API helper_ipc_client* helper_ipc_client_new(void);
/* Closes the handle's connection, if any, and frees the handle. NULL is ignored. */
HELPER_IPC_API void helper_ipc_client_free(helper_ipc_client* client);
/* The time limit of each call on the handle from the next one on, in milliseconds; 0: none. */
HELPER_IPC_API helper_ipc_status helper_ipc_set_timeout_ms(helper_ipc_client* client, uint32_t ms);

/* Connects to the daemon's socket at HELPER_IPC_DEFAULT_SOCKET_PATH, or at `path`. A connection
 * the handle held before is closed first. */
HELPER_IPC_API helper_ipc_status helper_ipc_connect_default(helper_ipc_client* client);
HELPER_IPC_API helper_ipc_status helper_ipc_connect(helper_ipc_client* client, const char* path);
/* Talks over `fd`, a stream socket already connected to the daemon. Unless the result is
 * HELPER_IPC_BAD_ARGUMENT, the descriptor is the handle's from now on (made close-on-exec) and is
 * closed with the connection. */
HELPER_IPC_API helper_ipc_status helper_ipc_adopt(helper_ipc_client* client, int fd);
/* Closes the handle's connection, if any, and forgets its path; the handle stays usable for a new
 * connection. Waits for a call that another thread has in progress on the handle. */
HELPER_IPC_API void helper_ipc_disconnect(helper_ipc_client* client);

/* What this thread's last call on `client` failed with, "" after a success; for
 * HELPER_IPC_ERR_REPLY the daemon's text. Stops at the first NUL. Never NULL: for a NULL handle, a
 * text saying so. */
HELPER_IPC_API const char* helper_ipc_last_error(const helper_ipc_client* client);
/* The length in bytes of that text, whole: NUL bytes in it are counted. */
HELPER_IPC_API size_t helper_ipc_last_error_len(const helper_ipc_client* client);
/* The name of a status ("HELPER_IPC_OK", ...), or "unknown status". A static text. */
HELPER_IPC_API const char* helper_ipc_status_name(helper_ipc_status status);

/* The requests, one function each. Out-parameters are written only on HELPER_IPC_OK. */
HELPER_IPC_API helper_ipc_status helper_ipc_ping(helper_ipc_client* client);
/* Whether the kernel forwards IPv4. */
HELPER_IPC_API helper_ipc_status helper_ipc_get_forwarding(helper_ipc_client* client,
                                                           bool* enabled);
HELPER_IPC_API helper_ipc_status helper_ipc_set_forwarding(helper_ipc_client* client, bool enabled);
/* Replaces the rules of packet-filter anchor `anchor` with `rules`, read exactly as given. */
HELPER_IPC_API helper_ipc_status helper_ipc_pf_load_anchor(helper_ipc_client* client,
                                                           const char* anchor, const char* rules);
HELPER_IPC_API helper_ipc_status helper_ipc_pf_flush_anchor(helper_ipc_client* client,
                                                            const char* anchor);
/* Enables the packet filter. *has_token tells whether an enable token came back; *token is it,
 * NUL-terminated (read as such, it stops at the first NUL it may hold; see Threads above for how
 * long it stays valid), or NULL when there is none. */
HELPER_IPC_API helper_ipc_status helper_ipc_pf_enable(helper_ipc_client* client, bool* has_token,
                                                      const char** token);
/* The same, with the token's length in bytes in *token_len (0 without a token). */
HELPER_IPC_API helper_ipc_status helper_ipc_pf_enable_len(helper_ipc_client* client,
                                                          bool* has_token, const char** token,
                                                          size_t* token_len);
/* Gives back an enable token that helper_ipc_pf_enable returned. */
HELPER_IPC_API helper_ipc_status helper_ipc_pf_release(helper_ipc_client* client,
                                                       const char* token);
/* The first IPv4 address of `iface` and its netmask. *has_value is false when they could not be
 * obtained (the daemon never answers this request with an error); *addr and *mask are then 0. */
HELPER_IPC_API helper_ipc_status helper_ipc_ifconfig_read(helper_ipc_client* client,
                                                          const char* iface, bool* has_value,
                                                          uint32_t* addr, uint32_t* mask);
HELPER_IPC_API helper_ipc_status helper_ipc_ifconfig_set(helper_ipc_client* client,
                                                         const char* iface, const char* addr,
                                                         const char* mask);
HELPER_IPC_API helper_ipc_status helper_ipc_ifconfig_delete(helper_ipc_client* client,
                                                            const char* iface, const char* addr);
/* One ICMP echo request to `ip`; *answered tells whether a reply came within 500 ms. */
HELPER_IPC_API helper_ipc_status helper_ipc_icmp_echo(helper_ipc_client* client, const char* ip,
                                                      bool* answered);
/* A UDP socket bound to 0.0.0.0 port 67, with broadcast allowed: *fd is its descriptor,
 * close-on-exec, which the caller owns and must close. The daemon ends the connection afterwards,
 * whatever the outcome. */
HELPER_IPC_API helper_ipc_status helper_ipc_bind_dhcp67(helper_ipc_client* client, int* fd);

/* Parses a dotted-decimal address as the requests do; false (and *addr untouched) when it does
 * not parse. */
HELPER_IPC_API bool helper_ipc_ipv4_parse(const char* text, uint32_t* addr);
/* Writes `addr` in dotted decimal with its NUL into `out`, HELPER_IPC_IPV4_TEXT_SIZE bytes at
 * most; returns `out`. */
HELPER_IPC_API char* helper_ipc_ipv4_format(uint32_t addr, char out[HELPER_IPC_IPV4_TEXT_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* HELPER_IPC_HELPER_IPC_H */
