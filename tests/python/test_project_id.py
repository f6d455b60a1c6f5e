"""Project identifier resolution, its memo and its check."""

import pathlib
import textwrap

import pytest

import _worktree_runtime_native as native
from conftest import run_isolated

PATTERN_SUFFIX = " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'"


def configure(root, text):
    (root / "pyproject.toml").write_text(text, encoding="utf-8")


@pytest.fixture
def root(tmp_path):
    path = tmp_path / "project"
    path.mkdir()
    return path


@pytest.mark.parametrize(
    ("identifier"),
    ["quorbel_2", "a", "a" + "z9_-" * 15 + "abc"],  # the last is 64 characters
)
def test_configured_identifier_is_returned(root, identifier):
    configure(root, f'[tool.velmorin]\nproject_id = "{identifier}"\n')
    assert native.resolve_project_id(str(root)) == identifier


@pytest.mark.parametrize(
    "text",
    [
        None,
        '[tool.velmorin]\nproject_id = ""\n',
        "[tool.velmorin]\nproject_id = 7\n",
        '[tool.velmorin]\nproject_id = ["a"]\n',
        '[tool]\nvelmorin = "x"\n',
        '[tool.other]\nproject_id = "x"\n',
        '[tool.velmorin\nproject_id = "x"\n',
        '[tool.Velmorin]\nproject_id = "x"\n',
    ],
)
def test_missing_or_unusable_configuration_gives_the_legacy_identifier(root, text):
    if text is not None:
        configure(root, text)
    assert native.resolve_project_id(str(root)) == "quorbel" == native.LEGACY_PROJECT_ID


def test_configuration_that_is_not_utf8_gives_the_legacy_identifier(root):
    (root / "pyproject.toml").write_bytes(b'[tool.velmorin]\nproject_id = "ab"\n# \xff\n')
    assert native.resolve_project_id(str(root)) == "quorbel"


def test_a_key_of_40k_segments_reads_as_invalid_toml(root):
    # The TOML library once recursed once per segment, past the end of the stack.
    configure(root, '[tool.velmorin]\nproject_id = "deep"\ngithub_policy.main_branches = ["trunk"]\n'
              + ".".join(["a"] * 40000) + " = 1\n")
    result = run_isolated(textwrap.dedent(f"""\
        import _worktree_runtime_native as native
        assert native.resolve_project_id({str(root)!r}) == "quorbel"
        assert native.resolve_main_branches({str(root)!r}) == frozenset({{"main", "master"}})
        """))
    assert result.returncode == 0, result.stderr


def test_a_directory_named_pyproject_gives_the_legacy_identifier(root):
    (root / "pyproject.toml").mkdir()
    assert native.resolve_project_id(str(root)) == "quorbel"


def test_memo_keeps_the_first_answer_per_root_text(root):
    assert native.resolve_project_id(str(root)) == "quorbel"
    configure(root, '[tool.velmorin]\nproject_id = "later"\n')
    assert native.resolve_project_id(str(root)) == "quorbel"
    assert native.resolve_project_id(str(root) + "/") == "later"
    assert native.resolve_project_id(str(root) + "/.") == "later"


@pytest.mark.parametrize(
    ("identifier", "literal"),
    [
        ("a" * 65, '"' + "a" * 65 + '"'),
        ("AB", '"AB"'),
        ("1abc", '"1abc"'),
        ("_abc", '"_abc"'),
        ("-abc", '"-abc"'),
        ("ab cd", '"ab cd"'),
        (" abc", '" abc"'),
        ("caf\u00e9", '"caf\u00e9"'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("a\tb", '"a\\tb"'),
        ("a\u00a0b\u200bc", '"a\\u{a0}b\\u{200b}c"'),
    ],
)
def test_identifiers_outside_the_pattern_raise_with_the_quoted_literal(root, identifier, literal):
    escaped = identifier.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
    configure(root, f'[tool.velmorin]\nproject_id = "{escaped}"\n')
    with pytest.raises(native.ProjectIdInvalidError) as raised:
        native.resolve_project_id(str(root))
    assert str(raised.value) == "project_id " + literal + PATTERN_SUFFIX
    assert raised.value.args == ("project_id " + literal + PATTERN_SUFFIX,)
    assert raised.value.reason_code == "PROJECT_ID_INVALID"
    assert isinstance(raised.value, ValueError)
    # The raw value is memoised: every call raises.
    with pytest.raises(native.ProjectIdInvalidError):
        native.resolve_project_id(str(root))


def test_without_argument_the_current_repository_is_used(repo, monkeypatch):
    configure(repo, '[tool.velmorin]\nproject_id = "current"\n')
    monkeypatch.chdir(repo)
    assert native.resolve_project_id() == native.resolve_project_id("") == "current"


@pytest.mark.parametrize(("value", "expected"), [("root", "from_variable"), ("", "from_git"), ("\udcff", "from_git")])
def test_repo_root_variable_overrides_git_unless_empty_or_not_utf8(repo, root, monkeypatch, value, expected):
    configure(repo, '[tool.velmorin]\nproject_id = "from_git"\n')
    configure(root, '[tool.velmorin]\nproject_id = "from_variable"\n')
    monkeypatch.chdir(repo)
    monkeypatch.setenv("QUORBEL_REPO_ROOT", str(root) if value == "root" else value)
    assert native.resolve_project_id() == expected


def test_outside_any_repository_gives_the_legacy_identifier(outside, monkeypatch):
    monkeypatch.chdir(outside)
    assert native.resolve_project_id() == "quorbel"


@pytest.mark.parametrize("value", [pathlib.Path("/tmp"), 42, b"/tmp"])
def test_repo_root_must_be_str_or_none(value):
    with pytest.raises(TypeError) as raised:
        native.resolve_project_id(value)
    assert "repo_root" in raised.value.__notes__[0]
