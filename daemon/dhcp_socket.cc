#include "dhcp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "helper_ipc/platform.h"
#include "sys.h"

namespace pelmor {

namespace {

bool enable(int fd, int option) {
  const int one = 1;
  return setsockopt(fd, SOL_SOCKET, option, &one, sizeof one) == 0;
}

}  // namespace

helper_ipc::Result<helper_ipc::UniqueFd, std::string> bind_dhcp67() {
  using helper_ipc::IoError;
  auto socket = helper_ipc::platform::open_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (!socket) return socket.error().text();
  const int fd = socket->get();
  if (!enable(fd, SO_REUSEADDR) || !enable(fd, SO_BROADCAST)) {
    return IoError::last_os_error().text();
  }
  // Sharing the port with another server is welcome where the system allows it, not required.
  (void)enable(fd, SO_REUSEPORT);
  const sockaddr_in any = sys::ipv4_socket_address(INADDR_ANY, 67);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == -1) {
    return "bind 0.0.0.0:67: " + IoError::last_os_error().text();
  }
  return std::move(socket).value();
}

}  // namespace pelmor
