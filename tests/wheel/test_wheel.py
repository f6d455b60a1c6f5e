"""The wheel in dist/ as a user gets it: installed with pip into a new
environment made from the same CPython, outside the source tree, with nothing
of the tree on sys.path. `make wheel-test` names the wheel in
WORKTREE_RUNTIME_WHEEL."""

import importlib.resources
import json
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from elftools.elf.elffile import ELFFile

SOURCE_TREE = pathlib.Path(__file__).resolve().parents[2]
STUBS = "_worktree_runtime_native.pyi"
# auditwheel's name for the directory of the libraries it bundles.
BUNDLED_LIBRARIES = "worktree_runtime_native.libs"


def run(command, cwd):
    """Runs `command` with no PYTHON* variable of ours, and returns its standard output."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("PYTHON")}
    result = subprocess.run([str(part) for part in command], cwd=cwd, env=env, capture_output=True, text=True)
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel():
    path = pathlib.Path(os.environ.get("WORKTREE_RUNTIME_WHEEL", ""))
    if not path.name.endswith(".whl") or not path.is_file():
        pytest.fail("WORKTREE_RUNTIME_WHEEL must name one wheel (make wheel-test sets it)")
    return path.resolve()


@pytest.fixture(scope="module")
def outside(tmp_path_factory):
    """A working directory outside the source tree."""
    return tmp_path_factory.mktemp("user")


@pytest.fixture(scope="module")
def python(tmp_path_factory, wheel, outside):
    """The interpreter of a new environment with only the wheel installed in it."""
    environment = tmp_path_factory.mktemp("environment") / "venv"
    run([sys._base_executable, "-m", "venv", environment], cwd=outside)
    interpreter = environment / "bin" / "python"
    run([interpreter, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "--no-index", "--no-deps",
         wheel], cwd=outside)
    return interpreter


@pytest.fixture(scope="module")
def site_packages(python, outside):
    return pathlib.Path(run([python, "-I", "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                            cwd=outside).strip())


def platform_tag(wheel):
    return wheel.name.removesuffix(".whl").split("-")[-1]


def test_the_module_and_its_stubs_install_into_the_environment(python, site_packages, outside):
    module = pathlib.Path(run([python, "-I", "-c", "import _worktree_runtime_native as m; print(m.__file__)"],
                              cwd=outside).strip())
    assert module.parent == site_packages
    assert site_packages.is_relative_to(python.parent.parent)
    stubs = (SOURCE_TREE / STUBS).read_text()
    assert (site_packages / STUBS).read_text() == stubs
    assert (site_packages / "_worktree_runtime_native-stubs" / "__init__.pyi").read_text() == stubs


def test_every_library_the_module_loads_is_bundled_or_allowed_by_its_manylinux_policy(
        wheel, python, site_packages, outside):
    # What the interpreter has mapped before the import is its own; what the
    # import (and a first SHA-1, in case libcrypto loads more) adds is the
    # module's.
    probe = textwrap.dedent("""\
        def mapped_files():
            with open("/proc/self/maps") as maps:
                return {fields[5] for fields in (line.split(maxsplit=5) for line in maps.read().splitlines())
                        if len(fields) == 6 and fields[5].startswith("/")}
        interpreter_files = mapped_files()
        import _worktree_runtime_native as native
        native.path_fingerprint("/")
        added = sorted(mapped_files() - interpreter_files)
        import json
        print(json.dumps({"module": native.__file__, "added": added}))
        """)
    report = json.loads(run([python, "-I", "-c", probe], cwd=outside))
    policies = json.loads((importlib.resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    policy_name = platform_tag(wheel).removesuffix("_x86_64")
    [policy] = [policy for policy in policies if policy["name"] == policy_name]
    outside_the_wheel = {}
    for file in map(pathlib.Path, report["added"]):
        if str(file) == report["module"] or file.parent == site_packages / BUNDLED_LIBRARIES:
            continue
        with file.open("rb") as stream:
            sonames = [tag.soname for tag in ELFFile(stream).get_section_by_name(".dynamic").iter_tags("DT_SONAME")]
        outside_the_wheel[str(file)] = sonames[0] if sonames else file.name
    assert set(outside_the_wheel.values()) <= set(policy["lib_whitelist"]), outside_the_wheel


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="an interpreter built with the GIL always holds it")
def test_a_free_threaded_interpreter_runs_without_the_gil_after_the_import(python, outside):
    assert run([python, "-I", "-c", "import sys, _worktree_runtime_native; print(sys._is_gil_enabled())"],
               cwd=outside) == "False\n"


def test_the_demo_runs_against_the_installed_module(python, outside):
    output = run([python, "-I", SOURCE_TREE / "examples" / "demo.py"], cwd=outside)
    assert "WORKTREE_BINDING_OK" in output


def test_auditwheel_finds_the_manylinux_tag_of_the_name(wheel, outside):
    output = " ".join(run([sys.executable, "-m", "auditwheel", "show", wheel], cwd=outside).split())
    assert re.fullmatch(r"manylinux_2_\d+_x86_64", platform_tag(wheel))
    assert f'consistent with the following platform tag: "{platform_tag(wheel)}"' in output


def test_a_typed_user_passes_mypy_strict_against_the_installed_stubs(python, outside):
    run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-executable", python, SOURCE_TREE / "tests" / "wheel" / "typed_user.py"], cwd=outside)
