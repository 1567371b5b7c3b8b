// Failures are values: an operation returns its result or its error, never both, and the
// caller has to look. Asking a Result for what it does not hold (the value of an error, the error
// of a value) is a bug in the caller: it stops the process at once with a message on standard
// error, in every build, rather than reading a value that is not there.
#pragma once

#include <concepts>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "helper_ipc/io_error.h"

namespace helper_ipc {

namespace detail {

// Writes "helper_ipc::Result: {what}" (and the error's text, when there is one) to standard error
// and aborts.
[[noreturn]] void bad_result_access(const char* what, const std::string* error_text = nullptr);

template <class E>
[[noreturn]] void value_of_error(const E& error) {
  if constexpr (requires {
                  { error.text() } -> std::convertible_to<std::string>;
                }) {
    const std::string text = error.text();
    bad_result_access("value() called on an error", &text);
  } else if constexpr (requires {
                         { error.text } -> std::convertible_to<std::string>;
                       }) {
    const std::string text = error.text;
    bad_result_access("value() called on an error", &text);
  } else {
    bad_result_access("value() called on an error");
  }
}

}  // namespace detail

template <class T, class E = IoError>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    check_value();
    return *std::get_if<0>(&v_);
  }
  const T& value() const& {
    check_value();
    return *std::get_if<0>(&v_);
  }
  T&& value() && {
    check_value();
    return std::move(*std::get_if<0>(&v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const& {
    check_error();
    return *std::get_if<1>(&v_);
  }
  E&& error() && {
    check_error();
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  void check_value() const {
    if (!ok()) [[unlikely]]
      detail::value_of_error(*std::get_if<1>(&v_));
  }
  void check_error() const {
    if (ok()) [[unlikely]]
      detail::bad_result_access("error() called on a value");
  }

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
    check_error();
    return *error_;
  }
  E&& error() && {
    check_error();
    return std::move(*error_);
  }

 private:
  void check_error() const {
    if (ok()) [[unlikely]]
      detail::bad_result_access("error() called on a success");
  }

  std::optional<E> error_;
};

using Status = Result<void>;

}  // namespace helper_ipc
