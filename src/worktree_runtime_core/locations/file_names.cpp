#include "locations/file_names.hpp"

#include <algorithm>
#include <cctype>

#include "platform/filesystem.hpp"

namespace worktree_runtime::locations {
namespace {

constexpr std::size_t kTemporaryNameRandomLength = 6;
constexpr std::string_view kTemporaryNameAffix = ".tmp";  // before and after the random part
constexpr std::string_view kArchivePrefix = "worktree-events.";
constexpr std::string_view kArchiveSuffix = ".ndjson";

}  // namespace

std::string temporary_file_name() {
  return std::string(kTemporaryNameAffix) + platform::random_alphanumerics(kTemporaryNameRandomLength) +
         std::string(kTemporaryNameAffix);
}

bool is_temporary_file_name(std::string_view name) {
  if (name.size() != 2 * kTemporaryNameAffix.size() + kTemporaryNameRandomLength ||
      !name.starts_with(kTemporaryNameAffix) || !name.ends_with(kTemporaryNameAffix)) {
    return false;
  }
  const std::string_view random = name.substr(kTemporaryNameAffix.size(), kTemporaryNameRandomLength);
  return std::ranges::all_of(random, [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

std::string session_metadata_path(std::string_view session_state_path, std::string_view session_id) {
  return std::string(session_state_path) + "/sessions/" + std::string(session_id) + "/metadata.json";
}

std::string archive_name(std::string_view month, int number) {
  std::string name(kArchivePrefix);
  name += month;
  if (number > 1) name += "." + std::to_string(number);
  name += kArchiveSuffix;
  return name;
}

bool is_archive_name(std::string_view name) {
  return name.size() >= 16 && name.starts_with(kArchivePrefix) && name.ends_with(kArchiveSuffix) &&
         name != kActiveLogName;
}

}  // namespace worktree_runtime::locations
