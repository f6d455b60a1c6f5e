#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace worktree_runtime::support {

// Takes the arrays and objects of `value` apart without allocating, last
// element first, leaving only empty containers and scalars. nlohmann's
// destructor frees a container by moving its elements onto a vector that it
// allocates, inside a noexcept destructor: when memory runs out there, the
// process ends. Nesting deeper than kMaxJsonNesting, which no tree of this
// module reaches, is left to that destructor below that depth.
void dismantle(nlohmann::json& value) noexcept;

// A JSON tree that is dismantled before it is freed, so that freeing it, on
// any path, never allocates. Every tree that outlives the expression that
// builds it is held in one.
class JsonTree {
 public:
  JsonTree() = default;
  explicit JsonTree(nlohmann::json&& value) noexcept : value_(std::move(value)) {}
  JsonTree(JsonTree&& other) noexcept = default;
  JsonTree& operator=(JsonTree&& other) noexcept;
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;
  ~JsonTree() { dismantle(value_); }

  nlohmann::json& operator*() noexcept { return value_; }
  const nlohmann::json& operator*() const noexcept { return value_; }
  nlohmann::json* operator->() noexcept { return &value_; }
  const nlohmann::json* operator->() const noexcept { return &value_; }

 private:
  nlohmann::json value_;
};

// `text` as nlohmann's own parser reads it (json::parse: numbers past 64 bits
// as floating point, the last of repeated keys), built into a JsonTree;
// nothing when it is not JSON. Callers bound its nesting by kMaxJsonNesting
// first.
std::optional<JsonTree> parse_json(std::string_view text);

}  // namespace worktree_runtime::support
