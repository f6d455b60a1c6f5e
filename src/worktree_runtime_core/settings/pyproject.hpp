#pragma once

#include <toml++/toml.h>

#include <optional>
#include <string_view>

namespace worktree_runtime::settings {

// The document of a pyproject.toml text, or nothing when the text is not UTF-8
// TOML or nests or names tables past the bounds in support/input_limits.hpp.
// The TOML library sees only text that it parses with defined behaviour.
std::optional<toml::table> parse_pyproject(std::string_view text);

// The document of the pyproject.toml file at `path`, or nothing when it cannot
// be read (absent, not a regular file, past the configuration cap) or does not
// parse.
std::optional<toml::table> read_pyproject(std::string_view path);

}  // namespace worktree_runtime::settings
