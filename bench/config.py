"""resolve_known_worktree_bases and resolve_github_policy against plain-Python counterparts.

The repository root is given, so neither runs git. The root has an in-repository worktree container and two sibling
containers, and a pyproject.toml of a realistic size with a [tool.velmorin.github_policy] table; the home
directory is given too. The plain-Python counterparts read os.environ, probe the file system with os.path and parse
pyproject.toml with tomllib on every call (the module does too); the project identifier is remembered per root, as
the module remembers it. In CI the module would also read config/worktree.yaml; PyYAML is not installed, so the
plain-Python counterpart has no YAML reading and refuses to run when such a file would be read (it is never the
case here: the fixture has no config/worktree.yaml, and pyperf workers do not inherit CI variables).
"""

import os
import subprocess
import tomllib

import _worktree_runtime_native as native

import plain_python
from audit import _join, _project_id, _variable, expand_home
from harness import AT_LEAST, Table, prepared

TARGET = 2.0
NAMES = ["resolve_known_worktree_bases [native]", "resolve_known_worktree_bases [python]",
         "resolve_github_policy [native]", "resolve_github_policy [python]"]
LEGACY_PROJECT_ID = "quorbel"
CONTAINER_SUFFIX = "-worktrees"

PYPROJECT = '''[build-system]
requires = ["scikit-build-core>=0.10", "pybind11>=2.12"]
build-backend = "scikit_build_core.build"

[project]
name = "bench-project"
version = "1.4.2"
description = "A project of a realistic size for reading its settings"
readme = "README.md"
requires-python = ">=3.11"
license = { text = "MIT" }
authors = [{ name = "Bench Author", email = "bench@example.com" }]
classifiers = [
    "Programming Language :: Python :: 3",
    "Programming Language :: Python :: 3.13",
    "Operating System :: POSIX :: Linux",
]
dependencies = [
    "click>=8.1",
    "httpx>=0.27",
    "pydantic>=2.7",
    "rich>=13.7",
    "tomli-w>=1.0",
]

[project.optional-dependencies]
dev = ["pytest>=8", "pytest-cov>=5", "mypy>=1.10", "ruff>=0.5"]
docs = ["mkdocs>=1.6", "mkdocs-material>=9.5"]

[project.scripts]
bench-cli = "bench_project.cli:main"

[tool.ruff]
line-length = 120
target-version = "py311"

[tool.ruff.lint]
select = ["E", "F", "I", "UP", "B", "SIM"]
ignore = ["E501"]

[tool.pytest.ini_options]
testpaths = ["tests"]
addopts = "-ra --strict-markers"
markers = ["slow: long-running tests", "git: tests that run git"]

[tool.mypy]
strict = true
warn_unused_ignores = true
plugins = ["pydantic.mypy"]

[tool.coverage.run]
branch = true
source = ["bench_project"]

[tool.velmorin]
project_id = "bench"

[tool.velmorin.github_policy]
pr_title_prefixes = ["feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci", "revert", 7]
main_branches = ["main", "trunk", "release"]
pr_title_issue_suffix_required = false

[tool.velmorin.github_policy.required_sections]
issue = ["Goal", "Background", "Scope", "Acceptance Criteria", "Risks"]
pr = ["Summary", "Linked Issues", "Test Plan"]
'''


# ---------------------------------------------------------------------------------------------------------------
# Plain Python: known worktree bases


def _non_empty(name):
    value = os.environ.get(name)
    return value or None


def _is_ci():
    return _non_empty("CI") is not None or _non_empty("GITHUB_ACTIONS") is not None


def _git_toplevel():
    try:
        completed = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, timeout=10)
        return completed.stdout.decode().strip(plain_python.WHITE_SPACE) if completed.returncode == 0 else ""
    except (OSError, subprocess.TimeoutExpired, UnicodeDecodeError):
        return ""


def _normalized_repo_root(repo_root):
    if repo_root:
        return plain_python.normalize_path(repo_root)
    configured = _non_empty("QUORBEL_REPO_ROOT")
    if configured is not None:
        return plain_python.normalize_path(configured)
    return plain_python.normalize_path(_git_toplevel())


def resolve_home_dir(home):
    if home is not None:
        return expand_home(home)
    for name in ("USERPROFILE", "HOME"):
        value = _variable(name)
        if value:
            return expand_home(value)
    return "."


def default_worktree_base(project_id, home):
    return _join(_join(resolve_home_dir(home), ".velmorin/worktrees"), project_id or LEGACY_PROJECT_ID)


def _base_for_root(root, home):
    if _is_ci() and root and os.path.exists(os.path.join(root, "config", "worktree.yaml")):
        raise NotImplementedError("config/worktree.yaml would be read, and PyYAML is not installed")
    return plain_python.normalize_path(default_worktree_base(_project_id(root) if root else LEGACY_PROJECT_ID, home))


def _without_trailing_non_components(path):
    while len(path) > 1:
        if path.endswith("/") or path.endswith("/."):
            path = path[:-1]
        else:
            break
    return path


def split_final_name(path):
    """(parent, final name) of a path, or None when it has no final name."""
    path = _without_trailing_non_components(path)
    start = path.rfind("/") + 1
    name = path[start:]
    if name in ("", ".", ".."):
        return None
    return _without_trailing_non_components(path[:start]), name


def _append_distinct(items, candidate):
    if candidate and candidate not in items:
        items.append(candidate)


def find_sibling_worktree_containers(root, project_id):
    if not root:
        return []
    project_id = project_id or _project_id(root)
    names = (project_id + CONTAINER_SUFFIX, LEGACY_PROJECT_ID + CONTAINER_SUFFIX)
    root_split = split_final_name(root)
    parent_split = split_final_name(root_split[0]) if root_split else None
    root_matches = root_split is not None and root_split[1] in names
    parent_matches = parent_split is not None and parent_split[1] in names
    candidates = []
    if root_matches:
        candidates.append(root)
    if parent_matches:
        candidates.append(root_split[0])
    container_home = None
    if root_split:
        container_home = root_split[0] if root_matches or not parent_matches else parent_split[0]
    if container_home and os.path.exists(container_home):
        for name in names:
            candidate = _join(container_home, name)
            if os.path.exists(candidate):
                candidates.append(candidate)
    containers = []
    for candidate in candidates:
        _append_distinct(containers, plain_python.normalize_path(candidate))
    return containers


def resolve_known_worktree_bases(repo_root=None, home=None):
    root = _normalized_repo_root(repo_root)
    project_id = _project_id(root) if root else LEGACY_PROJECT_ID
    bases = []
    _append_distinct(bases, plain_python.normalize_path(default_worktree_base(project_id, home)))
    configured = _non_empty("QUORBEL_WORKTREE_BASE")
    if _is_ci() and configured is not None:
        _append_distinct(bases, plain_python.normalize_path(configured))
    else:
        _append_distinct(bases, _base_for_root(root, home))
    if configured is not None:
        _append_distinct(bases, plain_python.normalize_path(configured))
    if root:
        container = _join(root, ".velmorin/worktrees")
        if os.path.exists(container):
            _append_distinct(bases, plain_python.normalize_path(container))
    for sibling in find_sibling_worktree_containers(root, project_id):
        _append_distinct(bases, sibling)
    return bases


# ---------------------------------------------------------------------------------------------------------------
# Plain Python: GitHub policy

DEFAULT_POLICY = {
    "pr_title_prefixes": ("feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci"),
    "main_branches": ("main", "master"),
    "pr_title_issue_suffix_required": True,
    "required_sections_issue": ("Goal", "Background", "Scope", "Acceptance Criteria"),
    "required_sections_pr": ("Summary", "Linked Issues", "Test Plan", "Breaking Changes"),
}


class GitHubPolicy:
    __slots__ = tuple(DEFAULT_POLICY)

    def __init__(self, settings):
        self.pr_title_prefixes = settings["pr_title_prefixes"]
        self.main_branches = frozenset(settings["main_branches"])
        self.pr_title_issue_suffix_required = settings["pr_title_issue_suffix_required"]
        self.required_sections_issue = settings["required_sections_issue"]
        self.required_sections_pr = settings["required_sections_pr"]


def _settle_list(value, default):
    if not isinstance(value, list):
        return default
    strings = tuple(element for element in value if isinstance(element, str))
    return strings or default


def _table(value):
    return value if isinstance(value, dict) else None


def resolve_github_policy(project_root=None):
    settings = dict(DEFAULT_POLICY)
    root = os.fspath(project_root) if project_root is not None else ""
    if not root:
        root = _non_empty("QUORBEL_REPO_ROOT") or _git_toplevel()
    if not root:
        return GitHubPolicy(settings)
    try:
        with open(_join(plain_python.normalize_path(root), "pyproject.toml"), "rb") as file:
            document = tomllib.loads(file.read().decode("utf-8"))
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return GitHubPolicy(settings)
    policy = _table(document.get("tool"))
    policy = policy and _table(policy.get("velmorin"))
    policy = policy and _table(policy.get("github_policy"))
    if not policy:
        return GitHubPolicy(settings)
    for key in ("pr_title_prefixes", "main_branches"):
        settings[key] = _settle_list(policy.get(key), settings[key])
    if isinstance(policy.get("pr_title_issue_suffix_required"), bool):
        settings["pr_title_issue_suffix_required"] = policy["pr_title_issue_suffix_required"]
    sections = _table(policy.get("required_sections"))
    if sections is not None:
        settings["required_sections_issue"] = _settle_list(sections.get("issue"), settings["required_sections_issue"])
        settings["required_sections_pr"] = _settle_list(sections.get("pr"), settings["required_sections_pr"])
    return GitHubPolicy(settings)


# ---------------------------------------------------------------------------------------------------------------


def make_fixture(directory):
    repo = os.path.join(directory, "repo")
    os.makedirs(os.path.join(repo, ".velmorin", "worktrees"))
    with open(os.path.join(repo, "pyproject.toml"), "w") as file:
        file.write(PYPROJECT)
    for sibling in ("bench-worktrees", "quorbel-worktrees"):
        os.makedirs(os.path.join(directory, sibling))
    os.makedirs(os.path.join(directory, "home"))


def _policy_fields(policy):
    return tuple(getattr(policy, name) for name in DEFAULT_POLICY)


def group(session, root):
    if not session.enter(NAMES):
        return
    directory = prepared(os.path.join(root, "config"), make_fixture)
    repo, home = os.path.join(directory, "repo"), os.path.join(directory, "home")
    if not session.worker:
        native_bases = native.resolve_known_worktree_bases(repo, home)
        python_bases = resolve_known_worktree_bases(repo, home)
        if native_bases != python_bases or len(native_bases) < 4:
            raise SystemExit(f"resolve_known_worktree_bases: native {native_bases!r}, plain Python {python_bases!r}")
        native_policy = _policy_fields(native.resolve_github_policy(repo))
        python_policy = _policy_fields(resolve_github_policy(repo))
        if native_policy != python_policy or native_policy == tuple(
                frozenset(v) if k == "main_branches" else v for k, v in DEFAULT_POLICY.items()):
            raise SystemExit(f"resolve_github_policy: native {native_policy!r}, plain Python {python_policy!r}")
    session.bench(NAMES[0], native.resolve_known_worktree_bases, repo, home)
    session.bench(NAMES[1], resolve_known_worktree_bases, repo, home)
    session.bench(NAMES[2], native.resolve_github_policy, repo)
    session.bench(NAMES[3], resolve_github_policy, repo)
    session.leave()
    if not session.worker:
        mean = session.mean
        session.add_table(Table(
            f"Worktree locations and GitHub policy (target: native at least {TARGET}x faster)",
            ("native", "python", "python/native"),
            [("resolve_known_worktree_bases", mean(NAMES[0]), mean(NAMES[1]), mean(NAMES[1]) / mean(NAMES[0]),
              AT_LEAST(TARGET)),
             ("resolve_github_policy", mean(NAMES[2]), mean(NAMES[3]), mean(NAMES[3]) / mean(NAMES[2]),
              AT_LEAST(TARGET))],
            ["the plain-Python counterparts skip YAML (PyYAML is not installed); no config/worktree.yaml exists and "
             "the runs are outside CI, so the module reads none either"]))
