import functools
import os
import subprocess
import sys
import sysconfig
import time

import pytest

import _worktree_runtime_native as native


# A free-threaded build of CPython, which runs without the GIL unless a module
# it imports needs it.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def pytest_report_header(config):
    return [f"module under test: {native.__file__}",
            f"free-threaded: {FREE_THREADED}, GIL enabled: {sys._is_gil_enabled()}"]


def pytest_configure(config):
    # The sanitizer run and the installed run each name the build they mean to
    # test, so a stale module elsewhere on sys.path cannot pass in its place.
    expected = os.environ.get("WORKTREE_RUNTIME_EXPECTED_MODULE")
    if expected and not native.__file__.startswith(expected):
        raise pytest.UsageError(f"testing {native.__file__}, expected a module below {expected}")


GIT_IDENTITY = ["-c", "user.email=dev@example.invalid", "-c", "user.name=Dev"]


def git(cwd, *args):
    """Runs real git in `cwd` and returns its trimmed standard output."""
    return subprocess.run(
        ["git", *GIT_IDENTITY, *args], cwd=cwd, check=True, capture_output=True, text=True
    ).stdout.strip()


@pytest.fixture
def git_env(monkeypatch, tmp_path):
    """A predictable git: no user or system configuration, no inherited overrides."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    for variable in ("GIT_DIR", "GIT_WORK_TREE", "GIT_COMMON_DIR", "GIT_INDEX_FILE", "QUORBEL_REPO_ROOT"):
        monkeypatch.delenv(variable, raising=False)


@pytest.fixture
def repo(tmp_path, git_env):
    """A repository with one commit on main, at its canonical path."""
    root = (tmp_path / "repo").resolve()
    root.mkdir()
    git(root, "init", "-q", "-b", "main")
    git(root, "commit", "-q", "--allow-empty", "-m", "initial")
    return root


@pytest.fixture
def linked(repo):
    """A linked worktree of `repo` on branch feature."""
    path = repo.parent / "linked"
    git(repo, "worktree", "add", "-q", "-b", "feature", str(path))
    return path


@pytest.fixture
def outside(tmp_path, git_env, monkeypatch):
    """A directory outside any repository (git stops looking at its parent)."""
    path = tmp_path / "outside"
    path.mkdir()
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path))
    return path


@pytest.fixture
def fake_git(tmp_path, monkeypatch):
    """Puts a `git` made of the given shell script first on PATH."""

    def install(script):
        bin_dir = tmp_path / "fake-bin"
        bin_dir.mkdir(exist_ok=True)
        program = bin_dir / "git"
        program.write_text("#!/bin/sh\n" + script)
        program.chmod(0o755)
        monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")

    return install


@pytest.fixture
def audit_dir(tmp_path, monkeypatch):
    """A fresh shared audit directory, and a working directory outside it."""
    for name in ("QUORBEL_SHARED_DIR", "QUORBEL_PROJECT_ROOT", "USERPROFILE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("VELMORIN_SHARED_DIR", str(tmp_path / "shared"))
    monkeypatch.setenv("COMPUTERNAME", "build-box")
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return tmp_path / "shared" / "audit"


def record(**fields):
    """record_event with ordinary values for the fields not given."""
    arguments = {"kind": "worktree.create", "branch": "main", "worktree_path": "/home/dev/wt/a",
                 "invoker": "cli", "outcome": "ok"}
    arguments.update(fields)
    return native.record_event(**arguments)


@pytest.fixture
def far_time_zone(monkeypatch):
    """Local time three and a half hours behind UTC, so a local reading cannot pass for UTC."""
    monkeypatch.setenv("TZ", "XYZ+03:30")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def child_python_env():
    """The environment for a fresh interpreter that imports this same module."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


ADDRESS_SPACE_PROBE = """\
with open("/proc/self/status") as status:
    print(next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:")))
"""


@functools.cache
def starting_address_space():
    """The address space a fresh interpreter holds when its code starts: a free-threaded
    CPython reserves about 1 GiB for its allocator before that."""
    return int(subprocess.run([sys.executable, "-c", ADDRESS_SPACE_PROBE], env=child_python_env(),
                              capture_output=True, text=True, check=True).stdout)


def run_isolated(code, *, cwd=None, memory_bytes=2 << 30, timeout=120):
    """Runs `code` in a fresh interpreter that imports this same module, with its
    address space capped at `memory_bytes` beyond what the interpreter holds at
    start (not under AddressSanitizer, which reserves far more). A crash shows as
    a negative return code, and running out of memory as a MemoryError on its
    standard error."""
    import resource

    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    limit = None if sanitized else starting_address_space() + memory_bytes

    def cap_memory():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    env = child_python_env()
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout, preexec_fn=None if sanitized else cap_memory)


# What qemu-user cannot show. Each test that needs it asks the system first,
# so that it runs wherever the system can.


def spawn_reports_start_failures():
    """Whether posix_spawnp here tells its caller that the child could not start.
    Under qemu-user it cannot: qemu runs the child of a vfork as a fork, so the
    failure never reaches the parent, and the child just exits with 127."""
    try:
        pid = os.posix_spawnp("no-such-program-anywhere", ["no-such-program-anywhere"], os.environ)
    except FileNotFoundError:
        return True
    os.waitpid(pid, 0)
    return False


def address_space_limit_binds():
    """Whether a lowered address-space limit refuses a child a large mapping.
    qemu-user keeps the limit from itself, and so from the program it runs."""
    return run_isolated("import mmap; mmap.mmap(-1, 1 << 30)", memory_bytes=512 << 20).returncode != 0
