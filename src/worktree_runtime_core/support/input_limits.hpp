#pragma once

#include <cstddef>

// The bounds that keep every reader total on hostile input: each file read and
// each captured git output is capped far above any real one, and nesting is
// bounded before anything recursive sees it. A file past any of its bounds is
// unreadable, never malformed: nothing is written over it.
namespace worktree_runtime::support {

// pyproject.toml and config/worktree.yaml: real ones are a few kilobytes.
inline constexpr std::size_t kConfigurationFileByteLimit = std::size_t{1} << 20;

// bindings.json and a session's metadata.json: a store of ten thousand
// sessions is about 4 MiB.
inline constexpr std::size_t kJsonDocumentByteLimit = std::size_t{64} << 20;

// The active audit log is rotated past 10 MiB.
inline constexpr std::size_t kAuditLogByteLimit = std::size_t{256} << 20;

// Each of git's two output streams.
inline constexpr std::size_t kGitOutputByteLimit = std::size_t{64} << 20;

// Arrays and objects inside one another in bindings.json and metadata.json,
// the outermost value counting as the first level.
inline constexpr std::size_t kMaxJsonNesting = 2048;

// Values (scalars, arrays and objects) in bindings.json or metadata.json. Each
// costs up to about a hundred bytes in the tree it is read into, so the bound
// keeps a read's memory near half a gigabyte at worst. A binding is nine
// values in at least 190 bytes of the store's layout, so every store that
// fits kJsonDocumentByteLimit holds fewer (about 3.2 million at most).
inline constexpr std::size_t kMaxJsonDocumentValues = std::size_t{1} << 22;

// Values in one audit line or payload read into a tree.
inline constexpr std::size_t kMaxJsonValues = std::size_t{1} << 18;

// Nesting of an audit log line, the record's own object counting as the first
// level: the reader's parser reads no deeper, so the writer writes no deeper.
inline constexpr std::size_t kMaxAuditLineNesting = 1024;

// Sequences and mappings inside one another in config/worktree.yaml, the
// outermost counting as the first level. A real file nests four or five deep.
// libyaml's scanner does work in proportion to the flow depth for every token,
// so the bound is kept low.
inline constexpr std::size_t kMaxYamlNesting = 64;

// Levels below the root of pyproject.toml: each segment of a table header or of
// a key goes one level down, and so does each element of an array. A real file
// nests fewer than ten deep. The TOML library recurses once per level, twice
// where a header runs through arrays of tables.
inline constexpr std::size_t kMaxTomlNesting = 128;

// Key segments that name a table in pyproject.toml: every segment of a table
// header and all but the last of a dotted key, summed over the file. The TOML
// library looks each up in lists it searches from the start, so its time grows
// with the square of this count; a real file has a few hundred.
inline constexpr std::size_t kMaxTomlTableSegments = 16384;

}  // namespace worktree_runtime::support
