"""validate_current_binding of a registered session with check_git=True, and register_binding of a linked worktree,
each against the three bare git processes it cannot avoid.

Validation: opening the store asks `git rev-parse --path-format=absolute --git-common-dir` in the repository, and the
git checks ask `git branch --show-current` and the same rev-parse in the worktree. Registration: the main worktree of
the root (the rev-parse in the repository), the worktree's common directory (the rev-parse in the worktree) and its
branch; registration also replaces the store file durably. The bare processes are started with os.posix_spawnp and
reaped with waitpid, their output going to /dev/null (as plain_python.run_git_bare does), so the ratio is what the
native call adds to git itself.
"""

import os

import _worktree_runtime_native as native

import plain_python
from harness import AT_MOST, Table, git, make_git_repo_at, prepared

SESSION_ID = "bench-validation-session"
BRANCH = "feature/validation"
TARGET = 1.2
COMMON_DIR_QUERY = ["rev-parse", "--path-format=absolute", "--git-common-dir"]
NAMES = ["validate_current_binding check_git [native]", "validate_current_binding: 3 bare git processes",
         "register_binding [native]", "register_binding: 3 bare git processes"]


def make_fixture(directory):
    repo = make_git_repo_at(os.path.join(directory, "repo"))
    worktree = os.path.join(directory, "worktree")
    git("worktree", "add", "-q", "-b", BRANCH, worktree, cwd=repo)
    native.register_binding(session_id=SESSION_ID, worktree_path=worktree, branch=BRANCH, repo_root=repo)


def run_bare(directory, arguments):
    output = [(os.POSIX_SPAWN_DUP2, plain_python._DEVNULL, 1), (os.POSIX_SPAWN_DUP2, plain_python._DEVNULL, 2)]
    pid = os.posix_spawnp("git", ["git", "-C", directory, *arguments], os.environ, file_actions=output)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def bare_git_processes(repo, worktree):
    return (run_bare(repo, COMMON_DIR_QUERY), run_bare(worktree, ["branch", "--show-current"]),
            run_bare(worktree, COMMON_DIR_QUERY))


def group(session, root):
    if not session.enter(NAMES):
        return
    directory = prepared(os.path.join(root, "validation"), make_fixture)
    repo = plain_python.normalize_path(os.path.join(directory, "repo"))
    worktree = plain_python.normalize_path(os.path.join(directory, "worktree"))
    arguments = dict(repo_root=repo, session_id=SESSION_ID, cwd=worktree,
                     env={"QUORBEL_WORKTREE": worktree, "QUORBEL_BRANCH": BRANCH}, check_git=True)

    def validate():
        return native.validate_current_binding(**arguments)

    def register():
        return native.register_binding(session_id=SESSION_ID, worktree_path=worktree, branch=BRANCH, repo_root=repo)

    if not session.worker:
        verdict = validate()
        if not verdict.ok or verdict.binding is None or verdict.binding.worktree != worktree:
            raise SystemExit(f"validate_current_binding: {verdict.reason_code} {verdict.message}")
        if bare_git_processes(repo, worktree) != (0, 0, 0):
            raise SystemExit("a bare git process of the validation fails")
        if register().worktree != worktree:
            raise SystemExit("register_binding registers another worktree")
    # Back to back, so that the machine's drift between the two stays small.
    session.bench(NAMES[0], validate)
    session.bench(NAMES[1], bare_git_processes, repo, worktree)
    session.bench(NAMES[2], register)
    session.bench(NAMES[3], bare_git_processes, repo, worktree)
    session.leave()
    if not session.worker:
        native_mean, bare_mean = session.mean(NAMES[0]), session.mean(NAMES[1])
        register_mean, register_bare_mean = session.mean(NAMES[2]), session.mean(NAMES[3])
        session.add_table(Table(
            f"Current-session validation and registration against their git processes (target for the validation: "
            f"native within {TARGET}x)",
            ("native", "bare git", "native/bare"),
            [("validate_current_binding check_git=True", native_mean, bare_mean, native_mean / bare_mean,
              AT_MOST(TARGET)),
             ("register_binding", register_mean, register_bare_mean, register_mean / register_bare_mean, None)],
            [f"per git process: native {native_mean / 3 * 1e3:.3f}ms, bare {bare_mean / 3 * 1e3:.3f}ms"]))
