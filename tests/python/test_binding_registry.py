"""Registering, looking up, removing and recovering bindings against real worktrees."""

import json
import pathlib
import shutil

import pytest

import _worktree_runtime_native as native
from conftest import git

STORE_RELATIVE = ".quorbel/state/worktree-runtime/bindings.json"
SESSIONS_RELATIVE = ".quorbel/state/velmorin/sessions"

FIELDS = ["session_id", "worktree", "branch", "state_path", "git_common_dir", "main_worktree", "commit_ish",
          "schema_version"]


def fields(binding):
    return {name: getattr(binding, name) for name in FIELDS}


def store_file(root):
    return pathlib.Path(root) / STORE_RELATIVE


def stored_entries(root):
    path = store_file(root)
    return json.loads(path.read_text())["bindings"] if path.exists() else None


def register(session_id, worktree, branch, repo_root, **options):
    return native.register_binding(session_id=session_id, worktree_path=str(worktree), branch=branch,
                                   repo_root=str(repo_root), **options)


def write_metadata(base, session_id, content):
    path = pathlib.Path(base) / SESSIONS_RELATIVE / session_id / "metadata.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else json.dumps(content).encode())
    return path


def expected_fields(session_id, worktree, branch, repo, commit_ish=""):
    return {
        "session_id": session_id, "worktree": str(worktree), "branch": branch,
        "state_path": f"{worktree}/.quorbel/state/velmorin", "git_common_dir": f"{repo}/.git",
        "main_worktree": str(repo), "commit_ish": commit_ish, "schema_version": 2,
    }


# ---------------------------------------------------------------------------
# register_binding


@pytest.mark.parametrize("root_of", ["main", "linked", "linked subdirectory", "main with trailing slash"])
def test_register_a_linked_worktree(repo, linked, root_of):
    (linked / "sub").mkdir()
    repo_root = {"main": str(repo), "linked": str(linked), "linked subdirectory": str(linked / "sub"),
                 "main with trailing slash": f"{repo}/"}[root_of]
    binding = register("s1", linked, "feature", repo_root, source_ref="abc123")
    assert type(binding) is native.PyWorktreeBinding
    assert fields(binding) == expected_fields("s1", linked, "feature", repo, "abc123")
    # One store for the repository, below the main worktree.
    assert stored_entries(repo) == [binding.to_dict()]
    assert not (linked / ".quorbel").exists()
    for root in (repo, linked):
        assert fields(native.load_binding("s1", str(root))) == fields(binding)


def test_register_the_main_worktree_itself(repo):
    binding = register("main-session", repo, "main", repo)
    assert fields(binding) == expected_fields("main-session", repo, "main", repo)
    assert stored_entries(repo) == [binding.to_dict()]


def test_registration_takes_the_state_area_name_from_the_main_worktree(repo, linked):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "proj"\n')
    binding = register("s1", linked, "feature", linked)
    assert binding.state_path == f"{linked}/.proj/state/velmorin"
    assert binding.main_worktree == str(repo)
    assert json.loads((repo / ".proj/state/worktree-runtime/bindings.json").read_text())["bindings"] == [
        binding.to_dict()]


def test_register_with_a_root_outside_any_repository_stores_below_that_root(repo, linked, outside):
    binding = register("s1", linked, "feature", outside)
    assert binding.main_worktree == str(outside)
    assert binding.state_path == f"{linked}/.quorbel/state/velmorin"
    assert stored_entries(outside) == [binding.to_dict()]
    assert not store_file(repo).exists()


def test_registration_normalises_the_worktree_path_and_state_path(repo, linked, tmp_path):
    (tmp_path / "alias").symlink_to(linked)
    binding = register("s1", f"{tmp_path}/alias/", "feature", repo, state_path=f"{tmp_path}/alias/./st/")
    assert binding.worktree == str(linked)
    assert binding.state_path == f"{linked}/st"


@pytest.mark.parametrize(("state_path", "expected"), [(None, "default"), ("/custom/state", "/custom/state")])
def test_register_state_path_absent_empty_or_given(repo, linked, state_path, expected):
    binding = register("s1", linked, "feature", repo, state_path=state_path)
    if expected == "default":
        expected = f"{linked}/.quorbel/state/velmorin"
    assert binding.state_path == expected
    assert stored_entries(repo)[0]["state_path"] == expected


@pytest.mark.parametrize(
    ("field", "session_id", "branch", "options"),
    [
        ("session_id", " \t", "whatever", {}),
        ("branch", "s1", "", {}),                     # a detached HEAD passes the branch check
        ("state_path", "s1", "whatever", {"state_path": ""}),
    ],
)
def test_register_refuses_a_binding_the_store_would_not_read_back(repo, linked, field, session_id, branch, options):
    git(linked, "checkout", "-q", "--detach")
    with pytest.raises(ValueError, match=f"^missing required worktree binding field: {field}$"):
        register(session_id, linked, branch, repo, **options)
    assert stored_entries(repo) is None


def test_recover_from_metadata_with_a_blank_branch_yields_none(repo, linked):
    git(linked, "checkout", "-q", "--detach")
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": ""})
    assert native.recover_binding("s1", str(linked)) is None
    assert stored_entries(repo) is None


def test_register_the_same_session_twice_keeps_only_the_later_entry_at_the_end(repo, linked):
    register("s1", linked, "feature", repo, source_ref="first")
    register("s2", repo, "main", repo)
    register("s1", linked, "feature", linked, source_ref="second")
    assert [(entry["session_id"], entry["commit_ish"]) for entry in stored_entries(repo)] == [
        ("s2", ""), ("s1", "second")]


def test_register_on_a_detached_head_accepts_any_branch(repo, linked):
    git(linked, "checkout", "-q", "--detach")
    binding = register("s1", linked, "whatever", repo)
    assert binding.branch == "whatever"
    assert native.load_binding("s1", str(repo)).branch == "whatever"


def test_register_with_another_branch_fails_and_leaves_the_store_unchanged(repo, linked):
    register("s0", repo, "main", repo)
    before = store_file(repo).read_bytes()
    with pytest.raises(ValueError) as raised:
        register("s1", linked, "main", repo)
    assert str(raised.value) == "WORKTREE_BRANCH_MISMATCH: git branch does not match worktree binding"
    assert store_file(repo).read_bytes() == before


@pytest.mark.parametrize("where", ["missing", "outside", "no store yet"])
def test_register_without_a_git_common_dir_fails(repo, outside, where):
    if where != "no store yet":
        register("s0", repo, "main", repo)
    before = store_file(repo).read_bytes() if store_file(repo).exists() else None
    worktree = {"missing": repo.parent / "missing", "outside": outside, "no store yet": outside / "gone"}[where]
    with pytest.raises(ValueError) as raised:
        register("s1", worktree, "main", repo)
    assert str(raised.value) == "WORKTREE_GIT_COMMON_DIR_MISSING: worktree git common dir is required"
    assert (store_file(repo).read_bytes() if store_file(repo).exists() else None) == before


def test_register_with_git_missing_fails_with_the_common_dir_message(repo, monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(ValueError, match="^WORKTREE_GIT_COMMON_DIR_MISSING: "):
        register("s1", repo, "main", repo)
    assert not store_file(repo).exists()


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda repo: native.register_binding(session_id="s", worktree_path=str(repo), branch="main",
                                              repo_root=str(repo), source_ref=None), "source_ref"),
        (lambda repo: native.register_binding(session_id="s", worktree_path=repo, branch="main",
                                              repo_root=str(repo)), "worktree_path"),
        (lambda repo: native.register_binding(session_id="s", worktree_path=str(repo), branch="main",
                                              repo_root=str(repo), state_path=repo), "state_path"),
        (lambda repo: native.load_binding("s", repo), "repo_root"),
        (lambda repo: native.list_bindings(repo), "repo_root"),
        (lambda repo: native.remove_binding(None, str(repo)), "session_id"),
        (lambda repo: native.recover_binding("s", repo), "repo_root"),
    ],
)
def test_registry_parameters_accept_only_str(repo, call, parameter):
    with pytest.raises(TypeError) as raised:
        call(repo)
    assert parameter in raised.value.__notes__[0]
    assert not store_file(repo).exists()


def test_register_binding_is_keyword_only(repo):
    with pytest.raises(TypeError):
        native.register_binding("s", str(repo), "main", str(repo))
    assert native.register_binding.__text_signature__ == (
        '(*, session_id, worktree_path, branch, repo_root, state_path=None, source_ref="")')


# ---------------------------------------------------------------------------
# load_binding, list_bindings, remove_binding


def test_load_list_and_remove_through_any_worktree(repo, linked):
    first = register("s1", linked, "feature", repo)
    second = register("s2", repo, "main", repo)
    assert [fields(b) for b in native.list_bindings(repo_root=str(linked))] == [fields(first), fields(second)]
    assert native.load_binding(session_id="missing", repo_root=str(repo)) is None
    removed = native.remove_binding(session_id="s1", repo_root=str(linked))
    assert fields(removed) == fields(first)
    assert native.remove_binding("s1", str(repo)) is None
    assert [b.session_id for b in native.list_bindings(str(repo))] == ["s2"]


def test_registry_outside_any_repository_reads_as_empty(outside):
    assert native.list_bindings(str(outside)) == []
    assert native.load_binding("s", str(outside)) is None
    assert native.remove_binding("s", str(outside)) is None
    assert native.recover_binding("s", str(outside)) is None
    assert list(outside.iterdir()) == []


# ---------------------------------------------------------------------------
# recover_binding


@pytest.mark.parametrize(
    ("metadata_below", "repo_root"),
    [
        ("linked", "linked"),   # first attempt: below the worktree named by repo_root
        ("main", "linked"),     # second attempt: below the main worktree
        ("main", "main"),
    ],
)
def test_recover_from_the_session_metadata(repo, linked, metadata_below, repo_root):
    base = {"linked": linked, "main": repo}
    write_metadata(base[metadata_below], "s1", {
        "worktree_path": str(linked), "branch": "feature", "source_ref": "v1.0", "other": [1]})
    recovered = native.recover_binding("s1", str(base[repo_root]))
    assert fields(recovered) == expected_fields("s1", linked, "feature", repo, "v1.0")
    # Recovery registered the binding in the repository's store.
    assert stored_entries(repo) == [recovered.to_dict()]
    assert fields(native.load_binding("s1", str(repo))) == fields(recovered)


def test_recover_from_the_main_worktree_does_not_look_below_linked_worktrees(repo, linked):
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "feature"})
    assert native.recover_binding("s1", str(repo)) is None
    assert not store_file(repo).exists()


def test_recover_looks_below_the_root_as_given_not_below_its_worktree_top(repo, linked):
    (linked / "sub").mkdir()
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "feature"})
    assert native.recover_binding("s1", str(linked / "sub")) is None
    write_metadata(linked / "sub", "s1", {"worktree_path": str(linked), "branch": "feature"})
    assert native.recover_binding("s1", str(linked / "sub")).worktree == str(linked)


def test_recover_prefers_the_metadata_below_the_named_worktree(repo, linked):
    git(repo, "worktree", "add", "-q", "-b", "second", str(repo.parent / "second"))
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "feature"})
    write_metadata(repo, "s1", {"worktree_path": str(repo.parent / "second"), "branch": "second"})
    assert native.recover_binding("s1", str(linked)).worktree == str(linked)


def test_recover_falls_through_to_the_main_worktree_when_the_first_metadata_is_unusable(repo, linked):
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "wrong"})
    write_metadata(repo, "s1", {"worktree_path": str(linked), "branch": "feature"})
    assert native.recover_binding("s1", str(linked)).branch == "feature"


def test_recover_uses_the_main_worktrees_project_identifier(repo, linked):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "proj"\n')
    path = linked / ".proj/state/velmorin/sessions/s1/metadata.json"
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps({"worktree_path": str(linked), "branch": "feature"}))
    recovered = native.recover_binding("s1", str(linked))
    assert recovered.state_path == f"{linked}/.proj/state/velmorin"
    assert (repo / ".proj/state/worktree-runtime/bindings.json").exists()


@pytest.mark.parametrize(
    ("metadata", "branch"),
    [
        ({"branch": "feature"}, "feature"),
        ({"branch_name": "feature"}, "feature"),
        ({"branch": 5, "branch_name": "feature"}, "feature"),
        ({"branch": None, "branch_name": "feature"}, "feature"),
        ({"branch": "feature", "branch_name": "other"}, "feature"),
        ({"branch": "other", "branch_name": "feature"}, None),   # "branch" decides, and git disagrees
        ({}, None),
        ({"branch": 5, "branch_name": ["feature"]}, None),
    ],
)
def test_recover_reads_branch_then_branch_name(repo, linked, metadata, branch):
    write_metadata(linked, "s1", {"worktree_path": str(linked), **metadata})
    recovered = native.recover_binding("s1", str(linked))
    assert (recovered and recovered.branch) == branch
    if branch is None:
        assert not store_file(repo).exists()


@pytest.mark.parametrize(
    ("metadata", "commit_ish"),
    [({}, ""), ({"source_ref": 12}, ""), ({"source_ref": " v2 "}, " v2 "), ({"commit_ish": "ignored"}, "")],
)
def test_recover_takes_source_ref_when_it_is_a_string(repo, linked, metadata, commit_ish):
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "feature", **metadata})
    assert native.recover_binding("s1", str(linked)).commit_ish == commit_ish


@pytest.mark.parametrize(
    "content",
    [
        {"branch": "feature"},
        {"worktree_path": "", "branch": "feature"},
        {"worktree_path": " \t\u3000", "branch": "feature"},
        {"worktree_path": None, "branch": "feature"},
        {"worktree_path": "{linked} ", "branch": "feature"},   # not trimmed: names a directory that does not exist
        {"worktree_path": "{outside}", "branch": "feature"},
        [{"worktree_path": "{linked}", "branch": "feature"}],
        b"{not json",
        b'{"worktree_path": "\xff", "branch": "feature"}',
        b"",
    ],
)
def test_recover_from_unusable_metadata_yields_none_and_writes_nothing(repo, linked, outside, content):
    if not isinstance(content, bytes):
        content = json.loads(json.dumps(content).replace("{linked}", str(linked)).replace("{outside}", str(outside)))
    write_metadata(linked, "s1", content)
    assert native.recover_binding("s1", str(linked)) is None
    assert not store_file(repo).exists()


def test_recover_without_metadata_or_with_a_directory_in_its_place(repo, linked):
    assert native.recover_binding("s1", str(linked)) is None
    (linked / SESSIONS_RELATIVE / "s1" / "metadata.json").mkdir(parents=True)
    assert native.recover_binding("s1", str(linked)) is None
    assert not store_file(repo).exists()


@pytest.mark.parametrize(
    ("session_id", "reached"),
    [
        ("", "sessions/metadata.json"),
        (".", "sessions/metadata.json"),
        ("..", "metadata.json"),
        ("../x", "x/metadata.json"),
        ("a/b", "sessions/a/b/metadata.json"),
        ("a\0b", "sessions/a/metadata.json"),
        ("/abs", "sessions/abs/metadata.json"),
    ],
)
def test_recover_refuses_a_session_id_that_is_not_one_path_component(repo, linked, session_id, reached):
    metadata = json.dumps({"worktree_path": str(linked), "branch": "feature"})
    for base in (linked, repo):
        target = base / ".quorbel/state/velmorin" / reached
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(metadata)
    # Joined as an absolute path, "/abs" would reach /abs/metadata.json itself; use a directory we own instead.
    absolute = linked / "abs-target"
    absolute.mkdir()
    (absolute / "metadata.json").write_text(metadata)
    if session_id == "/abs":
        session_id = str(absolute)
        (linked / SESSIONS_RELATIVE / str(absolute).lstrip("/")).mkdir(parents=True)
        (linked / SESSIONS_RELATIVE / str(absolute).lstrip("/") / "metadata.json").write_text(metadata)
    assert native.recover_binding(session_id, str(linked)) is None
    assert native.recover_binding(session_id, str(repo)) is None
    assert not store_file(repo).exists()


# ---------------------------------------------------------------------------
# git processes per call: the repository's facts are worked out once


@pytest.fixture
def git_log(fake_git, tmp_path):
    """Real git behind a `git` on PATH that logs each run's arguments; returns the logged runs so far."""
    log = tmp_path / "git-runs.log"
    log.touch()
    fake_git(f'printf "%s\\n" "$*" >> "{log}"\nexec {shutil.which("git")} "$@"\n')
    return lambda: log.read_text().splitlines()


COMMON_DIR = "rev-parse --path-format=absolute --git-common-dir"


@pytest.mark.parametrize(
    ("call", "expected_runs"),
    [
        # The main worktree of the root, the worktree's common directory, its branch.
        ("register", [COMMON_DIR, COMMON_DIR, "branch --show-current"]),
        ("recover", [COMMON_DIR, COMMON_DIR, "branch --show-current"]),
        # The store of the root, then recovery, then the validation's two questions.
        ("validate recovered", [COMMON_DIR, COMMON_DIR, "branch --show-current", "branch --show-current",
                                COMMON_DIR]),
        ("validate stored", [COMMON_DIR, "branch --show-current", COMMON_DIR]),
    ],
)
def test_each_call_asks_git_each_question_once(repo, linked, git_log, call, expected_runs):
    write_metadata(linked, "s1", {"worktree_path": str(linked), "branch": "feature"})
    if call == "validate stored":
        register("s1", linked, "feature", repo)
    runs_before = len(git_log())
    if call == "register":
        result = register("s1", linked, "feature", linked)
    elif call == "recover":
        result = native.recover_binding("s1", str(linked))
    else:
        result = native.validate_current_binding(repo_root=str(linked), session_id="s1", cwd=str(linked),
                                                 check_git=True)
        assert result.ok
    assert result is not None
    assert git_log()[runs_before:] == expected_runs
