// Where the daemon listens and where its clients connect: one path for both sides.
#pragma once

namespace helper_ipc {

inline constexpr const char* kSocketPath = "/var/run/pelmor-helper.sock";

}  // namespace helper_ipc
