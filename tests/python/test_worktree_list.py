"""list_worktrees: git's porcelain listing read from real git, from a fake git and from a runner callable."""

import errno
import os
import pathlib
import subprocess
import types

import pytest

import _worktree_runtime_native as native
from conftest import git, spawn_reports_start_failures

ROOT = "/srv/project"
H1 = "1" * 40
H2 = "2" * 40
START_FAILURES_REPORTED = pytest.mark.skipif(
    not spawn_reports_start_failures(), reason="posix_spawnp here does not report a child's failed start (qemu-user)")


def runner(stdout="", returncode=0, stderr=""):
    """A stand-in for git that answers with a fixed result and records how it was called."""

    def run(*args, **kwargs):
        run.calls.append((args, kwargs))
        return types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr=stderr)

    run.calls = []
    return run


def listed(stdout):
    return native.list_worktrees(ROOT, run=runner(stdout))


def fields(entry):
    return (entry.worktree, entry.branch, entry.head, entry.bare, entry.detached, entry.locked, entry.lock_reason,
            entry.prunable)


def entry(worktree, *, branch=None, head="", bare=False, detached=False, locked=False, lock_reason=None,
          prunable=False):
    return (pathlib.Path(worktree), branch, head, bare, detached, locked, lock_reason, prunable)


MAIN_AND_LINKED = [
    entry("/srv/project", branch="main", head=H1),
    entry("/srv/linked", branch="feature", head=H2),
]


@pytest.mark.parametrize(
    ("stdout", "expected"),
    [
        pytest.param(f"worktree /srv/project\nHEAD {H1}\nbranch refs/heads/main\n\n"
                     f"worktree /srv/linked\nHEAD {H2}\nbranch refs/heads/feature\n\n",
                     MAIN_AND_LINKED, id="git's own form"),
        pytest.param(f"worktree /srv/project\nHEAD {H1}\nbranch refs/heads/main\n\n"
                     f"worktree /srv/linked\nHEAD {H2}\nbranch refs/heads/feature",
                     MAIN_AND_LINKED, id="no final line feed"),
        pytest.param(f"worktree /srv/project\r\nHEAD {H1}\r\nbranch refs/heads/main\r\n\r\n"
                     f"worktree /srv/linked\r\nHEAD {H2}\r\nbranch refs/heads/feature\r\n\r\n",
                     MAIN_AND_LINKED, id="CRLF"),
        pytest.param(f"\n\n\nworktree /srv/project\nHEAD {H1}\nbranch refs/heads/main\n\n\n\n\n"
                     f"worktree /srv/linked\nHEAD {H2}\nbranch refs/heads/feature\n\n\n",
                     MAIN_AND_LINKED, id="runs of blank lines"),
        pytest.param(f"worktree /srv/project\nHEAD {H1}\nbranch refs/heads/main\n\r\r\r\n"
                     f"worktree /srv/linked\nHEAD {H2}\nbranch refs/heads/feature\n",
                     MAIN_AND_LINKED, id="a line of carriage returns separates records"),
        pytest.param(f"worktree /srv/project\nfuture-key some value\nHEAD {H1}\nBranch refs/heads/other\n"
                     f" branch refs/heads/indented\nlockedx\nprunablex\ndetached \nbare \nHEAD\nbranch refs/heads/main\n"
                     f"\nfuture-key only\n\n"
                     f"worktree /srv/linked\nHEAD {H2}\nbranch refs/heads/feature\n",
                     MAIN_AND_LINKED, id="unknown keys and near misses are ignored"),
        pytest.param("worktree /a\nHEAD h\nlocked\n",
                     [entry("/a", head="h", locked=True)], id="locked without a reason"),
        pytest.param("worktree /a\nlocked  on a USB stick  \n",
                     [entry("/a", locked=True, lock_reason="on a USB stick")], id="locked reason trimmed"),
        pytest.param("worktree /a\nlocked \u2003\u3000 moved\u00a0\u2028\n",
                     [entry("/a", locked=True, lock_reason="moved")], id="locked reason trimmed of Unicode blanks"),
        pytest.param("worktree /a\nlocked   \n",
                     [entry("/a", locked=True)], id="locked with only blanks"),
        pytest.param("worktree /a\nlocked first\nlocked\n",
                     [entry("/a", locked=True, lock_reason="first")], id="a bare lock line keeps the earlier reason"),
        pytest.param("worktree /a\nlocked first\nlocked second\n",
                     [entry("/a", locked=True, lock_reason="second")], id="a later reason replaces the earlier"),
        pytest.param("worktree /a\nHEAD h\nprunable gitdir file points to non-existent location\n",
                     [entry("/a", head="h", prunable=True)], id="prunable with a reason"),
        pytest.param("worktree /a\nprunable\n",
                     [entry("/a", prunable=True)], id="prunable alone"),
        pytest.param("worktree /srv/project.git\nbare\n",
                     [entry("/srv/project.git", bare=True)], id="bare"),
        pytest.param("worktree /srv/project.git\nbranch refs/heads/main\nbare\nHEAD h\n",
                     [entry("/srv/project.git", head="h", bare=True)], id="bare drops the branch"),
        pytest.param(f"worktree /a\nHEAD {H1}\ndetached\n",
                     [entry("/a", head=H1, detached=True)], id="detached"),
        pytest.param("worktree /a\nbranch refs/remotes/origin/main\n",
                     [entry("/a", branch="refs/remotes/origin/main")], id="remote ref stays whole"),
        pytest.param("worktree /a\nbranch refs/heads/\n",
                     [entry("/a", branch="")], id="exactly refs/heads/"),
        pytest.param("worktree /a\nbranch refs/heads\n",
                     [entry("/a", branch="refs/heads")], id="refs/heads without its slash"),
        pytest.param("worktree /a\nbranch refs/heads/refs/heads/x\n",
                     [entry("/a", branch="refs/heads/x")], id="the prefix is removed once"),
        pytest.param("worktree /a\nbranch plain-name\n",
                     [entry("/a", branch="plain-name")], id="branch without a ref prefix"),
        pytest.param("worktree /a\nbranch \nHEAD \n",
                     [entry("/a", branch="")], id="empty branch and head values"),
        pytest.param("worktree /first\nworktree /second\nHEAD a\nHEAD b\n",
                     [entry("/second", head="b")], id="a repeated key replaces the value"),
        pytest.param("worktree /srv/with spaces  \n",
                     [entry("/srv/with spaces  ")], id="path kept with its blanks"),
        pytest.param("worktree /srv/caf\u00e9/\u6728\n",
                     [entry("/srv/caf\u00e9/\u6728")], id="non-ASCII path"),
        pytest.param("", [], id="empty output"),
        pytest.param("\n\r\n\n", [], id="only blank lines"),
        pytest.param("future-key\n\nworktree /a\n", [entry("/a")], id="a record of unknown lines is empty"),
    ],
)
def test_porcelain_parsing(stdout, expected):
    assert [fields(e) for e in listed(stdout)] == expected


@pytest.mark.parametrize(
    "stdout",
    [
        pytest.param(f"worktree /a\nHEAD {H1}\nbranch refs/heads/main\n\nHEAD {H2}\nbranch refs/heads/x\n",
                     id="later record without worktree line"),
        pytest.param(f"HEAD {H1}\n\nworktree /a\nHEAD {H2}\n", id="first record without worktree line"),
        pytest.param("worktree /a\n\ndetached", id="flag only, at the end without line feed"),
        pytest.param("locked\n\nworktree /a\n", id="lock line only"),
        pytest.param("worktree\nHEAD h\n", id="worktree key without its blank"),
        pytest.param("Worktree /a\nHEAD h\n", id="key in other letter case"),
        pytest.param(" worktree /a\nbranch refs/heads/x\n", id="indented worktree line"),
    ],
)
def test_a_record_without_worktree_line_discards_the_whole_listing(stdout):
    with pytest.raises(native.WorktreeListError) as raised:
        listed(stdout)
    assert raised.value.args == (
        f"unparseable git worktree list --porcelain output for {ROOT}: "
        "worktree record missing required 'worktree' line",)


def test_empty_worktree_value_is_kept():
    (only,) = listed("worktree \nHEAD h\n")
    assert only.worktree == pathlib.Path("") and only.head == "h"


# Real git.


def porcelain_paths(root):
    out = subprocess.run(["git", "-C", str(root), "worktree", "list", "--porcelain"], check=True,
                         capture_output=True, text=True).stdout
    return [pathlib.Path(line[len("worktree "):]) for line in out.splitlines() if line.startswith("worktree ")]


def test_real_git_reports_every_kind_of_worktree(repo, linked):
    parent = repo.parent
    head = git(repo, "rev-parse", "HEAD")
    git(repo, "worktree", "add", "-q", "--detach", str(parent / "locked"))
    git(repo, "worktree", "lock", "--reason", "  on a USB stick ", str(parent / "locked"))
    git(repo, "worktree", "add", "-q", "-b", "plain-lock", str(parent / "plain-lock"))
    git(repo, "worktree", "lock", str(parent / "plain-lock"))
    git(repo, "worktree", "add", "-q", "-b", "gone", str(parent / "gone"))
    subprocess.run(["rm", "-rf", str(parent / "gone")], check=True)

    entries = native.list_worktrees(str(repo))
    expected = {
        repo: entry(repo, branch="main", head=head),
        linked: entry(linked, branch="feature", head=head),
        parent / "locked": entry(parent / "locked", head=head, detached=True, locked=True,
                                 lock_reason="on a USB stick"),
        parent / "plain-lock": entry(parent / "plain-lock", branch="plain-lock", head=head, locked=True),
        parent / "gone": entry(parent / "gone", branch="gone", head=head, prunable=True),
    }
    assert [e.worktree for e in entries] == porcelain_paths(repo)
    assert entries[0].worktree == repo
    assert {e.worktree: fields(e) for e in entries} == expected
    assert all(type(e) is native.WorktreeListEntry for e in entries)


def test_bare_repository_is_listed_as_bare(tmp_path, git_env):
    bare = (tmp_path / "project.git").resolve()
    subprocess.run(["git", "init", "-q", "--bare", str(bare)], check=True)
    assert [fields(e) for e in native.list_worktrees(str(bare))] == [entry(bare, bare=True)]


@pytest.mark.parametrize("where", ["root", "subdirectory", "linked worktree"])
def test_path_and_str_roots_give_the_same_list(repo, linked, where):
    start = {"root": repo, "subdirectory": repo / "sub", "linked worktree": linked}[where]
    start.mkdir(exist_ok=True)
    from_str = [fields(e) for e in native.list_worktrees(str(start))]
    from_path = [fields(e) for e in native.list_worktrees(start)]
    assert from_str == from_path
    assert [row[0] for row in from_str] == [repo, linked]


def test_worktree_attribute_is_a_new_path_on_each_read(repo):
    (main,) = native.list_worktrees(repo)
    first, second = main.worktree, main.worktree
    assert type(first) is type(pathlib.Path()) and first == second == repo
    assert first is not second
    assert main.head == main.head and main.head is not main.head


def test_entry_class_shape(repo):
    (main,) = native.list_worktrees(repo)
    assert native.WorktreeListEntry.__module__ == "worktree_runtime.api"
    with pytest.raises(TypeError):
        native.WorktreeListEntry()
    with pytest.raises(TypeError):
        type("Sub", (native.WorktreeListEntry,), {})
    for name in ("worktree", "branch", "head", "bare", "detached", "locked", "lock_reason", "prunable"):
        with pytest.raises(AttributeError):
            setattr(main, name, getattr(main, name))
    assert not hasattr(main, "__dict__")


def test_outside_a_repository_git_fails_with_its_message(outside):
    expected_stderr = subprocess.run(["git", "-C", str(outside), "worktree", "list", "--porcelain"],
                                     capture_output=True, text=True)
    assert expected_stderr.returncode == 128
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(str(outside))
    assert str(raised.value) == (
        f"git worktree list --porcelain exited 128 in {outside}: {expected_stderr.stderr.strip()}")
    assert raised.value.args == (str(raised.value),)
    assert isinstance(raised.value, Exception) and not isinstance(raised.value, (OSError, ValueError))


def test_missing_directory_is_reported_by_git(tmp_path, git_env):
    missing = tmp_path / "missing"
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(missing)
    assert str(raised.value).startswith(f"git worktree list --porcelain exited 128 in {missing}: ")


# A fake git, for what real git does not do.


@START_FAILURES_REPORTED
def test_git_missing_from_path(repo, monkeypatch, tmp_path):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(repo)
    assert raised.value.args == ("git binary not found on PATH",)


@START_FAILURES_REPORTED
def test_git_that_cannot_be_executed(monkeypatch, tmp_path):
    bin_dir = tmp_path / "no-exec-bin"
    bin_dir.mkdir()
    (bin_dir / "git").write_text("#!/bin/sh\nexit 0\n")
    (bin_dir / "git").chmod(0o644)
    monkeypatch.setenv("PATH", str(bin_dir))
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT)
    assert str(raised.value) == (f"failed to invoke git worktree list --porcelain in {ROOT}: "
                                 f"{os.strerror(errno.EACCES)} (os error {errno.EACCES})")


def test_git_gets_the_root_as_its_directory_option(fake_git, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fake_git('printf "worktree %s\\nHEAD %s\\n" "$PWD" "$*"')
    (only,) = native.list_worktrees("some/../root dir/")
    assert only.worktree == tmp_path
    assert only.head == "-C some/../root dir/ worktree list --porcelain"


@pytest.mark.parametrize(
    ("script", "message_tail"),
    [
        ("printf 'partial\\n'; printf '  fatal: broken\\n\\n' >&2; exit 3", "exited 3 in /srv/project: fatal: broken"),
        ("printf 'worktree /a\\n'; exit 255", "exited 255 in /srv/project: "),
        ("printf 'fatal: \\377\\376\\n' >&2; exit 1", "exited 1 in /srv/project: "),
    ],
    ids=["stderr trimmed", "valid stdout is not read after a failure", "non-UTF-8 stderr"],
)
def test_fake_git_failure_messages(fake_git, script, message_tail):
    fake_git(script)
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT)
    assert str(raised.value) == "git worktree list --porcelain " + message_tail


def test_non_utf8_listing_is_read_as_empty(fake_git):
    fake_git("printf 'worktree /caf\\351\\n'")
    assert native.list_worktrees(ROOT) == []


def test_output_of_several_hundred_kilobytes_is_read_whole(fake_git, tmp_path):
    count = 4000
    listing = "".join(f"worktree /wt/{i:05d}/{'x' * 60}\nHEAD {H1}\nbranch refs/heads/b{i}\n\n" for i in range(count))
    assert len(listing) > 500_000
    (tmp_path / "listing").write_text(listing)
    # Standard error is filled first: a reader that waits for exit with full pipes never sees it.
    fake_git(f"head -c 300000 /dev/zero | tr '\\0' e >&2; cat '{tmp_path / 'listing'}'")
    entries = native.list_worktrees(ROOT)
    assert len(entries) == count
    assert fields(entries[-1]) == entry(f"/wt/{count - 1:05d}/{'x' * 60}", branch=f"b{count - 1}", head=H1)
    assert [e.branch for e in entries] == [f"b{i}" for i in range(count)]


def test_large_standard_error_is_read_whole(fake_git):
    fake_git("printf 'worktree /a\\n'; head -c 400000 /dev/zero | tr '\\0' e >&2; exit 2")
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT)
    assert str(raised.value) == f"git worktree list --porcelain exited 2 in {ROOT}: " + "e" * 400000


def test_a_hanging_git_is_ended_at_the_limit(fake_git):
    fake_git("printf 'worktree /a\\n'; exec sleep 120")
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT)
    assert raised.value.args == (f"failed to invoke git worktree list --porcelain in {ROOT}: timed out after 30s",)
    # The child was reaped: this process has no child left.
    with pytest.raises(ChildProcessError):
        os.waitpid(-1, os.WNOHANG)


# The runner callable.


def test_runner_gets_a_new_command_list_and_a_path():
    run = runner()
    native.list_worktrees(ROOT, run=run)
    native.list_worktrees(pathlib.Path(ROOT), run=run)
    (first_args, first_kwargs), (second_args, second_kwargs) = run.calls
    for args, kwargs in run.calls:
        assert kwargs == {}
        assert len(args) == 2
        command, root = args
        assert type(command) is list and command == ["git", "worktree", "list", "--porcelain"]
        assert type(root) is type(pathlib.Path()) and root == pathlib.Path(ROOT)
    assert first_args[0] is not second_args[0]


def test_runner_root_is_the_converted_text():
    class Custom:
        def __fspath__(self):
            return "./rel//dir/"

    run = runner(returncode=1)
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(Custom(), run=run)
    assert str(raised.value) == "git worktree list --porcelain exited 1 in ./rel//dir/: "
    assert run.calls[0][0][1] == pathlib.Path("./rel//dir/")


class RecordingResult:
    """A result whose attributes record the order in which they are read."""

    def __init__(self, returncode, stdout="", stderr=""):
        self.reads = []
        self._values = {"returncode": returncode, "stdout": stdout, "stderr": stderr}

    def _read(name):
        def getter(self):
            self.reads.append(name)
            return self._values[name]

        return property(getter)

    returncode = _read("returncode")
    stdout = _read("stdout")
    stderr = _read("stderr")


@pytest.mark.parametrize("returncode", [0, 1])
def test_result_attributes_are_read_once_in_order(returncode):
    result = RecordingResult(returncode, stdout="worktree /a\n")
    try:
        native.list_worktrees(ROOT, run=lambda command, root: result)
    except native.WorktreeListError:
        assert returncode == 1
    assert result.reads == ["returncode", "stdout", "stderr"]


def test_runner_failure_reading_returncode_stops_before_stdout():
    result = RecordingResult("0", stdout="worktree /a\n")
    with pytest.raises(TypeError):
        native.list_worktrees(ROOT, run=lambda command, root: result)
    assert result.reads == ["returncode"]


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("attributes", "exception"),
    [
        ({"stdout": "", "stderr": ""}, AttributeError),
        ({"returncode": "0", "stdout": ""}, TypeError),
        ({"returncode": None, "stdout": ""}, TypeError),
        ({"returncode": 0.0, "stdout": ""}, TypeError),
        ({"returncode": 2**31, "stdout": ""}, OverflowError),
        ({"returncode": -(2**31) - 1, "stdout": ""}, OverflowError),
        ({"returncode": 0}, AttributeError),
        ({"returncode": 0, "stdout": b"worktree /a\n"}, TypeError),
        ({"returncode": 0, "stdout": None}, TypeError),
    ],
    ids=["no returncode", "returncode str", "returncode None", "returncode float", "returncode 2**31",
         "returncode below -2**31", "no stdout", "stdout bytes", "stdout None"],
)
def test_unusable_result_attributes_raise(attributes, exception):
    with pytest.raises(exception):
        native.list_worktrees(ROOT, run=lambda command, root: types.SimpleNamespace(**attributes))


@pytest.mark.parametrize(
    ("returncode", "shown"),
    [(2**31 - 1, "2147483647"), (-(2**31), "-2147483648"), (-1, "-1"), (True, "1"), (IndexLike(128), "128")],
)
def test_returncode_is_any_32_bit_integer(returncode, shown):
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT, run=runner(returncode=returncode, stderr="boom"))
    assert str(raised.value) == f"git worktree list --porcelain exited {shown} in {ROOT}: boom"


def test_returncode_index_zero_parses():
    assert [fields(e) for e in native.list_worktrees(ROOT, run=runner("worktree /a\n", returncode=IndexLike(0)))] == [
        entry("/a")]


@pytest.mark.parametrize(
    "stderr",
    ["missing", None, b"fatal: bytes\n", 42, ["fatal"]],
    ids=["missing", "None", "bytes", "int", "list"],
)
def test_unusable_stderr_counts_as_empty(stderr):
    attributes = {"returncode": 128, "stdout": ""}
    if stderr != "missing":
        attributes["stderr"] = stderr
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT, run=lambda command, root: types.SimpleNamespace(**attributes))
    assert str(raised.value) == f"git worktree list --porcelain exited 128 in {ROOT}: "


def test_missing_stderr_with_success_parses_normally():
    result = types.SimpleNamespace(returncode=0, stdout="worktree /a\nHEAD h\n")
    assert [fields(e) for e in native.list_worktrees(ROOT, run=lambda command, root: result)] == [
        entry("/a", head="h")]


def test_lone_surrogates_in_the_stand_ins_texts_read_as_replacement_characters():
    # Undecodable bytes of a path reach Python as lone surrogates (surrogateescape).
    result = types.SimpleNamespace(returncode=0, stdout="worktree /a\udcff/b\nbranch refs/heads/x\ud800\n",
                                   stderr="")
    [listed] = native.list_worktrees(ROOT, run=lambda command, root: result)
    assert (str(listed.worktree), listed.branch) == ("/a\ufffd/b", "x\ufffd")
    failed = types.SimpleNamespace(returncode=2, stdout="", stderr="bad \udc80 path")
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT, run=lambda command, root: failed)
    assert str(raised.value) == f"git worktree list --porcelain exited 2 in {ROOT}: bad \ufffd path"


def test_str_subclass_stdout_is_accepted():
    class Text(str):
        pass

    result = types.SimpleNamespace(returncode=0, stdout=Text("worktree /a\n"), stderr=Text(""))
    assert [e.worktree for e in native.list_worktrees(ROOT, run=lambda command, root: result)] == [
        pathlib.Path("/a")]


@pytest.mark.parametrize(
    ("stderr", "shown"),
    [
        ("fatal: not a git repository\n", "fatal: not a git repository"),
        ("\u3000\t fatal: wide blanks\u00a0\u2029\r\n", "fatal: wide blanks"),
        ("line one\nline two\n", "line one\nline two"),
        (" \n\t", ""),
    ],
)
def test_nonzero_exit_message_carries_trimmed_stderr(stderr, shown):
    run = runner(stdout=f"worktree /a\nHEAD {H1}\n", returncode=128, stderr=stderr)
    with pytest.raises(native.WorktreeListError) as raised:
        native.list_worktrees(ROOT, run=run)
    assert raised.value.args == (f"git worktree list --porcelain exited 128 in {ROOT}: {shown}",)


def test_exceptions_of_the_runner_propagate_unchanged():
    class Failure(Exception):
        pass

    failure = Failure("runner broke")

    def run(command, root):
        raise failure

    with pytest.raises(Failure) as raised:
        native.list_worktrees(ROOT, run=run)
    assert raised.value is failure


def test_exceptions_of_the_result_attributes_propagate_unchanged():
    failure = LookupError("no code")

    class Result:
        @property
        def returncode(self):
            raise failure

    with pytest.raises(LookupError) as raised:
        native.list_worktrees(ROOT, run=lambda command, root: Result())
    assert raised.value is failure


@pytest.mark.parametrize("run", [42, "git", ["git"]])
def test_run_that_is_not_callable(run):
    with pytest.raises(TypeError):
        native.list_worktrees(ROOT, run=run)


def test_run_none_uses_git(repo):
    assert [e.worktree for e in native.list_worktrees(repo, run=None)] == [repo]


def test_run_is_keyword_only():
    with pytest.raises(TypeError):
        native.list_worktrees(ROOT, runner())


# The root argument.


class BytesPath:
    def __fspath__(self):
        return b"/srv/project"


@pytest.mark.parametrize("root", [42, None, b"/srv/project", BytesPath()], ids=["int", "None", "bytes", "bytes fspath"])
def test_root_that_is_not_a_str_path(root):
    run = runner()
    with pytest.raises(TypeError) as raised:
        native.list_worktrees(root, run=run)
    assert any("repo_root" in note for note in raised.value.__notes__)
    assert run.calls == []


def test_fspath_exception_propagates():
    failure = RuntimeError("no path")

    class Broken:
        def __fspath__(self):
            raise failure

    with pytest.raises(RuntimeError) as raised:
        native.list_worktrees(Broken(), run=runner())
    assert raised.value is failure
