"""Times each native operation against the plain-Python way of doing the same job.

    .venv/bin/python bench/run.py            # full pyperf run
    .venv/bin/python bench/run.py --fast     # quicker, noisier

Prints one line per operation: native time, plain-Python time and their ratio.
"""

import os
import sys
import tempfile

import pyperf

sys.path.insert(0, os.path.dirname(__file__))

import _worktree_runtime_native as native  # noqa: E402
import plain_python  # noqa: E402


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


def check_same_results(cases):
    for name, native_call, python_call, argument in cases:
        if native_call(argument) != python_call(argument):
            raise SystemExit(f"{name}: native and plain Python disagree on {argument!r}")


def main():
    runner = pyperf.Runner()
    # Worker processes must see the same tree: its place comes from the parent.
    root = os.environ.setdefault("WORKTREE_RUNTIME_BENCH_ROOT", tempfile.mkdtemp(prefix="wtr-bench-"))
    cases = path_cases(root)
    check_same_results(cases)
    results = []
    for name, native_call, python_call, argument in cases:
        native_benchmark = runner.bench_func(f"{name} [native]", native_call, argument)
        python_benchmark = runner.bench_func(f"{name} [python]", python_call, argument)
        if native_benchmark is not None and python_benchmark is not None:
            results.append((name, native_benchmark.mean(), python_benchmark.mean()))
    if results:
        print(f"\n{'operation':40} {'native':>10} {'python':>10} {'python/native':>14}")
        for name, native_mean, python_mean in results:
            print(f"{name:40} {native_mean * 1e6:9.2f}us {python_mean * 1e6:9.2f}us {python_mean / native_mean:13.1f}x")


if __name__ == "__main__":
    main()
