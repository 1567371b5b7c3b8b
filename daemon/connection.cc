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
      reader_(std::in_place, duplicate_.get()),
      writer_(std::in_place, socket_.get()) {}

Connection::Connection(Connection&& other) noexcept
    : place_(std::move(other.place_)),
      uid_(other.uid_),
      socket_(std::move(other.socket_)),
      duplicate_(std::move(other.duplicate_)),
      reader_(std::move(other.reader_)),
      writer_(std::move(other.writer_)) {
  other.reader_.reset();
  other.writer_.reset();
}

Connection::~Connection() {
  if (!writer_) return;  // moved from
  (void)writer_->flush();
  writer_.reset();
  reader_.reset();
  socket_.reset();
  duplicate_.reset();
  place_.release();
}

}  // namespace pelmor
