"""State directory layout and the environment-variable contract."""

import os
import pathlib

import pytest

import _worktree_runtime_native as native


@pytest.mark.parametrize(
    ("project_id", "name"),
    [("abc", ".abc"), ("", ".quorbel"), ("Not Valid!", ".Not Valid!")],
)
def test_state_dir_name_is_a_dot_and_the_identifier(project_id, name):
    assert native.resolve_state_dir_name(project_id) == name
    assert native.store_relative_path(project_id) == f"{name}/state/worktree-runtime/bindings.json"


def test_state_dir_name_without_argument_uses_the_current_repository(repo, monkeypatch):
    monkeypatch.chdir(repo)
    assert native.resolve_state_dir_name() == native.resolve_state_dir_name(None) == ".quorbel"


def test_state_dir_joins_the_normalised_root_and_its_identifier(repo, tmp_path):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "proj"\n')
    (tmp_path / "alias").symlink_to(repo)
    assert native.state_dir(str(tmp_path / "alias") + "/") == f"{repo}/.proj"


def test_state_dir_from_git_and_from_the_variable(repo, linked, outside, monkeypatch):
    monkeypatch.chdir(linked)
    assert native.state_dir() == f"{linked}/.quorbel"
    monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo))
    assert native.state_dir() == f"{repo}/.quorbel"
    monkeypatch.delenv("QUORBEL_REPO_ROOT")
    monkeypatch.chdir(outside)
    assert native.state_dir() == ""


@pytest.mark.parametrize("function", [native.state_dir, native.resolve_state_dir_name, native.store_relative_path])
@pytest.mark.parametrize("value", [pathlib.Path("/tmp"), 3])
def test_layout_functions_accept_only_str_or_none(function, value):
    with pytest.raises(TypeError):
        function(value)


def test_project_variables_of_the_current_worktree(repo, monkeypatch):
    monkeypatch.chdir(repo)
    environ_before = dict(os.environ)
    variables = native.set_quorbel_project_root_for_worktree()
    assert variables == {
        "QUORBEL_PROJECT_ROOT": str(repo),
        "QUORBEL_STATE_DIR": f"{repo}/.quorbel",
        "QUORBEL_SHARED_DIR": f"{repo}/.quorbel",
        "UV_PROJECT": str(repo),
    }
    assert set(variables) == set(native.WORKTREE_PROJECT_ENV_VARS)
    assert dict(os.environ) == environ_before


def test_project_variables_of_a_subdirectory_of_a_linked_worktree(linked):
    (linked / "sub" / "dir").mkdir(parents=True)
    (linked / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "Bad Id"\n')
    variables = native.set_quorbel_project_root_for_worktree(str(linked / "sub" / "dir"))
    assert variables["QUORBEL_PROJECT_ROOT"] == str(linked)
    assert variables["QUORBEL_STATE_DIR"] == f"{linked}/.Bad Id"  # no check of the identifier here


@pytest.mark.parametrize(
    ("target", "message"),
    [
        ("", "worktree path does not exist: "),
        ("{outside}/missing", "worktree path does not exist: {outside}/missing"),
        ("{outside}", "failed to resolve git repository root from: {outside}"),
    ],
)
def test_project_variables_errors(outside, target, message):
    with pytest.raises(ValueError) as raised:
        native.set_quorbel_project_root_for_worktree(target.format(outside=outside))
    assert str(raised.value) == message.format(outside=outside)


def test_project_variables_refuse_path_objects(repo):
    with pytest.raises(TypeError):
        native.set_quorbel_project_root_for_worktree(repo)


def test_variable_groups_are_new_tuples():
    assert native.worktree_identity_env_vars_py() == ("QUORBEL_WORKTREE", "QUORBEL_BRANCH")
    runtime = native.worktree_runtime_env_vars_py()
    assert type(runtime) is tuple and runtime == tuple(native.WORKTREE_RUNTIME_ENV_VARS)
    native.WORKTREE_RUNTIME_ENV_VARS.append("CHANGED")
    try:
        assert native.worktree_runtime_env_vars_py() == runtime
    finally:
        native.WORKTREE_RUNTIME_ENV_VARS.pop()
    with pytest.raises(TypeError):
        native.worktree_runtime_env_vars_py(1)


def configure_project_id(repo, toml_string):
    (repo / "pyproject.toml").write_text(f"[tool.velmorin]\nproject_id = {toml_string}\n")


@pytest.mark.parametrize("toml_string", ['"/../../tmp/escaped"', '"a/b"', '"."', '".."', '"../up"', '"nul\\u0000x"'])
def test_an_identifier_that_is_not_one_path_component_never_forms_a_path(repo, linked, tmp_path, monkeypatch,
                                                                           toml_string):
    configure_project_id(repo, toml_string)
    home = tmp_path / "home"
    for name in ("VELMORIN_SHARED_DIR", "QUORBEL_SHARED_DIR", "QUORBEL_WORKTREE_BASE", "CI", "GITHUB_ACTIONS"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("QUORBEL_PROJECT_ROOT", str(repo))
    monkeypatch.chdir(repo)
    assert native.state_dir(str(repo)) == f"{repo}/.quorbel"
    assert native.resolve_state_dir_name() == ".quorbel"
    assert native.PyWorktreeBindingStore(repo_root=str(repo)).path == f"{repo}/{native.store_relative_path('')}"
    assert native.resolve_worktree_base(repo_root=str(repo), home=str(home)) == f"{home}/.velmorin/worktrees/quorbel"
    assert native.set_quorbel_project_root_for_worktree(str(repo))["QUORBEL_STATE_DIR"] == f"{repo}/.quorbel"
    binding = native.register_binding(session_id="s", worktree_path=str(linked), branch="feature", repo_root=str(repo))
    assert binding.state_path == f"{linked}/.quorbel/state/velmorin"
    native.record_event("worktree.create", "feature", str(linked), "cli", "ok")
    assert (repo / ".quorbel/shared/audit/worktree-events.ndjson").is_file()
    assert not (tmp_path / "escaped").exists() and not (repo.parent / "up").exists()


def test_an_identifier_outside_the_pattern_but_one_component_still_forms_paths(repo, tmp_path):
    configure_project_id(repo, '"Not Valid!"')
    assert native.state_dir(str(repo)) == f"{repo}/.Not Valid!"
    assert native.resolve_worktree_base(repo_root=str(repo), home=str(tmp_path)) == (
        f"{tmp_path}/.velmorin/worktrees/Not Valid!")
