#include "operations.h"

namespace pelmor {

// Placeholders until the operations land.
helper_ipc::Response get_forwarding() { return helper_ipc::Err{"not implemented"}; }
helper_ipc::Response set_forwarding(const helper_ipc::SetForwarding&) {
  return helper_ipc::Err{"not implemented"};
}

}  // namespace pelmor
