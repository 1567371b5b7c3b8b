#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "operations.h"
#include "text.h"

namespace pelmor {

namespace {

// The value after the first "Token :" or "Token:" label of `text` that is not empty once trimmed.
std::optional<std::string> find_enable_token(std::string_view text) {
  for (std::string_view line : split_lines(text)) {
    line = trim_white_space(line);
    if (line.starts_with("Token :")) {
      line.remove_prefix(7);
    } else if (line.starts_with("Token:")) {
      line.remove_prefix(6);
    } else {
      continue;
    }
    line = trim_white_space(line);
    if (!line.empty()) return std::string(line);
  }
  return std::nullopt;
}

}  // namespace

helper_ipc::Response pf_load_anchor(const helper_ipc::PfLoadAnchor& request) {
  // The rules go to the tool's standard input byte for byte, with nothing added.
  return standard_reply(
      run_tool_with_input(kPfctl, {"-a", request.anchor, "-f", "-"}, request.rules));
}

helper_ipc::Response pf_flush_anchor(const helper_ipc::PfFlushAnchor& request) {
  return standard_reply(run_tool(kPfctl, {"-a", request.anchor, "-F", "all"}));
}

helper_ipc::Response pf_enable() {
  return reply_pf_enable(run_tool(kPfctl, {"-E"}));
}

helper_ipc::Response pf_release(const helper_ipc::PfRelease& request) {
  return standard_reply(run_tool(kPfctl, {"-X", request.token}));
}

helper_ipc::Response reply_pf_enable(const ToolOutcome& outcome) {
  if (std::holds_alternative<RunFailure>(outcome)) return standard_reply(outcome);
  // The token is looked for before the exit status: a token printed by a tool that then fails
  // is still the client's to give back.
  const auto* ok = std::get_if<SuccessfulExit>(&outcome);
  const Captured& captured =
      ok != nullptr ? ok->captured : std::get<UnsuccessfulExit>(outcome).captured;
  if (auto token = find_enable_token(decode_lossy(captured.err))) {
    return helper_ipc::PfToken{std::move(token)};
  }
  if (ok != nullptr) return helper_ipc::PfToken{};
  return standard_reply(outcome);
}

}  // namespace pelmor
