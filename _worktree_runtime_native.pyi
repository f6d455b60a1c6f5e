from typing import Final

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
    "WorktreeListError",
    "ProjectIdInvalidError",
    "normalize_path",
    "path_fingerprint",
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

class WorktreeListError(Exception): ...
class ProjectIdInvalidError(ValueError): ...

def normalize_path(raw_path: str | None) -> str: ...
def path_fingerprint(input_path: str) -> str: ...
