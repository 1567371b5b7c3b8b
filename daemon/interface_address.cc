#include "operations.h"

namespace pelmor {

// Placeholders until the operations land.
helper_ipc::Response ifconfig_read(const helper_ipc::IfconfigRead&) {
  return helper_ipc::Ifconfig{};
}
helper_ipc::Response ifconfig_set(const helper_ipc::IfconfigSet&) {
  return helper_ipc::Err{"not implemented"};
}
helper_ipc::Response ifconfig_delete(const helper_ipc::IfconfigDelete&) {
  return helper_ipc::Err{"not implemented"};
}

}  // namespace pelmor
