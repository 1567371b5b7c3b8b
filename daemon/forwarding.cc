#include <string>
#include <variant>

#include "operations.h"
#include "text.h"

namespace pelmor {

helper_ipc::Response get_forwarding() {
  return reply_get_forwarding(run_tool(kSysctl, {"-n", "net.inet.ip.forwarding"}));
}

helper_ipc::Response set_forwarding(const helper_ipc::SetForwarding& request) {
  // Only the digits 0 and 1 are ever written.
  return standard_reply(run_tool(
      kSysctl, {"-w", request.value ? "net.inet.ip.forwarding=1" : "net.inet.ip.forwarding=0"}));
}

helper_ipc::Response reply_get_forwarding(const ToolOutcome& outcome) {
  const auto* ok = std::get_if<SuccessfulExit>(&outcome);
  if (ok == nullptr) return standard_reply(outcome);
  // Anything but a lone "1" (an unexpected value too) reads as off; it is never an error.
  const std::string text = decode_lossy(ok->captured.out);
  return helper_ipc::Forwarding{trim_white_space(text) == "1"};
}

}  // namespace pelmor
