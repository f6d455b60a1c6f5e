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
