#include "settings/worktree_config_loader.hpp"

#include <yaml.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "paths/paths.hpp"
#include "platform/filesystem.hpp"
#include "platform/process_environment.hpp"
#include "support/input_limits.hpp"
#include "support/text.hpp"

namespace worktree_runtime::settings {

// The node tree of one document. An alias is no node of its own: the
// collection that holds it refers to the node that its anchor names, so a node
// can be reached along several paths, and along a cycle.
struct WorktreeConfig::Document {
  enum class Kind : unsigned char { scalar, sequence, mapping };

  struct Node {
    Kind kind;
    bool plain = false;                 // a scalar written without quotes or block indicator
    const std::string* text = nullptr;  // a scalar's text, one of `texts`
    std::vector<std::size_t> children;  // a sequence's items; a mapping's keys and values, alternating
  };

  // Each distinct scalar text once, so that scalars compare by address: a key
  // repeated through aliases is never compared character by character again.
  // Ordered, not hashed: crafted texts cannot make lookups collide.
  std::set<std::string, std::less<>> texts;
  std::vector<Node> nodes;  // the root first; none for an empty stream
};

WorktreeConfig::WorktreeConfig(std::unique_ptr<Document> document) : document_(std::move(document)) {}
WorktreeConfig::WorktreeConfig(WorktreeConfig&&) noexcept = default;
WorktreeConfig& WorktreeConfig::operator=(WorktreeConfig&&) noexcept = default;
WorktreeConfig::~WorktreeConfig() = default;

namespace {

using Document = WorktreeConfig::Document;
using Kind = Document::Kind;

std::string_view as_text(const yaml_char_t* text, std::size_t length) {
  return {reinterpret_cast<const char*>(text), length};
}

std::string_view as_text(const yaml_char_t* text) { return reinterpret_cast<const char*>(text); }

// One parser event, freed with its owner.
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() { yaml_event_delete(&event_); }

  yaml_event_t* get() { return &event_; }
  const yaml_event_t& operator*() const { return event_; }
  const yaml_event_t* operator->() const { return &event_; }

 private:
  yaml_event_t event_{};
};

// libyaml's event parser over a text. Its events come one at a time, so
// reading stops as soon as the document is known to be malformed. libyaml
// fails alike when it runs out of memory; that throws std::bad_alloc, as
// running out of memory does everywhere else, rather than reading as a
// malformed file.
class Parser {
 public:
  explicit Parser(std::string_view text) {
    if (yaml_parser_initialize(&parser_) != 1) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  ~Parser() { yaml_parser_delete(&parser_); }

  // The next event; false on a syntax error.
  bool next(Event& event) {
    if (yaml_parser_parse(&parser_, event.get()) == 1) return true;
    if (parser_.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    return false;
  }

 private:
  yaml_parser_t parser_{};
};

// Whether two scalar keys of a mapping have the same text. Keys that are
// collections are compared with nothing.
bool repeats_a_key(const Document& document, const Document::Node& mapping) {
  std::vector<const std::string*> keys;
  for (std::size_t key = 0; key < mapping.children.size(); key += 2) {
    if (const std::string* text = document.nodes[mapping.children[key]].text) keys.push_back(text);
  }
  std::ranges::sort(keys);
  return std::ranges::adjacent_find(keys) != keys.end();
}

// Builds the node tree from the node events of one document, without
// recursion: the collections still open are a stack, bounded by
// support::kMaxYamlNesting. The rules are those of libyaml's document loader:
// an anchor names a node once, an alias names an anchor seen before it, and
// a collection can hold itself through an alias.
class TreeBuilder {
 public:
  explicit TreeBuilder(Document& document) : document_(document) {}

  // Adds what a node event says; false when the document is malformed.
  bool take(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_SCALAR_EVENT:
        return add_scalar(event.data.scalar.value, event.data.scalar.length, event.data.scalar.style,
                          event.data.scalar.anchor);
      case YAML_SEQUENCE_START_EVENT:
        return open(Kind::sequence, event.data.sequence_start.anchor);
      case YAML_MAPPING_START_EVENT:
        return open(Kind::mapping, event.data.mapping_start.anchor);
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        return close();
      case YAML_ALIAS_EVENT:
        return add_alias(event.data.alias.anchor);
      default:
        return true;
    }
  }

 private:
  bool add_scalar(const yaml_char_t* value, std::size_t length, yaml_scalar_style_t style, const yaml_char_t* anchor) {
    const std::string* text = &*document_.texts.emplace(as_text(value, length)).first;
    return name(add({Kind::scalar, style == YAML_PLAIN_SCALAR_STYLE, text, {}}), anchor);
  }

  bool open(Kind kind, const yaml_char_t* anchor) {
    if (open_.size() == support::kMaxYamlNesting) return false;
    const std::size_t index = add({kind, false, nullptr, {}});
    open_.push_back(index);
    return name(index, anchor);
  }

  // A mapping's keys are all known once it closes.
  bool close() {
    const Document::Node& closed = document_.nodes[open_.back()];
    open_.pop_back();
    return closed.kind != Kind::mapping || !repeats_a_key(document_, closed);
  }

  bool add_alias(const yaml_char_t* anchor) {
    const auto named = anchors_.find(as_text(anchor));
    if (named == anchors_.end()) return false;
    attach(named->second);
    return true;
  }

  std::size_t add(Document::Node node) {
    const std::size_t index = document_.nodes.size();
    document_.nodes.push_back(std::move(node));
    attach(index);
    return index;
  }

  void attach(std::size_t index) {
    if (!open_.empty()) document_.nodes[open_.back()].children.push_back(index);
  }

  bool name(std::size_t index, const yaml_char_t* anchor) {
    return anchor == nullptr || anchors_.try_emplace(std::string(as_text(anchor)), index).second;
  }

  Document& document_;
  std::vector<std::size_t> open_;
  std::map<std::string, std::size_t, std::less<>> anchors_;  // ordered: see `texts`
};

// Reads the one document of `text` into `document`; false on a syntax error,
// a second document, or a malformed node tree.
bool read_single_document(std::string_view text, Document& document) {
  Parser parser(text);
  TreeBuilder builder(document);
  bool document_seen = false;
  for (;;) {
    Event event;
    if (!parser.next(event)) return false;
    switch (event->type) {
      case YAML_STREAM_END_EVENT:
        return true;
      case YAML_DOCUMENT_START_EVENT:
        // A second document is an error of this file, not something to ignore.
        if (std::exchange(document_seen, true)) return false;
        break;
      default:
        if (!builder.take(*event)) return false;
    }
  }
}

using support::is_digit;
using support::is_hex_digit;
using support::is_octal_digit;

// Takes one character of `set` from the front of `text`.
bool take_one_of(std::string_view& text, std::string_view set) {
  if (text.empty() || set.find(text.front()) == std::string_view::npos) return false;
  text.remove_prefix(1);
  return true;
}

// Takes the digits at the front of `text` and counts them.
std::size_t take_digits(std::string_view& text) {
  const auto count = static_cast<std::size_t>(std::ranges::find_if_not(text, is_digit) - text.begin());
  text.remove_prefix(count);
  return count;
}

// [-+]?(\.[0-9]+|[0-9]+(\.[0-9]*)?)([eE][-+]?[0-9]+)?, integers included.
bool is_decimal_number(std::string_view text) {
  take_one_of(text, "-+");
  const std::size_t whole_digits = take_digits(text);
  const std::size_t fraction_digits = take_one_of(text, ".") ? take_digits(text) : 0;
  if (whole_digits == 0 && fraction_digits == 0) return false;
  if (take_one_of(text, "eE")) {
    take_one_of(text, "-+");
    if (take_digits(text) == 0) return false;
  }
  return text.empty();
}

// 0o[0-7]+ and 0x[0-9a-fA-F]+.
bool is_prefixed_integer(std::string_view text, std::string_view prefix, bool (*is_digit_of_base)(char)) {
  return text.size() > prefix.size() && text.starts_with(prefix) &&
         std::ranges::all_of(text.substr(prefix.size()), is_digit_of_base);
}

// [-+]?\.(inf|Inf|INF).
bool is_infinity(std::string_view text) {
  take_one_of(text, "-+");
  return text == ".inf" || text == ".Inf" || text == ".INF";
}

// Plain scalars that the YAML core schema reads as null, booleans or numbers.
bool resolves_to_non_string(std::string_view text) {
  static constexpr std::array<std::string_view, 14> kWords = {
      "", "~", "null", "Null", "NULL", "true", "True", "TRUE", "false", "False", "FALSE", ".nan", ".NaN", ".NAN"};
  return std::ranges::find(kWords, text) != kWords.end() || is_decimal_number(text) ||
         is_prefixed_integer(text, "0o", is_octal_digit) || is_prefixed_integer(text, "0x", is_hex_digit) ||
         is_infinity(text);
}

// A read-only view of one node of the document, or of a missing one.
class NodeView {
 public:
  NodeView(const Document& document, const Document::Node* node) : document_(&document), node_(node) {}

  static NodeView root_of(const WorktreeConfig& config) {
    const Document& document = config.document();
    return {document, document.nodes.empty() ? nullptr : &document.nodes.front()};
  }

  bool is_sequence() const { return node_ != nullptr && node_->kind == Kind::sequence; }
  bool is_mapping() const { return node_ != nullptr && node_->kind == Kind::mapping; }

  // The node's place in the document; the view must not be of a missing node.
  std::size_t index() const { return static_cast<std::size_t>(node_ - document_->nodes.data()); }

  // The text of a scalar that reads as a string: quoted, a block, or plain
  // but not a null, boolean or number. Tags are looked through.
  std::optional<std::string_view> string() const {
    const std::optional<std::string_view> text = scalar_text();
    if (!text || (node_->plain && resolves_to_non_string(*text))) return std::nullopt;
    return text;
  }

  // The value of `key` in a mapping; a missing node otherwise.
  NodeView operator[](std::string_view key) const {
    if (node_ == nullptr || node_->kind != Kind::mapping) return {*document_, nullptr};
    const std::vector<std::size_t>& children = node_->children;
    for (std::size_t pair = 0; pair < children.size(); pair += 2) {
      if (child(children[pair]).scalar_text() == key) return child(children[pair + 1]);
    }
    return {*document_, nullptr};
  }

  std::vector<NodeView> items() const {
    std::vector<NodeView> items;
    if (!is_sequence()) return items;
    for (const std::size_t index : node_->children) items.push_back(child(index));
    return items;
  }

 private:
  NodeView child(std::size_t index) const { return {*document_, &document_->nodes[index]}; }

  std::optional<std::string_view> scalar_text() const {
    if (node_ == nullptr || node_->text == nullptr) return std::nullopt;
    return *node_->text;
  }

  const Document* document_;
  const Document::Node* node_;
};

// Verdicts about the nodes of one document, each reached once: a node that
// aliases let a walk meet many times is judged the first time only, so that
// no walk costs more than the document's size, whatever its aliases.
class Verdicts {
 public:
  explicit Verdicts(std::size_t nodes) : verdicts_(nodes, Verdict::unknown) {}

  // What `judge` says of `node`, asked once per node.
  template <typename Judge>
  bool operator()(const NodeView& node, Judge&& judge) {
    Verdict& verdict = verdicts_[node.index()];
    if (verdict == Verdict::unknown) verdict = judge() ? Verdict::yes : Verdict::no;
    return verdict == Verdict::yes;
  }

 private:
  enum class Verdict : unsigned char { unknown, yes, no };
  std::vector<Verdict> verdicts_;
};

// Which overrides apply in one environment. Overrides, their detections,
// detection lists and the names in them can each be shared through aliases,
// and each is judged once.
class Detector {
 public:
  Detector(const Document& document, const platform::Environment& env)
      : env_(env), detections_(document.nodes.size()), lists_(document.nodes.size()), names_(document.nodes.size()) {}

  // An override applies unless it states a detection list that the
  // environment does not satisfy.
  bool applies(const NodeView& override_node) {
    const NodeView detection = override_node["detection"];
    if (!detection.is_mapping()) return true;
    return detections_(detection, [&] { return satisfied(detection["env_vars_any"]); });
  }

 private:
  bool satisfied(const NodeView& names) {
    if (!names.is_sequence()) return true;
    return lists_(
        names, [&] { return std::ranges::any_of(names.items(), [&](const NodeView& name) { return is_set(name); }); });
  }

  bool is_set(const NodeView& name) {
    return names_(name, [&] {
      const std::optional<std::string_view> text = name.string();
      if (!text) return false;
      return env_.non_empty(*text).has_value();
    });
  }

  const platform::Environment& env_;
  Verdicts detections_;
  Verdicts lists_;
  Verdicts names_;
};

}  // namespace

std::optional<WorktreeConfig> parse_worktree_config(std::string_view text) {
  if (!support::is_valid_utf8(text)) return std::nullopt;
  auto document = std::make_unique<Document>();
  if (!read_single_document(text, *document)) return std::nullopt;
  return WorktreeConfig(std::move(document));
}

std::optional<WorktreeConfig> read_worktree_config(std::string_view path) {
  if (!platform::exists(path)) return std::nullopt;
  const std::optional<std::string> text = platform::read_file(path, support::kConfigurationFileByteLimit);
  if (!text) return std::nullopt;
  return parse_worktree_config(*text);
}

std::optional<std::string_view> select_config_base(const WorktreeConfig& config, const platform::Environment& env) {
  Detector detector(config.document(), env);
  // An override met again through an alias was passed over before, and would be again.
  std::vector<bool> met(config.document().nodes.size());
  for (const NodeView& override_node : NodeView::root_of(config)["worktree"]["overrides"].items()) {
    if (met[override_node.index()]) continue;
    met[override_node.index()] = true;
    if (!detector.applies(override_node)) continue;
    const std::optional<std::string_view> base = override_node["base"].string();
    // No path holds a NUL character: such a base is as invalid as one that is no string.
    if (!base || base->find('\0') != std::string_view::npos) return std::nullopt;
    if (!base->empty()) return base;
  }
  return std::nullopt;
}

std::optional<std::string> resolve_config_base(const WorktreeConfig& config, std::string_view repo_root,
                                               const platform::Environment& env) {
  const std::optional<std::string_view> base = select_config_base(config, env);
  if (!base) return std::nullopt;
  const std::string joined = base->starts_with('/') ? std::string(*base) : paths::join_path(repo_root, *base);
  return platform::canonicalize(joined).value_or(joined);
}

}  // namespace worktree_runtime::settings
