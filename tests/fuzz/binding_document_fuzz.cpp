// The binding store's document. Every operation reads it the same way: load's
// fast scan agrees with the full reading wherever it decides, and a rewrite
// reads back as the document it wrote.
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/binding_store.hpp"
#include "fuzz_check.hpp"
#include "support/json_document.hpp"

using namespace worktree_runtime;
using bindings::WorktreeBinding;
using nlohmann::json;

namespace {

bool same_binding(const std::optional<WorktreeBinding>& left, const std::optional<WorktreeBinding>& right) {
  if (left.has_value() != right.has_value()) return false;
  return !left || (left->session_id == right->session_id && left->worktree == right->worktree &&
                   left->branch == right->branch && left->commit_ish == right->commit_ish);
}

bool holds_raw_number(const json& value) {
  if (value.is_binary()) return true;
  if (!value.is_structured()) return false;
  for (const json& element : value) {
    if (holds_raw_number(element)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bindings::BindingDocument read = bindings::binding_document_from_text(text);
  const json& document = *read.value;
  std::vector<std::string> sessions = {"s", ""};
  for (const json& entry : document["bindings"]) {
    if (entry.is_object() && entry.contains("session_id") && entry["session_id"].is_string()) {
      sessions.push_back(entry["session_id"].get<std::string>());
    }
  }
  for (const std::string& session : sessions) {
    const std::optional<WorktreeBinding> full = bindings::first_binding_of_session(document, session);
    FUZZ_REQUIRE(same_binding(bindings::binding_of_session_in_text(text, session), full));
    if (const auto scanned = bindings::scan_binding_of_session(text, session); scanned && read.replaceable) {
      FUZZ_REQUIRE(same_binding(*scanned, full));
    }
  }
  const std::optional<std::string> rendered = bindings::render_binding_document(document);
  if (!rendered) return 0;  // deep and wide: its indentation would pass a bound
  const support::Result<json> reread = support::read_json_document(*rendered);
  FUZZ_REQUIRE(reread.ok());
  FUZZ_REQUIRE(reread.value() == document);
  if (!holds_raw_number(document)) {
    FUZZ_REQUIRE(*rendered == document.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
  }
  return 0;
}
