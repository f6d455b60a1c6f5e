#pragma once

// Whether the platform's sources use the Linux calls that other systems lack:
// open-file-description locks, renameat2, openat2, O_PATH, pidfd_open and
// pipe2. Elsewhere each has a replacement, chosen here at compile time. A
// build with WORKTREE_RUNTIME_PORTABLE_FALLBACKS takes the replacements that
// Linux can run too, so that the tests run them.
#if defined(__linux__) && !defined(WORKTREE_RUNTIME_PORTABLE_FALLBACKS)
#define WORKTREE_RUNTIME_LINUX_CALLS 1
#else
#define WORKTREE_RUNTIME_LINUX_CALLS 0
#endif
