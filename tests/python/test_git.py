"""Repository probes against real git, and a fake git for what real git cannot show."""

import json
import os
import pathlib
import shlex
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _worktree_runtime_native as native
from conftest import child_python_env, git


def test_main_worktree_on_main(repo):
    worktree = native.resolve_git_worktree(str(repo))
    assert type(worktree) is native.GitWorktree
    assert (worktree.git_dir, worktree.git_common_dir, worktree.toplevel, worktree.branch) == (
        f"{repo}/.git", f"{repo}/.git", str(repo), "main")
    assert worktree.is_main_worktree() is True
    assert worktree.is_main_branch() is True


def test_linked_worktree_shares_the_common_dir(repo, linked):
    worktree = native.resolve_git_worktree(str(linked / "."))
    assert worktree.toplevel == str(linked)
    assert worktree.git_common_dir == native.resolve_git_worktree(str(repo)).git_common_dir
    assert worktree.git_dir == f"{repo}/.git/worktrees/linked"
    assert (worktree.branch, worktree.is_main_worktree(), worktree.is_main_branch()) == ("feature", False, False)


def test_default_probes_the_current_directory(linked, monkeypatch):
    monkeypatch.chdir(linked)
    assert native.resolve_git_worktree().toplevel == str(linked)


@pytest.mark.parametrize(("branch", "is_main"), [("master", True), ("Main", False), ("main-2", False)])
def test_only_main_and_master_are_main_branches(repo, branch, is_main):
    git(repo, "checkout", "-q", "-b", branch)
    assert native.resolve_git_worktree(str(repo)).is_main_branch() is is_main


def test_detached_head_reports_head(repo):
    git(repo, "checkout", "-q", "--detach")
    worktree = native.resolve_git_worktree(str(repo))
    assert worktree.branch == "HEAD"
    assert worktree.is_main_branch() is False


@pytest.mark.parametrize("kind", ["outside", "no commits", "bare", "missing directory"])
def test_probe_yields_none_where_git_cannot_answer(tmp_path, outside, kind):
    target = outside / "target"
    if kind == "no commits":
        target.mkdir()
        git(target, "init", "-q")
    elif kind == "bare":
        target.mkdir()
        git(target, "init", "-q", "--bare")
    elif kind == "outside":
        target.mkdir()
    assert native.resolve_git_worktree(str(target)) is None


def test_git_missing_from_path(repo, monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    assert native.resolve_git_worktree(str(repo)) is None


def test_cwd_must_be_str(repo):
    with pytest.raises(TypeError) as raised:
        native.resolve_git_worktree(pathlib.Path(repo))
    assert "cwd" in raised.value.__notes__[0]


def test_git_worktree_class_shape(repo):
    worktree = native.resolve_git_worktree(str(repo))
    assert native.GitWorktree.__module__ == "worktree_runtime.api"
    assert native.GitWorktree.is_main_worktree.__text_signature__ == "($self)"
    assert native.GitWorktree.is_main_branch.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        native.GitWorktree()
    with pytest.raises(TypeError):
        type("Sub", (native.GitWorktree,), {})
    with pytest.raises(AttributeError):
        worktree.branch = "other"
    with pytest.raises(AttributeError):
        worktree.anything = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(worktree)
    assert not hasattr(worktree, "__dict__")
    # Each read converts anew.
    assert worktree.toplevel == worktree.toplevel and worktree.toplevel is not worktree.toplevel


@pytest.mark.parametrize(
    ("script", "expected_toplevel"),
    [
        ("printf '  /a/git\\r\\n/a/common \\r\\n\\r\\n /top\\t\\r\\nbranch x \\r\\n'", "/top"),
        ("printf '/a\\n/b\\n/c\\nmain\\nsurplus\\n'", "/c"),
    ],
)
def test_output_is_trimmed_and_split_into_lines(fake_git, tmp_path, script, expected_toplevel):
    fake_git(script)
    worktree = native.resolve_git_worktree(str(tmp_path))
    assert worktree.toplevel == expected_toplevel
    assert worktree.branch in ("branch x", "main")


@pytest.mark.parametrize(
    "script",
    [
        "printf '/a\\n/b\\n/c\\nmain\\n'; exit 1",       # non-zero exit
        "printf '/a\\n/b\\n/c\\nma\\377in\\n'",          # not UTF-8
        "printf '/a\\n/b\\n\\n  \\n/c\\n'",              # three lines only
        "printf '\\n \\n'",                            # blank
    ],
)
def test_unusable_output_yields_none(fake_git, tmp_path, script):
    fake_git(script)
    assert native.resolve_git_worktree(str(tmp_path)) is None


def test_the_child_inherits_the_environment_and_runs_in_the_directory(fake_git, tmp_path, monkeypatch):
    monkeypatch.setenv("PROBE_VALUE", "from-parent")
    fake_git('printf "%s\\n%s\\n%s\\n%s\\n" "$PWD" "$PROBE_VALUE" /c "$1"')
    worktree = native.resolve_git_worktree(str(tmp_path))
    assert (worktree.git_dir, worktree.git_common_dir, worktree.branch) == (
        str(tmp_path.resolve()), "from-parent", "rev-parse")


def is_running(pid):
    """Whether `pid` runs: a zombie that init has yet to reap does not."""
    try:
        os.kill(pid, 0)
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0] != "Z"
    except (ProcessLookupError, FileNotFoundError):
        return False


def ends_soon(pid):
    """Whether `pid` stops running within a few seconds (a killed process takes a moment to die)."""
    for _ in range(500):
        if not is_running(pid):
            return True
        time.sleep(0.01)
    return False


@pytest.mark.parametrize(
    "script",
    [
        "exec 2>&-; sleep 30",                          # closes standard error and keeps running
        "printf '/a\\n/b\\n/c\\nmain\\n'; sleep 30",     # keeps both pipes open and hangs
        # starts a background job and an orphan (its subshell has exited), then hangs
        'sleep 300 & echo $! >> "$GIT_TEST_PIDS"; (sleep 300 & echo $! >> "$GIT_TEST_PIDS"); exec sleep 30',
    ],
)
def test_a_hanging_git_ends_at_the_ten_second_limit(fake_git, tmp_path, monkeypatch, script):
    pid_file = tmp_path / "pids"
    monkeypatch.setenv("GIT_TEST_PIDS", str(pid_file))
    fake_git(script)
    start = time.monotonic()
    assert native.resolve_git_worktree(str(tmp_path)) is None
    assert 9 < time.monotonic() - start < 20
    # The child was reaped: this process has no child left.
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)
    # Nothing that git started outlives it.
    started = [int(line) for line in pid_file.read_text().split()] if pid_file.exists() else []
    assert len(started) == script.count("GIT_TEST_PIDS")
    assert [pid for pid in started if not ends_soon(pid)] == []


def test_a_git_that_exits_answers_while_a_grandchild_holds_its_pipes(fake_git, tmp_path):
    fake_git("(sleep 30 &) ; printf '/a\\n/b\\n/c\\nmain\\n'")
    assert native.resolve_git_worktree(str(tmp_path)).toplevel == "/c"


def test_no_descriptor_leaks_across_runs(repo):
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(20):
        native.resolve_git_worktree(str(repo))
        native.resolve_git_worktree(str(repo / "missing"))
    assert len(os.listdir("/proc/self/fd")) == before


CTRL_C_PROBE = textwrap.dedent("""\
    import json, signal, sys, time
    import _worktree_runtime_native as native

    handled = []
    if sys.argv[2] == "own handler":
        signal.signal(signal.SIGINT, lambda signum, frame: handled.append(signum))
    else:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    start = time.monotonic()
    try:
        native.resolve_git_worktree(sys.argv[1])
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    print(json.dumps({"outcome": outcome, "handled": handled, "seconds": time.monotonic() - start}))
    """)


@pytest.mark.parametrize(
    ("handler", "outcome", "handled"),
    [
        ("default", "KeyboardInterrupt", []),
        ("own handler", "returned", [signal.SIGINT]),
    ],
)
def test_ctrl_c_reaches_a_running_git_and_then_the_caller(fake_git, tmp_path, handler, outcome, handled):
    started, interrupted = tmp_path / "started", tmp_path / "interrupted"
    # The shell waits with `wait`, which a trapped signal ends at once; a
    # foreground sleep hit by the SIGINT before its exec would keep it waiting.
    fake_git(textwrap.dedent(f"""\
        trap 'kill $sleeper; : > {shlex.quote(str(interrupted))}; exit 130' INT
        sleep 30 & sleeper=$!
        : > {shlex.quote(str(started))}
        wait
        """))
    # A session of its own, so that the SIGINT sent to its group, as a terminal
    # sends Ctrl-C to its foreground group, reaches nothing of the test run's.
    caller = subprocess.Popen([sys.executable, "-c", CTRL_C_PROBE, str(tmp_path), handler], env=child_python_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not started.exists() and caller.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert started.exists(), caller.stderr.read() if caller.poll() is not None else "git never started"
        os.killpg(caller.pid, signal.SIGINT)
        stdout, stderr = caller.communicate(timeout=60)
    finally:
        if caller.poll() is None:
            caller.kill()
            caller.wait()
    assert caller.returncode == 0, stderr
    report = json.loads(stdout)
    assert interrupted.exists(), report  # git got the SIGINT
    assert (report["outcome"], report["handled"]) == (outcome, handled)
    assert report["seconds"] < 9  # it did not wait for git's ten-second limit
