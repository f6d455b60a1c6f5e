import datetime
import os
import pathlib
from collections.abc import Callable, Sequence
from typing import Any, Final, final

__all__ = [
    "CURRENT_SCHEMA_VERSION",
    "LEGACY_PROJECT_ID",
    "MAIN_BRANCHES",
    "QUORBEL_WORKTREE_ENV",
    "QUORBEL_BRANCH_ENV",
    "QUORBEL_WORKTREE_BASE_ENV",
    "QUORBEL_PROJECT_ROOT_ENV",
    "QUORBEL_REPO_ROOT_ENV",
    "QUORBEL_STATE_DIR_ENV",
    "QUORBEL_SHARED_DIR_ENV",
    "VELMORIN_SHARED_DIR_ENV",
    "UV_PROJECT_ENV",
    "WORKTREE_IDENTITY_ENV_VARS",
    "WORKTREE_LOCATION_ENV_VARS",
    "WORKTREE_PROJECT_ENV_VARS",
    "WORKTREE_RUNTIME_ENV_VARS",
    "PyWorktreeBinding",
    "PyBindingValidationResult",
    "PyBindingValidationOptions",
    "GitWorktree",
    "PyWorktreePreconditionResult",
    "PyAuditRecord",
    "PyWorktreeBindingStore",
    "WorktreeListEntry",
    "GitHubPolicy",
    "WorktreeListError",
    "ProjectIdInvalidError",
    "normalize_path",
    "path_fingerprint",
    "resolve_project_id",
    "resolve_state_dir_name",
    "state_dir",
    "store_relative_path",
    "resolve_worktree_base",
    "resolve_known_worktree_bases",
    "resolve_worktree_dir",
    "set_quorbel_project_root_for_worktree",
    "register_binding",
    "load_binding",
    "list_bindings",
    "remove_binding",
    "recover_binding",
    "validate_binding",
    "validate_current_binding",
    "resolve_git_worktree",
    "is_main_worktree",
    "validate_main_worktree",
    "record_event",
    "read_records",
    "reap_rotation_sentinel",
    "list_worktrees",
    "resolve_github_policy",
    "resolve_main_branches",
    "worktree_identity_env_vars_py",
    "worktree_runtime_env_vars_py",
]

CURRENT_SCHEMA_VERSION: Final[int]
LEGACY_PROJECT_ID: Final[str]
MAIN_BRANCHES: Final[frozenset[str]]
QUORBEL_WORKTREE_ENV: Final[str]
QUORBEL_BRANCH_ENV: Final[str]
QUORBEL_WORKTREE_BASE_ENV: Final[str]
QUORBEL_PROJECT_ROOT_ENV: Final[str]
QUORBEL_REPO_ROOT_ENV: Final[str]
QUORBEL_STATE_DIR_ENV: Final[str]
QUORBEL_SHARED_DIR_ENV: Final[str]
VELMORIN_SHARED_DIR_ENV: Final[str]
UV_PROJECT_ENV: Final[str]
WORKTREE_IDENTITY_ENV_VARS: list[str]
WORKTREE_LOCATION_ENV_VARS: list[str]
WORKTREE_PROJECT_ENV_VARS: list[str]
WORKTREE_RUNTIME_ENV_VARS: list[str]

@final
class PyWorktreeBinding:
    def __new__(
        cls,
        session_id: str,
        worktree: str,
        branch: str,
        state_path: str,
        git_common_dir: str,
        main_worktree: str,
        commit_ish: str = "",
        schema_version: int | None = None,
    ) -> PyWorktreeBinding: ...
    @property
    def session_id(self) -> str: ...
    @property
    def worktree(self) -> str: ...
    @property
    def branch(self) -> str: ...
    @property
    def state_path(self) -> str: ...
    @property
    def git_common_dir(self) -> str: ...
    @property
    def main_worktree(self) -> str: ...
    @property
    def commit_ish(self) -> str: ...
    @property
    def schema_version(self) -> int: ...
    def to_dict(self) -> dict[str, str | int]: ...
    @classmethod
    def from_dict(cls, payload: Any) -> PyWorktreeBinding: ...

@final
class PyBindingValidationResult:
    @property
    def ok(self) -> bool: ...
    @property
    def reason_code(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def binding(self) -> PyWorktreeBinding | None: ...

@final
class PyBindingValidationOptions:
    def __new__(cls, require_env_worktree: bool = False, require_git_state: bool = False) -> PyBindingValidationOptions: ...
    require_env_worktree: bool
    require_git_state: bool

@final
class GitWorktree:
    @property
    def git_dir(self) -> str: ...
    @property
    def git_common_dir(self) -> str: ...
    @property
    def toplevel(self) -> str: ...
    @property
    def branch(self) -> str: ...
    def is_main_worktree(self) -> bool: ...
    def is_main_branch(self) -> bool: ...

@final
class PyWorktreePreconditionResult:
    @property
    def ok(self) -> bool: ...
    @property
    def reason_code(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def context(self) -> GitWorktree | None: ...

@final
class PyAuditRecord:
    @property
    def schema_version(self) -> str: ...
    @property
    def timestamp(self) -> str: ...
    @property
    def kind(self) -> str: ...
    @property
    def session_id(self) -> str | None: ...
    @property
    def pid(self) -> int: ...
    @property
    def parent_pid(self) -> int | None: ...
    @property
    def cwd(self) -> str: ...
    @property
    def host(self) -> str: ...
    @property
    def invoker(self) -> str: ...
    @property
    def branch(self) -> str: ...
    @property
    def worktree_path(self) -> str: ...
    @property
    def outcome(self) -> str: ...
    @property
    def elapsed_ms(self) -> int | None: ...
    @property
    def correlation_id(self) -> str | None: ...
    @property
    def truncated(self) -> bool: ...
    @property
    def extra(self) -> Any: ...
    def to_dict(self) -> dict[str, Any]: ...

@final
class PyWorktreeBindingStore:
    def __new__(cls, *, repo_root: str | os.PathLike[str]) -> PyWorktreeBindingStore: ...
    @property
    def repo_root(self) -> str: ...
    @property
    def path(self) -> str: ...
    def load(self, session_id: str) -> PyWorktreeBinding | None: ...
    def upsert(self, binding: PyWorktreeBinding) -> None: ...
    def list(self) -> list[PyWorktreeBinding]: ...
    def remove(self, session_id: str) -> PyWorktreeBinding | None: ...

@final
class WorktreeListEntry:
    @property
    def worktree(self) -> pathlib.Path: ...
    @property
    def branch(self) -> str | None: ...
    @property
    def head(self) -> str: ...
    @property
    def bare(self) -> bool: ...
    @property
    def detached(self) -> bool: ...
    @property
    def locked(self) -> bool: ...
    @property
    def lock_reason(self) -> str | None: ...
    @property
    def prunable(self) -> bool: ...

@final
class GitHubPolicy:
    @property
    def pr_title_prefixes(self) -> tuple[str, ...]: ...
    @property
    def main_branches(self) -> frozenset[str]: ...
    @property
    def pr_title_issue_suffix_required(self) -> bool: ...
    @property
    def required_sections_issue(self) -> tuple[str, ...]: ...
    @property
    def required_sections_pr(self) -> tuple[str, ...]: ...

class WorktreeListError(Exception): ...

class ProjectIdInvalidError(ValueError):
    reason_code: str

def normalize_path(raw_path: str | None) -> str: ...
def path_fingerprint(input_path: str) -> str: ...
def resolve_project_id(repo_root: str | None = None) -> str: ...
def resolve_state_dir_name(project_id: str | None = None) -> str: ...
def state_dir(repo_root: str | None = None) -> str: ...
def store_relative_path(project_id: str | None = None) -> str: ...
def resolve_worktree_base(
    explicit_base: str | None = None, repo_root: str | None = None, home: str | None = None
) -> str: ...
def resolve_known_worktree_bases(repo_root: str | None = None, home: str | None = None) -> list[str]: ...
def resolve_worktree_dir(
    worktree_name: str, explicit_base: str | None = None, repo_root: str | None = None, home: str | None = None
) -> str: ...
def set_quorbel_project_root_for_worktree(target_path: str | None = None) -> dict[str, str]: ...
def register_binding(
    *,
    session_id: str,
    worktree_path: str,
    branch: str,
    repo_root: str,
    state_path: str | None = None,
    source_ref: str = "",
) -> PyWorktreeBinding: ...
def load_binding(session_id: str, repo_root: str) -> PyWorktreeBinding | None: ...
def list_bindings(repo_root: str) -> list[PyWorktreeBinding]: ...
def remove_binding(session_id: str, repo_root: str) -> PyWorktreeBinding | None: ...
def recover_binding(session_id: str, repo_root: str) -> PyWorktreeBinding | None: ...
def validate_binding(
    binding: PyWorktreeBinding,
    *,
    cwd: str | None = None,
    env: dict[str, str] | None = None,
    check_git: bool = True,
    options: PyBindingValidationOptions | None = None,
) -> PyBindingValidationResult: ...
def validate_current_binding(
    *,
    repo_root: str,
    session_id: str | None,
    cwd: str,
    env: dict[str, str] | None = None,
    check_git: bool = False,
    require_registered_binding: bool = True,
    require_env_worktree: bool = False,
    require_git_state: bool = False,
) -> PyBindingValidationResult: ...
def resolve_git_worktree(cwd: str | None = None) -> GitWorktree | None: ...
def is_main_worktree(context: GitWorktree) -> bool: ...
def validate_main_worktree(
    cwd: str | None = None, allowed_branches: Sequence[str] | None = None
) -> PyWorktreePreconditionResult: ...
def record_event(
    kind: str,
    branch: str,
    worktree_path: str,
    invoker: str,
    outcome: str,
    *,
    session_id: str | None = None,
    elapsed_ms: int | None = None,
    correlation_id: str | None = None,
    extra: Any = None,
) -> None: ...
def read_records(
    branch: str | None = None,
    worktree_path: str | None = None,
    since: datetime.datetime | None = None,
    until: datetime.datetime | None = None,
) -> list[PyAuditRecord]: ...
def reap_rotation_sentinel() -> None: ...
def list_worktrees(
    repo_root: str | os.PathLike[str], *, run: Callable[[list[str], pathlib.Path], Any] | None = None
) -> list[WorktreeListEntry]: ...
def resolve_github_policy(project_root: str | os.PathLike[str] | None = None) -> GitHubPolicy: ...
def resolve_main_branches(project_root: str | os.PathLike[str] | None = None) -> frozenset[str]: ...
def worktree_identity_env_vars_py() -> tuple[str, str]: ...
def worktree_runtime_env_vars_py() -> tuple[str, ...]: ...
