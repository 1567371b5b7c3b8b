/* Imports the C interface as the Clang module HelperIPC, through its module map, and uses it. */
#pragma clang module import HelperIPC

int helper_ipc_module_check(void);
int helper_ipc_module_check(void) {
  char text[HELPER_IPC_IPV4_TEXT_SIZE];
  uint32_t addr = 0;
  helper_ipc_client* client = helper_ipc_client_new();
  const helper_ipc_status status = helper_ipc_connect(client, HELPER_IPC_DEFAULT_SOCKET_PATH);
  helper_ipc_client_free(client);
  return status == HELPER_IPC_OK && helper_ipc_ipv4_parse("10.0.0.1", &addr) &&
         helper_ipc_ipv4_format(addr, text)[0] == '1' &&
         helper_ipc_version()[0] == HELPER_IPC_VERSION_STRING[0];
}
