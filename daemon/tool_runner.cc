#include "tool_runner.h"

#include <cerrno>

namespace pelmor {

// Placeholder until the tool runner lands: every run fails.
ToolOutcome run_tool(const std::string&, const std::vector<std::string>&) {
  return RunFailure{helper_ipc::IoError::from_errno(ENOSYS)};
}
ToolOutcome run_tool_with_input(const std::string&, const std::vector<std::string>&,
                                std::string_view) {
  return RunFailure{helper_ipc::IoError::from_errno(ENOSYS)};
}

}  // namespace pelmor
