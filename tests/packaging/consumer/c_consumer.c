/* Uses the installed C interface: a handle, addresses parsed (or not) and written back, a
 * connection to a socket that does not exist, answered with its status and text, and the version:
 * the library's, the header's numbers and the package's agree. */
#include <stdio.h>
#include <string.h>

#include "helper_ipc/helper_ipc.h"

int main(void) {
  char text[HELPER_IPC_IPV4_TEXT_SIZE], version[32];
  uint32_t addr = 0;
  helper_ipc_client* client = helper_ipc_client_new();
  const helper_ipc_status status = helper_ipc_connect(client, "/nonexistent/pelmor-helper.sock");
  const int ok = client != NULL && status == HELPER_IPC_CONNECTION_FAILED &&
                 strstr(helper_ipc_last_error(client), "/nonexistent/pelmor-helper.sock") != NULL &&
                 helper_ipc_ipv4_parse("192.168.2.1", &addr) &&
                 !helper_ipc_ipv4_parse("1.2.3", &addr) && !helper_ipc_ipv4_parse(NULL, NULL) &&
                 addr == 0xC0A80201u &&
                 strcmp(helper_ipc_ipv4_format(addr, text), "192.168.2.1") == 0;
  snprintf(version, sizeof version, "%d.%d.%d", HELPER_IPC_VERSION_MAJOR, HELPER_IPC_VERSION_MINOR,
           HELPER_IPC_VERSION_PATCH);
  const int same_version =
      strcmp(version, helper_ipc_version()) == 0 && strcmp(version, PACKAGE_VERSION) == 0;
  helper_ipc_client_free(client);
  printf("c consumer %s, version %s (library %s, package %s)\n", ok ? "ok" : "FAILED", version,
         helper_ipc_version(), PACKAGE_VERSION);
  return ok && same_version ? 0 : 1;
}
