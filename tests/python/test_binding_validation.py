"""Checking a binding against the process: directory, identity variables, git; and the current-session check."""

import json
import os
import pathlib

import pytest

import _worktree_runtime_native as native
from conftest import git

Binding = native.PyWorktreeBinding
Options = native.PyBindingValidationOptions

FIELDS = ["session_id", "worktree", "branch", "state_path", "git_common_dir", "main_worktree", "commit_ish",
          "schema_version"]

MESSAGES = {
    "WORKTREE_CWD_MISMATCH": "cwd does not match worktree binding",
    "WORKTREE_ENV_MISMATCH": "QUORBEL_WORKTREE does not match worktree binding",
    "WORKTREE_ENV_MISSING": "QUORBEL_WORKTREE is required for this validation",
    "WORKTREE_BRANCH_ENV_MISMATCH": "QUORBEL_BRANCH does not match worktree binding",
    "WORKTREE_BRANCH_UNAVAILABLE": "git branch is unavailable for worktree binding validation",
    "WORKTREE_BRANCH_MISMATCH": "git branch does not match worktree binding",
    "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE": "git common dir is unavailable for worktree binding validation",
    "WORKTREE_GIT_COMMON_DIR_MISMATCH": "git common dir does not match worktree binding",
    "WORKTREE_BINDING_OK": "worktree binding is valid",
    "WORKTREE_BINDING_MISSING": "no worktree binding found for session",
}


def fields(binding):
    return {name: getattr(binding, name) for name in FIELDS}


def assert_verdict(result, code, binding=...):
    """The result has `code`, its message, the matching ok flag and (unless ...) the given binding's fields."""
    assert type(result) is native.PyBindingValidationResult
    assert (result.reason_code, result.message, result.ok) == (code, MESSAGES[code], code == "WORKTREE_BINDING_OK")
    if binding is None:
        assert result.binding is None
    elif binding is not ...:
        assert fields(result.binding) == (binding if isinstance(binding, dict) else fields(binding))


@pytest.fixture
def bound(repo, linked):
    """The binding of a session to the linked worktree on branch feature."""
    return Binding("s1", str(linked), "feature", f"{linked}/state", f"{repo}/.git", str(repo), "abc")


def env_of(worktree, branch=None, **extra):
    env = {"QUORBEL_WORKTREE": str(worktree), **extra}
    if branch is not None:
        env["QUORBEL_BRANCH"] = branch
    return env


# ---------------------------------------------------------------------------
# validate_binding: the verdicts in the order the checks run


def test_a_matching_binding_is_valid(bound, linked):
    result = native.validate_binding(bound, cwd=str(linked), env=env_of(linked, "feature"),
                                     options=Options(require_env_worktree=True, require_git_state=True))
    assert_verdict(result, "WORKTREE_BINDING_OK", bound)


@pytest.mark.parametrize(
    ("case", "code"),
    [
        # Each case also breaks every later check, so only the order can pick the code.
        ("cwd", "WORKTREE_CWD_MISMATCH"),
        ("env worktree", "WORKTREE_ENV_MISMATCH"),
        ("env worktree missing", "WORKTREE_ENV_MISSING"),
        ("env branch", "WORKTREE_BRANCH_ENV_MISMATCH"),
        ("git branch unavailable", "WORKTREE_BRANCH_UNAVAILABLE"),
        ("git branch", "WORKTREE_BRANCH_MISMATCH"),
        ("git common dir", "WORKTREE_GIT_COMMON_DIR_MISMATCH"),
    ],
)
def test_the_first_failing_check_decides(repo, linked, tmp_path, case, code):
    other_common = tmp_path / "other" / ".git"
    other_common.mkdir(parents=True)
    binding_branch = "other" if case == "git branch" else "feature"
    common_dir = str(other_common)
    binding = Binding("s1", str(linked), binding_branch, "/state", common_dir, str(repo))
    if case == "git branch unavailable":
        git(linked, "checkout", "-q", "--detach")
    cwd = str(repo) if case == "cwd" else str(linked)
    env = {"QUORBEL_BRANCH": "wrong"}
    if case in ("cwd", "env worktree"):
        env["QUORBEL_WORKTREE"] = str(repo)
    elif case in ("env branch", "git branch unavailable", "git branch", "git common dir"):
        env["QUORBEL_WORKTREE"] = str(linked)
    if case in ("git branch unavailable", "git branch", "git common dir"):
        env["QUORBEL_BRANCH"] = binding_branch
    result = native.validate_binding(binding, cwd=cwd, env=env,
                                     options=Options(require_env_worktree=True, require_git_state=True))
    assert_verdict(result, code, binding)


def test_git_common_dir_unavailable_while_git_reports_a_branch(fake_git, tmp_path):
    # Real git answers both questions or neither; this one knows the branch only.
    fake_git('if [ "$1" = branch ]; then echo feature; else exit 1; fi')
    binding = Binding("s1", str(tmp_path), "feature", "/state", "/elsewhere/.git", "/main")
    assert_verdict(native.validate_binding(binding, options=Options(require_git_state=True)),
                   "WORKTREE_GIT_COMMON_DIR_UNAVAILABLE", binding)
    assert_verdict(native.validate_binding(binding), "WORKTREE_BINDING_OK", binding)


def test_git_checks_run_in_the_worktree_with_the_fixed_arguments(fake_git, tmp_path):
    log = tmp_path / "calls"
    fake_git(f'echo "$PWD|$*" >> {log}\nif [ "$1" = branch ]; then echo feature; else echo /c/.git; fi')
    worktree = tmp_path / "wt"
    worktree.mkdir()
    binding = Binding("s1", str(worktree), "feature", "/state", "/c/.git", "/main")
    assert_verdict(native.validate_binding(binding), "WORKTREE_BINDING_OK")
    assert log.read_text().splitlines() == [
        f"{worktree.resolve()}|branch --show-current",
        f"{worktree.resolve()}|rev-parse --path-format=absolute --git-common-dir",
    ]
    # A branch failure costs one git run only.
    log.unlink()
    other = Binding("s1", str(worktree), "main", "/state", "/c/.git", "/main")
    assert_verdict(native.validate_binding(other), "WORKTREE_BRANCH_MISMATCH")
    assert len(log.read_text().splitlines()) == 1


@pytest.mark.parametrize("form", ["{linked}/", "{linked}/./", "{repo}/../linked", "{alias}", "{alias}//"])
def test_equivalent_forms_of_the_worktree_pass_the_directory_and_environment_checks(
        bound, repo, linked, tmp_path, form):
    (tmp_path / "alias").symlink_to(linked)
    text = form.format(linked=linked, repo=repo, alias=tmp_path / "alias")
    result = native.validate_binding(bound, cwd=text, env=env_of(text, "feature"))
    assert_verdict(result, "WORKTREE_BINDING_OK", bound)


@pytest.mark.parametrize(
    ("env", "code"),
    [
        ({"QUORBEL_WORKTREE": " \t{linked}\u3000\n"}, "WORKTREE_BINDING_OK"),
        ({"QUORBEL_WORKTREE": "{linked}", "QUORBEL_BRANCH": "  feature\t"}, "WORKTREE_BINDING_OK"),
        ({"QUORBEL_WORKTREE": "{linked}", "QUORBEL_BRANCH": " \u2003 "}, "WORKTREE_BINDING_OK"),
        ({"QUORBEL_WORKTREE": "{linked}", "QUORBEL_BRANCH": "Feature"}, "WORKTREE_BRANCH_ENV_MISMATCH"),
        ({"QUORBEL_WORKTREE": "{linked}", "QUORBEL_BRANCH": "main"}, "WORKTREE_BRANCH_ENV_MISMATCH"),
        ({"QUORBEL_BRANCH": "feature"}, "WORKTREE_ENV_MISSING"),
        ({"QUORBEL_WORKTREE": "   "}, "WORKTREE_ENV_MISSING"),
        ({}, "WORKTREE_ENV_MISSING"),
        ({"quorbel_worktree": "{linked}"}, "WORKTREE_ENV_MISSING"),  # names match exactly
        ({"QUORBEL_WORKTREE": "{repo}"}, "WORKTREE_ENV_MISMATCH"),
    ],
)
def test_environment_checks(bound, repo, linked, env, code):
    env = {key: value.format(linked=linked, repo=repo) for key, value in env.items()}
    result = native.validate_binding(bound, env=env, check_git=False, options=Options(require_env_worktree=True))
    assert_verdict(result, code, bound)


def test_a_missing_worktree_variable_passes_unless_required(bound, linked):
    for env in ({}, {"QUORBEL_WORKTREE": ""}, {"QUORBEL_BRANCH": "feature"}):
        assert_verdict(native.validate_binding(bound, env=env), "WORKTREE_BINDING_OK")
        assert_verdict(native.validate_binding(bound, env=env, options=Options()), "WORKTREE_BINDING_OK")


class EnvDict(dict):
    pass


def test_only_a_dict_of_str_is_an_environment(bound, repo, monkeypatch):
    # The process environment names another worktree; it is never consulted.
    monkeypatch.setenv("QUORBEL_WORKTREE", str(repo))
    monkeypatch.setenv("QUORBEL_BRANCH", "main")
    require = Options(require_env_worktree=True)
    wrong = {"QUORBEL_WORKTREE": str(repo)}
    for ignored in (None, os.environ, {**wrong, "OTHER": 1}, {**wrong, 2: "x"}, list(wrong.items()), "text",
                    {**wrong, "QUORBEL_BRANCH": None}):
        assert_verdict(native.validate_binding(bound, env=ignored, options=require), "WORKTREE_BINDING_OK", bound)
    assert_verdict(native.validate_binding(bound, options=require), "WORKTREE_BINDING_OK", bound)
    assert_verdict(native.validate_binding(bound, env=EnvDict(wrong), options=require), "WORKTREE_ENV_MISMATCH")


def test_without_git_checks_any_binding_passes(tmp_path):
    binding = Binding("s", str(tmp_path / "does-not-exist"), "b", "", "/x/.git", "")
    for options in (None, Options(require_git_state=True)):
        assert_verdict(native.validate_binding(binding, check_git=False, options=options), "WORKTREE_BINDING_OK",
                       binding)


def test_git_state_is_required_only_when_asked(outside):
    binding = Binding("s", str(outside), "main", "", "/x/.git", "")
    assert_verdict(native.validate_binding(binding), "WORKTREE_BINDING_OK", binding)
    assert_verdict(native.validate_binding(binding, options=Options(require_git_state=True)),
                   "WORKTREE_BRANCH_UNAVAILABLE", binding)
    missing = Binding("s", str(outside / "missing"), "main", "", "/x/.git", "")
    assert_verdict(native.validate_binding(missing, options=Options(require_git_state=True)),
                   "WORKTREE_BRANCH_UNAVAILABLE")


def test_a_detached_head_passes_the_branch_checks(bound, linked):
    git(linked, "checkout", "-q", "--detach")
    assert_verdict(native.validate_binding(bound), "WORKTREE_BINDING_OK")
    assert_verdict(native.validate_binding(bound, options=Options(require_git_state=True)),
                   "WORKTREE_BRANCH_UNAVAILABLE")


def test_git_common_dir_comparison(repo, linked, tmp_path):
    (tmp_path / "git-alias").symlink_to(repo / ".git")
    for common_dir, code in [("", "WORKTREE_BINDING_OK"),
                             (f"{tmp_path}/git-alias/", "WORKTREE_BINDING_OK"),
                             (f"{repo}/.git/worktrees/linked", "WORKTREE_GIT_COMMON_DIR_MISMATCH"),
                             (f"{repo}", "WORKTREE_GIT_COMMON_DIR_MISMATCH")]:
        binding = Binding("s", str(linked), "feature", "", common_dir, str(repo))
        assert_verdict(native.validate_binding(binding, cwd=str(linked)), code, binding)


def test_the_binding_is_normalised_again_before_the_check(repo, linked, tmp_path):
    later = tmp_path.resolve() / "later"
    binding = Binding("s", str(later), "feature", "", str(later / ".git"), str(repo))
    later.symlink_to(linked)
    result = native.validate_binding(binding, cwd=str(linked), env=env_of(linked))
    assert result.reason_code == "WORKTREE_GIT_COMMON_DIR_MISMATCH"  # the directory and variable checks passed
    assert result.binding.worktree == str(linked)


def test_the_result_carries_a_new_copy_of_the_checked_binding(bound, repo):
    bound7 = Binding(*[getattr(bound, name) for name in FIELDS[:-1]], 7)
    for result in (native.validate_binding(bound7, check_git=False),
                   native.validate_binding(bound7, cwd=str(repo), check_git=False)):
        first, second = result.binding, result.binding
        assert type(first) is Binding and first is not second and first is not bound7
        assert fields(first) == fields(second) == fields(bound7)
        assert first.schema_version == 7


def test_result_and_options_classes(bound):
    result = native.validate_binding(bound, check_git=False)
    for name in ("ok", "reason_code", "message", "binding"):
        with pytest.raises(AttributeError):
            setattr(result, name, None)
    with pytest.raises(TypeError):
        native.PyBindingValidationResult()
    for cls in (native.PyBindingValidationResult, Options):
        assert cls.__module__ == "worktree_runtime.api"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert Options.__text_signature__ == "(require_env_worktree=False, require_git_state=False)"
    assert native.validate_binding.__text_signature__ == (
        "(binding, *, cwd=None, env=None, check_git=True, options=None)")


def test_options_are_writable_flags():
    options = Options()
    assert (options.require_env_worktree, options.require_git_state) == (False, False)
    assert (Options(True, False).require_env_worktree, Options(require_git_state=True).require_git_state) == (
        True, True)
    options.require_git_state = True
    options.require_env_worktree = True
    assert (options.require_env_worktree, options.require_git_state) == (True, True)
    for name in ("require_env_worktree", "require_git_state"):
        with pytest.raises(TypeError) as raised:
            setattr(options, name, 1)
        assert name in raised.value.__notes__[0]
        with pytest.raises(TypeError):
            setattr(options, name, None)
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(options, name)
        assert getattr(options, name) is True
    with pytest.raises(AttributeError):
        options.other = True
    with pytest.raises(TypeError):
        Options(1)
    with pytest.raises(TypeError):
        Options(False, False, False)


def test_options_are_read_when_the_check_starts(outside):
    binding = Binding("s", str(outside), "main", "", "", "")
    options = Options()
    before = native.validate_binding(binding, options=options)
    options.require_git_state = True
    after = native.validate_binding(binding, options=options)
    assert (before.reason_code, after.reason_code) == ("WORKTREE_BINDING_OK", "WORKTREE_BRANCH_UNAVAILABLE")
    assert before.ok is True


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda b: native.validate_binding({"session_id": "s"}), "binding"),
        (lambda b: native.validate_binding(b, options=1), "options"),
        (lambda b: native.validate_binding(b, options={}), "options"),
        (lambda b: native.validate_binding(b, check_git=1), "check_git"),
        (lambda b: native.validate_binding(b, check_git=None), "check_git"),
        (lambda b: native.validate_binding(b, cwd=pathlib.Path("/")), "cwd"),
    ],
)
def test_validate_binding_argument_errors(bound, call, parameter):
    with pytest.raises(TypeError) as raised:
        call(bound)
    assert parameter in raised.value.__notes__[0]


def test_validate_binding_is_keyword_only_after_the_binding(bound):
    with pytest.raises(TypeError):
        native.validate_binding(bound, "/")
    assert_verdict(native.validate_binding(binding=bound, check_git=False), "WORKTREE_BINDING_OK")


# ---------------------------------------------------------------------------
# validate_current_binding


def current(repo_root, session_id, cwd, **options):
    return native.validate_current_binding(repo_root=str(repo_root), session_id=session_id, cwd=str(cwd), **options)


@pytest.fixture
def registered(repo, linked):
    return native.register_binding(session_id="s1", worktree_path=str(linked), branch="feature",
                                   repo_root=str(repo), source_ref="v1")


def test_a_registered_session_checked_from_its_worktree(repo, linked, registered):
    for root in (repo, linked):
        result = current(root, "s1", linked, env=env_of(linked, "feature"), check_git=True)
        assert_verdict(result, "WORKTREE_BINDING_OK", registered)
    assert_verdict(current(repo, "s1", repo, env=env_of(linked)), "WORKTREE_CWD_MISMATCH", registered)


def test_current_check_passes_the_requirements_on(repo, linked, registered):
    assert_verdict(current(repo, "s1", linked, env={}), "WORKTREE_BINDING_OK")
    result = current(repo, "s1", linked, env={}, require_env_worktree=True)
    assert_verdict(result, "WORKTREE_ENV_MISSING", registered)  # the validation's verdict: binding present
    git(linked, "checkout", "-q", "--detach")
    assert_verdict(current(repo, "s1", linked, check_git=True), "WORKTREE_BINDING_OK")
    assert_verdict(current(repo, "s1", linked, check_git=True, require_git_state=True),
                   "WORKTREE_BRANCH_UNAVAILABLE", registered)


def test_current_check_runs_git_only_when_asked(repo, linked, registered):
    git(linked, "checkout", "-q", "-b", "moved")
    assert_verdict(current(repo, "s1", linked), "WORKTREE_BINDING_OK")
    assert_verdict(current(repo, "s1", linked, check_git=True), "WORKTREE_BRANCH_MISMATCH", registered)


@pytest.mark.parametrize("env", [None, {}, {"QUORBEL_WORKTREE": "{linked}", "QUORBEL_BRANCH": "feature"}])
def test_an_unknown_session_is_missing_when_a_registered_binding_is_required(repo, linked, env):
    if env:
        env = {key: value.format(linked=linked) for key, value in env.items()}
    result = current(repo, "unknown", linked, env=env)
    assert_verdict(result, "WORKTREE_BINDING_MISSING", None)


def test_an_invalid_stored_entry_counts_as_no_binding(repo, linked):
    store = repo / ".quorbel/state/worktree-runtime/bindings.json"
    store.parent.mkdir(parents=True)
    store.write_text(json.dumps({"bindings": [{"session_id": "s1", "worktree": str(linked)}]}))
    assert_verdict(current(repo, "s1", linked), "WORKTREE_BINDING_MISSING", None)


def test_an_unknown_session_is_recovered_from_its_metadata(repo, linked):
    metadata = linked / ".quorbel/state/velmorin/sessions/s9/metadata.json"
    metadata.parent.mkdir(parents=True)
    metadata.write_text(json.dumps({"worktree_path": str(linked), "branch_name": "feature", "source_ref": "r"}))
    result = current(linked, "s9", linked, env=env_of(linked), check_git=True)
    assert_verdict(result, "WORKTREE_BINDING_OK", {
        "session_id": "s9", "worktree": str(linked), "branch": "feature",
        "state_path": f"{linked}/.quorbel/state/velmorin", "git_common_dir": f"{repo}/.git",
        "main_worktree": str(repo), "commit_ish": "r", "schema_version": 2})
    assert native.load_binding("s9", str(repo)).commit_ish == "r"


def test_a_stored_binding_wins_over_the_metadata(repo, linked, registered):
    metadata = linked / ".quorbel/state/velmorin/sessions/s1/metadata.json"
    metadata.parent.mkdir(parents=True)
    metadata.write_text(json.dumps({"worktree_path": str(linked), "branch": "feature", "source_ref": "other"}))
    assert current(linked, "s1", linked).binding.commit_ish == "v1"


def test_the_environment_fallback_binding(repo, linked):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "proj"\n')
    env = {"QUORBEL_WORKTREE": f"  {linked}/ ", "QUORBEL_BRANCH": "feature"}
    result = current(f"{repo}/", "s7", linked, env=env, require_registered_binding=False, check_git=True)
    assert_verdict(result, "WORKTREE_BINDING_OK", {
        "session_id": "s7", "worktree": str(linked), "branch": "feature",
        # The state area is named after the main worktree's identifier ...
        "state_path": f"{linked}/.proj/state/velmorin", "git_common_dir": "",
        # ... but main_worktree is the root as given, normalised, not what git says.
        "main_worktree": str(repo), "commit_ish": "env-fallback", "schema_version": 2})
    assert current(linked, "s7", linked, env=env, require_registered_binding=False).binding.main_worktree == str(
        linked)
    # Nothing was stored.
    assert native.load_binding("s7", str(repo)) is None


def test_the_fallback_binding_keeps_the_branch_untrimmed(repo, linked):
    def check(branch):
        return current(repo, "s7", linked, env=env_of(linked, branch), require_registered_binding=False,
                       check_git=True)

    assert check(" feature ").binding.branch == " feature "
    assert_verdict(check(" feature "), "WORKTREE_BRANCH_ENV_MISMATCH")
    assert_verdict(check("main"), "WORKTREE_BRANCH_MISMATCH")
    without_branch = current(repo, "s7", linked, env=env_of(linked), require_registered_binding=False)
    assert without_branch.binding.branch == ""


@pytest.mark.parametrize(
    "env",
    [None, {}, {"QUORBEL_WORKTREE": " \t "}, {"QUORBEL_BRANCH": "feature"}, "os.environ",
     {"QUORBEL_WORKTREE": "{linked}", "OTHER": 1}],
)
def test_no_binding_and_no_environment_worktree(repo, linked, monkeypatch, env):
    monkeypatch.setenv("QUORBEL_WORKTREE", str(linked))
    if env == "os.environ":
        env = os.environ
    elif isinstance(env, dict):
        env = {key: value.format(linked=linked) if isinstance(value, str) else value for key, value in env.items()}
    for session_id, required in (("unknown", False), (None, True), (None, False)):
        result = current(repo, session_id, linked, env=env, require_registered_binding=required)
        assert_verdict(result, "WORKTREE_ENV_MISSING", None)


def test_without_a_session_id_the_store_and_recovery_are_skipped(repo, linked):
    # A stored binding and a metadata file that an empty identifier could reach.
    native.PyWorktreeBindingStore(repo_root=str(repo)).upsert(
        Binding("", str(linked), "feature", "/state", "", str(repo), "stored"))
    metadata = linked / ".quorbel/state/velmorin/sessions/metadata.json"
    metadata.parent.mkdir(parents=True)
    metadata.write_text(json.dumps({"worktree_path": str(linked), "branch": "feature"}))
    result = current(repo, None, linked, env=env_of(linked, "feature"))
    assert_verdict(result, "WORKTREE_BINDING_OK")
    assert (result.binding.session_id, result.binding.commit_ish) == ("", "env-fallback")
    # An empty identifier is still an identifier: the stored entry is invalid, recovery refuses it.
    assert_verdict(current(repo, "", linked, env=env_of(linked, "feature")), "WORKTREE_BINDING_MISSING", None)
    fallback = current(repo, "", linked, env=env_of(linked, "feature"), require_registered_binding=False)
    assert (fallback.reason_code, fallback.binding.commit_ish) == ("WORKTREE_BINDING_OK", "env-fallback")


def test_a_fallback_binding_outside_git_and_the_git_state_requirement(repo, outside):
    env = env_of(outside)
    for check_git, code in ((True, "WORKTREE_BRANCH_UNAVAILABLE"), (False, "WORKTREE_BINDING_OK")):
        result = current(repo, "s", outside, env=env, check_git=check_git, require_registered_binding=False,
                         require_git_state=True)
        assert_verdict(result, code)
        assert (result.binding.worktree, result.binding.state_path, result.binding.commit_ish) == (
            str(outside), f"{outside}/.quorbel/state/velmorin", "env-fallback")


@pytest.mark.parametrize(
    ("arguments", "parameter"),
    [
        ({"cwd": None}, "cwd"),
        ({"cwd": pathlib.Path("/")}, "cwd"),
        ({"repo_root": pathlib.Path("/")}, "repo_root"),
        ({"session_id": 1}, "session_id"),
        ({"check_git": 1}, "check_git"),
        ({"require_registered_binding": None}, "require_registered_binding"),
        ({"require_env_worktree": 0}, "require_env_worktree"),
        ({"require_git_state": "yes"}, "require_git_state"),
    ],
)
def test_validate_current_binding_argument_errors(repo, arguments, parameter):
    values = {"repo_root": str(repo), "session_id": "s", "cwd": str(repo), **arguments}
    with pytest.raises(TypeError) as raised:
        native.validate_current_binding(**values)
    assert parameter in raised.value.__notes__[0]


def test_validate_current_binding_is_keyword_only_and_requires_three_arguments(repo):
    with pytest.raises(TypeError):
        native.validate_current_binding(str(repo), "s", str(repo))
    with pytest.raises(TypeError):
        native.validate_current_binding(repo_root=str(repo), cwd=str(repo))
    assert native.validate_current_binding.__text_signature__ == (
        "(*, repo_root, session_id, cwd, env=None, check_git=False, require_registered_binding=True, "
        "require_env_worktree=False, require_git_state=False)")
