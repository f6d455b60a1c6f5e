"""Times the git query with and without a large, touched heap in the calling process.

    .venv/bin/python bench/spawn_heap.py                   # 200 iterations, 2 GiB heap
    .venv/bin/python bench/spawn_heap.py --iterations 500 --heap-gib 4

The module starts git with posix_spawn, so nothing of the caller's memory is copied and the cost should not grow
with the heap. subprocess.run is shown for contrast, once as it is normally called and once forced to fork (a
preexec_fn makes it copy the page tables of the whole process).
"""

import argparse
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import time
from collections import defaultdict

sys.path.insert(0, os.path.dirname(__file__))

import _worktree_runtime_native as native  # noqa: E402
import plain_python  # noqa: E402
from run import comparable, duration, make_git_repo  # noqa: E402

GIT_COMMAND = ["git", *plain_python.GIT_WORKTREE_QUERY]


def subprocess_run(repo, **options):
    return subprocess.run(GIT_COMMAND, cwd=repo, capture_output=True, timeout=10, close_fds=True, **options)


# Timed taking turns, so that drift of the machine falls on all alike.
SPAWN_CASES = [
    ("resolve_git_worktree [native]", native.resolve_git_worktree),
    ("bare git process", plain_python.run_git_bare),
    ("subprocess.run close_fds=True", subprocess_run),
]
# Timed on its own: tearing down a copy of a large heap's page tables would slow whatever runs next.
FORK_CASES = [("subprocess.run forced to fork", lambda repo: subprocess_run(repo, preexec_fn=lambda: None))]


def time_calls(cases, repo, iterations, times):
    """Appends to times[name] the seconds of each of `iterations` calls of every case, the cases taking turns."""
    for _ in range(iterations):
        for name, call in cases:
            start = time.perf_counter()
            call(repo)
            times[name].append(time.perf_counter() - start)


def mean_times(repo, iterations, heap_size, rounds=5):
    """Mean seconds per call of each case without and with the heap. The two alternate in rounds, so that the
    machine's drift over the run falls on both alike."""
    without_heap, with_heap = defaultdict(list), defaultdict(list)
    time_calls(SPAWN_CASES + FORK_CASES, repo, 5, defaultdict(list))  # warm-up
    for _ in range(rounds):
        for cases in (SPAWN_CASES, FORK_CASES):
            time_calls(cases, repo, iterations // rounds, without_heap)
        heap = touched_heap(heap_size)
        for cases in (SPAWN_CASES, FORK_CASES):
            time_calls(cases, repo, iterations // rounds, with_heap)
        del heap
    return ({name: statistics.mean(values) for name, values in times.items()} for times in (without_heap, with_heap))


def touched_heap(size):
    """`size` bytes of heap with every page written, so that all of it is really mapped."""
    heap = bytearray(size)
    heap[::mmap.PAGESIZE] = b"\x01" * len(range(0, size, mmap.PAGESIZE))
    return heap


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=200)
    parser.add_argument("--heap-gib", type=int, default=2)
    args = parser.parse_args()

    repo = make_git_repo()
    try:
        if comparable(native.resolve_git_worktree(repo)) != plain_python.resolve_git_worktree(repo):
            raise SystemExit(f"resolve_git_worktree: native and plain Python disagree on {repo!r}")
        without_heap, with_heap = mean_times(repo, args.iterations, args.heap_gib << 30)
    finally:
        shutil.rmtree(repo, ignore_errors=True)

    heap_label = f"{args.heap_gib} GiB heap"
    print(f"\n{args.iterations} calls of each, with and without the heap in turns\n")
    print(f"{'operation':32} {'no heap':>10} {heap_label:>10} {'heap/no heap':>13}")
    for name, _ in SPAWN_CASES + FORK_CASES:
        print(f"{name:32} {duration(without_heap[name]):>10} {duration(with_heap[name]):>10} "
              f"{with_heap[name] / without_heap[name]:12.2f}x")
    native_name, bare_name = SPAWN_CASES[0][0], SPAWN_CASES[1][0]
    print(f"\n{'native/bare':32} {without_heap[native_name] / without_heap[bare_name]:9.2f}x "
          f"{with_heap[native_name] / with_heap[bare_name]:9.2f}x")


if __name__ == "__main__":
    main()
