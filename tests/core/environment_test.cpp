#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process_environment.hpp"

namespace worktree_runtime::platform {
namespace {

using namespace std::string_view_literals;

// The same entries in the live environment and in a snapshot.
const support::EnvSnapshot kEntries = {
    {"WTR_ENV_SET", "  x  "}, {"WTR_ENV_EMPTY", ""}, {"WTR_ENV_BLANK", " \t"}, {"WTR_ENV_A", "B=C"}};

struct LookupCase {
  std::string_view name;
  std::optional<std::string> value;
  std::optional<std::string> non_empty;
  std::optional<std::string> non_blank;
};

class EnvironmentLookup : public testing::TestWithParam<std::tuple<LookupCase, bool>> {
 protected:
  static void SetUpTestSuite() {
    for (const auto& [name, value] : kEntries) ::setenv(name.c_str(), value.c_str(), 1);
  }
};

TEST_P(EnvironmentLookup, ReadsTheSameFromTheLiveEnvironmentAndFromASnapshot) {
  const auto& [lookup, live] = GetParam();
  const Environment environment = live ? Environment::live() : Environment::of(kEntries);
  EXPECT_EQ(environment.value(lookup.name), lookup.value);
  EXPECT_EQ(environment.non_empty(lookup.name), lookup.non_empty);
  EXPECT_EQ(environment.non_blank(lookup.name), lookup.non_blank);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentLookup,
    testing::Combine(testing::Values(LookupCase{"WTR_ENV_SET", "  x  ", "  x  ", "x"},
                                     LookupCase{"WTR_ENV_EMPTY", "", std::nullopt, std::nullopt},
                                     LookupCase{"WTR_ENV_BLANK", " \t", " \t", std::nullopt},
                                     LookupCase{"WTR_ENV_UNSET", std::nullopt, std::nullopt, std::nullopt},
                                     // Names no variable can have: getenv would find "C" and "  x  ".
                                     LookupCase{"WTR_ENV_A=B", std::nullopt, std::nullopt, std::nullopt},
                                     LookupCase{"WTR_ENV_SET\0x"sv, std::nullopt, std::nullopt, std::nullopt},
                                     LookupCase{"", std::nullopt, std::nullopt, std::nullopt}),
                     testing::Bool()));

TEST(Environment, ALiveValueThatIsNotUtf8IsUnset) {
  ::setenv("WTR_ENV_NOT_UTF8", "\xff", 1);
  EXPECT_EQ(Environment::live().value("WTR_ENV_NOT_UTF8"), std::nullopt);
}

TEST(Environment, AnAbsentSnapshotMeansTheLiveEnvironment) {
  ::setenv("WTR_ENV_LIVE_ONLY", "1", 1);
  EXPECT_EQ(Environment::snapshot_or_live(std::nullopt).value("WTR_ENV_LIVE_ONLY"), "1");
  EXPECT_EQ(Environment::snapshot_or_live(support::EnvSnapshot{}).value("WTR_ENV_LIVE_ONLY"), std::nullopt);
}

}  // namespace
}  // namespace worktree_runtime::platform
