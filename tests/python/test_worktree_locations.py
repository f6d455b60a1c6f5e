"""Where worktrees go: the base, a worktree's directory, the known bases and the CI overrides of config/worktree.yaml."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _worktree_runtime_native as native
from conftest import git, run_isolated

DEFAULT = object()  # the per-user default base of the project


@pytest.fixture(autouse=True)
def environment(monkeypatch, outside):
    """Not CI (whatever the machine running the suite says), no configured base or root, outside any repository."""
    for variable in ("CI", "GITHUB_ACTIONS", "QUORBEL_WORKTREE_BASE", "QUORBEL_REPO_ROOT", "USERPROFILE"):
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.chdir(outside)


@pytest.fixture
def home():
    return os.environ["HOME"]


@pytest.fixture
def project(tmp_path):
    """A project directory whose identifier is "acme"."""
    root = tmp_path.resolve() / "acme-project"
    root.mkdir()
    (root / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "acme"\n')
    return root


def default_base(home, project_id="quorbel"):
    return f"{home}/.velmorin/worktrees/{project_id}"


# The per-user default and the root it depends on.


def test_outside_any_repository_the_legacy_default(home):
    assert native.resolve_worktree_base() == default_base(home)
    assert native.resolve_worktree_base(home="/custom/home") == "/custom/home/.velmorin/worktrees/quorbel"
    assert native.resolve_known_worktree_bases() == [default_base(home)]


@pytest.mark.parametrize("source", ["argument", "variable", "current directory", "empty argument", "argument first"])
def test_the_repository_root_names_the_project(repo, home, monkeypatch, tmp_path, source):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "acme"\n')
    other = tmp_path / "other"
    other.mkdir()
    (other / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "other"\n')
    argument = None
    if source == "argument":
        argument = str(repo)
    elif source == "variable":
        monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo))
    elif source == "current directory":
        (repo / "sub").mkdir()
        monkeypatch.chdir(repo / "sub")
    elif source == "empty argument":
        argument = ""
        monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo) + "/")
    else:
        argument = str(repo)
        monkeypatch.setenv("QUORBEL_REPO_ROOT", str(other))
    assert native.resolve_worktree_base(repo_root=argument) == default_base(home, "acme")
    assert native.resolve_known_worktree_bases(repo_root=argument)[0] == default_base(home, "acme")


def test_an_empty_root_variable_counts_as_unset(home, monkeypatch):
    monkeypatch.setenv("QUORBEL_REPO_ROOT", "")
    assert native.resolve_worktree_base() == default_base(home)


def test_the_default_base_comes_back_normalised(tmp_path):
    real = tmp_path.resolve() / "real-home"
    (real / ".velmorin" / "worktrees" / "quorbel").mkdir(parents=True)
    (tmp_path / "home-link").symlink_to(real)
    assert native.resolve_worktree_base(home=f"{tmp_path}/home-link/") == f"{real}/.velmorin/worktrees/quorbel"
    (real / ".velmorin" / "worktrees" / "quorbel").rmdir()
    # Only the last component missing: the canonical parent and the name.
    assert native.resolve_worktree_base(home=f"{tmp_path}/home-link") == f"{real}/.velmorin/worktrees/quorbel"


# CI detection and QUORBEL_WORKTREE_BASE.


@pytest.mark.parametrize(
    ("ci", "github_actions", "is_ci"),
    [
        ("true", None, True),
        ("false", None, True),
        ("0", None, True),
        (" ", None, True),
        (None, "true", True),
        ("", "1", True),
        ("", None, False),
        ("", "", False),
        (None, "", False),
        (None, None, False),
    ],
)
def test_ci_detection_decides_whether_the_configured_base_counts(home, tmp_path, monkeypatch, ci, github_actions,
                                                                 is_ci):
    configured = tmp_path.resolve() / "ci-base"
    configured.mkdir()
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", f"{configured}/./")
    for name, value in (("CI", ci), ("GITHUB_ACTIONS", github_actions)):
        if value is not None:
            monkeypatch.setenv(name, value)
    expected = str(configured) if is_ci else default_base(home)
    assert native.resolve_worktree_base() == expected
    # The known bases list it either way.
    assert native.resolve_known_worktree_bases() == [default_base(home), str(configured)]


def test_an_empty_configured_base_is_ignored_in_ci(home, monkeypatch):
    monkeypatch.setenv("CI", "true")
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "")
    assert native.resolve_worktree_base() == default_base(home)
    assert native.resolve_known_worktree_bases() == [default_base(home)]


def test_the_configured_base_is_read_at_call_time(home, monkeypatch):
    monkeypatch.setenv("CI", "true")
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "/ci/first")
    assert native.resolve_worktree_base() == "/ci/first"
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "/ci/second")
    assert native.resolve_worktree_base() == "/ci/second"
    monkeypatch.delenv("CI")
    assert native.resolve_worktree_base() == default_base(home)


def test_an_explicit_base_wins_over_everything(project, tmp_path, monkeypatch):
    explicit = tmp_path.resolve() / "explicit"
    explicit.mkdir()
    monkeypatch.setenv("CI", "true")
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "/ci/base")
    write_config(project, "worktree:\n  overrides:\n    - base: wt\n")
    assert native.resolve_worktree_base(f"{explicit}/../explicit/", str(project)) == str(explicit)
    assert native.resolve_worktree_base("relative/missing/base/") == "relative/missing/base/"
    # An empty explicit base counts as absent.
    assert native.resolve_worktree_base("", str(project)) == "/ci/base"
    monkeypatch.delenv("QUORBEL_WORKTREE_BASE")
    assert native.resolve_worktree_base("", str(project)) == f"{project}/wt"


# The home directory.


@pytest.mark.parametrize(
    ("home_argument", "userprofile", "home_variable", "expected_home"),
    [
        ("~/wt", None, "/u", "/u/wt"),
        ("~", None, "/u", "/u"),
        ("~//\\x", None, "/u", "/u/x"),
        ("~alice", None, "/u", "/u/alice"),
        ("~/wt", "/profile", "/u", "/profile/wt"),
        ("~/wt", "", "/u", "~/wt"),
        ("~/wt", None, "", "~/wt"),
        ("~/wt", None, None, "~/wt"),
        ("/abs/~x", None, "/u", "/abs/~x"),
        ("plain/relative", None, "/u", "plain/relative"),
    ],
)
def test_home_argument_and_tilde(monkeypatch, home_argument, userprofile, home_variable, expected_home):
    for name, value in (("USERPROFILE", userprofile), ("HOME", home_variable)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert native.resolve_worktree_base(home=home_argument) == f"{expected_home}/.velmorin/worktrees/quorbel"


@pytest.mark.parametrize(
    ("userprofile", "home_variable", "expected_home"),
    [
        ("/profile", "/u", "/profile"),
        ("", "/u", "/u"),
        (None, "/u", "/u"),
        (None, "", "."),
        (None, None, "."),
    ],
)
def test_home_from_the_environment(monkeypatch, userprofile, home_variable, expected_home):
    for name, value in (("USERPROFILE", userprofile), ("HOME", home_variable)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert native.resolve_worktree_base() == f"{expected_home}/.velmorin/worktrees/quorbel"


def test_an_empty_home_makes_the_base_relative_to_the_current_directory(outside):
    assert native.resolve_worktree_base(home="") == ".velmorin/worktrees/quorbel"
    (outside / ".velmorin" / "worktrees").mkdir(parents=True)
    assert native.resolve_worktree_base(home="") == f"{outside.resolve()}/.velmorin/worktrees/quorbel"


# A worktree's directory.


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("feature-x", "{base}/feature-x"),
        ("team/feature", "{base}/team/feature"),
        ("../escape/./x/", "{base}/../escape/./x/"),
        ("/absolute/wt", "/absolute/wt"),
        ("", "{base}/"),
    ],
)
def test_worktree_dir_joins_the_name_unsanitised(tmp_path, home, name, expected):
    explicit = tmp_path.resolve() / "base"
    explicit.mkdir()
    (tmp_path / "base-link").symlink_to(explicit)
    assert native.resolve_worktree_dir(name, f"{tmp_path}/base-link") == expected.format(base=explicit)
    assert native.resolve_worktree_dir(name) == expected.format(base=default_base(home))


def test_worktree_dir_follows_the_ci_rules(project, monkeypatch):
    write_config(project, "worktree:\n  overrides:\n    - base: wt/ci\n")
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    assert native.resolve_worktree_dir("feature", repo_root=str(project)) == f"{project}/wt/ci/feature"
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "/ci/base")
    assert native.resolve_worktree_dir("feature", None, str(project)) == "/ci/base/feature"


@pytest.mark.parametrize(
    ("function", "arguments", "parameter"),
    [
        (native.resolve_worktree_base, {"explicit_base": pathlib.Path("/x")}, "explicit_base"),
        (native.resolve_worktree_base, {"repo_root": pathlib.Path("/x")}, "repo_root"),
        (native.resolve_worktree_base, {"home": 1}, "home"),
        (native.resolve_worktree_dir, {"worktree_name": None}, "worktree_name"),
        (native.resolve_worktree_dir, {"worktree_name": pathlib.Path("x")}, "worktree_name"),
        (native.resolve_worktree_dir, {"worktree_name": "x", "home": b"/h"}, "home"),
        (native.resolve_known_worktree_bases, {"repo_root": pathlib.Path("/x")}, "repo_root"),
        (native.resolve_known_worktree_bases, {"home": pathlib.Path("/h")}, "home"),
    ],
)
def test_parameters_take_str_only(function, arguments, parameter):
    with pytest.raises(TypeError) as raised:
        function(**arguments)
    assert any(parameter in note for note in raised.value.__notes__)


# Known bases.


def make_dirs(*paths):
    for path in paths:
        path.mkdir(parents=True, exist_ok=True)


@pytest.mark.parametrize("situation", ["ci with config", "ci with configured base", "not ci"])
def test_known_bases_in_order(project, home, monkeypatch, situation):
    parent = project.parent
    container = project / ".velmorin" / "worktrees"
    make_dirs(container, parent / "acme-worktrees", parent / "quorbel-worktrees")
    write_config(project, "worktree:\n  overrides:\n    - base: wt-ci\n")
    tail = [str(container), str(parent / "acme-worktrees"), str(parent / "quorbel-worktrees")]
    if situation == "ci with config":
        monkeypatch.setenv("CI", "1")
        expected = [default_base(home, "acme"), f"{project}/wt-ci", *tail]
    elif situation == "ci with configured base":
        monkeypatch.setenv("CI", "1")
        monkeypatch.setenv("QUORBEL_WORKTREE_BASE", "/ci/base")
        expected = [default_base(home, "acme"), "/ci/base", *tail]
    else:
        expected = [default_base(home, "acme"), *tail]
    assert native.resolve_known_worktree_bases(str(project)) == expected


def test_known_bases_never_repeat_a_text(project, home, monkeypatch):
    own_default = pathlib.Path(default_base(home, "acme"))
    container = project / ".velmorin" / "worktrees"
    make_dirs(own_default)
    # The configured base is the default written otherwise.
    monkeypatch.setenv("QUORBEL_WORKTREE_BASE", f"{own_default}/../acme/")
    assert native.resolve_known_worktree_bases(str(project)) == [str(own_default)]
    monkeypatch.delenv("QUORBEL_WORKTREE_BASE")
    # In CI the override is the default, then the container, each written otherwise.
    monkeypatch.setenv("CI", "yes")
    make_dirs(container)
    for base in (f"{own_default}/../acme", "./.velmorin/worktrees/"):
        write_config(project, overrides(f"{{base: '{base}'}}"))
        assert native.resolve_known_worktree_bases(str(project)) == [str(own_default), str(container)]


def test_known_bases_leave_out_what_does_not_exist(project, home):
    make_dirs(project / ".velmorin", project.parent / "Quorbel-worktrees", project.parent / "quorbel-worktree",
              project.parent / "acme-worktrees.old")
    assert native.resolve_known_worktree_bases(str(project)) == [default_base(home, "acme")]


def test_known_bases_use_the_home_argument(project):
    assert native.resolve_known_worktree_bases(str(project), "~/elsewhere") == [
        f"{os.environ['HOME']}/elsewhere/.velmorin/worktrees/acme"]


@pytest.mark.parametrize(
    ("layout", "root", "expected"),
    [
        # The repository's own directory carries a container name.
        (["quorbel-worktrees"], "quorbel-worktrees", ["quorbel-worktrees"]),
        (["acme-worktrees", "quorbel-worktrees"], "acme-worktrees", ["acme-worktrees", "quorbel-worktrees"]),
        # The repository lies inside a container: the container and its siblings.
        (["quorbel-worktrees/project", "acme-worktrees"], "quorbel-worktrees/project",
         ["quorbel-worktrees", "acme-worktrees"]),
        (["acme-worktrees/project"], "acme-worktrees/project", ["acme-worktrees"]),
        # Plain siblings: the project's own name first.
        (["project", "quorbel-worktrees", "acme-worktrees"], "project", ["acme-worktrees", "quorbel-worktrees"]),
        (["project"], "project", []),
    ],
)
def test_sibling_containers(tmp_path, home, layout, root, expected):
    top = tmp_path.resolve() / "top"
    make_dirs(*(top / path for path in layout))
    (top / root / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "acme"\n')
    assert native.resolve_known_worktree_bases(str(top / root)) == [
        default_base(home, "acme"), *(str(top / path) for path in expected)]


def test_siblings_are_found_next_to_the_real_repository(tmp_path, home):
    real = tmp_path.resolve() / "real"
    make_dirs(real / "project", real / "quorbel-worktrees", tmp_path / "links" / "quorbel-worktrees")
    (tmp_path / "links" / "project").symlink_to(real / "project")
    assert native.resolve_known_worktree_bases(f"{tmp_path}/links/project/") == [
        default_base(home), str(real / "quorbel-worktrees")]


def test_known_bases_of_the_current_repository(repo, home, monkeypatch):
    make_dirs(repo / ".velmorin" / "worktrees", repo.parent / "quorbel-worktrees")
    monkeypatch.chdir(repo)
    expected = [default_base(home), str(repo / ".velmorin" / "worktrees"), str(repo.parent / "quorbel-worktrees")]
    assert native.resolve_known_worktree_bases() == expected
    monkeypatch.chdir("/")
    monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo))
    assert native.resolve_known_worktree_bases("") == expected


# Overrides of config/worktree.yaml, seen through the CI rules.


def write_config(root, content):
    (root / "config").mkdir(exist_ok=True)
    path = root / "config" / "worktree.yaml"
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(textwrap.dedent(content))


def overrides(*items):
    return "worktree:\n  overrides:\n" + "".join(f"    - {item}\n" for item in items)


DETECT_GHA = "{detection: {env_vars_any: [GITHUB_ACTIONS]}, base: wt/gha}"


@pytest.mark.parametrize(
    ("content", "variables", "expected"),
    [
        pytest.param(overrides(DETECT_GHA), {"GITHUB_ACTIONS": "true"}, "wt/gha", id="detected variable set"),
        pytest.param(overrides(DETECT_GHA), {"CI": "1", "GITHUB_ACTIONS": ""}, DEFAULT, id="detected variable empty"),
        pytest.param(overrides(DETECT_GHA), {"CI": "1"}, DEFAULT, id="detected variable unset"),
        pytest.param(overrides("{detection: {env_vars_any: [NOT_SET_ANYWHERE, RUNNER_KIND]}, base: wt/any}"),
                     {"CI": "1", "RUNNER_KIND": "self-hosted"}, "wt/any", id="any of the variables"),
        pytest.param(overrides("{detection: {env_vars_any: [runner_kind]}, base: wt/any}"),
                     {"CI": "1", "RUNNER_KIND": "self-hosted"}, DEFAULT, id="variable names are case-sensitive"),
        pytest.param(overrides("{detection: {env_vars_any: []}, base: never}", "{base: later}"),
                     {"CI": "1"}, "later", id="empty list never applies"),
        pytest.param(overrides("{detection: {env_vars_any: [1, true, null, [CI], {CI: x}]}, base: never}",
                               "{base: later}"),
                     {"CI": "1", "1": "set", "true": "set", "null": "set"}, "later",
                     id="non-string names never apply"),
        pytest.param(overrides("{detection: {env_vars_any: NOT_SET_ANYWHERE}, base: wt}"),
                     {"CI": "1"}, "wt", id="names not a list apply"),
        pytest.param(overrides("{detection: [NOT_SET_ANYWHERE], base: wt}"),
                     {"CI": "1"}, "wt", id="detection not a mapping applies"),
        pytest.param(overrides("{detection: {env_vars_all: [NOT_SET_ANYWHERE]}, base: wt}"),
                     {"CI": "1"}, "wt", id="detection without a list applies"),
        pytest.param(overrides("{base: first}", DETECT_GHA),
                     {"GITHUB_ACTIONS": "true"}, "first", id="no detection shadows later overrides"),
        pytest.param(overrides("{detection: {env_vars_any: [NOT_SET_ANYWHERE]}, base: nope}", DETECT_GHA),
                     {"GITHUB_ACTIONS": "true"}, "wt/gha", id="passed over"),
        pytest.param(overrides("{base: ''}", "{detection: {env_vars_any: [CI]}, base: ''}", "{base: later}"),
                     {"CI": "1"}, "later", id="empty base continues"),
        pytest.param(overrides("{detection: {env_vars_any: [CI]}}", "{base: later}"),
                     {"CI": "1"}, DEFAULT, id="missing base ends the search"),
        pytest.param(overrides("{Base: wt}"), {"CI": "1"}, DEFAULT, id="keys are case-sensitive"),
        pytest.param(overrides("just a string", "{base: later}"),
                     {"CI": "1"}, DEFAULT, id="plain string override ends the search"),
        pytest.param(overrides("[base, wt]", "{base: later}"),
                     {"CI": "1"}, DEFAULT, id="sequence override ends the search"),
        pytest.param(overrides("{base: '42'}"), {"CI": "1"}, "42", id="quoted number is a string"),
        pytest.param(overrides("{base: \"wt/double\"}"), {"CI": "1"}, "wt/double", id="double-quoted"),
        pytest.param("worktree:\n  overrides:\n    - base: |-\n        wt/block\n", {"CI": "1"}, "wt/block",
                     id="block scalar"),
        pytest.param("worktree:\n  overrides: {base: wt}\n", {"CI": "1"}, DEFAULT, id="overrides not a list"),
        pytest.param("worktree:\n  - overrides:\n    - base: wt\n", {"CI": "1"}, DEFAULT, id="worktree not a mapping"),
        pytest.param("- worktree:\n    overrides:\n    - base: wt\n", {"CI": "1"}, DEFAULT, id="root not a mapping"),
        pytest.param("Worktree:\n  overrides:\n    - base: wt\n", {"CI": "1"}, DEFAULT, id="section name case"),
        pytest.param("version: 3\nworktree:\n  comment: x\n  overrides:\n    - {note: y, base: wt, detection: {}}\n",
                     {"CI": "1"}, "wt", id="unknown keys ignored"),
        pytest.param("shared: &shared {base: wt/shared}\nworktree:\n  overrides:\n    - *shared\n",
                     {"CI": "1"}, "wt/shared", id="alias"),
        pytest.param("worktree: !custom\n  overrides: !list\n    - !override {base: !path wt/tagged}\n",
                     {"CI": "1"}, "wt/tagged", id="local tags"),
        pytest.param("!!map\nworktree: !!map\n  overrides: !!seq\n    - !!map {base: !!str wt/tagged}\n",
                     {"CI": "1"}, "wt/tagged", id="standard tags"),
        pytest.param("%YAML 1.1\n---\n" + overrides("{base: wt}") + "...\n", {"CI": "1"}, "wt",
                     id="directive and end marker"),
        pytest.param("worktree:\n  overrides:\n    - {base: wt\n", {"CI": "1"}, DEFAULT, id="syntax error"),
        pytest.param("worktree: [\n", {"CI": "1"}, DEFAULT, id="unclosed flow"),
        pytest.param(overrides("{base: wt}") + "---\nother: 1\n", {"CI": "1"}, DEFAULT, id="two documents"),
        pytest.param("---\n" + overrides("{base: wt}") + "---\n" + overrides("{base: wt}"), {"CI": "1"}, DEFAULT,
                     id="two identical documents"),
        pytest.param("a: 1\na: 2\n" + overrides("{base: wt}"), {"CI": "1"}, DEFAULT, id="duplicate top key"),
        pytest.param(overrides("{base: wt, base: other}"), {"CI": "1"}, DEFAULT, id="duplicate key in an override"),
        pytest.param(overrides("{base: wt}") + "extra: {k: 1, 'k': 2}\n", {"CI": "1"}, DEFAULT,
                     id="duplicate key in an unused section"),
        pytest.param("", {"CI": "1"}, DEFAULT, id="empty file"),
        pytest.param("# nothing here\n", {"CI": "1"}, DEFAULT, id="comments only"),
        pytest.param("~\n", {"CI": "1"}, DEFAULT, id="null document"),
        pytest.param(overrides("{base: wt}").encode() + b"# \xff\n", {"CI": "1"}, DEFAULT, id="not UTF-8"),
        pytest.param(overrides("{base: wt}"), {}, DEFAULT, id="outside CI"),
        pytest.param(overrides("{base: wt}"), {"CI": ""}, DEFAULT, id="empty CI"),
    ],
)
def test_config_overrides(project, home, monkeypatch, content, variables, expected):
    for name, value in variables.items():
        monkeypatch.setenv(name, value)
    write_config(project, content)
    wanted = default_base(home, "acme") if expected is DEFAULT else f"{project}/{expected}"
    assert native.resolve_worktree_base(repo_root=str(project)) == wanted


@pytest.mark.parametrize("base", ["42", "true", "null", "~", "[wt]", "{path: wt}", "1.5", "0x10", "-.inf"])
def test_a_base_that_is_not_a_string_ends_the_search(project, home, monkeypatch, base):
    monkeypatch.setenv("CI", "1")
    write_config(project, overrides(f"{{base: {base}}}", "{base: later}"))
    assert native.resolve_worktree_base(repo_root=str(project)) == default_base(home, "acme")


def test_a_missing_base_value_ends_the_search(project, home, monkeypatch):
    monkeypatch.setenv("CI", "1")
    write_config(project, "worktree:\n  overrides:\n    - base:\n    - base: later\n")
    assert native.resolve_worktree_base(repo_root=str(project)) == default_base(home, "acme")


def test_config_that_is_a_directory_is_ignored(project, home, monkeypatch):
    monkeypatch.setenv("CI", "1")
    (project / "config" / "worktree.yaml").mkdir(parents=True)
    assert native.resolve_worktree_base(repo_root=str(project)) == default_base(home, "acme")


@pytest.mark.parametrize(
    ("base", "expected"),
    [
        ("wt/ci", "{root}/wt/ci"),                     # missing: as joined
        ("a/b/c/", "{root}/a/b/c/"),                   # missing two levels down: as joined
        ("../missing/deeper", "{root}/../missing/deeper"),
        ("../shared", "{top}/shared"),                 # exists: canonical
        ("link/inside", "{top}/target/inside"),        # through a link: resolved
        ("link", "{top}/target"),
        ("{top}/absolute", "{top}/absolute"),          # absolute: the root plays no part
        ("{top}/abs-link/", "{top}/target"),
        ("/nonexistent-ci-base/wt", "/nonexistent-ci-base/wt"),
    ],
)
def test_config_base_targets(project, monkeypatch, base, expected):
    top = project.parent
    make_dirs(top / "shared", top / "target" / "inside", top / "absolute")
    (project / "link").symlink_to(top / "target")
    (top / "abs-link").symlink_to(top / "target")
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    write_config(project, overrides("{base: '" + base.format(top=top) + "'}"))
    assert native.resolve_worktree_base(None, str(project)) == expected.format(root=project, top=top)


def test_config_of_a_root_reached_through_a_link(project, tmp_path, monkeypatch):
    (tmp_path / "project-link").symlink_to(project)
    monkeypatch.setenv("CI", "true")
    write_config(project, overrides("{base: wt/ci}"))
    assert native.resolve_worktree_base(repo_root=f"{tmp_path}/project-link/.") == f"{project}/wt/ci"


@pytest.mark.parametrize("source", ["variable", "current directory"])
def test_config_of_the_current_repository(repo, monkeypatch, source):
    monkeypatch.setenv("CI", "true")
    write_config(repo, overrides("{base: wt/ci}"))
    if source == "variable":
        monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo))
    else:
        monkeypatch.chdir(repo / "config")
    assert native.resolve_worktree_base() == f"{repo}/wt/ci"
    assert native.resolve_worktree_dir("x") == f"{repo}/wt/ci/x"


def test_config_edits_are_seen_by_the_next_call(project, monkeypatch):
    monkeypatch.setenv("CI", "true")
    write_config(project, overrides("{base: first}"))
    assert native.resolve_worktree_base(repo_root=str(project)) == f"{project}/first"
    write_config(project, overrides("{base: second}"))
    assert native.resolve_worktree_base(repo_root=str(project)) == f"{project}/second"


@pytest.mark.parametrize(
    "content",
    [
        "loop: &loop [*loop]\n" + overrides("{base: wt}"),
        "worktree:\n  overrides: &list\n    - {base: wt}\n    - *list\n",
        "worktree: &section\n  overrides:\n    - {base: wt}\n  again: *section\n",
    ],
    ids=["unused section", "overrides", "worktree section"],
)
def test_a_self_referencing_config_does_not_bring_the_process_down(project, home, content):
    write_config(project, content)
    program = ("import _worktree_runtime_native as native, sys; "
               "print(native.resolve_worktree_base(repo_root=sys.argv[1]))")
    done = subprocess.run([sys.executable, "-c", program, str(project)], capture_output=True, text=True,
                          env={**os.environ, "CI": "true"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() in (f"{project}/wt", default_base(home, "acme"))


@pytest.mark.parametrize(
    "content",
    [overrides("{base: " + "7" * 40_000 + "}"), "[" * 70_000 + "]" * 70_000 + "\n"],
    ids=["40k-digit base", "70k nested flow sequences"],
)
def test_a_config_that_overflowed_the_stack_reads_as_no_configuration(project, home, monkeypatch, content):
    write_config(project, content)
    monkeypatch.setenv("CI", "1")
    done = run_isolated("import _worktree_runtime_native as native; "
                        f"print(native.resolve_worktree_base(repo_root={str(project)!r}))")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == default_base(home, "acme")
