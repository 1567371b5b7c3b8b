#include "operations.h"

namespace pelmor {

// Placeholders until the operations land.
helper_ipc::Response pf_load_anchor(const helper_ipc::PfLoadAnchor&) {
  return helper_ipc::Err{"not implemented"};
}
helper_ipc::Response pf_flush_anchor(const helper_ipc::PfFlushAnchor&) {
  return helper_ipc::Err{"not implemented"};
}
helper_ipc::Response pf_enable() { return helper_ipc::Err{"not implemented"}; }
helper_ipc::Response pf_release(const helper_ipc::PfRelease&) {
  return helper_ipc::Err{"not implemented"};
}

}  // namespace pelmor
