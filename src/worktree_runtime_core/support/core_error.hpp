#pragma once

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

// A value, or the CoreError that took its place.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(CoreError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const CoreError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, CoreError> state_;
};

}  // namespace worktree_runtime::support
