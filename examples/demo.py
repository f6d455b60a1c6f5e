"""One work session's life, end to end, on a real repository.

Run with `make demo`. Everything happens in a temporary directory: a
repository, a linked worktree for the session, the binding store, the session
metadata and the shared audit log.
"""

import datetime
import json
import os
import subprocess
import tempfile

import _worktree_runtime_native as native

GIT = ["git", "-c", "user.email=demo@example.invalid", "-c", "user.name=Demo"]


def git(cwd, *args):
    subprocess.run([*GIT, *args], cwd=cwd, check=True, capture_output=True)


class Shower:
    """Prints labelled values with the scratch directory shown as $SCRATCH."""

    def __init__(self, scratch):
        self.scratch = scratch

    def __call__(self, label, value):
        print(f"  {label:44} {str(value).replace(self.scratch, '$SCRATCH')}")


def heading(text):
    print(f"\n== {text}")


def make_repository(scratch):
    main = os.path.join(scratch, "project")
    os.makedirs(os.path.join(main, "config"))
    with open(os.path.join(main, "pyproject.toml"), "w") as config:
        config.write('[tool.velmorin]\nproject_id = "demo_project"\n\n'
                     '[tool.velmorin.github_policy]\nmain_branches = ["main", "release"]\n')
    with open(os.path.join(main, "config", "worktree.yaml"), "w") as config:
        config.write("worktree:\n  overrides:\n    - detection:\n        env_vars_any: [GITHUB_ACTIONS]\n"
                     "      base: .ci-worktrees\n")
    git(main, "init", "-q", "-b", "main")
    git(main, "add", ".")
    git(main, "commit", "-q", "-m", "initial")
    return main


def main():
    with tempfile.TemporaryDirectory(prefix="wtr-demo-") as scratch:
        scratch = os.path.realpath(scratch)
        show = Shower(scratch)
        for variable in ("CI", "GITHUB_ACTIONS", "QUORBEL_WORKTREE_BASE", "QUORBEL_REPO_ROOT", "VELMORIN_SHARED_DIR"):
            os.environ.pop(variable, None)
        os.environ["GIT_CEILING_DIRECTORIES"] = scratch
        os.environ["QUORBEL_SHARED_DIR"] = os.path.join(scratch, "shared")
        repo = make_repository(scratch)
        home = os.path.join(scratch, "home")

        heading("1. Where the new worktree goes")
        show("resolve_project_id", native.resolve_project_id(repo))
        show("resolve_worktree_base (developer machine)", native.resolve_worktree_base(repo_root=repo, home=home))
        os.environ["GITHUB_ACTIONS"] = "true"
        show("resolve_worktree_base (CI: config override)", native.resolve_worktree_base(repo_root=repo, home=home))
        del os.environ["GITHUB_ACTIONS"]
        worktree = native.resolve_worktree_dir("feature-x", repo_root=repo, home=home)
        show("resolve_worktree_dir('feature-x')", worktree)
        git(repo, "worktree", "add", "-q", "-b", "feature-x", worktree)
        show("normalize_path of another spelling", native.normalize_path(worktree + "/./"))

        heading("2. Register the session in its worktree")
        binding = native.register_binding(session_id="s-1", worktree_path=worktree, branch="feature-x",
                                          repo_root=repo, source_ref="main")
        show("binding", binding)
        for key, value in binding.to_dict().items():
            show(f"  {key}", value)
        store = native.PyWorktreeBindingStore(repo_root=worktree)
        show("one store for every worktree", store.path)

        heading("3. The variables the session's processes carry")
        for key, value in sorted(native.set_quorbel_project_root_for_worktree(worktree).items()):
            show(key, value)
        session_env = {"QUORBEL_WORKTREE": worktree, "QUORBEL_BRANCH": "feature-x"}

        heading("4. Record events in the shared audit log")
        native.record_event("worktree.create", "feature-x", worktree, "demo", "ok", session_id="s-1", elapsed_ms=42)
        print("  (a payload that looks like it holds a credential is flagged on standard error:)", flush=True)
        native.record_event("worktree.configure", "feature-x", worktree, "demo", "ok", session_id="s-1",
                            extra={"api_key": "not-a-real-key", "note": "kept as given"})

        heading("5. The session checks itself")
        for label, cwd in (("from its worktree", worktree), ("from the main worktree", repo)):
            verdict = native.validate_current_binding(repo_root=repo, session_id="s-1", cwd=cwd, env=session_env,
                                                      check_git=True)
            show(label, f"{verdict.reason_code}: {verdict.message}")
        verdict = native.validate_current_binding(repo_root=repo, session_id="unknown", cwd=worktree, env=session_env)
        show("an unknown session", f"{verdict.reason_code}: {verdict.message}")

        heading("6. A lost binding is recovered from the session's metadata file")
        native.remove_binding("s-1", repo)
        show("after remove_binding, load_binding gives", native.load_binding("s-1", repo))
        sessions = os.path.join(worktree, ".demo_project", "state", "velmorin", "sessions", "s-1")
        os.makedirs(sessions)
        with open(os.path.join(sessions, "metadata.json"), "w") as metadata:
            json.dump({"worktree_path": worktree, "branch_name": "feature-x", "source_ref": "main"}, metadata)
        verdict = native.validate_current_binding(repo_root=worktree, session_id="s-1", cwd=worktree,
                                                  env=session_env, check_git=True)
        show("validate_current_binding recovers it", f"{verdict.reason_code}, binding {verdict.binding}")
        show("and it is back in the store", native.load_binding("s-1", repo))

        heading("7. Read the events back, and look at the repository")
        since = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=1)
        for record in native.read_records(branch="feature-x", since=since):
            show(record.kind, f"{record.outcome}, extra={record.extra}, elapsed_ms={record.elapsed_ms}")
        for entry in native.list_worktrees(repo):
            show(f"worktree on {entry.branch}", entry.worktree)
        show("resolve_main_branches", sorted(native.resolve_main_branches(repo)))
        for label, cwd in (("main worktree on main", repo), ("the session's worktree", worktree)):
            verdict = native.validate_main_worktree(cwd)
            show(label, f"{verdict.reason_code}: {verdict.message}")


if __name__ == "__main__":
    main()
