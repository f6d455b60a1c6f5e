"""What the module does so far, on real paths.

Run with `make demo`.
"""

import os
import tempfile

import _worktree_runtime_native as native


def show(label, value):
    print(f"  {label:44} {value!r}")


def main():
    with tempfile.TemporaryDirectory(prefix="wtr-demo-") as scratch:
        worktrees = os.path.join(scratch, "worktrees")
        feature = os.path.join(worktrees, "feature-x")
        os.makedirs(feature)
        alias = os.path.join(scratch, "wt")
        os.symlink(worktrees, alias)

        print("Path normalisation: every spelling of one directory becomes one text")
        for raw in (feature, feature + "/", os.path.join(alias, "feature-x"), os.path.join(alias, ".", "feature-x", "")):
            show(raw.replace(scratch, "$SCRATCH"), native.normalize_path(raw).replace(scratch, "$SCRATCH"))

        print("\nA worktree about to be created: the canonical parent plus its name")
        planned = os.path.join(alias, "feature-y")
        show(planned.replace(scratch, "$SCRATCH"), native.normalize_path(planned).replace(scratch, "$SCRATCH"))

        print("\nPaths that cannot be resolved stay as written; blank input is empty")
        for raw in (os.path.join(alias, "missing", "deeper/"), "relative/missing", "   ", None):
            show(repr(raw).replace(scratch, "$SCRATCH"), native.normalize_path(raw).replace(scratch, "$SCRATCH"))

        print("\nFingerprints: twelve hex digits of the SHA-1 of the normalised path")
        for raw in (feature, os.path.join(alias, "feature-x") + "/", ""):
            show(repr(raw).replace(scratch, "$SCRATCH"), native.path_fingerprint(raw))

    print("\nThe environment variables the tool's processes hand each other:")
    show("WORKTREE_RUNTIME_ENV_VARS", native.WORKTREE_RUNTIME_ENV_VARS)


if __name__ == "__main__":
    main()
