import os

import pytest

import _worktree_runtime_native


def pytest_report_header(config):
    return f"module under test: {_worktree_runtime_native.__file__}"


def pytest_configure(config):
    # The sanitizer run and the installed run each name the build they mean to
    # test, so a stale module elsewhere on sys.path cannot pass in its place.
    expected = os.environ.get("WORKTREE_RUNTIME_EXPECTED_MODULE")
    if expected and not _worktree_runtime_native.__file__.startswith(expected):
        raise pytest.UsageError(f"testing {_worktree_runtime_native.__file__}, expected a module below {expected}")
