"""The module object: names in order, constants, exception types, function objects."""

import ast
import importlib
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest

import _worktree_runtime_native as native
from conftest import FREE_THREADED, run_isolated

STUBS = pathlib.Path(__file__).resolve().parents[2] / "_worktree_runtime_native.pyi"

MODULE_TABLE = [
    "CURRENT_SCHEMA_VERSION", "LEGACY_PROJECT_ID", "MAIN_BRANCHES", "QUORBEL_WORKTREE_ENV", "QUORBEL_BRANCH_ENV",
    "QUORBEL_WORKTREE_BASE_ENV", "QUORBEL_PROJECT_ROOT_ENV", "QUORBEL_REPO_ROOT_ENV", "QUORBEL_STATE_DIR_ENV",
    "QUORBEL_SHARED_DIR_ENV", "VELMORIN_SHARED_DIR_ENV", "UV_PROJECT_ENV", "WORKTREE_IDENTITY_ENV_VARS",
    "WORKTREE_LOCATION_ENV_VARS", "WORKTREE_PROJECT_ENV_VARS", "WORKTREE_RUNTIME_ENV_VARS",
    "PyWorktreeBinding", "PyBindingValidationResult", "PyBindingValidationOptions", "GitWorktree",
    "PyWorktreePreconditionResult", "PyAuditRecord", "PyWorktreeBindingStore", "WorktreeListEntry", "GitHubPolicy",
    "WorktreeListError", "ProjectIdInvalidError",
    "normalize_path", "path_fingerprint", "resolve_project_id", "resolve_state_dir_name", "state_dir",
    "store_relative_path", "resolve_worktree_base", "resolve_known_worktree_bases", "resolve_worktree_dir",
    "set_quorbel_project_root_for_worktree", "register_binding", "load_binding", "list_bindings", "remove_binding",
    "recover_binding", "validate_binding", "validate_current_binding", "resolve_git_worktree", "is_main_worktree",
    "validate_main_worktree", "record_event", "read_records", "reap_rotation_sentinel", "list_worktrees",
    "resolve_github_policy", "resolve_main_branches", "worktree_identity_env_vars_py", "worktree_runtime_env_vars_py",
]

FUNCTION_SIGNATURES = {
    "normalize_path": "(raw_path)",
    "path_fingerprint": "(input_path)",
    "resolve_project_id": "(repo_root=None)",
    "resolve_state_dir_name": "(project_id=None)",
    "state_dir": "(repo_root=None)",
    "store_relative_path": "(project_id=None)",
    "resolve_worktree_base": "(explicit_base=None, repo_root=None, home=None)",
    "resolve_known_worktree_bases": "(repo_root=None, home=None)",
    "resolve_worktree_dir": "(worktree_name, explicit_base=None, repo_root=None, home=None)",
    "set_quorbel_project_root_for_worktree": "(target_path=None)",
    "register_binding": '(*, session_id, worktree_path, branch, repo_root, state_path=None, source_ref="")',
    "load_binding": "(session_id, repo_root)",
    "list_bindings": "(repo_root)",
    "remove_binding": "(session_id, repo_root)",
    "recover_binding": "(session_id, repo_root)",
    "validate_binding": "(binding, *, cwd=None, env=None, check_git=True, options=None)",
    "validate_current_binding": "(*, repo_root, session_id, cwd, env=None, check_git=False, "
    "require_registered_binding=True, require_env_worktree=False, require_git_state=False)",
    "record_event": "(kind, branch, worktree_path, invoker, outcome, *, session_id=None, elapsed_ms=None, "
    "correlation_id=None, extra=None)",
    "read_records": "(branch=None, worktree_path=None, since=None, until=None)",
    "reap_rotation_sentinel": "()",
    "list_worktrees": "(repo_root, *, run=None)",
    "resolve_github_policy": "(project_root=None)",
    "resolve_main_branches": "(project_root=None)",
    "resolve_git_worktree": "(cwd=None)",
    "is_main_worktree": "(context)",
    "validate_main_worktree": "(cwd=None, allowed_branches=None)",
    "worktree_identity_env_vars_py": "()",
    "worktree_runtime_env_vars_py": "()",
}

WORKTREE_IDENTITY = ["QUORBEL_WORKTREE", "QUORBEL_BRANCH"]
WORKTREE_LOCATION = ["QUORBEL_WORKTREE_BASE", "QUORBEL_REPO_ROOT"]
WORKTREE_PROJECT = ["QUORBEL_PROJECT_ROOT", "QUORBEL_STATE_DIR", "QUORBEL_SHARED_DIR", "UV_PROJECT"]


def test_all_lists_the_module_names_in_table_order():
    assert native.__all__ == MODULE_TABLE
    assert len(native.__all__) == 55
    public = {name for name in vars(native) if not name.startswith("_")}
    assert public == set(native.__all__)


def test_all_is_the_stubs_all():
    [stub_all] = [
        ast.literal_eval(statement.value)
        for statement in ast.parse(STUBS.read_text(encoding="utf-8")).body
        if isinstance(statement, ast.Assign)
        and any(isinstance(target, ast.Name) and target.id == "__all__" for target in statement.targets)
    ]
    assert native.__all__ == stub_all


def test_module_docstring_is_empty():
    assert native.__doc__ == ""


@pytest.mark.parametrize(
    ("name", "expected_type", "expected"),
    [
        ("CURRENT_SCHEMA_VERSION", int, 2),
        ("LEGACY_PROJECT_ID", str, "quorbel"),
        ("MAIN_BRANCHES", frozenset, frozenset({"main", "master"})),
        ("QUORBEL_WORKTREE_ENV", str, "QUORBEL_WORKTREE"),
        ("QUORBEL_BRANCH_ENV", str, "QUORBEL_BRANCH"),
        ("QUORBEL_WORKTREE_BASE_ENV", str, "QUORBEL_WORKTREE_BASE"),
        ("QUORBEL_PROJECT_ROOT_ENV", str, "QUORBEL_PROJECT_ROOT"),
        ("QUORBEL_REPO_ROOT_ENV", str, "QUORBEL_REPO_ROOT"),
        ("QUORBEL_STATE_DIR_ENV", str, "QUORBEL_STATE_DIR"),
        ("QUORBEL_SHARED_DIR_ENV", str, "QUORBEL_SHARED_DIR"),
        ("VELMORIN_SHARED_DIR_ENV", str, "VELMORIN_SHARED_DIR"),
        ("UV_PROJECT_ENV", str, "UV_PROJECT"),
        ("WORKTREE_IDENTITY_ENV_VARS", list, WORKTREE_IDENTITY),
        ("WORKTREE_LOCATION_ENV_VARS", list, WORKTREE_LOCATION),
        ("WORKTREE_PROJECT_ENV_VARS", list, WORKTREE_PROJECT),
        ("WORKTREE_RUNTIME_ENV_VARS", list, WORKTREE_IDENTITY + WORKTREE_LOCATION + WORKTREE_PROJECT),
    ],
)
def test_constants_have_their_exact_type_and_value(name, expected_type, expected):
    value = getattr(native, name)
    assert type(value) is expected_type
    assert value == expected


@pytest.mark.parametrize(
    ("name", "base", "doc"),
    [
        ("WorktreeListError", Exception, "Raised when list_worktrees cannot produce a reliable enumeration."),
        ("ProjectIdInvalidError", ValueError, "Raised when a raw project_id fails the normative pattern."),
    ],
)
def test_exception_types(name, base, doc):
    exception_type = getattr(native, name)
    assert exception_type.__bases__ == (base,)
    assert exception_type.__module__ == "_worktree_runtime_native"
    assert exception_type.__qualname__ == exception_type.__name__ == name
    assert exception_type.__doc__ == doc


def test_only_the_project_id_error_is_a_value_error():
    assert issubclass(native.ProjectIdInvalidError, ValueError)
    assert not issubclass(native.WorktreeListError, ValueError)


@pytest.mark.parametrize(("name", "signature"), FUNCTION_SIGNATURES.items())
def test_functions_are_builtins_with_text_signature_and_no_doc(name, signature):
    function = getattr(native, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__self__ is native
    assert function.__module__ == "_worktree_runtime_native"


def test_every_existing_function_has_a_checked_signature():
    functions = {name for name in native.__all__ if isinstance(getattr(native, name), types.BuiltinFunctionType)}
    assert functions == set(FUNCTION_SIGNATURES)


CLASS_SIGNATURES = {
    "PyWorktreeBinding": '(session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish="", '
    "schema_version=None)",
    "PyBindingValidationResult": None,
    "PyBindingValidationOptions": "(require_env_worktree=False, require_git_state=False)",
    "GitWorktree": None,
    "PyWorktreePreconditionResult": None,
    "PyAuditRecord": None,
    "PyWorktreeBindingStore": "(*, repo_root)",
    "WorktreeListEntry": None,
    "GitHubPolicy": None,
}


@pytest.mark.parametrize(("name", "signature"), CLASS_SIGNATURES.items())
def test_only_classes_with_a_constructor_signature_can_be_called(name, signature):
    cls = getattr(native, name)
    assert cls.__text_signature__ == signature
    if signature is None:
        with pytest.raises(TypeError, match="cannot create"):
            cls()


@pytest.mark.parametrize("name", MODULE_TABLE[16:25])
def test_classes_are_final_dictless_heap_types_of_the_api_module(name):
    cls = getattr(native, name)
    assert cls.__module__ == "worktree_runtime.api"
    assert cls.__qualname__ == cls.__name__ == name
    assert cls.__bases__ == (object,)
    assert not cls.__flags__ & (1 << 10)  # not a base type
    assert "__dict__" not in dir(cls) and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type


def test_reimport_builds_a_new_module_that_shares_the_type_objects():
    first = sys.modules.pop("_worktree_runtime_native")
    try:
        second = importlib.import_module("_worktree_runtime_native")
        assert second is not first
        for name in first.__all__:
            if isinstance(getattr(first, name), type):
                assert getattr(second, name) is getattr(first, name), name
        # Mutable constants are built anew for every module object.
        assert second.WORKTREE_RUNTIME_ENV_VARS is not first.WORKTREE_RUNTIME_ENV_VARS
        assert second.normalize_path.__self__ is second
    finally:
        sys.modules["_worktree_runtime_native"] = first


def test_the_shared_library_exports_only_its_init_function():
    output = subprocess.run(
        ["nm", "-D", "--defined-only", native.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == ["PyInit__worktree_runtime_native"]


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_another_interpreter_cannot_import_the_module_and_leaves_it_whole(tmp_path, config):
    # Type objects and cached objects live once per process: an interpreter
    # that made them and then went away once broke the module for everyone.
    result = run_isolated(textwrap.dedent(f"""\
        import _interpreters, os, pathlib, subprocess, types
        import _worktree_runtime_native as native
        interpreter = _interpreters.create({config!r})
        failure = _interpreters.run_string(interpreter, "import _worktree_runtime_native")
        _interpreters.destroy(interpreter)
        assert failure is not None and failure.type.__name__ == "ImportError", failure
        listing = types.SimpleNamespace(returncode=0, stdout="worktree /a\\n", stderr="")
        [entry] = native.list_worktrees("/a", run=lambda command, root: listing)
        assert entry.worktree == pathlib.Path("/a")
        """), cwd=tmp_path)
    assert result.returncode == 0, result.stderr


@pytest.mark.skipif(not FREE_THREADED, reason="an interpreter built with the GIL always holds it")
def test_a_free_threaded_interpreter_runs_without_the_gil_after_the_import(monkeypatch):
    # The module says it needs no GIL; the import of a module that does not
    # say so turns the GIL on, with a warning.
    monkeypatch.delenv("PYTHON_GIL", raising=False)
    result = run_isolated("import sys, _worktree_runtime_native; print(sys._is_gil_enabled())")
    assert (result.returncode, result.stdout, result.stderr) == (0, "False\n", "")
