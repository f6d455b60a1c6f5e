"""Times each native operation against the plain-Python way of doing the same job.

    .venv/bin/python bench/run.py            # full pyperf run
    .venv/bin/python bench/run.py --fast     # quicker, noisier

Prints one line per operation: native time, plain-Python time and their ratio; then the git query against the bare
git process alone, which is all a caller cannot avoid paying. bench/spawn_heap.py shows the git query's cost in a
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
import plain_python  # noqa: E402

# Worker processes re-run this script; these variables hand them the parent's tree and repository.
ROOT_VARIABLE = "WORKTREE_RUNTIME_BENCH_ROOT"
REPO_VARIABLE = "WORKTREE_RUNTIME_BENCH_REPO"


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


def duration(seconds):
    for unit, scale in (("ns", 1e9), ("us", 1e6)):
        if seconds * scale < 1000:
            return f"{seconds * scale:8.2f}{unit}"
    return f"{seconds * 1e3:8.2f}ms"


def print_table(headers, rows):
    """Prints rows of (operation, first mean, second mean, ratio)."""
    first, second, ratio = headers
    print(f"\n{'operation':40} {first:>10} {second:>16} {ratio:>14}")
    for name, first_mean, second_mean, value in rows:
        print(f"{name:40} {duration(first_mean):>10} {duration(second_mean):>16} {value:13.2f}x")


def shared_directory(variable, make, made):
    """The directory named by `variable`, made (and recorded in `made`) when the variable is unset."""
    if variable not in os.environ:
        os.environ[variable] = make()
        made.append(os.environ[variable])
    return os.environ[variable]


def main():
    runner = pyperf.Runner()
    args = runner.parse_args()
    args.inherit_environ = [*(args.inherit_environ or []), ROOT_VARIABLE, REPO_VARIABLE]
    made = []
    try:
        root = shared_directory(ROOT_VARIABLE, lambda: tempfile.mkdtemp(prefix="wtr-bench-"), made)
        run(runner, root, shared_directory(REPO_VARIABLE, make_git_repo, made))
    finally:
        for directory in made:
            shutil.rmtree(directory, ignore_errors=True)


def run(runner, root, repo):
    cases = path_cases(root) + git_cases(repo) + project_id_cases(repo)
    check_same_results(cases)
    bare_cases = bare_git_cases(repo)

    # Each operation is timed once, however many tables show it.
    benchmarks = {}

    def timed_pair(label, first_name, first_call, second_name, second_call, argument):
        for name, call in ((first_name, first_call), (second_name, second_call)):
            if name not in benchmarks:
                benchmarks[name] = runner.bench_func(name, call, argument)
        first, second = benchmarks[first_name], benchmarks[second_name]
        # A worker process holds the values of one benchmark only.
        return None if runner.args.worker or first is None or second is None else (label, first.mean(), second.mean())

    # The git query and the bare git process run first and back to back, so that the machine's drift between the
    # two stays small.
    bare_pairs = [timed_pair(f"{name} / {bare_name}", f"{name} [native]", native_call, bare_name, bare_call, argument)
                  for name, native_call, bare_name, bare_call, argument in bare_cases]
    pairs = [timed_pair(name, f"{name} [native]", native_call, f"{name} [python]", python_call, argument)
             for name, native_call, python_call, argument in cases]
    if None not in pairs:
        print_table(("native", "python", "python/native"), [(*pair, pair[2] / pair[1]) for pair in pairs])
    if None not in bare_pairs:
        print_table(("native", "bare", "native/bare"), [(*pair, pair[1] / pair[2]) for pair in bare_pairs])


if __name__ == "__main__":
    main()
