// Force-included into protocol/src/encoder.cc by the fuzz build when the compiler is a Clang
// older than 17. Such a Clang cannot deduce the template arguments of an aggregate, which
// `Overloaded{...}` in encoder.cc relies on; this declares the deduction guide that it needs,
// ahead of the template's definition there. Drop it once encoder.cc declares the guide itself.
#pragma once

namespace helper_ipc {
namespace {

template <class... Ts>
struct Overloaded;
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace
}  // namespace helper_ipc
