"""The binding store file: location, byte layout, forgiving reads, whole-file replacement."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _worktree_runtime_native as native
from conftest import run_isolated

Binding = native.PyWorktreeBinding
Store = native.PyWorktreeBindingStore

STORE_RELATIVE = ".quorbel/state/worktree-runtime/bindings.json"


def store_file(root):
    return pathlib.Path(root) / STORE_RELATIVE


def make_binding(root, session_id, branch="main", commit_ish="", schema_version=None):
    return Binding(session_id, str(root), branch, f"{root}/state/{session_id}", f"{root}/.git", str(root),
                   commit_ish, schema_version)


def entry(root, session_id, branch="main", commit_ish=""):
    """The stored JSON object of make_binding's binding."""
    return make_binding(root, session_id, branch, commit_ish).to_dict()


def render(document):
    """The store's text layout: sorted keys, two-space indentation, raw UTF-8, one final line feed."""
    return json.dumps(document, indent=2, sort_keys=True, ensure_ascii=False) + "\n"


def session_ids(bindings):
    return [binding.session_id for binding in bindings]


def temporary_files(directory):
    return sorted(path.name for path in pathlib.Path(directory).rglob(".tmp*"))


@pytest.fixture
def store(repo):
    return Store(repo_root=str(repo))


def write_store(repo, content):
    path = store_file(repo)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return path


# ---------------------------------------------------------------------------
# Location


def test_store_of_the_main_worktree(repo, store):
    assert store.repo_root == str(repo)
    assert store.path == str(store_file(repo))


def test_linked_and_main_worktree_share_one_store(repo, linked):
    from_linked = Store(repo_root=str(linked / "."))
    from_main = Store(repo_root=str(repo))
    assert (from_linked.repo_root, from_linked.path) == (from_main.repo_root, from_main.path)
    from_linked.upsert(make_binding(linked, "from-linked", "feature"))
    from_main.upsert(make_binding(repo, "from-main"))
    assert session_ids(from_main.list()) == session_ids(from_linked.list()) == ["from-linked", "from-main"]
    assert not (linked / ".quorbel").exists()


def test_store_location_follows_the_main_worktrees_project_identifier(repo, linked):
    (repo / "pyproject.toml").write_text('[tool.velmorin]\nproject_id = "proj"\n')
    store = Store(repo_root=str(linked))
    assert store.path == f"{repo}/.proj/state/worktree-runtime/bindings.json"


def test_store_root_is_normalised_and_falls_back_to_the_text_outside_a_repository(outside, tmp_path):
    (tmp_path / "alias").symlink_to(outside)
    store = Store(repo_root=str(tmp_path / "alias") + "/")
    assert store.repo_root == str(outside.resolve())
    assert store.path == str(store_file(outside.resolve()))
    assert store.list() == [] and store.load("s") is None and store.remove("s") is None
    assert os.listdir(outside) == []


class PathLike:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Failing:
    def __fspath__(self):
        raise RuntimeError("refused")


def test_store_root_accepts_str_and_path_like_objects(repo):
    expected = str(store_file(repo))
    assert Store(repo_root=repo).path == expected
    assert Store(repo_root=PathLike(str(repo))).path == expected
    assert Store(repo_root=str(repo)).path == expected


@pytest.mark.parametrize(
    ("value", "exception"),
    [(42, AttributeError), (None, AttributeError), (PathLike(b"/tmp"), TypeError), (b"/tmp", AttributeError),
     (Failing(), RuntimeError)],
)
def test_store_root_refuses_what_is_not_path_like(value, exception):
    with pytest.raises(exception) as raised:
        Store(repo_root=value)
    assert type(raised.value) is exception


def test_store_constructor_binding_and_class_shape(repo, store):
    with pytest.raises(TypeError):
        Store(str(repo))
    with pytest.raises(TypeError):
        Store()
    with pytest.raises(TypeError):
        type("Sub", (Store,), {})
    for name in ("repo_root", "path"):
        with pytest.raises(AttributeError):
            setattr(store, name, "/x")
    assert Store.__module__ == "worktree_runtime.api"
    assert Store.__text_signature__ == "(*, repo_root)"
    assert [Store.load.__text_signature__, Store.upsert.__text_signature__, Store.list.__text_signature__,
            Store.remove.__text_signature__] == [
        "($self, session_id)", "($self, binding)", "($self)", "($self, session_id)"]


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda store: store.upsert({"session_id": "s"}), "binding"),
        (lambda store: store.upsert(None), "binding"),
        (lambda store: store.load(None), "session_id"),
        (lambda store: store.remove(1), "session_id"),
    ],
)
def test_method_argument_errors(store, call, parameter):
    with pytest.raises(TypeError) as raised:
        call(store)
    assert parameter in raised.value.__notes__[0]


# ---------------------------------------------------------------------------
# Byte layout


def test_nothing_is_created_until_the_first_upsert(repo, store):
    assert store.list() == []
    assert store.load("s1") is None
    assert store.remove("s1") is None
    assert not (repo / ".quorbel").exists()


def test_first_upsert_writes_the_exact_layout(repo, store):
    binding = Binding("s1", str(repo), "feat/ü\x7f", f"{repo}/state", f"{repo}/.git", str(repo),
                      'a"b\\c/\b\f\n\r\t\x00\x01\x1b\x1f', 7)
    assert store.upsert(binding) is None
    assert store_file(repo).read_bytes().decode() == textwrap.dedent(f"""\
        {{
          "bindings": [
            {{
              "branch": "feat/ü\x7f",
              "commit_ish": "a\\"b\\\\c/\\b\\f\\n\\r\\t\\u0000\\u0001\\u001b\\u001f",
              "git_common_dir": "{repo}/.git",
              "main_worktree": "{repo}",
              "schema_version": 2,
              "session_id": "s1",
              "state_path": "{repo}/state",
              "worktree": "{repo}"
            }}
          ],
          "schema_version": 2
        }}
        """)
    loaded = store.load("s1")
    assert (loaded.commit_ish, loaded.branch, loaded.schema_version) == (binding.commit_ish, binding.branch, 2)


def test_upsert_carries_foreign_members_and_invalid_entries_through(repo, store):
    valid = entry(repo, "old")
    write_store(repo, textwrap.dedent("""\
        {"z": {"b": [1, -2, 2.5, null, true, false, "\\u00e9\\ud83d\\ude00"], "a": {}},
         "bindings": [{"session_id": "bad", "z": 1, "a": 2}, 7, [], "text", null,
                      %s, {"worktree": "/no-session"}],
         "\\u00e9": [], "A": 1, "schema_version": 1}
        """) % json.dumps(valid))
    assert session_ids(store.list()) == ["old"]
    store.upsert(make_binding(repo, "new"))
    expected = {
        "z": {"b": [1, -2, 2.5, None, True, False, "é😀"], "a": {}},
        "bindings": [{"session_id": "bad", "z": 1, "a": 2}, 7, [], "text", None, valid, {"worktree": "/no-session"},
                     entry(repo, "new")],
        "é": [], "A": 1, "schema_version": 2,
    }
    text = store_file(repo).read_bytes().decode()
    assert text == render(expected)
    # Keys in byte order, empty containers closed on their line, non-ASCII unescaped.
    top_level = [line for line in text.splitlines() if line.startswith('  "')]
    assert top_level == ['  "A": 1,', '  "bindings": [', '  "schema_version": 2,', '  "z": {', '  "é": []']
    assert '"a": {}' in text and "[]," in text and "é😀" in text


def test_bindings_member_that_is_not_an_array(repo, store):
    write_store(repo, '{"bindings": "oops", "keep": {"x": 1}, "schema_version": 9}')
    assert store.list() == [] and store.load("s") is None
    store.upsert(make_binding(repo, "s"))
    assert store_file(repo).read_text() == render(
        {"bindings": [entry(repo, "s")], "keep": {"x": 1}, "schema_version": 2})


def test_missing_bindings_member_is_added(repo, store):
    write_store(repo, '{"other": true}')
    store.upsert(make_binding(repo, "s"))
    assert json.loads(store_file(repo).read_text()) == {"bindings": [entry(repo, "s")], "other": True,
                                                         "schema_version": 2}


@pytest.mark.parametrize(
    "content",
    [
        b"[]",
        b"null",
        b"{",
        b"",
        b"\xff\xfe{}",
        b'{"bindings": [], "x": "\xc3"}',       # invalid UTF-8 inside an otherwise valid document
        b'{"bindings": []} {}',                   # two values
        b'{"bindings": [],}',                     # trailing comma
        b'// comment\n{"bindings": []}',
        b'{"bindings": [NaN]}',
        b'"text"',
    ],
)
def test_malformed_store_reads_as_empty_and_is_replaced_by_the_next_upsert(repo, store, content):
    write_store(repo, content)
    assert store.list() == [] and store.load("s") is None and store.remove("s") is None
    store.upsert(make_binding(repo, "s"))
    assert store_file(repo).read_text() == render({"bindings": [entry(repo, "s")], "schema_version": 2})


def test_white_space_around_the_document_and_repeated_keys(repo, store):
    write_store(repo, " \n\t{\"bindings\": [%s], \"bindings\": [%s]}\r\n " % (
        json.dumps(entry(repo, "first")), json.dumps(entry(repo, "last"))))
    assert session_ids(store.list()) == ["last"]


def nested_member(depth):
    """A foreign top-level member that brings the document to `depth` levels of nesting."""
    return '"deep": ' + "[" * (depth - 1) + "]" * (depth - 1)


@pytest.mark.parametrize(
    "prefix, member, suffix, outcome",
    [
        (b"", nested_member(2048), b"", "read"),
        (b"", nested_member(2049), b"", "unreadable"),
        (b"", nested_member(60_000), b"", "unreadable"),
        (b"", '"big": 1180591620717411303424', b"", "read"),
        (b"", '"huge": [1e400, -1e400]', b"", "read"),
        (b"\xef\xbb\xbf", '"x": 1', b"", "malformed"),
        (b"", '"x": 1', b"\0\0\0", "malformed"),
        (b"", '"x": 1', b"\n\x0c", "malformed"),
    ],
    ids=["at-nesting-bound", "past-nesting-bound", "far-past-nesting-bound", "integer-past-64-bits",
         "number-past-double-range", "byte-order-mark", "trailing-nul", "trailing-form-feed"],
)
def test_every_operation_reads_a_document_the_same_way(repo, store, prefix, member, suffix, outcome):
    """A malformed store reads as empty and is replaced; one past a bound of its readers is unreadable: it reads as
    empty too, but nothing is ever written over it."""
    text = prefix + ('{"bindings": [%s], %s}' % (json.dumps(entry(repo, "s")), member)).encode() + suffix
    write_store(repo, text)
    readable = outcome == "read"
    assert (store.load("s") is not None) == readable
    assert session_ids(store.list()) == (["s"] if readable else [])
    assert session_ids(native.list_bindings(str(repo))) == (["s"] if readable else [])
    store.upsert(make_binding(repo, "other"))
    assert session_ids(store.list()) == {"read": ["s", "other"], "malformed": ["other"], "unreadable": []}[outcome]
    assert (store.remove("s") is not None) == readable
    if outcome == "unreadable":
        assert store_file(repo).read_bytes() == text


def test_a_store_of_more_bindings_than_a_tree_once_held_reads_back_whole(repo, store):
    # 30,000 bindings are 270,000 values: a store the module's own upserts
    # grow to, which once read as malformed and was wiped by the next upsert.
    bindings = [entry(repo, f"session-{index:05}") for index in range(30_000)]
    write_store(repo, render({"bindings": bindings, "schema_version": 2}))
    assert len(store.list()) == 30_000
    assert store.load("session-29999").session_id == "session-29999"
    store.upsert(make_binding(repo, "one-more"))
    assert session_ids(store.list())[-2:] == ["session-29999", "one-more"]
    assert store.remove("session-00000").session_id == "session-00000"
    assert len(store.list()) == 30_000


# The values a store's readers take: a binding is nine of them.
VALUE_BOUND = 1 << 22


def test_a_rewrite_that_would_pass_the_value_bound_is_not_written(repo, store):
    # One binding (9 values), the root, "bindings", "schema_version" and a foreign array with its elements make
    # exactly the bound.
    foreign = VALUE_BOUND - 13
    text = render({"bindings": [entry(repo, "s")], "foreign": [0] * foreign, "schema_version": 2})
    write_store(repo, text)
    assert session_ids(store.list()) == ["s"]
    store.upsert(make_binding(repo, "other"))  # nine values more: it would not read back
    assert store_file(repo).read_text() == text
    store.upsert(make_binding(repo, "s", branch="replaced"))  # as many values as before
    assert [binding.branch for binding in store.list()] == ["replaced"]


def test_numbers_out_of_range_survive_a_rewrite_as_written(repo, store):
    write_store(repo, '{"bindings": [%s, {"session_id": "foreign", "n": [1e400, -2E+999, 1180591620717411303424]}],'
                      ' "schema_version": 2, "total": -1180591620717411303424}' % json.dumps(entry(repo, "s")))
    store.upsert(make_binding(repo, "other"))
    assert session_ids(store.list()) == ["s", "other"]
    text = store_file(repo).read_text()
    assert '"n": [\n        1e400,\n        -2E+999,\n        1180591620717411303424\n      ]' in text
    assert '"total": -1180591620717411303424\n}\n' in text


def test_a_document_at_the_nesting_bound_is_rewritten_in_a_few_megabytes(repo, store):
    write_store(repo, '{"bindings": [%s], %s}' % (json.dumps(entry(repo, "s")), nested_member(2048)))
    store.upsert(make_binding(repo, "other"))
    assert session_ids(store.list()) == ["s", "other"]
    assert store_file(repo).stat().st_size < 9 << 20


def test_a_deeply_nested_store_costs_neither_the_stack_nor_the_heap(repo, tmp_path):
    # Nested 100,000 levels deep, this 200 KB store once took the process
    # down or grew to gigabytes when read. Past the nesting bound, it is
    # unreadable and stays as it is.
    text = '{"bindings": [], %s}' % nested_member(100_000)
    write_store(repo, text)
    result = run_isolated(textwrap.dedent(f"""\
        import _worktree_runtime_native as native
        store = native.PyWorktreeBindingStore(repo_root={str(repo)!r})
        assert store.list() == [] and store.load("s") is None
        binding = native.PyWorktreeBinding("s", {str(repo)!r}, "main", "/state", "/git", {str(repo)!r})
        store.upsert(binding)
        assert store.list() == [] and store.load("s") is None
        """), memory_bytes=1 << 30)
    assert result.returncode == 0, result.stderr
    assert store_file(repo).read_text() == text


# ---------------------------------------------------------------------------
# Operations


def test_upsert_replaces_every_entry_of_the_session_by_one_at_the_end(repo, store):
    write_store(repo, json.dumps({"bindings": [
        entry(repo, "s1", commit_ish="v1"), entry(repo, "s2"), {"session_id": "s1", "branch": 3},
        entry(repo, "s1", commit_ish="v2"), entry(repo, " s1"), entry(repo, "S1"), entry(repo, "s3"),
    ], "schema_version": 2}))
    store.upsert(make_binding(repo, "s1", commit_ish="v3"))
    document = json.loads(store_file(repo).read_text())
    assert document["bindings"] == [entry(repo, "s2"), entry(repo, " s1"), entry(repo, "S1"), entry(repo, "s3"),
                                    entry(repo, "s1", commit_ish="v3")]
    store.upsert(make_binding(repo, "s2"))
    assert session_ids(store.list()) == [" s1", "S1", "s3", "s1", "s2"]


def test_upsert_normalises_the_path_fields_again(repo, store, tmp_path):
    later = tmp_path.resolve() / "later"
    binding = Binding("s", str(later), "main", str(later / "state"), str(later), str(repo))
    assert binding.worktree == str(later)
    later.symlink_to(repo)
    store.upsert(binding)
    stored = store.load("s")
    assert (stored.worktree, stored.state_path, stored.git_common_dir) == (str(repo), f"{repo}/state", str(repo))


def test_stored_schema_version_is_always_2(repo, store):
    store.upsert(make_binding(repo, "s", schema_version=7))
    assert json.loads(store_file(repo).read_text())["bindings"][0]["schema_version"] == 2
    assert store.load("s").schema_version == 2


def test_an_invalid_entry_hides_later_entries_of_its_session_from_load(repo, store):
    write_store(repo, json.dumps({"bindings": [
        {**entry(repo, "s"), "branch": " "}, entry(repo, "s", commit_ish="second"), entry(repo, "t"),
        {**entry(repo, "v"), "schema_version": 5},
    ]}))
    assert store.load("s") is None
    assert [(b.session_id, b.commit_ish) for b in store.list()] == [("s", "second"), ("t", ""), ("v", "")]
    assert store.load("v").schema_version == 5
    store.upsert(make_binding(repo, "u"))
    assert json.loads(store_file(repo).read_text())["bindings"][0] == {**entry(repo, "s"), "branch": " "}


def test_load_and_list_return_new_objects_and_match_session_ids_exactly(repo, store):
    store.upsert(make_binding(repo, "Sé"))
    assert store.load("Sé").to_dict() == entry(repo, "Sé")
    assert store.load("Sé") is not store.load("Sé")
    assert store.load("sé") is None and store.load("Sé ") is None
    listed = store.list()
    assert type(listed) is list and listed is not store.list()


def test_remove_takes_out_the_first_match_only(repo, store):
    write_store(repo, json.dumps({"bindings": [
        entry(repo, "s", commit_ish="1"), entry(repo, "t"), entry(repo, "s", commit_ish="2"),
    ], "extra": "kept", "schema_version": 1}))
    assert store.remove("s").commit_ish == "1"
    assert json.loads(store_file(repo).read_text()) == {
        "bindings": [entry(repo, "t"), entry(repo, "s", commit_ish="2")], "extra": "kept", "schema_version": 2}
    assert store.remove("s").commit_ish == "2"
    assert store.remove("t").session_id == "t"
    assert store_file(repo).read_text() == render({"bindings": [], "extra": "kept", "schema_version": 2})
    assert store.remove("s") is None


def test_remove_of_an_invalid_first_match_removes_it_and_returns_none(repo, store):
    write_store(repo, json.dumps({"bindings": [{"session_id": "s"}, entry(repo, "s")]}))
    assert store.remove("s") is None
    assert json.loads(store_file(repo).read_text())["bindings"] == [entry(repo, "s")]


def test_remove_of_an_unknown_session_does_not_write(repo, store):
    content = '{"bindings": [], "schema_version": 1}'
    path = write_store(repo, content)
    inode = path.stat().st_ino
    assert store.remove("s") is None
    assert path.read_text() == content and path.stat().st_ino == inode


def test_store_keeps_no_state_between_calls(repo, store):
    store.upsert(make_binding(repo, "s"))
    write_store(repo, json.dumps({"bindings": [entry(repo, "outside-change")]}))
    assert session_ids(store.list()) == ["outside-change"]
    assert session_ids(Store(repo_root=str(repo)).list()) == ["outside-change"]


# ---------------------------------------------------------------------------
# Failures


def test_an_unreadable_store_reads_as_empty_and_is_not_replaced(repo, store):
    path = store_file(repo)
    path.mkdir(parents=True)  # exists, but reading it fails
    (path / "precious").write_text("data")
    assert store.list() == [] and store.load("s") is None
    assert store.upsert(make_binding(repo, "s")) is None
    assert store.remove("s") is None
    assert path.is_dir() and (path / "precious").read_text() == "data"
    assert temporary_files(path.parent) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads a file whatever its mode")
def test_a_store_without_read_permission_is_not_replaced(repo, store):
    store.upsert(make_binding(repo, "s"))
    path = store_file(repo)
    before = path.read_bytes()
    path.chmod(0)
    try:
        assert store.list() == []
        store.upsert(make_binding(repo, "t"))
        assert store.remove("s") is None
    finally:
        path.chmod(0o644)
    assert path.read_bytes() == before
    assert temporary_files(path.parent) == []


def test_upsert_where_the_store_directory_cannot_be_made(repo, store):
    (repo / ".quorbel").mkdir()
    (repo / ".quorbel" / "state").write_text("a file where a directory belongs")
    assert store.upsert(make_binding(repo, "s")) is None
    assert store.list() == []
    assert (repo / ".quorbel" / "state").read_text() == "a file where a directory belongs"
    assert temporary_files(repo) == []


LIMITED_WRITER = """
import resource, signal, sys
import _worktree_runtime_native as native
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (16, 16))
store = native.PyWorktreeBindingStore(repo_root=sys.argv[1])
if sys.argv[2] == "upsert":
    print(store.upsert(native.PyWorktreeBinding("new", sys.argv[1], "main", sys.argv[1], "", sys.argv[1])))
else:
    print(store.remove("s").session_id)
"""


@pytest.mark.parametrize("operation", ["upsert", "remove"])
def test_a_failed_write_leaves_the_old_file_and_no_temporary_file(repo, store, operation):
    # Files above 16 bytes cannot be written in the child: writing the temporary file fails.
    store.upsert(make_binding(repo, "s"))
    before = store_file(repo).read_bytes()
    result = subprocess.run([sys.executable, "-c", LIMITED_WRITER, str(repo), operation],
                            capture_output=True, text=True, check=True)
    assert result.stdout == ("None\n" if operation == "upsert" else "s\n")
    assert store_file(repo).read_bytes() == before
    assert temporary_files(store_file(repo).parent) == []


# ---------------------------------------------------------------------------
# Several processes

CONCURRENT_WRITER = """
import os, sys, time
import _worktree_runtime_native as native
root, worker, go = sys.argv[1], sys.argv[2], sys.argv[3]
store = native.PyWorktreeBindingStore(repo_root=root)
while not os.path.exists(go):
    time.sleep(0.001)
for index in range(50):
    store.upsert(native.PyWorktreeBinding(f"w{worker}-{index}", root, "main", root + "/state", "", root))
"""


def test_concurrent_upserts_from_eight_processes_all_survive(repo, store, tmp_path):
    store.upsert(make_binding(repo, "before"))
    go = tmp_path / "go"
    workers = [subprocess.Popen([sys.executable, "-c", CONCURRENT_WRITER, str(repo), str(worker), str(go)])
               for worker in range(8)]
    go.touch()
    assert [worker.wait(timeout=300) for worker in workers] == [0] * 8
    listed = session_ids(store.list())
    assert len(listed) == 401 and len(set(listed)) == 401
    assert set(listed) == {"before"} | {f"w{w}-{i}" for w in range(8) for i in range(50)}
    for worker in range(8):  # each process appended its own sessions in order
        assert [s for s in listed if s.startswith(f"w{worker}-")] == [f"w{worker}-{i}" for i in range(50)]
    assert temporary_files(store_file(repo).parent) == []


ENDLESS_WRITER = """
import sys
import _worktree_runtime_native as native
root, index = sys.argv[1], int(sys.argv[2])
store = native.PyWorktreeBindingStore(repo_root=root)
while True:
    store.upsert(native.PyWorktreeBinding(f"k{index}", root, "main", root + "/state", "", root, "x" * 200))
    index += 1
"""


def test_writers_killed_at_random_points_leave_no_temporary_file_behind(repo, store):
    chance = random.Random(20261210)
    for kill in range(200):
        writer = subprocess.Popen([sys.executable, "-c", ENDLESS_WRITER, str(repo), str(kill * 1000)])
        time.sleep(chance.uniform(0.03, 0.06))
        writer.kill()
        writer.wait()
    store.upsert(make_binding(repo, "after"))
    assert temporary_files(store_file(repo).parent) == []
    assert session_ids(store.list())[-1] == "after"


def test_stale_temporary_files_of_the_stores_own_pattern_are_removed_under_its_lock(repo, store):
    directory = store_file(repo).parent
    directory.mkdir(parents=True)
    for name in (".tmpAb12Z9.tmp", ".tmp000000.tmp", ".tmpshort.tmp", ".tmpAb12Z9.tmp.keep", "notes.tmp"):
        (directory / name).write_text("x")
    store.upsert(make_binding(repo, "s"))
    assert sorted(p.name for p in directory.iterdir()) == [
        ".tmpAb12Z9.tmp.keep", ".tmpshort.tmp", "bindings.json", "bindings.json.lock", "notes.tmp"]


def test_a_link_in_place_of_the_lock_file_creates_nothing_and_writes_nothing_unlocked(repo, store, tmp_path):
    write_store(repo, '{"bindings": [%s]}' % json.dumps(entry(repo, "old")))
    before = store_file(repo).read_bytes()
    (store_file(repo).parent / "bindings.json.lock").symlink_to(tmp_path / "created-elsewhere")
    store.upsert(make_binding(repo, "s"))
    assert store.remove("old") is not None  # read as ever, but not written without the lock
    assert not (tmp_path / "created-elsewhere").exists()
    assert store_file(repo).read_bytes() == before


@pytest.mark.skipif(os.geteuid() == 0, reason="root opens a file whatever its mode")
def test_a_read_only_lock_file_still_locks(repo, store):
    lock = store_file(repo).parent / "bindings.json.lock"
    lock.parent.mkdir(parents=True)
    lock.touch()
    lock.chmod(0o444)
    store.upsert(make_binding(repo, "s"))
    assert session_ids(store.list()) == ["s"]


def test_a_rewrite_that_would_outgrow_what_a_store_may_be_is_not_written(repo, store):
    # 20,000 values 2,000 levels down: 44 KB that indentation would make
    # 80 MB, past what the store reads back.
    deep = "[" * 2000 + ",".join(["0"] * 20_000) + "]" * 2000
    write_store(repo, '{"bindings": [%s], "deep": %s}' % (json.dumps(entry(repo, "old")), deep))
    before = store_file(repo).read_bytes()
    store.upsert(make_binding(repo, "s"))
    assert store_file(repo).read_bytes() == before
    assert session_ids(store.list()) == ["old"]
    assert temporary_files(store_file(repo).parent) == []


def test_a_writer_killed_mid_way_leaves_a_whole_document(repo, store):
    # A large document makes each write long enough for the kill to land during one.
    old = [entry(repo, f"old{index}", commit_ish="y" * 500) for index in range(300)]
    write_store(repo, json.dumps({"bindings": old, "keep": [1, 2], "schema_version": 2}))
    written = []
    for wanted in (3, 40):
        writer = subprocess.Popen([sys.executable, "-c", ENDLESS_WRITER, str(repo), str(len(written))])
        try:
            deadline = time.monotonic() + 120
            while (time.monotonic() < deadline
                   and store_file(repo).read_bytes().count(b'"session_id": "k') < len(written) + wanted):
                time.sleep(0.001)
        finally:
            writer.send_signal(signal.SIGKILL)
            writer.wait()
        with store_file(repo).open(encoding="utf-8") as file:
            document = json.load(file)
        assert document["keep"] == [1, 2] and document["schema_version"] == 2
        assert document["bindings"][:300] == old
        before = len(written)
        written = [item["session_id"] for item in document["bindings"][300:]]
        # The old document or a newer one: every upsert that finished, in order, and nothing torn.
        assert written == [f"k{index}" for index in range(len(written))]
        assert len(written) >= before + wanted
    # The kill left no lock behind: this process can still change the store.
    store.upsert(make_binding(repo, "after"))
    assert session_ids(store.list())[-1] == "after"
