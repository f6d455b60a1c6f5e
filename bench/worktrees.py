"""list_worktrees on a repository with 200 linked worktrees, against plain Python: subprocess.run of
`git -C root worktree list --porcelain` and a porcelain parser. And the parsing alone: list_worktrees with a run=
callable that returns captured output, against the plain-Python parser on the same text.

Some worktrees are detached, some locked with a reason, and two have lost their directories (prunable), so that
every kind of line is parsed.
"""

import os
import shutil
import subprocess

import _worktree_runtime_native as native

from harness import AT_LEAST, Table, git, make_git_repo_at, prepared
from plain_python import WHITE_SPACE

WORKTREE_COUNT = 200
LIST_TARGET = 1.0
PARSE_TARGET = 5.0
NAMES = ["list_worktrees 200 [native]", "list_worktrees 200 [python]", "list_worktrees 200 run= [native]",
         "list_worktrees 200 parse [python]"]
BRANCH_PREFIX = "refs/heads/"


class WorktreeListError(Exception):
    pass


class WorktreeEntry:
    __slots__ = ("worktree", "branch", "head", "bare", "detached", "locked", "lock_reason", "prunable")

    def __init__(self, worktree, branch, head, bare, detached, locked, lock_reason, prunable):
        self.worktree, self.branch, self.head, self.bare = worktree, branch, head, bare
        self.detached, self.locked, self.lock_reason, self.prunable = detached, locked, lock_reason, prunable


def parse_porcelain(text):
    """The entries of `git worktree list --porcelain` output; WorktreeListError for a record without a worktree."""
    entries = []
    worktree = head = branch = lock_reason = None
    bare = detached = locked = prunable = False
    lines = text.split("\n")
    lines.append("")  # the final flush
    for line in lines:
        line = line.rstrip("\r")
        if not line:
            if worktree is None:
                if head is None and branch is None and not (bare or detached or locked or prunable):
                    continue
                raise WorktreeListError("worktree record missing required 'worktree' line")
            entries.append(WorktreeEntry(worktree, None if bare else branch, head or "", bare, detached, locked,
                                         lock_reason, prunable))
            worktree = head = branch = lock_reason = None
            bare = detached = locked = prunable = False
        elif line.startswith("worktree "):
            worktree = line[9:]
        elif line.startswith("HEAD "):
            head = line[5:]
        elif line.startswith("branch "):
            branch = line[7:]
            if len(branch) > 10 and branch.startswith(BRANCH_PREFIX):
                branch = branch[11:]
        elif line == "detached":
            detached = True
        elif line == "bare":
            bare = True
        elif line == "locked" or line.startswith("locked "):
            locked = True
            reason = line[6:].strip(WHITE_SPACE)
            if reason:
                lock_reason = reason
        elif line == "prunable" or line.startswith("prunable "):
            prunable = True
    return entries


def evaluate(stdout, stderr, returncode, root):
    if returncode != 0:
        raise WorktreeListError(f"git worktree list --porcelain exited {returncode} in {root}: "
                                f"{stderr.strip(WHITE_SPACE)}")
    try:
        return parse_porcelain(stdout)
    except WorktreeListError as error:
        raise WorktreeListError(f"unparseable git worktree list --porcelain output for {root}: {error}") from None


def _text(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return ""


def list_worktrees(root):
    try:
        completed = subprocess.run(["git", "-C", root, "worktree", "list", "--porcelain"], capture_output=True,
                                   timeout=30)
    except FileNotFoundError:
        raise WorktreeListError("git binary not found on PATH") from None
    except OSError as error:
        raise WorktreeListError(f"failed to invoke git worktree list --porcelain in {root}: {error.strerror} "
                                f"(os error {error.errno})") from None
    except subprocess.TimeoutExpired:
        raise WorktreeListError(f"failed to invoke git worktree list --porcelain in {root}: timed out after 30s")
    return evaluate(_text(completed.stdout), _text(completed.stderr), completed.returncode, root)


def make_fixture(directory):
    repo = make_git_repo_at(os.path.join(directory, "repo"))
    for index in range(WORKTREE_COUNT):
        path = os.path.join(directory, f"wt-{index:03d}")
        if index % 20 == 5:
            git("worktree", "add", "-q", "--detach", path, cwd=repo)
        else:
            git("worktree", "add", "-q", "-b", f"topic/wt-{index:03d}", path, cwd=repo)
        if index % 20 == 7:
            git("worktree", "lock", "--reason", f"bench lock {index}", path, cwd=repo)
    for index in (13, 113):
        shutil.rmtree(os.path.join(directory, f"wt-{index:03d}"))


def _comparable(entry):
    worktree = entry.worktree if isinstance(entry.worktree, str) else str(entry.worktree)
    return (worktree, entry.branch, entry.head, entry.bare, entry.detached, entry.locked, entry.lock_reason,
            entry.prunable)


def group(session, root):
    if not session.enter(NAMES):
        return
    directory = prepared(os.path.join(root, "worktrees"), make_fixture)
    repo = os.path.join(directory, "repo")
    captured = subprocess.run(["git", "-C", repo, "worktree", "list", "--porcelain"], capture_output=True, text=True,
                              check=True)

    def run(command, path):
        return captured

    if not session.worker:
        expected = [_comparable(entry) for entry in parse_porcelain(captured.stdout)]
        counts = (len(expected), sum(e[4] for e in expected), sum(e[5] for e in expected), sum(e[7] for e in expected))
        if counts[0] != WORKTREE_COUNT + 1 or 0 in counts:
            raise SystemExit(f"list_worktrees fixture: (entries, detached, locked, prunable) = {counts}")
        for name, entries in (("native", native.list_worktrees(repo)), ("python", list_worktrees(repo)),
                              ("native run=", native.list_worktrees(repo, run=run))):
            if [_comparable(entry) for entry in entries] != expected:
                raise SystemExit(f"list_worktrees {name}: entries differ from the plain-Python parse")
    session.bench(NAMES[0], native.list_worktrees, repo)
    session.bench(NAMES[1], list_worktrees, repo)
    session.bench(NAMES[2], lambda: native.list_worktrees(repo, run=run))
    session.bench(NAMES[3], evaluate, captured.stdout, captured.stderr, captured.returncode, repo)
    session.leave()
    if not session.worker:
        mean = session.mean
        session.add_table(Table(
            "list_worktrees, 201 worktrees (targets: git run at least as fast; parsing alone at least 5x)",
            ("native", "python", "python/native"),
            [("list_worktrees (git + parse)", mean(NAMES[0]), mean(NAMES[1]), mean(NAMES[1]) / mean(NAMES[0]),
              AT_LEAST(LIST_TARGET)),
             ("parse only (run= callable / python parser)", mean(NAMES[2]), mean(NAMES[3]),
              mean(NAMES[3]) / mean(NAMES[2]), AT_LEAST(PARSE_TARGET))],
            [f"porcelain text: {len(captured.stdout.encode())} bytes; parse per entry native "
             f"{mean(NAMES[2]) / (WORKTREE_COUNT + 1) * 1e9:.0f}ns, python "
             f"{mean(NAMES[3]) / (WORKTREE_COUNT + 1) * 1e9:.0f}ns"]))
