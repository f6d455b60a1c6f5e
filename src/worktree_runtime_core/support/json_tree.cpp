#include "support/json_tree.hpp"

#include <array>
#include <iterator>
#include <vector>

#include "support/input_limits.hpp"

namespace worktree_runtime::support {
namespace {

using nlohmann::json;

// An array or object with elements: the only values whose freeing allocates.
bool holds_elements(const json& value) { return value.is_structured() && !value.empty(); }

json& last_element(json& container) {
  if (container.is_array()) return container.get_ref<json::array_t&>().back();
  return std::prev(container.get_ref<json::object_t&>().end())->second;
}

void remove_last_element(json& container) {
  if (container.is_array()) {
    container.get_ref<json::array_t&>().pop_back();
  } else {
    json::object_t& members = container.get_ref<json::object_t&>();
    members.erase(std::prev(members.end()));
  }
}

// nlohmann's tree builder for its SAX parser, but a repeated key's earlier
// value is dismantled before it is replaced.
class TreeBuilder {
 public:
  explicit TreeBuilder(json& root) : root_(root) {}

  bool null() { return place(nullptr); }
  bool boolean(bool value) { return place(value); }
  bool number_integer(json::number_integer_t value) { return place(value); }
  bool number_unsigned(json::number_unsigned_t value) { return place(value); }
  bool number_float(json::number_float_t value, const json::string_t&) { return place(value); }
  bool string(json::string_t& value) { return place(value); }
  // JSON text holds no binary values.
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

  bool key(json::string_t& name) {
    json& member = open_.back()->get_ref<json::object_t&>()[name];
    dismantle(member);
    member_ = &member;
    return true;
  }

 private:
  // Where the next value goes: the root, a new last element of the open
  // array, or the member whose key came last.
  json& next_slot() {
    if (open_.empty()) return root_;
    json& container = *open_.back();
    if (container.is_array()) return container.get_ref<json::array_t&>().emplace_back();
    return *member_;
  }

  bool place(json value) {
    next_slot() = std::move(value);
    return true;
  }

  bool open(json container) {
    json& slot = next_slot();
    slot = std::move(container);
    open_.push_back(&slot);
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  json& root_;
  std::vector<json*> open_;  // outermost first; only the last one grows
  json* member_ = nullptr;
};

}  // namespace

void dismantle(json& value) noexcept {
  // The containers being emptied, outermost first: each is the last element
  // of the one before it.
  std::array<json*, kMaxJsonNesting> open;
  std::size_t depth = 0;
  if (holds_elements(value)) open[depth++] = &value;
  while (depth > 0) {
    json& container = *open[depth - 1];
    if (container.empty()) {
      --depth;
      continue;
    }
    json& last = last_element(container);
    if (holds_elements(last) && depth < open.size()) {
      open[depth++] = &last;
    } else {
      remove_last_element(container);
    }
  }
}

JsonTree& JsonTree::operator=(JsonTree&& other) noexcept {
  if (this != &other) {
    dismantle(value_);
    value_ = std::move(other.value_);
  }
  return *this;
}

std::optional<JsonTree> parse_json(std::string_view text) {
  JsonTree tree;
  TreeBuilder builder(*tree);
  if (!json::sax_parse(text, &builder)) return std::nullopt;
  return tree;
}

}  // namespace worktree_runtime::support
