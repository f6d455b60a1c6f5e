"""What the module does so far, on a real repository with a linked worktree.

Run with `make demo`.
"""

import os
import subprocess
import tempfile

import _worktree_runtime_native as native

GIT = ["git", "-c", "user.email=demo@example.invalid", "-c", "user.name=Demo"]


def git(cwd, *args):
    subprocess.run([*GIT, *args], cwd=cwd, check=True, capture_output=True)


def show(label, value, scratch):
    print(f"  {label:46} {str(value).replace(scratch, '$SCRATCH')}")


def make_repository(scratch):
    main = os.path.join(scratch, "project")
    os.makedirs(main)
    git(main, "init", "-q", "-b", "main")
    with open(os.path.join(main, "pyproject.toml"), "w") as config:
        config.write('[tool.velmorin]\nproject_id = "demo_project"\n')
    git(main, "add", "pyproject.toml")
    git(main, "commit", "-q", "-m", "initial")
    linked = os.path.join(scratch, "worktrees", "feature-x")
    git(main, "worktree", "add", "-q", "-b", "feature-x", linked)
    return main, linked


def demo_paths(scratch, linked):
    print("Path normalisation: every spelling of one directory becomes one text")
    alias = os.path.join(scratch, "wt")
    os.symlink(os.path.dirname(linked), alias)
    for raw in (linked + "/", os.path.join(alias, ".", "feature-x"), os.path.join(alias, "feature-y")):
        show(raw.replace(scratch, "$SCRATCH"), native.normalize_path(raw), scratch)
    show("path_fingerprint of both spellings", {native.path_fingerprint(linked), native.path_fingerprint(alias + "/feature-x")}, scratch)


def demo_probes(scratch, main, linked):
    print("\nWhat git says about each worktree")
    for path in (main, linked):
        worktree = native.resolve_git_worktree(path)
        show(f"{os.path.basename(path)}: toplevel", worktree.toplevel, scratch)
        show(f"{os.path.basename(path)}: git_dir", worktree.git_dir, scratch)
        show(f"{os.path.basename(path)}: branch / main worktree?", f"{worktree.branch} / {worktree.is_main_worktree()}", scratch)
    show("outside any repository", native.resolve_git_worktree(scratch), scratch)


def demo_project(scratch, main, linked):
    print("\nThe project's identifier and where its state lives")
    show("resolve_project_id", native.resolve_project_id(main), scratch)
    show("state_dir of the main worktree", native.state_dir(main), scratch)
    show("store_relative_path", native.store_relative_path("demo_project"), scratch)
    for key, value in sorted(native.set_quorbel_project_root_for_worktree(os.path.join(linked, ".")).items()):
        show(f"project variables: {key}", value, scratch)


def demo_main_worktree_checks(scratch, main, linked):
    print("\nMay this run here? (main worktree on a main branch)")
    for label, cwd, allowed in (
        ("main worktree, default branches", main, None),
        ("main worktree, only 'release'", main, ["release"]),
        ("linked worktree", linked, None),
        ("outside any repository", scratch, None),
    ):
        result = native.validate_main_worktree(cwd, allowed)
        show(label, f"{result.reason_code}: {result.message}", scratch)


def main():
    with tempfile.TemporaryDirectory(prefix="wtr-demo-") as scratch:
        scratch = os.path.realpath(scratch)
        os.environ["GIT_CEILING_DIRECTORIES"] = scratch
        main_worktree, linked = make_repository(scratch)
        demo_paths(scratch, linked)
        demo_probes(scratch, main_worktree, linked)
        demo_project(scratch, main_worktree, linked)
        demo_main_worktree_checks(scratch, main_worktree, linked)


if __name__ == "__main__":
    main()
