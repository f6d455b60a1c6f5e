"""Files and programs written by someone else: every reader ends with its documented outcome, in bounded
time and memory, whatever the bytes. Inputs that once took the process down run in a child interpreter
under a memory cap."""

import json
import os
import textwrap
import types

import pytest

import _worktree_runtime_native as native
from conftest import run_isolated

STORE_RELATIVE = ".quorbel/state/worktree-runtime/bindings.json"


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
