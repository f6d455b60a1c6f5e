"""Argument binding and conversion shared by every entry point."""

import pathlib

import pytest

import _worktree_runtime_native as native


class Text(str):
    pass


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: native.normalize_path(), "missing required argument 'raw_path'"),
        (lambda: native.path_fingerprint(), "missing required argument 'input_path'"),
        (lambda: native.normalize_path("a", "b"), "takes 1 positional argument but 2 were given"),
        (lambda: native.normalize_path(path="a"), "unexpected keyword argument 'path'"),
        (lambda: native.normalize_path("a", raw_path="b"), "multiple values for argument 'raw_path'"),
    ],
)
def test_binding_errors_are_type_errors(call, message):
    with pytest.raises(TypeError, match=message) as raised:
        call()
    assert not getattr(raised.value, "__notes__", None)


def test_arguments_bind_by_position_or_keyword():
    assert native.normalize_path(raw_path="/") == native.normalize_path("/") == "/"
    assert native.path_fingerprint(input_path="/") == native.path_fingerprint("/")


@pytest.mark.parametrize("function", [native.normalize_path, native.path_fingerprint])
@pytest.mark.parametrize("value", [42, b"/tmp", pathlib.Path("/tmp"), ["/tmp"]])
def test_text_refuses_non_str_with_a_note_naming_the_parameter(function, value):
    with pytest.raises(TypeError) as raised:
        function(value)
    parameter = function.__text_signature__.strip("()")
    assert raised.value.__notes__ == [f"while converting argument '{parameter}' of {function.__name__}()"]


def test_text_with_a_lone_surrogate_raises_unicode_encode_error_with_a_note():
    with pytest.raises(UnicodeEncodeError) as raised:
        native.normalize_path("/tmp/\udc80")
    assert raised.value.__notes__ == ["while converting argument 'raw_path' of normalize_path()"]


def test_text_accepts_str_subclasses():
    assert native.normalize_path(Text("/")) == "/"
    assert type(native.normalize_path(Text("/"))) is str


def test_optional_text_takes_none_as_absent_but_text_refuses_it():
    assert native.normalize_path(None) == ""
    with pytest.raises(TypeError):
        native.path_fingerprint(None)


class BytesPath:
    def __fspath__(self):
        return b"/tmp"


class FailingPath:
    def __fspath__(self):
        raise RuntimeError("fspath failed")


@pytest.mark.parametrize(
    ("call", "exception", "noted"),
    [
        # Path-like text: the lookup's AttributeError and __fspath__'s own errors, without a note.
        (lambda: native.resolve_main_branches(42), AttributeError, False),
        (lambda: native.resolve_main_branches(FailingPath()), RuntimeError, False),
        (lambda: native.resolve_main_branches(BytesPath()), TypeError, False),
        (lambda: native.PyWorktreeBindingStore(repo_root=42), AttributeError, False),
        # File-system path: os.fspath's TypeError, with a note.
        (lambda: native.list_worktrees(42), TypeError, True),
        (lambda: native.list_worktrees(BytesPath()), TypeError, True),
        (lambda: native.list_worktrees(b"/tmp"), TypeError, True),
        # Flags refuse integers; integers refuse floats and values past 64 bits.
        (lambda: native.PyBindingValidationOptions(1), TypeError, True),
        (lambda: native.validate_current_binding(repo_root="/", session_id=None, cwd="/", check_git=0), TypeError, True),
        (lambda: native.PyWorktreeBinding("s", "", "b", "", "", "", "", 1.0), TypeError, True),
        (lambda: native.PyWorktreeBinding("s", "", "b", "", "", "", "", 2**63), OverflowError, True),
        # A list of texts refuses str, sets and non-str items.
        (lambda: native.validate_main_worktree(allowed_branches="main"), TypeError, True),
        (lambda: native.validate_main_worktree(allowed_branches={"main"}), TypeError, True),
        (lambda: native.validate_main_worktree(allowed_branches=[b"main"]), TypeError, True),
        # Extension objects are checked by type.
        (lambda: native.validate_binding({"session_id": "s"}), TypeError, True),
        (lambda: native.is_main_worktree(object()), TypeError, True),
    ],
)
def test_conversion_failures_and_their_notes(call, exception, noted):
    with pytest.raises(exception) as raised:
        call()
    assert bool(getattr(raised.value, "__notes__", None)) is noted


def test_path_like_and_file_system_path_accept_str_and_path(tmp_path):
    assert native.resolve_main_branches(tmp_path) == native.resolve_main_branches(str(tmp_path))
    assert native.PyWorktreeBindingStore(repo_root=tmp_path).path == native.PyWorktreeBindingStore(repo_root=str(tmp_path)).path


def test_integer_kind_takes_index_objects_and_bools():
    class Index:
        def __index__(self):
            return 7

    assert native.PyWorktreeBinding("s", "", "b", "", "", "", "", Index()).schema_version == 7
    assert native.PyWorktreeBinding("s", "", "b", "", "", "", "", True).schema_version == 1


@pytest.mark.parametrize("env", [None, {}, {"QUORBEL_WORKTREE": 1}, {1: "x"}, __import__("os").environ, [("a", "b")]])
def test_environment_mappings_that_do_not_fit_are_silently_absent(env):
    binding = native.PyWorktreeBinding("s", "/nowhere", "b", "", "", "")
    options = native.PyBindingValidationOptions(require_env_worktree=True)
    result = native.validate_binding(binding, env=env, check_git=False, options=options)
    # Only a real (even empty) snapshot makes the missing variable count.
    assert result.reason_code == ("WORKTREE_ENV_MISSING" if env == {} else "WORKTREE_BINDING_OK")
