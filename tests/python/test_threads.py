"""Many threads of one process on the same objects, files and dicts at once. On a free-threaded interpreter
they truly run together (the module keeps the GIL off); with the GIL they interleave between calls only."""

import hashlib
import itertools
import json
import os
import pathlib
import random
import sys
import textwrap
import threading

import pytest

import _worktree_runtime_native as native
from conftest import FREE_THREADED, run_isolated

THREADS = 8
FAILOPEN = "[WORKTREE-AUDIT-FAILOPEN]"


@pytest.fixture(autouse=True)
def frequent_switches():
    """With the GIL, threads switch as often as the interpreter allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_together(workers, *, meanwhile=()):
    """Runs each worker in a thread of its own, all released at once, while each of `meanwhile` is called over
    and over in a thread of its own until the workers are done. The first failure of any thread is raised."""
    assert not (FREE_THREADED and sys._is_gil_enabled()), "the GIL is on: the threads would not run together"
    barrier = threading.Barrier(len(workers) + len(meanwhile))
    workers_done = threading.Event()
    failures = []

    def run(body):
        try:
            barrier.wait()
            body()
        except BaseException as failure:
            failures.append(failure)
            barrier.abort()

    def repeat(step):
        def body():
            while not workers_done.is_set():
                step()
        return body

    background = [threading.Thread(target=run, args=(repeat(step),)) for step in meanwhile]
    foreground = [threading.Thread(target=run, args=(worker,)) for worker in workers]
    for thread in background + foreground:
        thread.start()
    for thread in foreground:
        thread.join()
    workers_done.set()
    for thread in background:
        thread.join()
    if failures:
        raise failures[0]


# ---------------------------------------------------------------------------
# One audit log

EVENTS_PER_WRITER = 150


def writer_extra(writer, sequence):
    # Lines of different lengths, some with multi-byte text, so a torn or
    # interleaved line cannot pass for another one.
    return {"writer": writer, "sequence": sequence, "text": "é" * (sequence % 7) + "x" * (sequence * 13 % 300)}


def test_writers_into_one_log_lose_and_tear_nothing_while_readers_read_it(audit_dir, capfd):
    def writer(number):
        def write():
            for sequence in range(EVENTS_PER_WRITER):
                native.record_event("thread.event", f"branch-{number}", "/w", "cli", "ok",
                                    correlation_id=f"{number}-{sequence}", extra=writer_extra(number, sequence))
        return write

    def reader():
        # Records are only ever appended: each reader sees as many as the last
        # time or more, every one of them whole.
        last_count = 0

        def read():
            nonlocal last_count
            records = native.read_records()
            assert len(records) >= last_count
            last_count = len(records)
            for record in records:
                number, sequence = map(int, record.correlation_id.split("-"))
                assert record.extra == writer_extra(number, sequence) and record.branch == f"branch-{number}"
        return read

    run_together([writer(number) for number in range(THREADS)], meanwhile=[reader(), reader()])

    expected = {f"{number}-{sequence}" for number in range(THREADS) for sequence in range(EVENTS_PER_WRITER)}
    lines = (audit_dir / "worktree-events.ndjson").read_bytes().split(b"\n")
    assert lines.pop() == b""
    stored = [json.loads(line) for line in lines]
    assert sorted(entry["correlation_id"] for entry in stored) == sorted(expected)
    for entry in stored:
        number, sequence = map(int, entry["correlation_id"].split("-"))
        assert entry["extra"] == writer_extra(number, sequence)
    # Each writer's records in the order it wrote them.
    for number in range(THREADS):
        assert [entry["extra"]["sequence"] for entry in stored if entry["extra"]["writer"] == number] == list(
            range(EVENTS_PER_WRITER))
    assert {record.correlation_id for record in native.read_records()} == expected
    assert FAILOPEN not in capfd.readouterr().err


# ---------------------------------------------------------------------------
# One binding store

SESSIONS_PER_WORKER = 40


def make_binding(root, session_id):
    return native.PyWorktreeBinding(session_id, str(root), "main", f"{root}/state/{session_id}", f"{root}/.git",
                                    str(root))


def test_one_store_shared_by_threads_keeps_every_binding_not_removed(repo):
    store = native.PyWorktreeBindingStore(repo_root=str(repo))

    def worker(number):
        # Each worker removes only its own sessions, so every one it kept is
        # in every listing it takes afterwards, whatever the others do.
        def work():
            kept = set()
            for sequence in range(SESSIONS_PER_WORKER):
                session_id = f"s-{number}-{sequence}"
                store.upsert(make_binding(repo, session_id))
                assert store.load(session_id).to_dict() == make_binding(repo, session_id).to_dict()
                kept.add(session_id)
                if sequence % 2:
                    removed = f"s-{number}-{sequence - 1}"
                    assert store.remove(removed).session_id == removed
                    kept.discard(removed)
                if sequence % 5 == 0:
                    listed = {binding.session_id: binding for binding in store.list()}
                    assert kept <= listed.keys()
                    for session_id, binding in listed.items():
                        assert binding.to_dict() == make_binding(repo, session_id).to_dict()
        return work

    run_together([worker(number) for number in range(THREADS)])

    expected = {f"s-{number}-{sequence}" for number in range(THREADS) for sequence in range(SESSIONS_PER_WORKER)
                if sequence % 2 or sequence == SESSIONS_PER_WORKER - 1}
    assert sorted(binding.session_id for binding in store.list()) == sorted(expected)
    stored = json.loads(pathlib.Path(store.path).read_text())["bindings"]
    assert {entry["session_id"]: entry for entry in stored} == {
        session_id: make_binding(repo, session_id).to_dict() for session_id in expected}
    assert len(stored) == len(expected)


# ---------------------------------------------------------------------------
# Paths, fingerprints and project identifiers

ROOTS = 16


def test_paths_and_project_ids_read_together_give_what_one_thread_gets(tmp_path):
    base = tmp_path.resolve()
    (base / "a" / "b" / "é").mkdir(parents=True)
    (base / "file").write_text("")
    (base / "link").symlink_to(base / "a" / "b")
    paths = [str(base / "a" / "b" / "é"), f"{base}/link/é/../é/", f"{base}/link/missing", f"{base}/x/y/z",
             f"{base}/file", "", "   ", "relative/name", "/"]
    expected_paths = {path: native.normalize_path(path) for path in paths}
    # A folder another thread keeps making and removing: either answer, never a third.
    flipping = base / "flip"
    flipping_path = f"{flipping}/./inner/leaf"
    flipping.mkdir()
    (flipping / "inner").mkdir()
    flipping_answers = {flipping_path, native.normalize_path(flipping_path)}
    assert len(flipping_answers) == 2
    roots = []
    for number in range(ROOTS):
        root = base / f"root-{number}"
        root.mkdir()
        (root / "pyproject.toml").write_text(f'[tool.velmorin]\nproject_id = "project-{number}"\n')
        roots.append(root)

    def flip():
        os.rmdir(flipping / "inner")
        os.mkdir(flipping / "inner")

    def worker(seed):
        def work():
            order = random.Random(seed)
            for _ in range(60):
                for path in order.sample(paths, len(paths)):
                    assert native.normalize_path(path) == expected_paths[path]
                assert native.normalize_path(flipping_path) in flipping_answers
                path = order.choice(paths[:5])
                digest = hashlib.sha1(expected_paths[path].encode()).hexdigest()[:12]
                assert native.path_fingerprint(path) == digest
            # The first resolutions of each root race each other.
            for number in order.sample(range(ROOTS), ROOTS):
                assert native.resolve_project_id(str(roots[number])) == f"project-{number}"
        return work

    run_together([worker(seed) for seed in range(THREADS)], meanwhile=[flip])


# ---------------------------------------------------------------------------
# One options object, set and read at once


def test_validation_options_set_in_one_thread_are_read_whole_in_the_others(tmp_path):
    worktree = tmp_path.resolve()
    binding = make_binding(worktree, "s")
    options = native.PyBindingValidationOptions()
    # The verdict for each setting of the two flags.
    verdicts = {}
    for require_env_worktree in (False, True):
        for require_git_state in (False, True):
            result = native.validate_binding(
                binding, cwd=str(worktree), env={}, check_git=False,
                options=native.PyBindingValidationOptions(require_env_worktree=require_env_worktree,
                                                          require_git_state=require_git_state))
            verdicts[(require_env_worktree, require_git_state)] = (result.ok, result.reason_code)

    def set_flags():
        for value in (True, False):
            options.require_env_worktree = value
            options.require_git_state = not value
        with pytest.raises(TypeError):
            options.require_env_worktree = 1
        with pytest.raises(AttributeError):
            del options.require_git_state

    def reader():
        for _ in range(2000):
            flags = (options.require_env_worktree, options.require_git_state)
            assert all(type(flag) is bool for flag in flags)
            result = native.validate_binding(binding, cwd=str(worktree), env={}, check_git=False, options=options)
            assert (result.ok, result.reason_code) in verdicts.values()
            assert result.binding.to_dict() == binding.to_dict()

    run_together([reader] * (THREADS - 2), meanwhile=[set_flags, set_flags])


# ---------------------------------------------------------------------------
# One environment dict, changed while it is read


def test_an_environment_dict_changed_by_another_thread_is_read_as_one_of_its_states(repo, linked):
    registered = native.register_binding(session_id="s1", worktree_path=str(linked), branch="feature",
                                         repo_root=str(repo))
    env = {"QUORBEL_WORKTREE": str(linked), "QUORBEL_BRANCH": "feature"}

    def validate():
        return native.validate_current_binding(repo_root=str(repo), session_id="s1", cwd=str(linked), env=env,
                                               require_env_worktree=True)

    # The verdict of every state the changes below pass through.
    verdicts = set()
    for branch in ("feature", "other"):
        for worktree in (str(linked), None):
            for other in ("text", 1, None):
                env.clear()
                env.update({"QUORBEL_BRANCH": branch, "QUORBEL_WORKTREE": worktree, "OTHER": other})
                for name in [name for name, value in env.items() if value is None]:
                    del env[name]
                result = validate()
                verdicts.add((result.ok, result.reason_code))
    env.clear()
    env.update({"QUORBEL_WORKTREE": str(linked), "QUORBEL_BRANCH": "feature"})
    assert len(verdicts) > 1
    steps = itertools.count()

    def noise_name(step, index):
        return f"NOISE_{step}_{index}_é"

    def change():
        # Each text made anew and not ASCII, so its UTF-8 form is made on its
        # first read, by a validating thread or the one below; the dict alone
        # holds the names and values it adds, which grow and shrink it.
        step = next(steps)
        env["QUORBEL_BRANCH"] = "other" if step % 2 else "feature"
        for index in range(32):
            env[noise_name(step, index)] = f"välue {step} {index}"
        env["OTHER"] = 1 if step % 3 == 0 else f"tëxt {step}"
        del env["QUORBEL_WORKTREE"]
        for index in range(32):
            del env[noise_name(step, index)]
        env["QUORBEL_WORKTREE"] = str(linked)

    def convert_values():
        for value in list(env.values()):
            if isinstance(value, str):
                native.path_fingerprint(value)

    def validator():
        for _ in range(40):
            result = validate()
            assert (result.ok, result.reason_code) in verdicts
            assert result.binding.to_dict() == registered.to_dict()

    run_together([validator] * (THREADS - 2), meanwhile=[change, convert_values])


# ---------------------------------------------------------------------------
# Objects created on first use


def test_threads_that_first_need_a_cached_class_at_once_all_get_it(tmp_path):
    # pathlib.Path is looked up on the first listing that makes a Path, in a
    # fresh interpreter: here eight threads make that first one together.
    result = run_isolated(textwrap.dedent(f"""\
        import pathlib, threading, types
        import _worktree_runtime_native as native

        listing = types.SimpleNamespace(returncode=0, stdout="worktree /a\\n", stderr="")
        barrier = threading.Barrier({THREADS})
        entries = []

        def list_once():
            barrier.wait()
            entries.extend(native.list_worktrees("/a", run=lambda command, root: listing))

        threads = [threading.Thread(target=list_once) for _ in range({THREADS})]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert [type(entry.worktree) for entry in entries] == [pathlib.PosixPath] * {THREADS}, entries
        """), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
