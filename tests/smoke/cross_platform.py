"""Prints, as JSON, what the module answers that must not depend on the machine,
its processor or its libraries' versions: scripts/trixie compares this output
from a build in a Debian 13 root (native, or aarch64 under qemu) with the
host's.

Paths below the scratch directory are printed relative to it, and the audit
fields that name the running process (time, pid, cwd, host) only by shape."""

import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

import _worktree_runtime_native as native

# None of these exists on either machine, except "/".
PATHS = [
    "",
    "/",
    "//",
    "/no-such-root",
    "/no-such-root/",
    "/no-such-root/a/b",
    "/no-such-root/./a/../b",
    "/no-such-root//a///b//",
    "no-such-relative/a/b",
    "./no-such-relative/a/b",
    "~/no-such-root/a",
    "/no-such-root/\u00fcn\u00efc\u00f6de/\u65e5\u672c",
    "/no-such-root/a b\tc\nd",
    "/no-such-root/" + "x" * 300,
]

GIT_IDENTITY = ["-c", "user.email=dev@example.invalid", "-c", "user.name=Dev"]


def git(cwd, *args):
    subprocess.run(["git", *GIT_IDENTITY, *args], cwd=cwd, check=True, capture_output=True)


def relative_to(scratch, value):
    """`value` with the scratch directory's path replaced by <scratch>, in any nested str."""
    if isinstance(value, str):
        return value.replace(str(scratch), "<scratch>")
    if isinstance(value, dict):
        return {key: relative_to(scratch, item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [relative_to(scratch, item) for item in value]
    return value


def fingerprints():
    return [{"path": path, "normalized": native.normalize_path(path), "fingerprint": native.path_fingerprint(path)}
            for path in PATHS]


def scratch_paths(scratch):
    (scratch / "dir" / "sub").mkdir(parents=True)
    (scratch / "link").symlink_to(scratch / "dir")
    (scratch / "file").write_text("x")
    names = ["dir", "dir/sub", "link", "link/sub", "link/missing", "link/missing/deeper", "file", "dir/../file"]
    return {name: native.normalize_path(str(scratch / name)) for name in names}


def project(scratch):
    """A repository with a pyproject.toml and a config/worktree.yaml of its own."""
    root = scratch / "repo"
    root.mkdir()
    git(root, "init", "-q", "-b", "main")
    git(root, "commit", "-q", "--allow-empty", "-m", "initial")
    (root / "pyproject.toml").write_text(
        '[tool.velmorin]\nproject_id = "acme"\n\n'
        '[tool.velmorin.github_policy]\nmain_branches = ["trunk", "main"]\npr_title_prefixes = ["feat", "fix"]\n'
        'pr_title_issue_suffix_required = true\nrequired_sections = { issue = ["Goal", "Steps \u2014 n\u00e4chste"] }\n')
    (root / "config").mkdir()
    (root / "config" / "worktree.yaml").write_text(
        "worktree:\n  overrides:\n"
        "    - {detection: {env_vars_any: [GITHUB_ACTIONS]}, base: wt/gha}\n"
        "    - base: |-\n        wt/block\n")
    return root


def settings(root):
    policy = native.resolve_github_policy(str(root))
    os.environ["CI"] = "1"
    try:
        ci_base = native.resolve_worktree_base(repo_root=str(root), home="/no-such-home")
    finally:
        del os.environ["CI"]
    return {
        "project_id": native.resolve_project_id(str(root)),
        "state_dir_name": native.resolve_state_dir_name("acme"),
        "store_relative_path": native.store_relative_path("acme"),
        "policy": {
            "pr_title_prefixes": list(policy.pr_title_prefixes),
            "main_branches": sorted(policy.main_branches),
            "pr_title_issue_suffix_required": policy.pr_title_issue_suffix_required,
            "required_sections_issue": list(policy.required_sections_issue),
            "required_sections_pr": list(policy.required_sections_pr),
        },
        "default_base": native.resolve_worktree_base(repo_root=str(root), home="/no-such-home"),
        "ci_base": ci_base,
    }


def binding(root, session_id, branch):
    return native.PyWorktreeBinding(session_id, str(root.parent / branch), branch, str(root / ".acme"),
                                    str(root / ".git"), str(root), commit_ish="0" * 40)


def store_round_trip(root):
    store = native.PyWorktreeBindingStore(repo_root=str(root))
    store.upsert(binding(root, "s-1", "feature-\u00e9"))
    store.upsert(binding(root, "s-2", "fix"))
    store.upsert(binding(root, "s-1", "feature-again"))
    steps = {
        "path": store.path,
        "listed": [item.to_dict() for item in store.list()],
        "loaded": store.load("s-1").to_dict(),
        "missing": store.load("s-3"),
        "removed": store.remove("s-2").to_dict(),
        "left": [item.to_dict() for item in store.list()],
        "document": json.loads(pathlib.Path(store.path).read_text()),
    }
    return steps


# The fields of a record that name the running process, and the shape they must have.
PROCESS_FIELDS = {"timestamp": r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z", "pid": r"[1-9]\d*", "cwd": r"/.*"}


def stored(**fields):
    """A complete stored record; `fields` replace or (with value ...) remove keys."""
    values = {"schema_version": "v1", "timestamp": "2025-03-04T05:06:07.123456789Z", "kind": "create",
              "session_id": None, "pid": 4242, "parent_pid": None, "cwd": "/home/dev/repo", "host": "box",
              "invoker": "cli", "branch": "main", "worktree_path": "/home/dev/wt/a", "outcome": "ok",
              "elapsed_ms": None, "correlation_id": None, "truncated": False, "extra": None}
    values.update(fields)
    return json.dumps({key: value for key, value in values.items() if value is not ...}, separators=(",", ":"),
                      ensure_ascii=False)


STORED_LINES = [
    stored(kind="numbers", timestamp="2025-03-04T05:06:07.5+05:30", pid=2**63 - 1, parent_pid=-(2**63),
           elapsed_ms=12, extra={"float": 0.1, "big": 2**70, "exp": 1e300, "tiny": 5e-324, "neg": -0.0,
                                 "list": [1, [2, [3]]], "text": "\u2028\U0001f600\u00e9"}),
    stored(kind="missing", schema_version=..., cwd=..., host=...),
    stored(kind="wrong types", schema_version=2, cwd=None, host=["h"], session_id=5, parent_pid="1", elapsed_ms=1.5,
           truncated="true"),
    stored(kind="out of range", parent_pid=2**63, elapsed_ms=2**64, timestamp="2025-03-04 05:06:07Z"),
    stored(kind="raw", branch="x\u2028y", worktree_path="/\U0001f600"),
    stored(kind="escaped", worktree_path="/e").replace("/e", "/\\ud83d\\ude00\\u00e9\\n"),
    stored()[:-1] + ',"kind":"repeated key"}',
    "not json",
    stored(kind="no such day", timestamp="2025-02-30T05:06:07Z"),
    stored(kind="nan", extra=float("nan")),
]


def stored_records(scratch):
    audit = scratch / "shared" / "audit"
    audit.mkdir(parents=True)
    (audit / "worktree-events.ndjson").write_text("\n".join(STORED_LINES) + "\n", encoding="utf-8")
    return [record.to_dict() for record in native.read_records()]


def recorded_events(scratch):
    (scratch / "shared" / "audit" / "worktree-events.ndjson").unlink()
    native.record_event("worktree.create", "feature-\u00e9", "/w/\u65e5", "cli", "ok", session_id="s-1",
                        elapsed_ms=2**63 - 1, correlation_id="c", extra={"nested": [[[]]], "n": -1, "f": 2.5})
    native.record_event("worktree.remove", "b", "/w/b", "cli", "failed", extra="x" * 5000)
    records = []
    for record in native.read_records():
        fields = record.to_dict()
        for name, shape in PROCESS_FIELDS.items():
            fields[name] = bool(re.fullmatch(shape, str(fields[name])))
        records.append(fields)
    return records


def main():
    with tempfile.TemporaryDirectory() as name:
        scratch = pathlib.Path(name).resolve()
        os.environ["VELMORIN_SHARED_DIR"] = str(scratch / "shared")
        os.environ["HOME"] = str(scratch)
        os.environ["GIT_CONFIG_NOSYSTEM"] = "1"
        os.environ["COMPUTERNAME"] = "build-box"
        root = project(scratch)
        report = {
            "fingerprints": fingerprints(),
            "scratch_paths": scratch_paths(scratch),
            "settings": settings(root),
            "store": store_round_trip(root),
            "stored_records": stored_records(scratch),
            "recorded_events": recorded_events(scratch),
        }
        json.dump(relative_to(scratch, report), sys.stdout, indent=1, sort_keys=True, ensure_ascii=True)
        print()


if __name__ == "__main__":
    main()
