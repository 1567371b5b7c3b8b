/* Uses the installed C interface: a handle, an address parsed and written back, and a connection
 * to a socket that does not exist, answered with its status and text. */
#include <stdio.h>
#include <string.h>

#include "helper_ipc/helper_ipc.h"

int main(void) {
  char text[HELPER_IPC_IPV4_TEXT_SIZE];
  uint32_t addr = 0;
  helper_ipc_client* client = helper_ipc_client_new();
  const helper_ipc_status status = helper_ipc_connect(client, "/nonexistent/pelmor-helper.sock");
  const int ok = client != NULL && status == HELPER_IPC_CONNECTION_FAILED &&
                 strstr(helper_ipc_last_error(client), "/nonexistent/pelmor-helper.sock") != NULL &&
                 helper_ipc_ipv4_parse("192.168.2.1", &addr) && addr == 0xC0A80201u &&
                 strcmp(helper_ipc_ipv4_format(addr, text), "192.168.2.1") == 0;
  helper_ipc_client_free(client);
  puts(ok ? "c consumer ok" : "c consumer FAILED");
  return ok ? 0 : 1;
}
