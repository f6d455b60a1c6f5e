"""The shared audit log: where it lives, appending, fail-open reports, rotation, pruning, many writers."""

import collections
import ctypes
import datetime
import errno
import json
import os
import random
import pathlib
import re
import subprocess
import sys
import textwrap
import time

import pytest

import _worktree_runtime_native as native
from conftest import record, run_isolated

ACTIVE = "worktree-events.ndjson"
SENTINEL = "worktree-events.ndjson.rotating"
THRESHOLD = 10 * 1024 * 1024
MIB = 1024 * 1024
FULL_STAMP = "2025-03-04T05:06:07.123456789Z"
FAILOPEN = "[WORKTREE-AUDIT-FAILOPEN] "
ARCHIVE = re.compile(r"worktree-events\.\d{4}-\d{2}(\.\d+)?\.ndjson")


def records_in(path):
    """Every line of an audit file as a parsed record; each must be complete."""
    content = pathlib.Path(path).read_bytes()
    assert content == b"" or content.endswith(b"\n")
    return [json.loads(line) for line in content.splitlines()]


def stamped_size(**fields):
    """Bytes of the line this process writes for these values, with a nine-digit stamp."""
    values = {"branch": "main", "correlation_id": None, "cwd": os.getcwd(), "elapsed_ms": None, "extra": None,
              "host": os.environ.get("COMPUTERNAME", ""), "invoker": "cli", "kind": "worktree.create",
              "outcome": "ok", "parent_pid": None, "pid": os.getpid(), "schema_version": "v1", "session_id": None,
              "timestamp": FULL_STAMP, "truncated": False, "worktree_path": "/home/dev/wt/a"} | fields
    return len((json.dumps(values, sort_keys=True, separators=(",", ":"), ensure_ascii=False) + "\n").encode())


def archives(audit_dir):
    return sorted(path.name for path in audit_dir.iterdir() if ARCHIVE.fullmatch(path.name))


def last_entry(path):
    """The last line of a file as a record; sparse zeros before it are not part of it."""
    with open(path, "rb") as handle:
        handle.seek(max(0, os.path.getsize(path) - 8192))
        tail = handle.read()
    assert tail.endswith(b"\n")
    return json.loads(tail[:-1].rsplit(b"\n", 1)[-1].rsplit(b"\0", 1)[-1])


def last_stamp(path):
    return last_entry(path)["timestamp"]


def set_size(path, size):
    """Grows or cuts a file to `size` bytes that end in a line feed, as a log does; growth is sparse."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "r+b" if path.exists() else "w+b") as handle:
        handle.truncate(size)
        if size:
            handle.seek(size - 1)
            handle.write(b"\n")


def append_at(audit_dir, start_size, **fields):
    """One append to an active log of `start_size` bytes; again while the clock gives a short stamp."""
    log = audit_dir / ACTIVE
    for _ in range(5):
        set_size(log, start_size)
        before = archives(audit_dir)
        record(**fields)
        if archives(audit_dir) != before or len(last_stamp(log)) == len(FULL_STAMP):
            return
    pytest.fail("no nine-digit stamp in five readings of the clock")


def months_around(action):
    """Runs `action` and returns the UTC months current before and after it."""
    before = datetime.datetime.now(datetime.UTC).strftime("%Y-%m")
    action()
    return {before, datetime.datetime.now(datetime.UTC).strftime("%Y-%m")}


def fail_open(stage, number):
    return f"{FAILOPEN}{stage}: {os.strerror(number)} (os error {number})\n"


# Where the log lives


@pytest.fixture
def bare_env(tmp_path, monkeypatch):
    """No audit-related variable set; the current directory is <tmp>/work."""
    for name in ("VELMORIN_SHARED_DIR", "QUORBEL_SHARED_DIR", "QUORBEL_PROJECT_ROOT", "USERPROFILE", "HOME",
                 "QUORBEL_REPO_ROOT"):
        monkeypatch.delenv(name, raising=False)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return tmp_path


def logs_below(root):
    return sorted(path.relative_to(root).as_posix() for path in root.rglob(ACTIVE))


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"VELMORIN_SHARED_DIR": " \t{t}/v \n"}, "v/audit"),
        ({"VELMORIN_SHARED_DIR": "\u00a0\u3000{t}/v\u2003\u0085"}, "v/audit"),
        ({"VELMORIN_SHARED_DIR": "{t}/v", "QUORBEL_SHARED_DIR": "{t}/s"}, "v/audit"),
        ({"VELMORIN_SHARED_DIR": "  \t ", "QUORBEL_SHARED_DIR": " {t}/s "}, "s/audit"),
        ({"VELMORIN_SHARED_DIR": "", "QUORBEL_SHARED_DIR": "{t}/s"}, "s/audit"),
        ({"QUORBEL_SHARED_DIR": "{t}/s"}, "s/audit"),
        ({"VELMORIN_SHARED_DIR": "{t}/\udcff", "QUORBEL_SHARED_DIR": "{t}/s"}, "s/audit"),  # not UTF-8
        ({"VELMORIN_SHARED_DIR": "rel/dir"}, "work/rel/dir/audit"),
        ({"VELMORIN_SHARED_DIR": "{t}/a~b"}, "a~b/audit"),
        # Home expansion
        ({"VELMORIN_SHARED_DIR": " ~/shared ", "HOME": "{t}/h"}, "h/shared/audit"),
        ({"VELMORIN_SHARED_DIR": "~/s", "USERPROFILE": "{t}/u", "HOME": "{t}/h"}, "u/s/audit"),
        ({"VELMORIN_SHARED_DIR": "~/s", "USERPROFILE": "{t}/u\udcff", "HOME": "{t}/h"}, "h/s/audit"),
        ({"VELMORIN_SHARED_DIR": "~/lit", "USERPROFILE": "", "HOME": "{t}/h"}, "work/~/lit/audit"),
        ({"VELMORIN_SHARED_DIR": "~/lit", "HOME": ""}, "work/~/lit/audit"),
        ({"VELMORIN_SHARED_DIR": "~/lit"}, "work/~/lit/audit"),
        ({"VELMORIN_SHARED_DIR": "~/lit", "HOME": "{t}/h\udcff"}, "work/~/lit/audit"),
        ({"VELMORIN_SHARED_DIR": "~", "HOME": "{t}/h"}, "h/audit"),
        ({"VELMORIN_SHARED_DIR": "~/", "HOME": "{t}/h"}, "h/audit"),
        ({"VELMORIN_SHARED_DIR": "~bob/x", "HOME": "{t}/h"}, "h/bob/x/audit"),
        ({"VELMORIN_SHARED_DIR": "~/\\//x", "HOME": "{t}/h"}, "h/x/audit"),
        ({"QUORBEL_SHARED_DIR": "~/q", "HOME": "{t}/h"}, "h/q/audit"),
    ],
)
def test_shared_directory_overrides(bare_env, monkeypatch, env, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value.replace("{t}", str(bare_env)))
    record(kind="located")
    assert logs_below(bare_env) == [f"{expected}/{ACTIVE}"]
    # The reader finds the same directory.
    assert [entry.kind for entry in native.read_records()] == ["located"]


def configure(root, project_id):
    (root / "pyproject.toml").write_text(f'[tool.velmorin]\nproject_id = "{project_id}"\n')


def test_default_is_below_the_configured_state_directory_of_the_current_repository(bare_env, repo, monkeypatch):
    configure(repo, "demo")
    monkeypatch.chdir(repo)
    record()
    assert (repo / ".demo" / "shared" / "audit" / ACTIVE).is_file()
    assert logs_below(bare_env) == [f"repo/.demo/shared/audit/{ACTIVE}"]


def test_default_takes_the_current_directory_itself_as_the_root(bare_env, repo, monkeypatch):
    configure(repo, "demo")
    (repo / "sub").mkdir()
    monkeypatch.chdir(repo / "sub")
    record()
    assert logs_below(bare_env) == [f"repo/sub/.quorbel/shared/audit/{ACTIVE}"]


@pytest.mark.parametrize(
    ("root_value", "project_id", "expected"),
    [
        (" {t}/proj ", None, "proj/.quorbel/shared/audit"),
        ("{t}/proj", "demo", "proj/.demo/shared/audit"),
        ("{t}/proj", "Raw Id", "proj/.Raw Id/shared/audit"),  # used unchecked
        ("{t}/link", "viasymlink", "proj/.viasymlink/shared/audit"),  # canonical form
        ("{t}/missing/root", None, "missing/root/.quorbel/shared/audit"),  # kept as given
        ("  ", None, "work/.quorbel/shared/audit"),  # blank: the current directory
        ("{t}/proj\udcff", None, "work/.quorbel/shared/audit"),  # not UTF-8: the current directory
    ],
)
def test_default_below_the_project_root_variable(bare_env, monkeypatch, root_value, project_id, expected):
    project = bare_env / "proj"
    project.mkdir()
    (bare_env / "link").symlink_to(project)
    if project_id:
        configure(project, project_id)
    monkeypatch.setenv("QUORBEL_PROJECT_ROOT", root_value.replace("{t}", str(bare_env)))
    record()
    assert logs_below(bare_env) == [f"{expected}/{ACTIVE}"]


def test_directory_is_resolved_at_every_call(bare_env, monkeypatch):
    for name in ("one", "two", "one"):
        monkeypatch.setenv("VELMORIN_SHARED_DIR", str(bare_env / name))
        record(kind=name)
    assert [entry["kind"] for entry in records_in(bare_env / "one" / "audit" / ACTIVE)] == ["one", "one"]
    assert [entry["kind"] for entry in records_in(bare_env / "two" / "audit" / ACTIVE)] == ["two"]


# Appending


def test_appends_in_call_order_and_creates_the_directory(audit_dir):
    assert not audit_dir.parent.exists()
    for index in range(5):
        assert record(kind=f"k{index}") is None
    assert [entry["kind"] for entry in records_in(audit_dir / ACTIVE)] == [f"k{index}" for index in range(5)]
    assert sorted(path.name for path in audit_dir.iterdir()) == [ACTIVE]


def test_appends_to_what_is_already_there(audit_dir):
    set_size(audit_dir / ACTIVE, 0)
    (audit_dir / ACTIVE).write_bytes(b"not a record\n")
    record()
    content = (audit_dir / ACTIVE).read_bytes()
    assert content.startswith(b"not a record\n{") and content.count(b"\n") == 2


# Fail-open reports


def test_file_in_place_of_the_audit_directory(audit_dir, capfd):
    audit_dir.parent.mkdir()
    audit_dir.write_text("in the way")
    with pytest.raises(FileNotFoundError):
        os.stat(audit_dir.parent / "missing")  # leaves an unrelated error number behind
    assert record(extra={"token": 1}) is None
    err = capfd.readouterr().err
    # One report, and the payload check, which comes later, never runs.
    assert err.startswith(FAILOPEN + "mkdir: ") and err.endswith(")\n") and err.count("\n") == 1, err
    # The report names the failure itself, not an error left over from before.
    assert err in (fail_open("mkdir", errno.EEXIST), fail_open("mkdir", errno.ENOTDIR))
    assert audit_dir.read_text() == "in the way"


def test_file_in_place_of_a_parent_of_the_audit_directory(audit_dir, capfd):
    audit_dir.parent.write_text("in the way")
    assert record() is None
    assert capfd.readouterr().err == fail_open("mkdir", errno.ENOTDIR)


def test_directory_in_place_of_the_active_log(audit_dir, capfd):
    (audit_dir / ACTIVE).mkdir(parents=True)
    assert record() is None
    assert capfd.readouterr().err == fail_open("lock", errno.EISDIR)
    assert list((audit_dir / ACTIVE).iterdir()) == []


def test_payload_warning_comes_before_a_failed_open(audit_dir, capfd):
    (audit_dir / ACTIVE).mkdir(parents=True)
    record(extra={"password": "x"})
    assert capfd.readouterr().err == ('[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=["password"]\n'
                                      + fail_open("lock", errno.EISDIR))


def test_failed_write_is_reported(audit_dir, tmp_path):
    # A file size limit makes the write itself fail.
    audit_dir.mkdir(parents=True)
    set_size(audit_dir / ACTIVE, 4096)
    result = run_isolated(textwrap.dedent("""\
        import resource, signal
        import _worktree_runtime_native as native
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        native.record_event("k", "b", "/w", "i", "o")
        """), cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == fail_open("write", errno.EFBIG)
    assert (audit_dir / ACTIVE).stat().st_size == 4096


@pytest.mark.parametrize("link", [ACTIVE, SENTINEL])
def test_a_symbolic_link_at_a_final_name_is_never_written_through(audit_dir, tmp_path, capfd, link):
    # A repository can commit the log as a link to a file of the user's.
    victim = tmp_path / "bashrc"
    victim.write_text("export PATH\n")
    audit_dir.mkdir(parents=True)
    (audit_dir / link).symlink_to(victim)
    if link == SENTINEL:
        set_size(audit_dir / ACTIVE, THRESHOLD)
    record()
    assert victim.read_text() == "export PATH\n"
    assert (audit_dir / link).is_symlink()
    if link == ACTIVE:
        assert capfd.readouterr().err == fail_open("lock", errno.ELOOP)


@pytest.mark.parametrize(("depth", "kept"), [(1023, True), (1024, False)])
def test_a_payload_is_kept_only_as_deep_as_the_reader_reads(audit_dir, depth, kept):
    payload = json.loads("[" * depth + "]" * depth)
    record(kind="deep", extra=payload)
    [read] = native.read_records()
    assert read.kind == "deep" and (read.extra == payload if kept else read.extra is None)


def test_a_torn_last_line_does_not_swallow_the_next_record(audit_dir):
    audit_dir.mkdir(parents=True)
    record(kind="whole")
    with open(audit_dir / ACTIVE, "ab") as log:
        log.write(b'{"branch":"main","correlation_id":null,"cwd":"/w","elapsed_ms":nu')
    record(kind="next")
    assert [r.kind for r in native.read_records()] == ["whole", "next"]
    lines = (audit_dir / ACTIVE).read_bytes().split(b"\n")
    assert lines[1].endswith(b'"elapsed_ms":nu') and json.loads(lines[2])["kind"] == "next"


KILLED_WRITER = """
import sys
import _worktree_runtime_native as native
index = int(sys.argv[1])
print("ready", flush=True)
while True:
    # Lines of nearly 4 KiB cross a page boundary in most writes.
    native.record_event("kill", "main", "/w", "cli", "ok", correlation_id=str(index), extra={"pad": "x" * 3700})
    print(index, flush=True)
    index += 1
"""


def test_writers_killed_at_random_points_lose_no_acknowledged_record(audit_dir):
    chance = random.Random(20261210)
    acknowledged, first = set(), 0
    for _ in range(200):
        writer = subprocess.Popen([sys.executable, "-c", KILLED_WRITER, str(first)], stdout=subprocess.PIPE, text=True)
        writer.stdout.readline()
        time.sleep(chance.uniform(0, 0.005))
        writer.kill()
        done = [int(line) for line in writer.communicate()[0].split()]
        acknowledged.update(done)
        first = max(done, default=first) + 2  # past the one that may have been cut short
    record(kind="after")
    read = native.read_records()
    assert acknowledged <= {r.correlation_id and int(r.correlation_id) for r in read}
    assert read[-1].kind == "after"


def test_overlapping_rotations_never_replace_an_archive(audit_dir):
    # Another rotation can take the month's first name between this one's
    # look and its move: a dangling link there is a name the look misses.
    audit_dir.mkdir(parents=True)
    month = datetime.datetime.now(datetime.UTC).strftime("%Y-%m")
    taken = audit_dir / f"worktree-events.{month}.ndjson"
    taken.symlink_to(audit_dir / "made-by-the-other-rotation")
    append_at(audit_dir, THRESHOLD, kind="rotating")
    assert taken.is_symlink()
    assert last_entry(audit_dir / f"worktree-events.{month}.2.ndjson")["kind"] == "rotating"


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind the superuser")
def test_unwritable_directory_is_reported_as_lock(audit_dir, capfd):
    audit_dir.mkdir(parents=True)
    audit_dir.chmod(0o555)
    try:
        assert record() is None
    finally:
        audit_dir.chmod(0o755)
    assert capfd.readouterr().err == fail_open("lock", errno.EACCES)


# Arguments


def test_successful_record_prints_nothing(audit_dir, capfd):
    record(session_id="s", elapsed_ms=3, correlation_id="c", extra={"note": "n"})
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "extra",
    [set(), {1, 2}, float("nan"), float("inf"), -float("inf"), {"a": [float("nan")]}, object(), b"bytes",
     {("tuple", "key"): 1}, None],
)
def test_payload_that_is_not_json_is_recorded_as_null(audit_dir, capfd, extra):
    assert record(extra=extra) is None
    (entry,) = records_in(audit_dir / ACTIVE)
    assert entry["extra"] is None and entry["truncated"] is False
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(("extra", "stored"),
                         [(0, 0), (False, False), ("", ""), ([], []), ((1, "a"), [1, "a"]), ({1: "x"}, {"1": "x"})])
def test_payload_takes_the_json_form(audit_dir, extra, stored):
    record(extra=extra)
    assert records_in(audit_dir / ACTIVE)[0]["extra"] == stored


class Index:
    def __index__(self):
        return 41


@pytest.mark.parametrize(("elapsed_ms", "stored"),
                         [(2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (0, 0), (True, 1), (Index(), 41)])
def test_elapsed_ms_range(audit_dir, elapsed_ms, stored):
    record(elapsed_ms=elapsed_ms)
    assert records_in(audit_dir / ACTIVE)[0]["elapsed_ms"] == stored


@pytest.mark.parametrize(("elapsed_ms", "error"),
                         [(2**63, OverflowError), (-(2**63) - 1, OverflowError), (1.0, TypeError), ("5", TypeError)])
def test_unfit_elapsed_ms_raises_and_records_nothing(audit_dir, elapsed_ms, error):
    with pytest.raises(error) as raised:
        record(elapsed_ms=elapsed_ms)
    assert any("elapsed_ms" in note for note in raised.value.__notes__)
    assert not (audit_dir / ACTIVE).exists()


@pytest.mark.parametrize("parameter", ["kind", "branch", "worktree_path", "invoker", "outcome", "session_id",
                                       "correlation_id"])
@pytest.mark.parametrize(("value", "error"),
                         [(pathlib.Path("/w"), TypeError), (b"x", TypeError), ("a\ud800", UnicodeEncodeError)])
def test_text_parameters_take_str_only(audit_dir, parameter, value, error):
    with pytest.raises(error) as raised:
        record(**{parameter: value})
    assert any(parameter in note for note in raised.value.__notes__)
    assert not (audit_dir / ACTIVE).exists()


def test_first_failing_parameter_is_reported(audit_dir):
    with pytest.raises(TypeError) as raised:
        native.record_event("k", 1, 2, "i", "o")
    assert any("branch" in note for note in raised.value.__notes__)


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("k", "b", "w", "i", "o", "s"), {}),  # session_id is keyword-only
        (("k", "b", "w", "i"), {}),
        (("k", "b", "w", "i", "o"), {"extras": 1}),
        (("k", "b", "w", "i", "o"), {"kind": "k"}),
    ],
)
def test_binding_errors(audit_dir, args, kwargs):
    with pytest.raises(TypeError):
        native.record_event(*args, **kwargs)
    assert not (audit_dir / ACTIVE).exists()


def test_all_by_keyword(audit_dir):
    native.record_event(outcome="o", invoker="i", worktree_path="w", branch="b", kind="k", extra=[1],
                        correlation_id="c", elapsed_ms=2, session_id="s")
    entry = records_in(audit_dir / ACTIVE)[0]
    assert [entry[key] for key in ("kind", "branch", "worktree_path", "invoker", "outcome", "session_id",
                                   "elapsed_ms", "correlation_id", "extra")] == ["k", "b", "w", "i", "o", "s", 2,
                                                                                 "c", [1]]


# Rotation


@pytest.mark.parametrize(("after_append", "rotates"), [(THRESHOLD, False), (THRESHOLD + 1, True)])
def test_rotation_threshold(audit_dir, after_append, rotates):
    line = stamped_size(kind="edge")
    months = months_around(lambda: append_at(audit_dir, after_append - line, kind="edge"))
    log = audit_dir / ACTIVE
    if not rotates:
        assert archives(audit_dir) == [] and log.stat().st_size == after_append
        # The next append takes it over the threshold.
        months |= months_around(lambda: record(kind="next"))
    (archive,) = archives(audit_dir)
    assert archive in {f"worktree-events.{month}.ndjson" for month in months}
    size = (audit_dir / archive).stat().st_size
    assert size == after_append if rotates else size > THRESHOLD
    assert last_entry(audit_dir / archive)["kind"] == ("edge" if rotates else "next")  # the rotating append too
    assert log.stat().st_size == 0
    assert not (audit_dir / SENTINEL).exists()


def rotate_once(audit_dir, kind="rotating"):
    append_at(audit_dir, THRESHOLD, kind=kind)


@pytest.mark.parametrize(
    ("present", "expected"),
    [
        ([], "{m}"),
        (["{m}"], "{m}.2"),
        (["{m}", "{m}.2"], "{m}.3"),
        (["{m}.2"], "{m}"),
        (["{m}", "{m}.2", "{m}.3", "{m}.5"], "{m}.4"),
        (["{m}/"], "{m}.2"),  # a directory of that name counts as taken
    ],
)
def test_archive_names(audit_dir, present, expected):
    month = datetime.datetime.now(datetime.UTC).strftime("%Y-%m")
    audit_dir.mkdir(parents=True)
    for name in present:
        path = audit_dir / f"worktree-events.{name.replace('{m}', month).rstrip('/')}.ndjson"
        if name.endswith("/"):
            path.mkdir()
        else:
            path.write_text("older\n")
    months = months_around(lambda: rotate_once(audit_dir))
    if months != {month}:
        pytest.skip("the month changed during the test")
    target = audit_dir / f"worktree-events.{expected.replace('{m}', month)}.ndjson"
    assert target.is_file() and target.stat().st_size > THRESHOLD
    assert records_in(audit_dir / ACTIVE) == []
    for name in present:
        path = audit_dir / f"worktree-events.{name.replace('{m}', month).rstrip('/')}.ndjson"
        assert path.is_dir() if name.endswith("/") else path.read_text() == "older\n"


def test_rotating_twice_in_a_month(audit_dir):
    months = months_around(lambda: (rotate_once(audit_dir, "first"), rotate_once(audit_dir, "second")))
    if len(months) != 1:
        pytest.skip("the month changed during the test")
    (month,) = months
    assert archives(audit_dir) == [f"worktree-events.{month}.2.ndjson", f"worktree-events.{month}.ndjson"]
    assert last_entry(audit_dir / f"worktree-events.{month}.ndjson")["kind"] == "first"
    assert last_entry(audit_dir / f"worktree-events.{month}.2.ndjson")["kind"] == "second"
    assert records_in(audit_dir / ACTIVE) == []


def test_records_right_after_a_rotation_are_all_kept(audit_dir):
    rotate_once(audit_dir)
    (archive,) = archives(audit_dir)
    archived_size = (audit_dir / archive).stat().st_size
    for index in range(50):
        record(kind=f"after{index}")
    assert [entry["kind"] for entry in records_in(audit_dir / ACTIVE)] == [f"after{index}" for index in range(50)]
    assert (audit_dir / archive).stat().st_size == archived_size
    assert archives(audit_dir) == [archive]


@pytest.mark.parametrize("sentinel_kind", ["file", "directory"])
def test_sentinel_blocks_rotation(audit_dir, sentinel_kind):
    sentinel = audit_dir / SENTINEL
    audit_dir.mkdir(parents=True)
    if sentinel_kind == "file":
        sentinel.write_text("held by another process")
    else:
        sentinel.mkdir()
    append_at(audit_dir, THRESHOLD)
    for _ in range(3):
        record()
    assert archives(audit_dir) == []
    assert (audit_dir / ACTIVE).stat().st_size > THRESHOLD + 3 * 200
    # The writer never removes a sentinel it did not create.
    assert sentinel.read_text() == "held by another process" if sentinel_kind == "file" else sentinel.is_dir()
    if sentinel_kind == "file":
        sentinel.unlink()
    else:
        sentinel.rmdir()
    record()
    assert len(archives(audit_dir)) == 1 and (audit_dir / ACTIVE).stat().st_size == 0


DROP_FOWNER = 3  # CAP_FOWNER
PR_CAPBSET_DROP = 24


def without_fowner():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_CAPBSET_DROP, DROP_FOWNER, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs to own files as another user")
def test_log_that_cannot_be_moved_keeps_its_records(audit_dir):
    # In a sticky directory owned by someone else, a writer without CAP_FOWNER may append to
    # the other user's log and create files, but not rename the log.
    for index in range(3):
        record(kind=f"kept{index}")
    kept = (audit_dir / ACTIVE).read_bytes()
    set_size(audit_dir / ACTIVE, THRESHOLD - 10)
    os.chown(audit_dir, 65534, 65534)
    audit_dir.chmod(0o1777)
    os.chown(audit_dir / ACTIVE, 65534, 65534)
    (audit_dir / ACTIVE).chmod(0o666)
    script = textwrap.dedent(f"""
        import os, sys
        import _worktree_runtime_native as native
        probe = {str(audit_dir / ACTIVE)!r}
        try:
            os.rename(probe, probe + ".probe")
        except PermissionError:
            pass
        else:
            os.rename(probe + ".probe", probe)
            sys.exit(3)
        native.record_event("mover", "main", "/w", "cli", "ok")
    """)
    result = subprocess.run([sys.executable, "-c", script], preexec_fn=without_fowner, capture_output=True,
                            text=True)
    if result.returncode == 3:
        pytest.skip("renaming cannot be refused here")
    assert result.returncode == 0, result.stderr
    assert archives(audit_dir) == []
    content = (audit_dir / ACTIVE).read_bytes()
    assert content.startswith(kept)
    assert len(content) > THRESHOLD and last_entry(audit_dir / ACTIVE)["kind"] == "mover"
    assert not (audit_dir / SENTINEL).exists()


# Pruning


def make_archives(audit_dir, sizes, start=0):
    """Sparse archives, oldest first, with strictly increasing modification times.

    Names run against the age order, so only the times can tell which is oldest."""
    audit_dir.mkdir(parents=True, exist_ok=True)
    now = time.time()
    paths = []
    for index, size in enumerate(sizes):
        path = audit_dir / f"worktree-events.2020-{12 - index - start:02d}.ndjson"
        if size is None:
            path.mkdir()
        else:
            set_size(path, size)
        stamp = now - 100_000 + (index + start) * 100
        os.utime(path, (stamp, stamp))
        paths.append(path)
    return paths


def survivors(paths):
    return [index for index, path in enumerate(paths) if path.exists()]


@pytest.mark.parametrize(
    ("sizes", "kept"),
    [
        ([60 * MIB] * 4, [1, 2, 3]),
        ([100 * MIB] * 3, [0, 1, 2]),
        ([30 * MIB] * 5, [0, 1, 2, 3, 4]),
        ([50 * MIB] * 6, [3, 4, 5]),  # not recounted between deletions
        ([50 * MIB] * 4, [0, 1, 2, 3]),  # exactly 200 MiB
        ([50 * MIB] * 3 + [50 * MIB + 1], [1, 2, 3]),
        ([190 * MIB, 1, 1, 10 * MIB], [1, 2, 3]),
        ([1, 1, 1, 1, 1, 1, 300 * MIB], [4, 5, 6]),
    ],
)
def test_prune_while_another_process_rotates(audit_dir, capfd, sizes, kept):
    # The sentinel keeps this writer from rotating; it still prunes after its append.
    paths = make_archives(audit_dir, sizes)
    (audit_dir / SENTINEL).write_text("")
    append_at(audit_dir, THRESHOLD)
    assert survivors(paths) == kept
    assert (audit_dir / ACTIVE).stat().st_size > THRESHOLD and (audit_dir / SENTINEL).exists()
    assert capfd.readouterr().err == ""


def test_prune_counts_only_archive_names(audit_dir):
    paths = make_archives(audit_dir, [100 * MIB] * 3)
    others = ["notes.ndjson", "worktree-events.ndjson.bak", "worktree-events.log", "worktree-events.ndjsonx",
              "Worktree-events.2020-01.ndjson", "worktree-events.2020-01.ndjson.gz"]
    for name in others:
        set_size(audit_dir / name, 300 * MIB)
        os.utime(audit_dir / name, (0, 0))
    (audit_dir / SENTINEL).write_text("")
    set_size(audit_dir / SENTINEL, 300 * MIB)
    append_at(audit_dir, THRESHOLD)  # the active log itself is never a candidate
    assert survivors(paths) == [0, 1, 2]
    assert all((audit_dir / name).exists() for name in others)


def test_any_name_between_prefix_and_suffix_is_an_archive(audit_dir):
    paths = make_archives(audit_dir, [100 * MIB] * 3, start=1)
    odd = audit_dir / "worktree-events..ndjson"
    set_size(odd, 1)
    os.utime(odd, (1, 1))
    (audit_dir / SENTINEL).write_text("")
    append_at(audit_dir, THRESHOLD)
    assert not odd.exists() and survivors(paths) == [0, 1, 2]


def test_prune_runs_after_a_rotation(audit_dir):
    paths = make_archives(audit_dir, [100 * MIB] * 3)
    rotate_once(audit_dir)
    # With the new archive there are four, 310 MiB: the oldest goes.
    assert survivors(paths) == [1, 2]
    assert len(archives(audit_dir)) == 3
    assert (audit_dir / ACTIVE).stat().st_size == 0


def test_prune_stops_at_the_first_failed_deletion(audit_dir, capfd):
    # The second oldest is a directory: the oldest goes, the directory fails, the rest stays.
    paths = make_archives(audit_dir, [100 * MIB, None, 100 * MIB, 100 * MIB, 1, 1])
    (paths[1] / "inside").write_text("x")
    os.utime(paths[1], (time.time() - 100_000 + 100,) * 2)
    (audit_dir / SENTINEL).write_text("")
    append_at(audit_dir, THRESHOLD)
    assert survivors(paths) == [1, 2, 3, 4, 5]
    err = capfd.readouterr().err
    assert err in (fail_open("prune-delete", errno.EISDIR), fail_open("prune-delete", errno.EPERM))


# Sentinel reaping


def test_reap_without_a_sentinel(audit_dir):
    assert native.reap_rotation_sentinel() is None
    assert not audit_dir.exists()


def make_sentinel(audit_dir, age):
    audit_dir.mkdir(parents=True, exist_ok=True)
    sentinel = audit_dir / SENTINEL
    sentinel.write_text("")
    second = int(time.time())
    os.utime(sentinel, (second - age, second - age))
    return sentinel, second


@pytest.mark.parametrize(("age", "removed"), [(61, True), (3600, True), (-100, False)])
def test_reap_removes_sentinels_older_than_a_minute(audit_dir, age, removed):
    sentinel, _ = make_sentinel(audit_dir, age)
    native.reap_rotation_sentinel()
    assert sentinel.exists() is not removed


def test_reap_keeps_a_sentinel_of_exactly_a_minute(audit_dir):
    for _ in range(5):
        sentinel, second = make_sentinel(audit_dir, 60)
        native.reap_rotation_sentinel()
        if int(time.time()) == second:
            break  # the whole check ran within the second the age was set in
    else:
        pytest.fail("the clock crossed a second boundary five times")
    assert sentinel.exists()


def test_reap_treats_times_before_1970_as_zero(audit_dir):
    sentinel, _ = make_sentinel(audit_dir, 0)
    os.utime(sentinel, (-86400, -86400))
    native.reap_rotation_sentinel()
    assert not sentinel.exists()


def test_reap_leaves_a_directory_sentinel_alone(audit_dir, capfd):
    (audit_dir / SENTINEL).mkdir(parents=True)
    os.utime(audit_dir / SENTINEL, (1000, 1000))
    assert native.reap_rotation_sentinel() is None
    assert (audit_dir / SENTINEL).is_dir()
    assert capfd.readouterr().err == ""


def test_reaping_lets_rotation_resume(audit_dir):
    make_sentinel(audit_dir, 120)
    append_at(audit_dir, THRESHOLD)
    assert archives(audit_dir) == []
    native.reap_rotation_sentinel()
    record()
    assert len(archives(audit_dir)) == 1


def test_reap_takes_no_arguments():
    with pytest.raises(TypeError):
        native.reap_rotation_sentinel(None)


# Many writers

WRITER = """
import os, sys, time
import _worktree_runtime_native as native
go, child, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
while not os.path.exists(go):
    time.sleep(0.001)
for seq in range(count):
    native.record_event("concurrent", "main", "/w", "cli", "ok", extra={"child": child, "seq": seq})
"""

WRITERS = 8
EVENTS = 500


def run_writers(tmp_path):
    go = tmp_path / "go"
    children = [subprocess.Popen([sys.executable, "-c", WRITER, str(go), str(child), str(EVENTS)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE) for child in range(WRITERS)]
    go.write_text("")
    for child in children:
        out, err = child.communicate(timeout=600)
        assert child.returncode == 0 and err == b"" and out == b"", err.decode()


def events_in(entries):
    return [(entry["extra"]["child"], entry["extra"]["seq"]) for entry in entries if entry["kind"] == "concurrent"]


HOLDER = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
fcntl.lockf(fd, fcntl.LOCK_EX, 1, int(sys.argv[2]))  # one byte at the given offset
print("locked", flush=True)
sys.stdin.readline()
"""


def blocked_on(path):
    """Whether /proc/locks shows a lock request waiting on the file."""
    inode = f":{os.stat(path).st_ino} "
    with open("/proc/locks") as locks:
        return any("->" in line and inode in line for line in locks)


@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="needs /proc/locks")
@pytest.mark.parametrize("offset", [0, 2**40])  # at the start, and far past the end of the file
def test_append_waits_for_a_lock_anywhere_in_the_file(audit_dir, offset):
    audit_dir.mkdir(parents=True)
    log = audit_dir / ACTIVE
    log.write_text("")
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, str(log), str(offset)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        writer = subprocess.Popen([sys.executable, "-c", WRITER, str(log), "0", "1"])
        deadline = time.monotonic() + 120
        while not blocked_on(log):
            assert writer.poll() is None, "the writer finished while the file was locked"
            assert time.monotonic() < deadline, "the writer never waited for the lock"
            time.sleep(0.01)
        assert log.read_bytes() == b""
    finally:
        holder.communicate("\n", timeout=60)
    assert writer.wait(timeout=120) == 0
    assert events_in(records_in(log)) == [(0, 0)]


def test_concurrent_writers_never_interleave(audit_dir, tmp_path):
    run_writers(tmp_path)
    entries = records_in(audit_dir / ACTIVE)
    assert len(entries) == WRITERS * EVENTS
    assert all(len(entry) == 16 for entry in entries)
    by_child = collections.defaultdict(list)
    pids = collections.defaultdict(set)
    for child, seq in events_in(entries):
        by_child[child].append(seq)
    for entry in entries:
        pids[entry["extra"]["child"]].add(entry["pid"])
    # Each writer's lines are all there, in its own order.
    assert by_child == {child: list(range(EVENTS)) for child in range(WRITERS)}
    assert all(len(found) == 1 for found in pids.values()) and len(set().union(*pids.values())) == WRITERS


def test_concurrent_writers_across_a_rotation(audit_dir, tmp_path):
    audit_dir.mkdir(parents=True)
    filler = {"branch": "main", "correlation_id": None, "cwd": "/", "elapsed_ms": None, "host": "",
              "invoker": "cli", "kind": "filler", "outcome": "ok", "parent_pid": None, "pid": 1,
              "schema_version": "v1", "session_id": None, "timestamp": FULL_STAMP, "truncated": False,
              "worktree_path": "/w/" + "f" * 150}
    lines = []
    size = 0
    number = 0
    while size < THRESHOLD - 200_000:
        line = json.dumps(filler | {"extra": {"n": number}}, sort_keys=True, separators=(",", ":")) + "\n"
        lines.append(line)
        size += len(line)
        number += 1
    (audit_dir / ACTIVE).write_text("".join(lines))
    run_writers(tmp_path)
    assert archives(audit_dir), "the writers should have rotated the log"
    entries = []
    for name in [ACTIVE, *archives(audit_dir)]:
        entries += records_in(audit_dir / name)
    fillers = sorted(entry["extra"]["n"] for entry in entries if entry["kind"] == "filler")
    assert fillers == list(range(number))
    assert sorted(events_in(entries)) == [(child, seq) for child in range(WRITERS) for seq in range(EVENTS)]
    assert len(entries) == number + WRITERS * EVENTS
    assert not (audit_dir / SENTINEL).exists()
