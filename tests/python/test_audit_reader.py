"""Reading the audit log back: forgiving line parsing, filters, time window, order, PyAuditRecord."""

import datetime
import json
import os
import pathlib
import random
import sys
import weakref

import pytest

import _worktree_runtime_native as native
from conftest import run_isolated

ACTIVE = "worktree-events.ndjson"
UTC = datetime.UTC
PLUS_ONE = datetime.timezone(datetime.timedelta(hours=1))
FIELDS = ["schema_version", "timestamp", "kind", "session_id", "pid", "parent_pid", "cwd", "host", "invoker",
          "branch", "worktree_path", "outcome", "elapsed_ms", "correlation_id", "truncated", "extra"]


def entry(**fields):
    """A complete stored record; `fields` replace or (with value ...) remove keys."""
    values = {"branch": "main", "correlation_id": None, "cwd": "/home/dev/repo", "elapsed_ms": None, "extra": None,
              "host": "box", "invoker": "cli", "kind": "create", "outcome": "ok", "parent_pid": None, "pid": 4242,
              "schema_version": "v1", "session_id": None, "timestamp": "2025-03-04T05:06:07.123456789Z",
              "truncated": False, "worktree_path": "/home/dev/wt/a"}
    values.update(fields)
    return {key: value for key, value in values.items() if value is not ...}


def write_log(audit_dir, *lines, end=b"\n"):
    """Writes the active log: dicts as compact JSON lines, str and bytes as given."""
    audit_dir.mkdir(parents=True, exist_ok=True)
    encoded = []
    for line in lines:
        if isinstance(line, dict):
            line = json.dumps(line, separators=(",", ":"), ensure_ascii=False)
        encoded.append(line if isinstance(line, bytes) else line.encode())
    (audit_dir / ACTIVE).write_bytes(b"\n".join(encoded) + end)


def kinds(records):
    return [record.kind for record in records]


# What comes back


@pytest.mark.parametrize("state", ["no directory", "no log", "empty log", "blank lines", "log is a directory"])
def test_nothing_to_read(audit_dir, state):
    if state != "no directory":
        audit_dir.mkdir(parents=True)
    if state == "empty log":
        (audit_dir / ACTIVE).write_bytes(b"")
    elif state == "blank lines":
        (audit_dir / ACTIVE).write_bytes(b"\n \r\n\t\n")
    elif state == "log is a directory":
        (audit_dir / ACTIVE).mkdir()
    result = native.read_records()
    assert type(result) is list and result == []


def test_reads_back_what_was_recorded(audit_dir, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    native.record_event("worktree.remove", "feature/x", "/wt/x", "cli", "failed", session_id="s1", elapsed_ms=12,
                        correlation_id="c1", extra={"z": [1, 2.5, None], "a": {"é": True}})
    (record,) = native.read_records()
    stored = json.loads((audit_dir / ACTIVE).read_bytes())
    assert record.to_dict() == stored
    assert (record.pid, record.cwd, record.host, record.schema_version) == (os.getpid(), str(tmp_path.resolve()),
                                                                             "build-box", "v1")
    assert record.extra == {"a": {"é": True}, "z": [1, 2.5, None]}


def test_record_attributes(audit_dir):
    write_log(audit_dir, entry(session_id="s", parent_pid=-7, elapsed_ms=2**63 - 1, correlation_id="c",
                               truncated=True, extra={"k": [1, "two", {"x": None}]}, host="h", cwd="/c"))
    (record,) = native.read_records()
    assert type(record) is native.PyAuditRecord
    expected = {"schema_version": "v1", "timestamp": "2025-03-04T05:06:07.123456789Z", "kind": "create",
                "session_id": "s", "pid": 4242, "parent_pid": -7, "cwd": "/c", "host": "h", "invoker": "cli",
                "branch": "main", "worktree_path": "/home/dev/wt/a", "outcome": "ok", "elapsed_ms": 2**63 - 1,
                "correlation_id": "c", "truncated": True, "extra": {"k": [1, "two", {"x": None}]}}
    assert {name: getattr(record, name) for name in FIELDS} == expected
    as_dict = record.to_dict()
    assert type(as_dict) is dict and list(as_dict) == FIELDS and as_dict == expected
    assert type(record.pid) is int and type(record.truncated) is bool


def test_repr(audit_dir):
    write_log(audit_dir, entry(kind="create", branch="main", outcome="ok", timestamp="2025-03-04T05:06:07Z"))
    (record,) = native.read_records()
    assert repr(record) == "AuditRecord(kind=create, branch=main, outcome=ok, timestamp=2025-03-04T05:06:07Z)"


def test_repr_shows_values_unquoted(audit_dir):
    write_log(audit_dir, entry(kind='a "b"', branch="é, x", outcome="", timestamp="2025-03-04 05:06:07Z"))
    (record,) = native.read_records()
    assert repr(record) == 'AuditRecord(kind=a "b", branch=é, x, outcome=, timestamp=2025-03-04 05:06:07Z)'


def test_extra_is_a_new_object_at_every_read(audit_dir):
    write_log(audit_dir, entry(extra={"list": [1, 2], "n": 1.5}))
    (record,) = native.read_records()
    first = record.extra
    first["list"].append(3)
    second = record.extra
    assert second == {"list": [1, 2], "n": 1.5} and second is not first
    assert record.to_dict()["extra"] is not record.to_dict()["extra"]
    assert record.timestamp == record.timestamp


@pytest.mark.parametrize(("stored", "extra"), [(None, None), (..., None), ([], []), ("s", "s"), (0, 0),
                                               (False, False), ({"a": {}}, {"a": {}})])
def test_extra_forms(audit_dir, stored, extra):
    write_log(audit_dir, entry(extra=stored))
    (record,) = native.read_records()
    assert record.extra == extra and type(record.extra) is type(extra)


def test_extra_lets_a_failed_json_import_propagate(audit_dir, monkeypatch):
    write_log(audit_dir, entry(extra={"a": 1}))
    (record,) = native.read_records()
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError, match="json"):
        record.extra


def test_record_class_shape(audit_dir):
    write_log(audit_dir, entry())
    (record,) = native.read_records()
    cls = native.PyAuditRecord
    assert cls.__module__ == "worktree_runtime.api" and cls.__name__ == "PyAuditRecord"
    assert cls.to_dict.__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        record.kind = "other"
    with pytest.raises(AttributeError):
        record.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(record)
    assert not hasattr(record, "__dict__")
    (again,) = native.read_records()
    assert again is not record and again != record


# Lines that are and are not records


@pytest.mark.parametrize(
    "line",
    [
        "",
        "   \t",
        "not json",
        "[1, 2]",
        '"text"',
        "42",
        "null",
        '{"kind": "create"}',
        entry(outcome=...),
        entry(kind=...),
        entry(timestamp=...),
        entry(invoker=...),
        entry(branch=...),
        entry(worktree_path=...),
        entry(pid=...),
        entry(pid="4242"),
        entry(pid=1.5),
        entry(pid=2**63),
        entry(pid=-(2**63) - 1),
        entry(pid=2**64),
        entry(pid=None),
        entry(kind=None),
        entry(outcome=1),
        entry(branch=["main"]),
        entry(timestamp="yesterday"),
        entry(timestamp=1741064767),
        entry(timestamp="2025-03-04T05:06:07"),  # no offset
        entry(timestamp="2025-02-30T05:06:07Z"),
        entry(timestamp="2025-03-04T25:06:07Z"),
        json.dumps(entry()) + " x",
        json.dumps(entry()) + json.dumps(entry()),
        json.dumps(entry())[:-1] + ',}',
        json.dumps(entry())[:-1],
        json.dumps(entry(extra=float("nan"))),  # NaN is not JSON
        "// " + json.dumps(entry()),
        "\ufeff" + json.dumps(entry()),  # a byte-order mark is not white space
        entry(timestamp="2025-03-04T05:06:07.Z"),
        json.dumps(entry(kind="first")) + '\r' + json.dumps(entry(kind="second")),
        # Repeated keys: the last one counts.
        json.dumps(entry())[:-1] + ',"pid":"late"}',
        json.dumps(entry())[:-1] + ',"timestamp":"late"}',
    ],
)
def test_lines_that_are_skipped(audit_dir, line):
    write_log(audit_dir, entry(kind="before", timestamp="2025-03-04T05:06:07Z"), line,
              entry(kind="after", timestamp="2025-03-04T05:06:08Z"))
    assert kinds(native.read_records()) == ["before", "after"]


@pytest.mark.parametrize(
    ("line", "attribute", "value"),
    [
        (entry(schema_version=..., cwd=..., host=...), "to_dict", {"schema_version": "", "cwd": "", "host": ""}),
        (entry(schema_version=2, cwd=None, host=["h"]), "to_dict", {"schema_version": "", "cwd": "", "host": ""}),
        (entry(session_id=5, correlation_id=False), "to_dict", {"session_id": None, "correlation_id": None}),
        (entry(parent_pid="1", elapsed_ms=1.5), "to_dict", {"parent_pid": None, "elapsed_ms": None}),
        (entry(parent_pid=2**63, elapsed_ms=2**64), "to_dict", {"parent_pid": None, "elapsed_ms": None}),
        (entry(elapsed_ms=-(2**63) - 1), "elapsed_ms", None),
        (entry(parent_pid=-(2**63), elapsed_ms=-5), "to_dict", {"parent_pid": -(2**63), "elapsed_ms": -5}),
        (entry(truncated="true"), "truncated", False),
        (entry(truncated=1), "truncated", False),
        (entry(truncated=...), "truncated", False),
        (entry(pid=-(2**63)), "pid", -(2**63)),
        (entry(pid=2**63 - 1), "pid", 2**63 - 1),
        (entry(kind=""), "kind", ""),
        (entry(unknown={"x": 1}, schema_version="v9"), "schema_version", "v9"),
        (json.dumps(entry(kind="first"))[:-1] + ',"kind":"last"}', "kind", "last"),
        (json.dumps(entry())[:-1] + ',"extra":{"b":1}}', "extra", {"b": 1}),
        (json.dumps(entry(kind="x\u2028y\u00e9")), "kind", "x\u2028y\u00e9"),
        (json.dumps(entry(kind="\ud83d\ude00")), "kind", "😀"),  # escaped surrogate pair
        (json.dumps(entry(timestamp="2025-03-04 05:06:07Z")), "timestamp", "2025-03-04 05:06:07Z"),
        (json.dumps(entry(timestamp="2025-03-04t05:06:07.5+05:30")), "timestamp", "2025-03-04t05:06:07.5+05:30"),
    ],
)
def test_lenient_fields(audit_dir, line, attribute, value):
    write_log(audit_dir, line)
    (record,) = native.read_records()
    if attribute == "to_dict":
        as_dict = record.to_dict()
        assert {key: as_dict[key] for key in value} == value
    else:
        assert getattr(record, attribute) == value


@pytest.mark.parametrize(
    ("content", "expected"),
    [
        ((json.dumps(entry(kind="a")) + "\r\n" + json.dumps(entry(kind="b")) + "\r\n").encode(), ["a", "b"]),
        ((json.dumps(entry(kind="a")) + "\n" + json.dumps(entry(kind="b"))).encode(), ["a", "b"]),  # no final LF
        (("\u00a0 \t" + json.dumps(entry(kind="a")) + "\u3000\u2003\r\n").encode(), ["a"]),  # Unicode blanks
        (("\n\n" + json.dumps(entry(kind="a")) + "\n\n\n").encode(), ["a"]),
        (("  " + json.dumps(entry(kind="a"), indent=None, separators=(" , ", " : ")) + " ").encode(), ["a"]),
    ],
)
def test_line_splitting_and_trimming(audit_dir, content, expected):
    audit_dir.mkdir(parents=True)
    (audit_dir / ACTIVE).write_bytes(content)
    assert kinds(native.read_records()) == expected


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit")
def test_blank_lines_cost_no_memory_per_line(audit_dir):
    # Ten million blank lines make no records, and no room is set aside for
    # them: the read fits in 1 GiB of address space.
    audit_dir.mkdir(parents=True)
    (audit_dir / ACTIVE).write_bytes(b"\n" * 10_000_000)
    result = run_isolated("import _worktree_runtime_native as native; print(len(native.read_records()))",
                          memory_bytes=1 << 30)
    assert (result.returncode, result.stdout.strip()) == (0, "0"), result.stderr


@pytest.mark.parametrize(
    "bad",
    [
        b"\xff",                          # never valid
        b"\xc0\xaf",                      # over-long form
        b"\xed\xa0\x80",                  # a surrogate
        b"\xf4\x90\x80\x80",              # beyond U+10FFFF
        b"\xe4\xb8",                      # a character cut short
    ],
)
@pytest.mark.parametrize("where", ["own line", "inside a record", "after the last line feed", "first byte"])
def test_any_invalid_utf8_gives_nothing(audit_dir, bad, where):
    good = json.dumps(entry()).encode() + b"\n"
    if where == "own line":
        content = good + bad + b"\n" + good
    elif where == "inside a record":
        content = good + json.dumps(entry(kind="KIND")).encode().replace(b"KIND", b"K" + bad) + b"\n" + good
    elif where == "after the last line feed":
        content = good + good + bad
    else:
        content = bad + b"\n" + good
    audit_dir.mkdir(parents=True)
    (audit_dir / ACTIVE).write_bytes(content)
    assert native.read_records() == []


# Order


def test_sorted_by_timestamp_text_with_ties_in_file_order(audit_dir):
    write_log(
        audit_dir,
        entry(kind="late", timestamp="2025-03-04T05:06:09Z"),
        entry(kind="tie-1", timestamp="2025-03-04T05:06:08Z"),
        entry(kind="whole", timestamp="2025-03-04T05:06:07Z"),
        entry(kind="tie-2", timestamp="2025-03-04T05:06:08Z"),
        entry(kind="half", timestamp="2025-03-04T05:06:07.5Z"),
        entry(kind="early", timestamp="2024-12-31T23:59:59.999999999Z"),
        entry(kind="tie-3", timestamp="2025-03-04T05:06:08Z"),
    )
    # "." sorts before "Z": the record at 07.5 comes before the one at 07.
    assert kinds(native.read_records()) == ["early", "half", "whole", "tie-1", "tie-2", "tie-3", "late"]


def test_order_of_a_shuffled_log_is_a_stable_sort_by_timestamp_text(audit_dir):
    generator = random.Random(7)
    stamps = [f"2025-03-04T05:06:{second:02d}{fraction}Z" for second in range(8) for fraction in ("", ".5", ".25")]
    entries = [entry(kind=f"k{index}", timestamp=generator.choice(stamps)) for index in range(600)]
    write_log(audit_dir, *entries)
    expected = [item["kind"] for item in sorted(entries, key=lambda item: item["timestamp"])]
    assert kinds(native.read_records()) == expected


def test_other_offsets_sort_by_text_but_filter_by_instant(audit_dir):
    write_log(
        audit_dir,
        entry(kind="plus-one", timestamp="2025-03-04T06:06:07+01:00"),   # 05:06:07 UTC
        entry(kind="utc", timestamp="2025-03-04T05:30:00Z"),
        entry(kind="minus", timestamp="2025-03-04T01:00:00-05:00"),    # 06:00:00 UTC
    )
    assert kinds(native.read_records()) == ["minus", "utc", "plus-one"]
    assert kinds(native.read_records(since=datetime.datetime(2025, 3, 4, 5, 6, 7))) == ["minus", "utc", "plus-one"]
    assert kinds(native.read_records(since=datetime.datetime(2025, 3, 4, 5, 6, 8))) == ["minus", "utc"]
    assert kinds(native.read_records(until=datetime.datetime(2025, 3, 4, 5, 59, 59))) == ["utc", "plus-one"]


# Filters


def test_branch_and_worktree_filters_compare_exact_text(audit_dir):
    write_log(
        audit_dir,
        entry(kind="1", branch="main", worktree_path="/w/a"),
        entry(kind="2", branch="Main", worktree_path="/w/a"),
        entry(kind="3", branch="main ", worktree_path="/w/a/"),
        entry(kind="4", branch="main", worktree_path="/W/a"),
        entry(kind="5", branch="feature", worktree_path="/w/a"),
        entry(kind="6", branch="main", worktree_path="/w/./a"),
        entry(kind="7", branch="main", worktree_path="/w/a"),
    )
    assert kinds(native.read_records("main")) == ["1", "4", "6", "7"]
    assert kinds(native.read_records(worktree_path="/w/a")) == ["1", "2", "5", "7"]
    assert kinds(native.read_records("main", "/w/a")) == ["1", "7"]
    assert kinds(native.read_records(branch="main ")) == ["3"]
    assert native.read_records("nothing") == []
    assert kinds(native.read_records("", None)) == []


RECORDS = [
    entry(kind="a", timestamp="2025-03-04T05:06:06Z"),
    entry(kind="b", timestamp="2025-03-04T05:06:07Z"),
    entry(kind="c", timestamp="2025-03-04T05:06:07.0000005Z"),
    entry(kind="d", timestamp="2025-03-04T06:06:08+01:00"),  # 05:06:08 UTC
    entry(kind="e", timestamp="2025-03-04T05:06:09Z"),
]
EVERYTHING = ["a", "c", "b", "e", "d"]


class IsoFormat:
    def __init__(self, result):
        self.result = result

    def isoformat(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


@pytest.mark.parametrize(
    ("since", "until", "expected"),
    [
        (None, None, EVERYTHING),
        (datetime.datetime(2025, 3, 4, 5, 6, 7), None, ["c", "b", "e", "d"]),  # naive means UTC, inclusive
        (datetime.datetime(2025, 3, 4, 5, 6, 7, tzinfo=UTC), None, ["c", "b", "e", "d"]),
        (datetime.datetime(2025, 3, 4, 6, 6, 7, tzinfo=PLUS_ONE), None, ["c", "b", "e", "d"]),
        (None, datetime.datetime(2025, 3, 4, 5, 6, 7, tzinfo=PLUS_ONE), []),  # an hour earlier
        (None, datetime.datetime(2025, 3, 4, 6, 6, 7, tzinfo=PLUS_ONE), ["a", "b"]),
        (datetime.datetime(2025, 3, 4, 5, 6, 7), datetime.datetime(2025, 3, 4, 5, 6, 7), ["b"]),
        (datetime.datetime(2025, 3, 4, 5, 6, 8), None, ["e", "d"]),
        (None, datetime.datetime(2025, 3, 4, 5, 6, 8), ["a", "c", "b", "d"]),
        (datetime.datetime(2025, 3, 4, 5, 6, 7, 1), None, ["e", "d"]),  # c lies within the first microsecond
        (datetime.datetime(2025, 3, 4, 5, 6, 9), datetime.datetime(2025, 3, 4, 5, 6, 6), []),
        (datetime.datetime.min, datetime.datetime.max, EVERYTHING),
        (datetime.datetime.min.replace(tzinfo=datetime.timezone(datetime.timedelta(hours=14))), None, EVERYTHING),
        (datetime.datetime.max, None, []),
        (None, datetime.datetime.min, []),
        # Not date-times: no bound.
        ("2030-01-01T00:00:00", None, EVERYTHING),
        (None, "2000-01-01T00:00:00Z", EVERYTHING),
        (datetime.date(2030, 1, 1), datetime.date(2000, 1, 1), EVERYTHING),
        (5, 2.5, EVERYTHING),
        (datetime.time(12, 0), None, EVERYTHING),
        (IsoFormat(ValueError("no")), IsoFormat(b"2000-01-01T00:00:00Z"), EVERYTHING),
        (IsoFormat("2025-03-04 05:06:08"), None, EVERYTHING),  # no offset needs the "T" form
        (IsoFormat("2025-02-30T00:00:00Z"), None, EVERYTHING),
        # Any object whose isoformat() gives a date-time text.
        (IsoFormat("2025-03-04T05:06:08Z"), None, ["e", "d"]),
        (IsoFormat("2025-03-04 05:06:08+00:00"), None, ["e", "d"]),
        (IsoFormat("2025-03-04t04:06:08-01:00"), None, ["e", "d"]),
        (IsoFormat("2025-03-04T05:06:07.0000004"), None, ["c", "e", "d"]),
        (None, IsoFormat("2025-03-04T05:06:07.0000005Z"), ["a", "c", "b"]),
    ],
)
def test_time_window(audit_dir, far_time_zone, since, until, expected):
    write_log(audit_dir, *RECORDS)
    assert kinds(native.read_records(since=since, until=until)) == expected


def test_arguments_by_position(audit_dir):
    write_log(audit_dir, *RECORDS)
    assert kinds(native.read_records("main", "/home/dev/wt/a", datetime.datetime(2025, 3, 4, 5, 6, 9),
                                     None)) == ["e"]


@pytest.mark.parametrize(("arguments", "parameter"), [({"branch": pathlib.Path("main")}, "branch"),
                                                      ({"worktree_path": pathlib.Path("/w")}, "worktree_path"),
                                                      ({"branch": 1}, "branch"),
                                                      ({"worktree_path": b"/w"}, "worktree_path")])
def test_text_filters_take_str_only(audit_dir, arguments, parameter):
    with pytest.raises(TypeError) as raised:
        native.read_records(**arguments)
    assert any(parameter in note for note in raised.value.__notes__)


def test_binding_errors():
    with pytest.raises(TypeError):
        native.read_records(None, None, None, None, None)
    with pytest.raises(TypeError):
        native.read_records(branches="main")


def test_each_call_reads_the_file_anew(audit_dir):
    write_log(audit_dir, entry(kind="one"))
    first = native.read_records()
    write_log(audit_dir, entry(kind="one"), entry(kind="two"))
    second = native.read_records()
    assert kinds(first) == ["one"] and kinds(second) == ["one", "two"] and first is not second


# Archives


def test_archives_are_never_read(audit_dir):
    write_log(audit_dir, entry(kind="active"))
    for name in ("worktree-events.2025-03.ndjson", "worktree-events.2025-03.2.ndjson", "worktree-events.ndjson.1"):
        (audit_dir / name).write_text(json.dumps(entry(kind="archived")) + "\n")
    assert kinds(native.read_records()) == ["active"]


def test_rotated_records_no_longer_appear(audit_dir):
    native.record_event("before", "main", "/w", "cli", "ok")
    with open(audit_dir / ACTIVE, "ab") as handle:
        handle.write(b"\n")
        handle.truncate(10 * 1024 * 1024)  # sparse filler of NUL bytes: lines that are skipped
    assert kinds(native.read_records()) == ["before"]
    native.record_event("rotating", "main", "/w", "cli", "ok")
    assert any(name.name != ACTIVE for name in audit_dir.iterdir())
    assert native.read_records() == []
    native.record_event("after", "main", "/w", "cli", "ok")
    assert kinds(native.read_records()) == ["after"]
