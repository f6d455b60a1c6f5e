"""Main-worktree verdicts against real repositories."""

import pytest

import _worktree_runtime_native as native
from conftest import git


def test_outside_any_repository(outside):
    result = native.validate_main_worktree(str(outside))
    assert (result.ok, result.reason_code, result.message, result.context) == (
        False, "WORKTREE_REV_PARSE_UNAVAILABLE", "git rev-parse is unavailable", None)


def test_linked_worktree_on_main_is_not_main(repo, linked):
    git(repo, "checkout", "-q", "-b", "other")
    git(linked, "checkout", "-q", "main")
    result = native.validate_main_worktree(str(linked))
    assert (result.ok, result.reason_code, result.message) == (
        False, "WORKTREE_NOT_MAIN", "current working directory is a linked worktree")
    assert result.context.toplevel == str(linked)


@pytest.mark.parametrize("allowed", [None, ["main"], ("dev", "main")])
def test_main_worktree_on_an_allowed_branch(repo, allowed):
    result = native.validate_main_worktree(str(repo), allowed)
    assert (result.ok, result.reason_code, result.message) == (True, "WORKTREE_MAIN_OK", "main worktree on an allowed branch")
    assert native.is_main_worktree(result.context) is True
    assert result.context is not result.context  # a new instance on each read


@pytest.mark.parametrize(
    ("branch", "allowed", "expected_list"),
    [
        ("feature/x", ["main"], '["main"]'),
        ("dev", None, '["main", "master"]'),
        ("main", [], "[]"),
        ("main", ['a"b', "back\\slash", "it's", "tab\there", "nul\0"], '["a\\"b", "back\\\\slash", "it\'s", "tab\\there", "nul\\0"]'),
    ],
)
def test_branch_mismatch_message(repo, branch, allowed, expected_list):
    if branch != "main":
        git(repo, "checkout", "-q", "-b", branch)
    result = native.validate_main_worktree(cwd=str(repo), allowed_branches=allowed)
    assert (result.ok, result.reason_code) == (False, "WORKTREE_MAIN_BRANCH_MISMATCH")
    assert result.message == f"main worktree is on branch '{branch}', expected one of {expected_list}"


def test_detached_head_matches_only_head(repo):
    git(repo, "checkout", "-q", "--detach")
    assert native.validate_main_worktree(str(repo)).reason_code == "WORKTREE_MAIN_BRANCH_MISMATCH"
    assert native.validate_main_worktree(str(repo), ["HEAD"]).ok is True


def test_default_directory_is_the_current_one(repo, monkeypatch):
    monkeypatch.chdir(repo)
    assert native.validate_main_worktree().ok is True


@pytest.mark.parametrize(
    ("kwargs", "parameter"),
    [
        ({"allowed_branches": "main"}, "allowed_branches"),
        ({"allowed_branches": frozenset({"main"})}, "allowed_branches"),
        ({"allowed_branches": ["main", 1]}, "allowed_branches"),
        ({"cwd": 1, "allowed_branches": "main"}, "cwd"),  # cwd converts first
    ],
)
def test_argument_errors_name_the_parameter(fake_git, tmp_path, kwargs, parameter):
    fake_git(f"touch {tmp_path}/ran")
    with pytest.raises(TypeError) as raised:
        native.validate_main_worktree(**kwargs)
    assert parameter in raised.value.__notes__[0]
    assert not (tmp_path / "ran").exists()  # no git ran


def test_is_main_worktree_takes_only_git_worktree(repo, linked):
    assert native.is_main_worktree(context=native.resolve_git_worktree(str(linked))) is False
    with pytest.raises(TypeError) as raised:
        native.is_main_worktree(5)
    assert "context" in raised.value.__notes__[0]


def test_precondition_result_class_shape():
    cls = native.PyWorktreePreconditionResult
    assert cls.__module__ == "worktree_runtime.api"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
