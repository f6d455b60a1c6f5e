"""The GitHub policy and main branches of [tool.velmorin.github_policy] in pyproject.toml."""

import pathlib

import pytest

import _worktree_runtime_native as native

PREFIXES = ("feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci")
ISSUE_SECTIONS = ("Goal", "Background", "Scope", "Acceptance Criteria")
PR_SECTIONS = ("Summary", "Linked Issues", "Test Plan", "Breaking Changes")
MAIN_BRANCHES = frozenset({"main", "master"})
DEFAULTS = {
    "pr_title_prefixes": PREFIXES,
    "main_branches": MAIN_BRANCHES,
    "pr_title_issue_suffix_required": True,
    "required_sections_issue": ISSUE_SECTIONS,
    "required_sections_pr": PR_SECTIONS,
}


def settings(policy):
    return {name: getattr(policy, name) for name in DEFAULTS}


def configure(root, text):
    (root / "pyproject.toml").write_text(text, encoding="utf-8")


@pytest.fixture
def project(tmp_path, git_env):
    path = tmp_path / "project"
    path.mkdir()
    return path


def test_defaults_outside_any_repository(outside, monkeypatch):
    monkeypatch.chdir(outside)
    policy = native.resolve_github_policy()
    assert type(policy) is native.GitHubPolicy
    assert settings(policy) == DEFAULTS
    assert type(policy.pr_title_prefixes) is tuple and type(policy.main_branches) is frozenset
    assert native.resolve_main_branches() == MAIN_BRANCHES
    assert type(native.resolve_main_branches()) is frozenset


@pytest.mark.parametrize(
    "text",
    [
        None,
        "",
        "[tool.velmorin]\nproject_id = \"acme\"\n",
        "[tool.velmorin]\ngithub_policy = \"strict\"\n",
        "[tool]\nvelmorin = [1]\n",
        "[tool.other.github_policy]\nmain_branches = [\"trunk\"]\n",
        "[tool.Velmorin.github_policy]\nmain_branches = [\"trunk\"]\n",
        "[tool.velmorin.github_policy]\nmain_branches = [\"trunk\"\n",
        "[tool.velmorin.github_policy]\nmain_branches = [\"trunk\"]\nmain_branches = [\"other\"]\n",
    ],
    ids=["no file", "empty file", "no policy table", "policy not a table", "velmorin not a table", "other tool",
         "table name case", "syntax error", "duplicate key"],
)
def test_unusable_configuration_gives_the_defaults(project, text):
    if text is not None:
        configure(project, text)
    assert settings(native.resolve_github_policy(str(project))) == DEFAULTS


def test_configuration_that_is_not_utf8_gives_the_defaults(project):
    (project / "pyproject.toml").write_bytes(b'[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n# \xff\n')
    assert native.resolve_main_branches(str(project)) == MAIN_BRANCHES


def test_a_directory_named_pyproject_gives_the_defaults(project):
    (project / "pyproject.toml").mkdir()
    assert settings(native.resolve_github_policy(str(project))) == DEFAULTS


@pytest.mark.parametrize(
    ("body", "changes"),
    [
        ('main_branches = ["trunk"]', {"main_branches": frozenset({"trunk"})}),
        ("main_branches = []", {}),
        ("main_branches = [1, 2]", {}),
        ('main_branches = "trunk"', {}),
        ('main_branches = ["trunk", 1, "develop", true, ["nested"]]',
         {"main_branches": frozenset({"trunk", "develop"})}),
        ('main_branches = [" main ", "", "Main"]', {"main_branches": frozenset({" main ", "", "Main"})}),
        ('Main_Branches = ["trunk"]', {}),
        ('pr_title_prefixes = ["wip"]', {"pr_title_prefixes": ("wip",)}),
        ('pr_title_prefixes = ["z", 1, "a", "z", ""]', {"pr_title_prefixes": ("z", "a", "z", "")}),
        ("pr_title_prefixes = [{ name = \"feat\" }]", {}),
        ("pr_title_issue_suffix_required = false", {"pr_title_issue_suffix_required": False}),
        ("pr_title_issue_suffix_required = true", {}),
        ('pr_title_issue_suffix_required = "false"', {}),
        ("pr_title_issue_suffix_required = 0", {}),
        ("required_sections = { issue = [\"Only\"] }", {"required_sections_issue": ("Only",)}),
        ("required_sections = { pr = [\"What\", \"Why\"] }", {"required_sections_pr": ("What", "Why")}),
        ("required_sections = [\"Goal\"]", {}),
        ("required_sections = \"Goal\"", {}),
        ("required_sections = { issue = \"Goal\", pr = [] }", {}),
        ("required_sections = { issue = [[\"nested\"]], pr = [\"P\", 2] }", {"required_sections_pr": ("P",)}),
        ("required_sections = { Issue = [\"x\"], prs = [\"y\"] }", {}),
        ("unknown = [\"x\"]\nrequired_sections_pr = [\"x\"]", {}),
    ],
)
def test_each_setting_replaces_its_default_or_leaves_it(project, body, changes):
    configure(project, f"[tool.velmorin.github_policy]\n{body}\n")
    assert settings(native.resolve_github_policy(str(project))) == {**DEFAULTS, **changes}
    assert native.resolve_main_branches(str(project)) == changes.get("main_branches", MAIN_BRANCHES)


def test_settings_are_settled_independently(project):
    configure(project, """
[tool.velmorin]
project_id = "acme"

[tool.velmorin.github_policy]
pr_title_prefixes = "feat"
main_branches = ["trunk", "release"]
pr_title_issue_suffix_required = false

[tool.velmorin.github_policy.required_sections]
issue = []
pr = ["Summary"]
""")
    assert settings(native.resolve_github_policy(str(project))) == {
        **DEFAULTS,
        "main_branches": frozenset({"trunk", "release"}),
        "pr_title_issue_suffix_required": False,
        "required_sections_pr": ("Summary",),
    }


def test_duplicate_main_branches_collapse(project):
    configure(project, '[tool.velmorin.github_policy]\nmain_branches = ["main", "main", "trunk"]\n')
    assert native.resolve_main_branches(str(project)) == frozenset({"main", "trunk"})
    assert native.resolve_github_policy(str(project)).main_branches == frozenset({"main", "trunk"})


def test_edits_between_calls_are_seen(project):
    configure(project, '[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n')
    first = native.resolve_github_policy(str(project))
    assert native.resolve_main_branches(str(project)) == {"trunk"}
    configure(project, '[tool.velmorin.github_policy]\nmain_branches = ["develop"]\n'
                       "pr_title_issue_suffix_required = false\n")
    assert native.resolve_main_branches(str(project)) == {"develop"}
    assert native.resolve_github_policy(str(project)).pr_title_issue_suffix_required is False
    # An instance keeps what it was made with.
    assert first.main_branches == {"trunk"} and first.pr_title_issue_suffix_required is True
    (project / "pyproject.toml").unlink()
    assert native.resolve_main_branches(str(project)) == MAIN_BRANCHES


@pytest.mark.parametrize("source", ["variable", "current directory", "empty argument"])
def test_the_root_without_an_argument(repo, monkeypatch, source):
    configure(repo, '[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n')
    argument = None
    if source == "variable":
        monkeypatch.chdir("/")
        monkeypatch.setenv("QUORBEL_REPO_ROOT", str(repo))
    elif source == "current directory":
        (repo / "sub").mkdir()
        monkeypatch.chdir(repo / "sub")
    else:
        argument = ""
        monkeypatch.chdir(repo)
    assert native.resolve_main_branches(argument) == {"trunk"}
    assert native.resolve_github_policy(argument).main_branches == {"trunk"}


def test_the_argument_is_the_root_itself(repo, tmp_path):
    configure(repo, '[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n')
    (repo / "sub").mkdir()
    (tmp_path / "repo-link").symlink_to(repo)
    # A subdirectory is not mapped to the repository's top level.
    assert native.resolve_main_branches(str(repo / "sub")) == MAIN_BRANCHES
    assert native.resolve_main_branches(f"{tmp_path}/repo-link/./") == {"trunk"}
    assert native.resolve_main_branches(f"{repo}/sub/..") == {"trunk"}


def test_path_like_roots(project):
    configure(project, '[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n'
                       'pr_title_prefixes = ["wip"]\n')

    class Custom:
        def __fspath__(self):
            return str(project)

    for root in (pathlib.Path(project), Custom(), str(project)):
        assert native.resolve_main_branches(root) == {"trunk"}
        assert native.resolve_github_policy(project_root=root).pr_title_prefixes == ("wip",)


class BytesPath:
    def __fspath__(self):
        return b"/srv/project"


@pytest.mark.parametrize(
    ("root", "exception"),
    [(42, AttributeError), (b"/srv/project", AttributeError), (BytesPath(), TypeError), (["/srv"], AttributeError)],
    ids=["int", "bytes", "bytes fspath", "list"],
)
@pytest.mark.parametrize("function", [native.resolve_github_policy, native.resolve_main_branches])
def test_roots_that_are_not_path_like_text(function, root, exception):
    with pytest.raises(exception) as raised:
        function(root)
    assert not getattr(raised.value, "__notes__", None)


def test_fspath_exception_propagates():
    failure = RuntimeError("no path")

    class Broken:
        def __fspath__(self):
            raise failure

    with pytest.raises(RuntimeError) as raised:
        native.resolve_github_policy(Broken())
    assert raised.value is failure


def test_policy_class_shape(project):
    configure(project, '[tool.velmorin.github_policy]\nmain_branches = ["trunk"]\n')
    policy = native.resolve_github_policy(project)
    assert native.GitHubPolicy.__module__ == "worktree_runtime.api"
    assert [name for name in vars(native.GitHubPolicy) if not name.startswith("_")] == list(DEFAULTS)
    with pytest.raises(TypeError):
        native.GitHubPolicy()
    with pytest.raises(TypeError):
        type("Sub", (native.GitHubPolicy,), {})
    for name in DEFAULTS:
        with pytest.raises(AttributeError):
            setattr(policy, name, getattr(policy, name))
    with pytest.raises(AttributeError):
        policy.extra = 1
    assert not hasattr(policy, "__dict__")
    for name in ("pr_title_prefixes", "main_branches", "required_sections_issue", "required_sections_pr"):
        first, second = getattr(policy, name), getattr(policy, name)
        assert first == second and first is not second
