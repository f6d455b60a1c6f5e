#include "infrastructure/worktree_config_loader.hpp"

#include <yaml.h>

#include <regex>
#include <set>
#include <vector>

#include "domain/state_layout.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/text.hpp"

namespace worktree_runtime::infrastructure {

// A loaded libyaml document, deleted with its owner.
struct WorktreeConfig::Document {
  yaml_document_t document{};
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document() { yaml_document_delete(&document); }
};

WorktreeConfig::WorktreeConfig(std::unique_ptr<Document> document) : document_(std::move(document)) {}
WorktreeConfig::WorktreeConfig(WorktreeConfig&&) noexcept = default;
WorktreeConfig& WorktreeConfig::operator=(WorktreeConfig&&) noexcept = default;
WorktreeConfig::~WorktreeConfig() = default;

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { yaml_parser_delete(&parser_); }

  // The next document; false on a syntax error.
  bool load(yaml_document_t& document) { return yaml_parser_load(&parser_, &document) == 1; }

 private:
  yaml_parser_t parser_{};
};

// A read-only view of one node of a loaded document.
class Node {
 public:
  Node(const yaml_document_t& document, const yaml_node_t* node) : document_(&document), node_(node) {}

  bool is_mapping() const { return node_ != nullptr && node_->type == YAML_MAPPING_NODE; }
  bool is_sequence() const { return node_ != nullptr && node_->type == YAML_SEQUENCE_NODE; }

  // The text of a scalar that reads as a string: quoted, a block, or plain
  // but not a null, boolean or number. Tags are looked through.
  std::optional<std::string_view> string() const {
    const std::optional<std::string_view> text = scalar_text();
    if (!text) return std::nullopt;
    if (node_->data.scalar.style == YAML_PLAIN_SCALAR_STYLE && resolves_to_non_string(*text)) return std::nullopt;
    return text;
  }

  // The value of `key` in a mapping; a null node when absent.
  Node operator[](std::string_view key) const {
    if (!is_mapping()) return {*document_, nullptr};
    for (const yaml_node_pair_t* pair = node_->data.mapping.pairs.start; pair < node_->data.mapping.pairs.top; ++pair) {
      if (node(pair->key).scalar_text() == key) return node(pair->value);
    }
    return {*document_, nullptr};
  }

  std::vector<Node> items() const {
    std::vector<Node> children;
    if (!is_sequence()) return children;
    for (const yaml_node_item_t* item = node_->data.sequence.items.start; item < node_->data.sequence.items.top;
         ++item) {
      children.push_back(node(*item));
    }
    return children;
  }

  bool present() const { return node_ != nullptr; }

  // Whether some mapping below this node repeats a key. Aliases make the
  // tree a graph, possibly with cycles: each node is looked at once.
  bool has_duplicate_key(std::set<const yaml_node_t*>& visited) const {
    if (node_ == nullptr || !visited.insert(node_).second) return false;
    if (is_sequence()) {
      for (const Node& child : items()) {
        if (child.has_duplicate_key(visited)) return true;
      }
    } else if (is_mapping()) {
      std::set<std::string> keys;
      for (const yaml_node_pair_t* pair = node_->data.mapping.pairs.start; pair < node_->data.mapping.pairs.top;
           ++pair) {
        const Node key = node(pair->key);
        if (const auto text = key.scalar_text(); text && !keys.insert(std::string(*text)).second) return true;
        if (key.has_duplicate_key(visited) || node(pair->value).has_duplicate_key(visited)) return true;
      }
    }
    return false;
  }

 private:
  Node node(int index) const {
    return {*document_, yaml_document_get_node(const_cast<yaml_document_t*>(document_), index)};
  }

  std::optional<std::string_view> scalar_text() const {
    if (node_ == nullptr || node_->type != YAML_SCALAR_NODE) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(node_->data.scalar.value), node_->data.scalar.length);
  }

  // Plain scalars that the YAML core schema reads as null, booleans or numbers.
  static bool resolves_to_non_string(std::string_view text) {
    static const std::regex kNonString(
        "|~|null|Null|NULL|true|True|TRUE|false|False|FALSE"
        "|[-+]?[0-9]+|0o[0-7]+|0x[0-9a-fA-F]+"
        "|[-+]?(\\.[0-9]+|[0-9]+(\\.[0-9]*)?)([eE][-+]?[0-9]+)?"
        "|[-+]?\\.(inf|Inf|INF)|\\.(nan|NaN|NAN)");
    return std::regex_match(text.begin(), text.end(), kNonString);
  }

  const yaml_document_t* document_;
  const yaml_node_t* node_;
};

Node root_of(const WorktreeConfig& config) {
  yaml_document_t& document = const_cast<yaml_document_t&>(config.document().document);
  return {document, yaml_document_get_root_node(&document)};
}

bool holds_non_empty(const domain::EnvSnapshot& env, std::string_view name) {
  const auto found = env.find(std::string(name));
  return found != env.end() && !found->second.empty();
}

// An override applies unless it states a detection list that the environment
// does not satisfy.
bool applies(const Node& override_node, const domain::EnvSnapshot& env) {
  const Node names = override_node["detection"]["env_vars_any"];
  if (!names.is_sequence()) return true;
  for (const Node& name : names.items()) {
    if (const auto text = name.string(); text && holds_non_empty(env, *text)) return true;
  }
  return false;
}

}  // namespace

std::optional<WorktreeConfig> load_worktree_config(std::optional<std::string_view> repo_root) {
  if (!repo_root) return std::nullopt;
  const std::string path = domain::join_path(*repo_root, "config/worktree.yaml");
  if (!platform::exists(path)) return std::nullopt;
  const std::optional<std::string> text = platform::read_file(path, support::kConfigurationFileByteLimit);
  if (!text || !support::is_valid_utf8(*text)) return std::nullopt;
  Parser parser(*text);
  auto document = std::make_unique<WorktreeConfig::Document>();
  if (!parser.load(document->document)) return std::nullopt;
  // A second document is an error of this file, not something to ignore.
  WorktreeConfig::Document next;
  if (!parser.load(next.document) || yaml_document_get_root_node(&next.document) != nullptr) return std::nullopt;
  WorktreeConfig config(std::move(document));
  std::set<const yaml_node_t*> visited;
  if (root_of(config).has_duplicate_key(visited)) return std::nullopt;
  return config;
}

std::optional<std::string> resolve_config_base(const WorktreeConfig& config, std::string_view repo_root,
                                               const std::optional<domain::EnvSnapshot>& env) {
  const domain::EnvSnapshot snapshot = env ? *env : platform::environment_snapshot();
  const Node overrides = root_of(config)["worktree"]["overrides"];
  if (!overrides.is_sequence()) return std::nullopt;
  for (const Node& override_node : overrides.items()) {
    if (!applies(override_node, snapshot)) continue;
    const std::optional<std::string_view> base = override_node["base"].string();
    if (!base) return std::nullopt;
    if (base->empty()) continue;
    const std::string joined = base->starts_with('/') ? std::string(*base) : domain::join_path(repo_root, *base);
    return platform::canonicalize(joined).value_or(joined);
  }
  return std::nullopt;
}

}  // namespace worktree_runtime::infrastructure
