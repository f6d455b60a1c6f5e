"""The plain-Python way of doing each job the module does, for comparison."""

import hashlib
import os
import pathlib
import subprocess
import tomllib

# The characters with the Unicode White_Space property (str.strip() removes more).
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"


def strip_extended_prefix(text):
    if text.startswith("\\\\?\\UNC\\"):
        return "\\\\" + text[8:]
    if text.startswith("\\\\?\\") and len(text[4:].encode()) < 260:
        return text[4:]
    return text


def normalize_path(raw):
    if raw is None or not raw.strip(WHITE_SPACE):
        return ""
    try:
        return strip_extended_prefix(os.path.realpath(raw, strict=True))
    except (OSError, ValueError):
        pass
    path = pathlib.PurePosixPath(raw)
    if path.name and path.name != ".." and str(path.parent) not in ("", ".") or raw.startswith("./"):
        try:
            parent = os.path.realpath(str(path.parent), strict=True)
            return strip_extended_prefix(os.path.join(parent, path.name))
        except (OSError, ValueError):
            pass
    return strip_extended_prefix(raw)


def path_fingerprint(raw):
    return hashlib.sha1(normalize_path(raw).encode()).hexdigest()[:12]


# What the module asks git when it resolves a worktree.
GIT_WORKTREE_QUERY = ["rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir", "--show-toplevel",
                      "--abbrev-ref", "HEAD"]

# The identifier of projects that configure none.
LEGACY_PROJECT_ID = "quorbel"


def resolve_git_worktree(directory):
    """(git_dir, git_common_dir, toplevel, branch), or None when git cannot say."""
    try:
        completed = subprocess.run(["git", *GIT_WORKTREE_QUERY], cwd=directory, capture_output=True, timeout=10)
        lines = [line.strip() for line in completed.stdout.decode().splitlines() if line.strip()]
    except (OSError, subprocess.TimeoutExpired, UnicodeDecodeError):
        return None
    if completed.returncode != 0 or len(lines) < 4:
        return None
    return (os.path.realpath(lines[0]), os.path.realpath(lines[1]), os.path.realpath(lines[2]), lines[3])


_DEVNULL = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)


def run_git_bare(directory):
    """The same git query with nothing read back: the least Python can spend on a git process."""
    output = [(os.POSIX_SPAWN_DUP2, _DEVNULL, 1), (os.POSIX_SPAWN_DUP2, _DEVNULL, 2)]
    pid = os.posix_spawnp("git", ["git", "-C", directory, *GIT_WORKTREE_QUERY], os.environ, file_actions=output)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def resolve_project_id(repo_root):
    """tool.velmorin.project_id of the root's pyproject.toml, read afresh on every call."""
    try:
        with open(os.path.join(repo_root, "pyproject.toml"), "rb") as file:
            document = tomllib.load(file)
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return LEGACY_PROJECT_ID
    configured = document.get("tool", {}).get("velmorin", {}).get("project_id")
    return configured if isinstance(configured, str) and configured else LEGACY_PROJECT_ID
