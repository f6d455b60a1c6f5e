"""Times each native operation against the plain-Python way of doing the same job.

    .venv/bin/python bench/run.py                          # full pyperf run of every group
    .venv/bin/python bench/run.py --fast                   # quicker, noisier
    .venv/bin/python bench/run.py --fast --group bindings,audit

Groups, run in this order (default: all):
    git         the git query against the bare git process alone, which is all a caller cannot avoid paying
    paths       path normalisation and fingerprints
    bindings    PyWorktreeBindingStore upsert, load and list on 10, 100 and 1000 bindings (bench/bindings.py)
    validation  validate_current_binding and register_binding against their bare git processes (bench/validation.py)
    audit       record_event and read_records (bench/audit.py)
    worktrees   list_worktrees on 200 linked worktrees (bench/worktrees.py)
    config      the project identifier memo, known worktree bases and the GitHub policy (bench/config.py)

Each group prints a table of ratios with its targets when its benchmarks are done; all tables are printed again at the
end. Results are checked to agree before anything is timed. bench/spawn_heap.py shows the git query's cost in a
process holding a large heap.
"""

import os
import shutil
import subprocess
import sys
import tempfile

import pyperf

sys.path.insert(0, os.path.dirname(__file__))

import _worktree_runtime_native as native  # noqa: E402
import audit  # noqa: E402
import bindings  # noqa: E402
import config  # noqa: E402
import plain_python  # noqa: E402
import validation  # noqa: E402
import worktrees  # noqa: E402
from harness import Session, Table, duration, print_table  # noqa: E402, F401

# Worker processes re-run this script; these variables hand them the parent's tree, repository, selected groups and
# audit directory. pyperf passes a worker only the variables it is told to.
ROOT_VARIABLE = "WORKTREE_RUNTIME_BENCH_ROOT"
REPO_VARIABLE = "WORKTREE_RUNTIME_BENCH_REPO"
GROUPS_VARIABLE = "WORKTREE_RUNTIME_BENCH_GROUPS"
TMPFS_VARIABLE = "WORKTREE_RUNTIME_BENCH_TMPFS"
SHARED_DIR_VARIABLE = audit.SHARED_DIR_VARIABLE
# Worker processes per benchmark under --fast (pyperf's own --fast default is 10): there are about fifty benchmarks,
# and each worker process costs an interpreter start on top of its timings. --processes still overrides it.
FAST_PROCESSES = 6


def make_git_repo():
    """A fresh repository on branch main with one commit and a pyproject.toml naming the project."""
    repo = tempfile.mkdtemp(prefix="wtr-bench-repo-")
    with open(os.path.join(repo, "pyproject.toml"), "w") as file:
        file.write('[tool.velmorin]\nproject_id = "bench"\n')
    for command in (["init", "-q", "-b", "main"], ["add", "pyproject.toml"],
                    ["-c", "user.email=a@b", "-c", "user.name=n", "commit", "-q", "-m", "bench"]):
        subprocess.run(["git", *command], cwd=repo, check=True)
    return repo


def path_cases(root):
    existing = os.path.join(root, "a", "b", "c", "worktree")
    os.makedirs(existing, exist_ok=True)
    link = os.path.join(root, "link")
    if not os.path.lexists(link):
        os.symlink(os.path.join(root, "a", "b"), link)
    through_link = os.path.join(link, "c", "worktree") + "/"
    one_missing = os.path.join(link, "c", "new-worktree")
    deeper_missing = os.path.join(root, "missing", "deeper", "x")
    return [
        ("normalize_path existing", native.normalize_path, plain_python.normalize_path, existing),
        ("normalize_path symlinked", native.normalize_path, plain_python.normalize_path, through_link),
        ("normalize_path one missing level", native.normalize_path, plain_python.normalize_path, one_missing),
        ("normalize_path deeper missing", native.normalize_path, plain_python.normalize_path, deeper_missing),
        ("path_fingerprint existing", native.path_fingerprint, plain_python.path_fingerprint, existing),
    ]


def git_cases(repo):
    return [("resolve_git_worktree", native.resolve_git_worktree, plain_python.resolve_git_worktree, repo)]


def bare_git_cases(repo):
    """The git query set against running the same git process with nothing read back."""
    if plain_python.run_git_bare(repo) != 0:
        raise SystemExit(f"git rev-parse fails in {repo}")
    return [("resolve_git_worktree", native.resolve_git_worktree, "bare git process", plain_python.run_git_bare, repo)]


def project_id_cases(repo):
    # The first call reads pyproject.toml; every later one is served from memory.
    native.resolve_project_id(repo)
    return [("resolve_project_id memoised", native.resolve_project_id, plain_python.resolve_project_id, repo)]


def comparable(result):
    if isinstance(result, native.GitWorktree):
        return (result.git_dir, result.git_common_dir, result.toplevel, result.branch)
    return result


def check_same_results(cases):
    for name, native_call, python_call, argument in cases:
        native_result, python_result = comparable(native_call(argument)), python_call(argument)
        if native_result is None or native_result != python_result:
            raise SystemExit(f"{name}: native {native_result!r} and plain Python {python_result!r} on {argument!r}")


def shared_directory(variable, make, made):
    """The directory named by `variable`, made (and recorded in `made`) when the variable is unset."""
    if variable not in os.environ:
        os.environ[variable] = make()
        made.append(os.environ[variable])
    return os.environ[variable]


def take_group_option(argv):
    """Removes --group NAMES (or --group=NAMES) from argv, before pyperf parses it; returns the names or None."""
    for index, argument in enumerate(argv):
        if argument == "--group":
            if index + 1 == len(argv):
                raise SystemExit("--group needs a comma-separated list of groups")
            value = argv[index + 1]
            del argv[index:index + 2]
            return value
        if argument.startswith("--group="):
            del argv[index]
            return argument.split("=", 1)[1]
    return None


def selected_groups(argv):
    """The groups named by --group, else by the variable a parent hands its workers, else all; in run order."""
    option = take_group_option(argv)
    text = option if option is not None else os.environ.get(GROUPS_VARIABLE, "")
    names = [name.strip() for name in text.split(",") if name.strip()] or list(GROUPS)
    unknown = sorted(set(names) - set(GROUPS))
    if unknown:
        raise SystemExit(f"unknown group {', '.join(unknown)}; groups: {', '.join(GROUPS)}")
    return [name for name in GROUPS if name in names]


def main():
    groups = selected_groups(sys.argv)
    os.environ[GROUPS_VARIABLE] = ",".join(groups)
    runner = pyperf.Runner()
    args = runner.parse_args()
    if args.fast and not any(argument in ("-p", "--processes") or argument.startswith("--processes=")
                             for argument in sys.argv[1:]):
        args.processes = FAST_PROCESSES
    args.inherit_environ = [*(args.inherit_environ or []), ROOT_VARIABLE, REPO_VARIABLE, GROUPS_VARIABLE,
                            TMPFS_VARIABLE, SHARED_DIR_VARIABLE]
    made = []
    try:
        root = shared_directory(ROOT_VARIABLE, lambda: tempfile.mkdtemp(prefix="wtr-bench-"), made)
        if not args.worker:
            # Never the caller's own shared directory: the audit benchmarks append to and read from it.
            os.environ[SHARED_DIR_VARIABLE] = os.path.join(root, "shared")
        session = Session(runner)
        for name in groups:
            GROUPS[name](session, root, made)
        if not args.worker and session.tables:
            print("\n\nSummary")
            for table in session.tables:
                table.print()
    finally:
        for directory in made:
            shutil.rmtree(directory, ignore_errors=True)


def repo_directory(made):
    return shared_directory(REPO_VARIABLE, make_git_repo, made)


def tmpfs_directory(made):
    """A directory in a tmpfs, where fsync costs next to nothing (the temporary directory when there is none)."""
    tmpfs = "/dev/shm" if os.path.isdir("/dev/shm") else None
    return shared_directory(TMPFS_VARIABLE, lambda: tempfile.mkdtemp(prefix="wtr-bench-", dir=tmpfs), made)


def git_group(session, root, made):
    """The git query against running the same git process with nothing read back, then against plain Python."""
    names = ["resolve_git_worktree [native]", "bare git process", "resolve_git_worktree [python]"]
    if not session.enter(names):
        return
    repo = repo_directory(made)
    if not session.worker:
        check_same_results(git_cases(repo))
        bare_git_cases(repo)
    # The git query and the bare git process run first and back to back, so that the machine's drift between the
    # two stays small.
    session.bench(names[0], native.resolve_git_worktree, repo)
    session.bench(names[1], plain_python.run_git_bare, repo)
    session.bench(names[2], plain_python.resolve_git_worktree, repo)
    session.leave()
    if not session.worker:
        native_mean, bare_mean, python_mean = (session.mean(name) for name in names)
        session.add_table(Table("The git query", ("native", "python", "python/native"),
                                [("resolve_git_worktree", native_mean, python_mean, python_mean / native_mean, None)]))
        session.add_table(Table("The git query against the bare git process", ("native", "bare", "native/bare"),
                                [("resolve_git_worktree / bare git process", native_mean, bare_mean,
                                  native_mean / bare_mean, None)]))


PATH_CASE_NAMES = ["normalize_path existing", "normalize_path symlinked", "normalize_path one missing level",
                   "normalize_path deeper missing", "path_fingerprint existing"]


def timed_cases(session, title, names, make_cases):
    """Times each case of make_cases() natively and in plain Python; `names` are the cases' names, in order."""
    if not session.enter([f"{name} [{kind}]" for name in names for kind in ("native", "python")]):
        return
    cases = make_cases()
    if [case[0] for case in cases] != names:
        raise RuntimeError(f"cases {[case[0] for case in cases]!r} are not {names!r}")
    if not session.worker:
        check_same_results(cases)
    for name, native_call, python_call, argument in cases:
        session.bench(f"{name} [native]", native_call, argument)
        session.bench(f"{name} [python]", python_call, argument)
    session.leave()
    if not session.worker:
        rows = []
        for name in names:
            native_mean, python_mean = session.mean(f"{name} [native]"), session.mean(f"{name} [python]")
            rows.append((name, native_mean, python_mean, python_mean / native_mean, None))
        session.add_table(Table(title, ("native", "python", "python/native"), rows))


def paths_group(session, root, made):
    timed_cases(session, "Path normalisation", PATH_CASE_NAMES, lambda: path_cases(os.path.join(root, "paths")))


def config_group(session, root, made):
    timed_cases(session, "The project identifier (the module remembers it; plain Python reads it afresh)",
                ["resolve_project_id memoised"], lambda: project_id_cases(repo_directory(made)))
    config.group(session, root)


GROUPS = {
    "git": git_group,
    "paths": paths_group,
    "bindings": lambda session, root, made: bindings.group(session, root, lambda: tmpfs_directory(made)),
    "validation": lambda session, root, made: validation.group(session, root),
    "audit": lambda session, root, made: audit.group(session, root),
    "worktrees": lambda session, root, made: worktrees.group(session, root),
    "config": config_group,
}


if __name__ == "__main__":
    main()
