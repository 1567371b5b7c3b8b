// Failures are values: an operation returns its result or its error, never both, and the
// caller has to look.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "helper_ipc/io_error.h"

namespace helper_ipc {

template <class T, class E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    assert(!ok());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  const E& error() const& {
    assert(!ok());
    return *error_;
  }
  E&& error() && {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

using Status = Result<void>;

}  // namespace helper_ipc
