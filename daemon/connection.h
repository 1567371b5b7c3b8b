// One admitted connection, as its thread holds it: the accepted socket, a duplicate of it for
// reading, the buffered reader and writer over the two, the peer's uid, and its place in the
// daemon's activity. Every way out of the connection ends here: the writer is flushed once more,
// the place is given back (from then on no other thread shuts the socket down), then the socket is
// closed, then the duplicate.
#pragma once

#include <sys/types.h>

#include "activity.h"
#include "admission.h"
#include "helper_ipc/result.h"
#include "helper_ipc/stream.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor {

// What the accept loop hands to a connection thread: the socket and its duplicate for reading,
// made by the loop, so that a connection that cannot have both is never admitted.
struct AdmittedPeer {
  helper_ipc::UniqueFd socket;
  helper_ipc::UniqueFd duplicate;
  uid_t uid = kUnknownUid;
  Activity::Place place;  // destroyed first: it leaves before the sockets close
};

// A duplicate of `socket` for reading: close-on-exec, numbered 3 or more.
helper_ipc::Result<helper_ipc::UniqueFd> duplicate_for_reading(int socket);

class Connection {
 public:
  explicit Connection(AdmittedPeer peer);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  uid_t uid() const noexcept { return uid_; }
  int socket() const noexcept { return socket_.get(); }
  Activity::Place& place() noexcept { return place_; }
  helper_ipc::BufReader& reader() noexcept { return reader_; }
  helper_ipc::BufWriter& writer() noexcept { return writer_; }

 private:
  Activity::Place place_;
  uid_t uid_;
  helper_ipc::UniqueFd socket_;
  // Reads go through a duplicate of the socket, writes through the socket itself: the reader and
  // the writer each stand on a descriptor of their own, which is how the daemon's connection state
  // has always been defined (a stream cloned for its reader). Nothing here needs the second
  // descriptor for correctness; it stays because dropping it would change what the daemon holds
  // per connection, which is a change of its own. Its price is one fcntl and one descriptor per
  // connection; the accept loop pays it before it admits the connection, so that a full
  // descriptor table turns the connection away instead of leaving a thread that cannot read.
  helper_ipc::UniqueFd duplicate_;
  helper_ipc::BufReader reader_;
  helper_ipc::BufWriter writer_;
};

}  // namespace pelmor
