"""A typed user of the installed module: `mypy --strict` checks it against the
stubs the wheel installs (tests/wheel/test_wheel.py)."""

import datetime
import pathlib
from typing import assert_type

import _worktree_runtime_native as native


def describe(path: str) -> str:
    fingerprint = native.path_fingerprint(path)
    assert_type(fingerprint, str)
    return f"{native.normalize_path(path)} ({fingerprint})"


def main_branches(project_root: pathlib.Path) -> frozenset[str]:
    return native.resolve_main_branches(project_root)


def bound_here(repo_root: str, session_id: str, cwd: str) -> bool:
    verdict = native.validate_current_binding(repo_root=repo_root, session_id=session_id, cwd=cwd)
    assert_type(verdict.ok, bool)
    return verdict.ok and verdict.reason_code == "WORKTREE_BINDING_OK"


def branches_since(since: datetime.datetime) -> set[str]:
    return {record.branch for record in native.read_records(since=since)}


def linked_worktrees(repo_root: pathlib.Path) -> list[pathlib.Path]:
    return [entry.worktree for entry in native.list_worktrees(repo_root) if not entry.bare]
