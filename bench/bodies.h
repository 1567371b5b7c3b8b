// The request bodies that the decoding benchmarks read, made the way the client makes them.
#pragma once

#include <cstddef>
#include <string>

#include "helper_ipc/messages.h"

namespace pelmor_bench {

// A packet-filter rule set of `lines` lines of about 60 characters each (NAT, redirections, pass
// and block rules, tables, some labels in double quotes), each line ended by a line feed. The same
// text every time.
std::string make_rules(std::size_t lines);

// The largest PfLoadAnchor request of such rules whose JSON body still fits `max_body` bytes.
helper_ipc::PfLoadAnchor make_pf_load_anchor(std::size_t max_body);

// A typical IfconfigSet request.
helper_ipc::IfconfigSet make_ifconfig_set();

}  // namespace pelmor_bench
