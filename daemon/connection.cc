#include "connection.h"

#include <fcntl.h>

#include <utility>

namespace pelmor {

using helper_ipc::IoError;
using helper_ipc::Result;
using helper_ipc::UniqueFd;

Result<UniqueFd> duplicate_for_reading(int socket) {
  const int dup = fcntl(socket, F_DUPFD_CLOEXEC, 3);
  if (dup == -1) return IoError::last_os_error();
  return UniqueFd(dup);
}

Connection::Connection(AdmittedPeer peer)
    : place_(std::move(peer.place)),
      uid_(peer.uid),
      socket_(std::move(peer.socket)),
      duplicate_(std::move(peer.duplicate)),
      reader_(duplicate_.get()),
      writer_(socket_.get()) {}

Connection::~Connection() {
  (void)writer_.flush();
  place_.leave();
  socket_.reset();
  duplicate_.reset();
}

}  // namespace pelmor
