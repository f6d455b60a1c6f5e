from collections.abc import Sequence
from typing import Final, final

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
    "GitWorktree",
    "PyWorktreePreconditionResult",
    "WorktreeListError",
    "ProjectIdInvalidError",
    "normalize_path",
    "path_fingerprint",
    "resolve_project_id",
    "resolve_state_dir_name",
    "state_dir",
    "store_relative_path",
    "set_quorbel_project_root_for_worktree",
    "resolve_git_worktree",
    "is_main_worktree",
    "validate_main_worktree",
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

class WorktreeListError(Exception): ...

class ProjectIdInvalidError(ValueError):
    reason_code: str

def normalize_path(raw_path: str | None) -> str: ...
def path_fingerprint(input_path: str) -> str: ...
def resolve_project_id(repo_root: str | None = None) -> str: ...
def resolve_state_dir_name(project_id: str | None = None) -> str: ...
def state_dir(repo_root: str | None = None) -> str: ...
def store_relative_path(project_id: str | None = None) -> str: ...
def set_quorbel_project_root_for_worktree(target_path: str | None = None) -> dict[str, str]: ...
def resolve_git_worktree(cwd: str | None = None) -> GitWorktree | None: ...
def is_main_worktree(context: GitWorktree) -> bool: ...
def validate_main_worktree(
    cwd: str | None = None, allowed_branches: Sequence[str] | None = None
) -> PyWorktreePreconditionResult: ...
def worktree_identity_env_vars_py() -> tuple[str, str]: ...
def worktree_runtime_env_vars_py() -> tuple[str, ...]: ...
