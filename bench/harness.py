"""What every benchmark group shares: registering benchmarks with pyperf in the same order in the parent and in its
worker processes, and printing ratio tables with their targets."""

import os
import subprocess


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


class Target:
    """A bound on a ratio: at least `value` (a speed-up) or at most `value` (an overhead)."""

    def __init__(self, relation, value):
        assert relation in (">=", "<=")
        self.relation, self.value = relation, value

    def met(self, ratio):
        return ratio >= self.value if self.relation == ">=" else ratio <= self.value

    def __str__(self):
        return f"{self.relation}{self.value:.2f}x"


AT_LEAST = lambda value: Target(">=", value)  # noqa: E731
AT_MOST = lambda value: Target("<=", value)  # noqa: E731


class Table:
    """Rows of (operation, first mean, second mean, ratio, target or None) under a title."""

    def __init__(self, title, headers, rows, notes=()):
        self.title, self.headers, self.rows, self.notes = title, headers, rows, list(notes)

    def print(self):
        first, second, ratio = self.headers
        print(f"\n{self.title}")
        print(f"{'operation':46} {first:>10} {second:>12} {ratio:>14} {'target':>9}")
        for name, first_mean, second_mean, value, target in self.rows:
            verdict = "" if target is None else f"{target!s:>9} {'met' if target.met(value) else 'MISSED'}"
            print(f"{name:46} {duration(first_mean):>10} {duration(second_mean):>12} {value:13.2f}x {verdict}")
        for note in self.notes:
            print(f"  {note}")


def _nothing():
    return None


class Session:
    """Registers the benchmarks of every selected group with one pyperf runner.

    pyperf starts a worker process per benchmark run, which re-runs this script and is told only the index of the
    benchmark to time. So every group registers its benchmarks in a fixed order, and a group none of whose benchmarks
    is the worker's skips its preparation (repositories, stores, logs) and only counts its names.
    """

    def __init__(self, runner):
        self.runner = runner
        self.registered = 0
        self.tables = []
        self.means = {}
        self._planned = None

    @property
    def worker(self):
        return bool(self.runner.args.worker)

    def enter(self, names):
        """Whether the group that will register `names` (in this order) should prepare and run. When not, the
        names are counted and the group must return."""
        task = self.runner.args.worker_task
        if not self.worker or task is None or self.registered <= task < self.registered + len(names):
            self._planned = list(names)
            return True
        for name in names:
            self.runner.bench_func(name, _nothing)
            self.registered += 1
        return False

    def _register(self, name, call):
        if self._planned is None or not self._planned or self._planned[0] != name:
            raise RuntimeError(f"benchmark {name!r} registered out of the planned order {self._planned!r}")
        self._planned.pop(0)
        self.registered += 1
        benchmark = call()
        if benchmark is not None and not self.worker:
            self.means[name] = benchmark.mean()
        return benchmark

    def bench(self, name, func, *args):
        """Times func(*args); its mean is kept in `means` (parent process only)."""
        return self._register(name, lambda: self.runner.bench_func(name, func, *args))

    def bench_time(self, name, time_func, *args):
        """Times with time_func(loops, *args), which returns the seconds spent on `loops` calls."""
        return self._register(name, lambda: self.runner.bench_time_func(name, time_func, *args))

    def leave(self):
        if self._planned:
            raise RuntimeError(f"benchmarks planned but not registered: {self._planned!r}")
        self._planned = None

    def mean(self, name):
        return self.means.get(name)

    def add_table(self, table):
        table.print()
        self.tables.append(table)


def git(*arguments, cwd=None):
    """Runs git quietly; raises when it fails."""
    subprocess.run(["git", *arguments], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_git_repo_at(repo, project_id="bench", pyproject=None):
    """A repository at `repo` on branch main with one commit and a pyproject.toml naming the project."""
    os.makedirs(repo, exist_ok=True)
    with open(os.path.join(repo, "pyproject.toml"), "w") as file:
        file.write(pyproject if pyproject is not None else f'[tool.velmorin]\nproject_id = "{project_id}"\n')
    git("init", "-q", "-b", "main", cwd=repo)
    git("add", "pyproject.toml", cwd=repo)
    git("-c", "user.email=a@b", "-c", "user.name=n", "commit", "-q", "-m", "bench", cwd=repo)
    return repo


def prepared(directory, make):
    """`directory`, made by make(directory) unless an earlier process (the pyperf parent) made it already."""
    marker = os.path.join(directory, ".bench-ready")
    if not os.path.exists(marker):
        os.makedirs(directory, exist_ok=True)
        make(directory)
        with open(marker, "w"):
            pass
    return directory
