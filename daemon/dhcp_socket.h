// The UDP socket of the DHCP server port, created for one client and handed over to it.
#pragma once

#include <string>

#include "helper_ipc/result.h"
#include "helper_ipc/unique_fd.h"

namespace pelmor {

// A UDP socket bound to 0.0.0.0:67: close-on-exec, SO_NOSIGPIPE, SO_REUSEADDR, SO_BROADCAST and
// (where the system allows it) SO_REUSEPORT, blocking. On failure the error text for the client's
// Err reply: the system's error text alone, or "bind 0.0.0.0:67: {}" when binding failed; the
// socket is closed by then.
helper_ipc::Result<helper_ipc::UniqueFd, std::string> bind_dhcp67();

}  // namespace pelmor
