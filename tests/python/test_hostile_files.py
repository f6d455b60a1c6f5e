"""Files and programs written by someone else: every reader ends with its documented outcome, in bounded
time and memory, whatever the bytes. Inputs that once took the process down run in a child interpreter
under a memory cap."""

import errno
import json
import os
import pathlib
import textwrap
import time
import types

import pytest

import _worktree_runtime_native as native
from conftest import run_isolated

STORE_RELATIVE = ".quorbel/state/worktree-runtime/bindings.json"
AUDIT_RELATIVE = ".quorbel/shared/audit"
ACTIVE_LOG = "worktree-events.ndjson"


def isolated(code, **kwargs):
    result = run_isolated(textwrap.dedent(code), memory_bytes=1 << 30, **kwargs)
    assert result.returncode == 0, result.stderr
    return result


@pytest.mark.parametrize("relative", ["pyproject.toml", "config/worktree.yaml", STORE_RELATIVE])
def test_a_repository_file_linked_to_an_endless_device_reads_as_unreadable(repo, audit_dir, monkeypatch, relative):
    # git can commit such a link; reading it once ran until memory was gone.
    link = repo / relative
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to("/dev/zero")
    monkeypatch.setenv("CI", "1")
    monkeypatch.setenv("QUORBEL_PROJECT_ROOT", str(repo))
    isolated(f"""\
        import _worktree_runtime_native as native
        root = {str(repo)!r}
        native.record_event("worktree.create", "main", root, "cli", "ok")
        assert native.resolve_project_id(root) == "quorbel"
        assert native.resolve_worktree_base(repo_root=root).endswith("/.velmorin/worktrees/quorbel")
        store = native.PyWorktreeBindingStore(repo_root=root)
        assert store.list() == [] and store.load("s") is None
        store.upsert(native.PyWorktreeBinding("s", root, "main", "/state", "/git", root))
        """)
    assert link.is_symlink()  # an unreadable store is never replaced


def test_a_fifo_in_place_of_the_store_does_not_block(repo):
    path = repo / STORE_RELATIVE
    path.parent.mkdir(parents=True)
    os.mkfifo(path)
    isolated(f"""\
        import _worktree_runtime_native as native
        store = native.PyWorktreeBindingStore(repo_root={str(repo)!r})
        assert store.list() == [] and store.load("s") is None
        """, timeout=30)


def snapshot(root):
    """Every entry below `root` with its content (link targets for links)."""
    entries = {}
    for path in sorted(root.rglob("*")):
        key = path.relative_to(root).as_posix()
        entries[key] = os.readlink(path) if path.is_symlink() else path.read_bytes() if path.is_file() else None
    return entries


@pytest.fixture
def elsewhere(tmp_path):
    """A directory outside the repository, as a committed link may name: someone's home, say."""
    path = tmp_path / "elsewhere"
    path.mkdir()
    return path


def link_component(repo, component, target):
    """Commits-style link: `component` below the repository points at `target`."""
    link = repo / component
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(target, target_is_directory=True)


def the_store_holding(root, session_id):
    store = native.PyWorktreeBindingStore(repo_root=str(root))
    store.upsert(native.PyWorktreeBinding(session_id, str(root), "main", "/state", "/git", str(root)))
    return pathlib.Path(store.path)


@pytest.mark.parametrize("component", [".quorbel", ".quorbel/state", ".quorbel/state/worktree-runtime"])
def test_a_committed_directory_link_never_steers_the_store(repo, linked, elsewhere, component):
    # What the link leads to holds a store, its lock and a file named like a
    # stale temporary file, all someone else's.
    below = pathlib.Path(STORE_RELATIVE).parent.relative_to(component)
    victim_dir = elsewhere / below
    victim_dir.mkdir(parents=True, exist_ok=True)
    (victim_dir / "bindings.json").write_text(
        json.dumps({"bindings": [native.PyWorktreeBinding("s", "/w", "b", "/s", "/g", "/m").to_dict()]}))
    (victim_dir / ".tmpABCDEF.tmp").write_text("theirs")
    before = snapshot(elsewhere)
    link_component(repo, component, elsewhere)

    registered = native.register_binding(session_id="s", worktree_path=str(linked), branch="feature",
                                         repo_root=str(repo))
    assert registered.session_id == "s"  # a store that cannot be written is not an error
    store = native.PyWorktreeBindingStore(repo_root=str(repo))
    assert store.list() == [] and store.load("s") is None and store.remove("s") is None
    assert native.recover_binding("s", str(repo)) is None
    assert snapshot(elsewhere) == before


@pytest.mark.parametrize("component", [".quorbel", ".quorbel/state", ".quorbel/state/velmorin",
                                       ".quorbel/state/velmorin/sessions", ".quorbel/state/velmorin/sessions/s"])
def test_session_metadata_is_never_read_through_a_directory_link(repo, linked, elsewhere, component):
    below = pathlib.Path(".quorbel/state/velmorin/sessions/s").relative_to(component)
    (elsewhere / below).mkdir(parents=True, exist_ok=True)
    (elsewhere / below / "metadata.json").write_text(json.dumps({"worktree_path": str(linked), "branch": "feature"}))
    link_component(repo, component, elsewhere)
    assert native.recover_binding("s", str(repo)) is None


@pytest.mark.parametrize("component", [".quorbel", ".quorbel/shared", AUDIT_RELATIVE])
def test_a_committed_directory_link_never_steers_the_audit_log(repo, elsewhere, monkeypatch, capfd, component):
    for name in ("VELMORIN_SHARED_DIR", "QUORBEL_SHARED_DIR"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("QUORBEL_PROJECT_ROOT", str(repo))
    victim_dir = elsewhere / pathlib.Path(AUDIT_RELATIVE).relative_to(component)
    victim_dir.mkdir(parents=True, exist_ok=True)
    (victim_dir / ACTIVE_LOG).write_text(json.dumps({
        "branch": "secret", "correlation_id": None, "cwd": "/w", "elapsed_ms": None, "extra": None, "host": "h",
        "invoker": "cli", "kind": "theirs", "outcome": "ok", "parent_pid": None, "pid": 1, "schema_version": "v1",
        "session_id": None, "timestamp": "2025-03-04T05:06:07Z", "truncated": False, "worktree_path": "/w"}) + "\n")
    sentinel = victim_dir / (ACTIVE_LOG + ".rotating")
    sentinel.write_text("")
    os.utime(sentinel, (time.time() - 3600,) * 2)
    before = snapshot(elsewhere)
    link_component(repo, component, elsewhere)

    native.record_event("worktree.create", "main", str(repo), "cli", "ok")
    assert capfd.readouterr().err == (
        f"[WORKTREE-AUDIT-FAILOPEN] mkdir: {os.strerror(errno.ELOOP)} (os error {errno.ELOOP})\n")
    assert native.read_records() == []
    native.reap_rotation_sentinel()
    assert snapshot(elsewhere) == before


def test_a_directory_the_user_names_is_followed(repo, elsewhere, monkeypatch):
    # The shared directory of the environment is the user's choice, links and all.
    (repo / "shared-link").symlink_to(elsewhere, target_is_directory=True)
    monkeypatch.setenv("VELMORIN_SHARED_DIR", str(repo / "shared-link"))
    native.record_event("worktree.create", "main", str(repo), "cli", "ok")
    assert [r.kind for r in native.read_records()] == ["worktree.create"]
    assert (elsewhere / "audit" / ACTIVE_LOG).is_file()


def test_a_committed_store_link_is_unreadable_and_never_replaced(repo, tmp_path):
    # Followed, the first upsert would copy the linked file's members into a
    # regular file in the working tree, for git status to show.
    secret = the_store_holding(tmp_path / "home-project", "token-1234")
    secret_text = secret.read_text()
    link = repo / STORE_RELATIVE
    link.parent.mkdir(parents=True)
    link.symlink_to(secret)
    store = native.PyWorktreeBindingStore(repo_root=str(repo))
    assert store.list() == [] and store.load("token-1234") is None
    store.upsert(native.PyWorktreeBinding("s", str(repo), "main", "/state", "/git", str(repo)))
    assert store.remove("token-1234") is None
    assert link.is_symlink() and secret.read_text() == secret_text


@pytest.mark.parametrize("special", ["log", "store lock"])
def test_a_fifo_in_place_of_a_written_file_is_refused_at_once(repo, audit_dir, special):
    # A short record written into a FIFO nobody reads vanished; a long one
    # blocked every writer for good.
    audit_dir.mkdir(parents=True)
    fifo = {"log": audit_dir / ACTIVE_LOG, "store lock": repo / (STORE_RELATIVE + ".lock")}[special]
    fifo.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(fifo)
    result = isolated(f"""\
        import _worktree_runtime_native as native
        root = {str(repo)!r}
        native.record_event("worktree.create", "main", root, "cli", "ok", extra={{"text": "x" * 100_000}})
        store = native.PyWorktreeBindingStore(repo_root=root)
        store.upsert(native.PyWorktreeBinding("s", root, "main", "/state", "/git", root))
        assert [b.session_id for b in store.list()] == ([] if {special!r} == "store lock" else ["s"])
        """, timeout=30)
    if special == "log":
        assert result.stderr.endswith(
            f"[WORKTREE-AUDIT-FAILOPEN] lock: {os.strerror(errno.ENXIO)} (os error {errno.ENXIO})\n")
    assert fifo.is_fifo()


@pytest.mark.parametrize("stream", ["", ">&2"])
def test_a_git_that_prints_without_end_is_a_git_failure(repo, fake_git, stream):
    fake_git(f"exec yes {stream}\n")
    isolated(f"""\
        import _worktree_runtime_native as native
        assert native.resolve_git_worktree({str(repo)!r}) is None
        try:
            native.list_worktrees({str(repo)!r})
        except native.WorktreeListError as error:
            assert str(error).endswith("output past 64 MiB"), error
        else:
            raise AssertionError("no WorktreeListError")
        """)


def test_an_audit_line_nested_past_the_parsers_depth_is_skipped(audit_dir):
    # An integer past 64 bits sends the line to the general parser, whose
    # writing-out step once recursed per level.
    good = {"branch": "main", "correlation_id": None, "cwd": "/w", "elapsed_ms": None, "extra": None, "host": "h",
            "invoker": "cli", "kind": "kept", "outcome": "ok", "parent_pid": None, "pid": 1, "schema_version": "v1",
            "session_id": None, "timestamp": "2025-03-04T05:06:07Z", "truncated": False, "worktree_path": "/w"}
    audit_dir.mkdir(parents=True)
    poisoned = '{"pid": 18446744073709551616, "extra": ' + "[" * 100_000 + "]" * 100_000 + "}"
    (audit_dir / "worktree-events.ndjson").write_text(
        "\n".join([json.dumps(good), poisoned, json.dumps(dict(good, kind="also kept"))]) + "\n")
    isolated("""\
        import _worktree_runtime_native as native
        assert [r.kind for r in native.read_records()] == ["kept", "also kept"]
        """)


def test_documents_of_millions_of_values_stay_within_memory(repo, audit_dir):
    # Each value costs a tree node many times its two bytes of text: these
    # once exhausted memory and aborted the process.
    store = repo / STORE_RELATIVE
    store.parent.mkdir(parents=True)
    store.write_text('{"bindings": [' + ",".join(["{}"] * 8_000_000) + "]}")
    audit_dir.mkdir(parents=True)
    (audit_dir / "worktree-events.ndjson").write_text("[18446744073709551616" + ",{}" * 8_000_000 + "]\n")
    result = run_isolated(textwrap.dedent(f"""\
        import _worktree_runtime_native as native
        assert native.PyWorktreeBindingStore(repo_root={str(repo)!r}).list() == []
        assert native.read_records() == []
        """), memory_bytes=768 << 20)
    assert result.returncode == 0, result.stderr
