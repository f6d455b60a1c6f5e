#include "bindings/binding_store.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/input_limits.hpp"

namespace worktree_runtime::bindings {
namespace {

using nlohmann::json;

std::size_t rendered_size(std::size_t bindings) {
  json entries = json::array();
  for (std::size_t index = 0; index < bindings; ++index) {
    entries.push_back(binding_to_json(build_binding("s", "", "b", "/", "", "", "", std::nullopt)));
  }
  return render_binding_document({{"bindings", entries}, {"schema_version", kCurrentSchemaVersion}})->size();
}

// Whatever the upserts, a store that fits the byte cap holds fewer values
// than its readers take: the writer never makes a store that reads as
// unreadable by its own count of values.
TEST(BindingStoreBounds, EveryStoreWithinTheByteCapIsWithinTheValueBound) {
  const std::size_t smallest_binding = rendered_size(2) - rendered_size(1);
  const std::size_t values_per_binding = 1 + binding_to_json(build_binding("s", "", "b", "/", "", "", "", {})).size();
  const std::size_t document_values = 3;  // the root, "bindings", "schema_version"
  EXPECT_LT(support::kJsonDocumentByteLimit / smallest_binding * values_per_binding + document_values,
            support::kMaxJsonDocumentValues);
}

struct DocumentCase {
  const char* name;
  std::string text;
  bool replaceable;
};

class BindingDocumentText : public testing::TestWithParam<DocumentCase> {};

// Malformed text reads as the default document and may be replaced; text
// past a bound of the readers reads the same but is never replaced.
TEST_P(BindingDocumentText, IsReplaceableOnlyWhenWithinTheBounds) {
  const BindingDocument document = binding_document_from_text(GetParam().text);
  EXPECT_EQ(document.replaceable, GetParam().replaceable);
  EXPECT_EQ((*document.value)["bindings"], json::array());
  EXPECT_EQ(binding_of_session_in_text(GetParam().text, "s"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BindingDocumentText,
    testing::Values(DocumentCase{"malformed", "{\"bindings\": [", true},
                    DocumentCase{"not_an_object", "[]", true},
                    DocumentCase{"nested_past_the_bound",
                                 "{\"x\": " + std::string(support::kMaxJsonNesting, '[') +
                                     std::string(support::kMaxJsonNesting, ']') + "}",
                                 false},
                    DocumentCase{"malformed_and_nested_past_the_bound",
                                 "{\"x\": " + std::string(support::kMaxJsonNesting, '['), false}),
    [](const testing::TestParamInfo<DocumentCase>& text) { return std::string(text.param.name); });

}  // namespace
}  // namespace worktree_runtime::bindings
