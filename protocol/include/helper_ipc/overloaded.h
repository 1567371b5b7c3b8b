// A visitor made of one lambda per alternative, for std::visit over a variant:
//   std::visit(Overloaded{[](const Ping&) { ... }, [](const IcmpEcho& m) { ... }}, request);
#pragma once

namespace helper_ipc {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;  // compilers without aggregate deduction need the guide

}  // namespace helper_ipc
