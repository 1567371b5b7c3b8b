/* helper_ipc/helper_ipc.h as strict C11 (-std=c11 -Wall -Wextra -Werror -pedantic). The functions
 * are taken by address with the types a C caller expects, so a signature that drifts from its
 * documented form fails to compile, and so does a change of a status's value. */
#include "helper_ipc/helper_ipc.h"

_Static_assert(HELPER_IPC_OK == 0 && HELPER_IPC_ERR_REPLY == 1 && HELPER_IPC_REFUSED == 2 &&
                   HELPER_IPC_CONNECTION_FAILED == 3 && HELPER_IPC_BAD_ARGUMENT == 4 &&
                   HELPER_IPC_PROTOCOL_ERROR == 5 && HELPER_IPC_TIMED_OUT == 6,
               "the status values are part of the interface");
_Static_assert(HELPER_IPC_VERSION_MAJOR >= 0 && HELPER_IPC_VERSION_MINOR >= 0 &&
                   HELPER_IPC_VERSION_PATCH >= 0 && HELPER_IPC_DEFAULT_TIMEOUT_MS > 0,
               "the version and the default time limit are plain numbers");

typedef helper_ipc_status (*with_handle)(helper_ipc_client*);
typedef helper_ipc_status (*with_text)(helper_ipc_client*, const char*);
typedef helper_ipc_status (*with_two_texts)(helper_ipc_client*, const char*, const char*);
typedef helper_ipc_status (*with_flag_out)(helper_ipc_client*, bool*);

static const with_handle no_arguments[] = {helper_ipc_ping, helper_ipc_connect_default};
static const with_text one_text[] = {helper_ipc_connect, helper_ipc_pf_flush_anchor,
                                     helper_ipc_pf_release};
static const with_two_texts two_texts[] = {helper_ipc_pf_load_anchor, helper_ipc_ifconfig_delete};
static const with_flag_out flag_out[] = {helper_ipc_get_forwarding};

static helper_ipc_status (*const set_forwarding)(helper_ipc_client*,
                                                 bool) = helper_ipc_set_forwarding;
static helper_ipc_status (*const pf_enable)(helper_ipc_client*, bool*,
                                            const char**) = helper_ipc_pf_enable;
static helper_ipc_status (*const pf_enable_len)(helper_ipc_client*, bool*, const char**,
                                                size_t*) = helper_ipc_pf_enable_len;
static helper_ipc_status (*const set_timeout_ms)(helper_ipc_client*,
                                                 uint32_t) = helper_ipc_set_timeout_ms;
static size_t (*const last_error_len)(const helper_ipc_client*) = helper_ipc_last_error_len;
static const char* (*const version)(void) = helper_ipc_version;
static helper_ipc_status (*const ifconfig_read)(helper_ipc_client*, const char*, bool*, uint32_t*,
                                                uint32_t*) = helper_ipc_ifconfig_read;
static helper_ipc_status (*const ifconfig_set)(helper_ipc_client*, const char*, const char*,
                                               const char*) = helper_ipc_ifconfig_set;
static helper_ipc_status (*const icmp_echo)(helper_ipc_client*, const char*,
                                            bool*) = helper_ipc_icmp_echo;
static helper_ipc_status (*const bind_dhcp67)(helper_ipc_client*, int*) = helper_ipc_bind_dhcp67;
static helper_ipc_status (*const adopt)(helper_ipc_client*, int) = helper_ipc_adopt;
static const char* (*const last_error)(const helper_ipc_client*) = helper_ipc_last_error;
static const char* (*const status_name)(helper_ipc_status) = helper_ipc_status_name;
static bool (*const ipv4_parse)(const char*, uint32_t*) = helper_ipc_ipv4_parse;
static char* (*const ipv4_format)(uint32_t, char*) = helper_ipc_ipv4_format;
static helper_ipc_client* (*const client_new)(void) = helper_ipc_client_new;
static void (*const client_free)(helper_ipc_client*) = helper_ipc_client_free;
static void (*const disconnect)(helper_ipc_client*) = helper_ipc_disconnect;

int helper_ipc_header_check(void);
int helper_ipc_header_check(void) {
  return no_arguments[0] && one_text[0] && two_texts[0] && flag_out[0] && set_forwarding &&
         pf_enable && pf_enable_len && set_timeout_ms && last_error_len && version &&
         ifconfig_read && ifconfig_set && icmp_echo && bind_dhcp67 && adopt && last_error &&
         status_name && ipv4_parse && ipv4_format && client_new && client_free && disconnect;
}
