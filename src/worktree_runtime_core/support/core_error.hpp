#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace worktree_runtime::support {

// Which kind of failure a CoreError is; callers map each to its exception.
enum class ErrorKind { invalid_value, invalid_project_id, worktree_list };

// The failure of one of the few core operations that can fail.
struct CoreError {
  std::string message;
  std::string reason_code;  // empty unless the operation defines one
  ErrorKind kind = ErrorKind::invalid_value;
};

// A value, or the error that took its place: a CoreError, or the reason a
// call to the system failed.
template <class T, class Error = CoreError>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Success, or the error that took its place.
template <class Error>
class [[nodiscard]] Result<void, Error> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace worktree_runtime::support
