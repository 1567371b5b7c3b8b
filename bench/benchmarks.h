// The benchmark groups, registered by main in this order.
#pragma once

namespace pelmor_bench {

// Request decoding: ours against nlohmann/json, RapidJSON and simdjson.
void register_decode_benchmarks();
// Reading a 1 MiB frame body: grown with its bytes against one buffer of the announced length.
void register_frame_benchmarks();
// One Ping through the daemon against a bare echo; connection set-up against bare servers.
void register_socket_benchmarks();
// run_tool of a program that exits at once against a bare posix_spawn and waitpid.
void register_tool_benchmarks();

}  // namespace pelmor_bench
