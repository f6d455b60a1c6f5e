"""The audit line: exact text, key order, escapes, the 4096-byte limit and its shortening, payload warnings."""

import datetime
import json
import os
import re
import time

import pytest

import _worktree_runtime_native as native
from conftest import record

LINE_LIMIT = 4096
KEYS = ["branch", "correlation_id", "cwd", "elapsed_ms", "extra", "host", "invoker", "kind", "outcome",
        "parent_pid", "pid", "schema_version", "session_id", "timestamp", "truncated", "worktree_path"]
TIMESTAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.(\d{3}|\d{6}|\d{9}))?Z")
# The length of a stamp with nine fraction digits, the usual shape of a clock reading.
FULL_STAMP = "2025-03-04T05:06:07.123456789Z"
WARNING = "[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys="


def raw_lines(audit_dir):
    content = (audit_dir / "worktree-events.ndjson").read_bytes()
    assert content.endswith(b"\n")
    return [line + b"\n" for line in content[:-1].split(b"\n")]


def last_line(audit_dir):
    return raw_lines(audit_dir)[-1]


def last_record(audit_dir):
    return json.loads(last_line(audit_dir))


def stamp_of(line):
    return re.search(rb'"timestamp":"([^"]*)"', line).group(1).decode()


def render(fields):
    """The line layout: compact JSON, keys in byte order, raw UTF-8, one line feed."""
    return json.dumps(fields, sort_keys=True, separators=(",", ":"), ensure_ascii=False) + "\n"


def stamped(kind="worktree.create", branch="main", worktree_path="/home/dev/wt/a", invoker="cli", outcome="ok",
            session_id=None, elapsed_ms=None, correlation_id=None, extra=None, truncated=False):
    """The record this process would write for these caller values, with a nine-digit stamp."""
    return {"branch": branch, "correlation_id": correlation_id, "cwd": os.getcwd(), "elapsed_ms": elapsed_ms,
            "extra": extra, "host": os.environ.get("COMPUTERNAME", ""), "invoker": invoker, "kind": kind,
            "outcome": outcome, "parent_pid": None, "pid": os.getpid(), "schema_version": "v1",
            "session_id": session_id, "timestamp": FULL_STAMP, "truncated": truncated,
            "worktree_path": worktree_path}


def size_of(fields):
    return len(render(fields).encode())


def record_with_full_stamp(audit_dir, **fields):
    """Records once and returns the line, again when the clock happened to give a shorter stamp."""
    for _ in range(5):
        record(**fields)
        line = last_line(audit_dir)
        if len(stamp_of(line)) == len(FULL_STAMP):
            return line
        (audit_dir / "worktree-events.ndjson").unlink()
    pytest.fail("no nine-digit stamp in five readings of the clock")


def padding_for(size, state, field, **fields):
    """The `field` text that makes the line of `state` (truncated, extra, elapsed_ms) exactly `size` bytes."""
    probe = stamped(**{**fields, field: ""}) | state
    missing = size - size_of(probe)
    assert missing > 0
    return "p" * missing


# The exact line


def test_line_for_fixed_inputs(audit_dir):
    assert record(kind="worktree.create", branch="main", worktree_path="/home/dev/wt/a", invoker="cli",
                  outcome="ok") is None
    (line,) = raw_lines(audit_dir)
    stamp = stamp_of(line)
    assert TIMESTAMP.fullmatch(stamp)
    expected = (
        '{"branch":"main","correlation_id":null,"cwd":"' + os.getcwd() + '","elapsed_ms":null,"extra":null,'
        '"host":"build-box","invoker":"cli","kind":"worktree.create","outcome":"ok","parent_pid":null,'
        f'"pid":{os.getpid()},"schema_version":"v1","session_id":null,"timestamp":"{stamp}","truncated":false,'
        '"worktree_path":"/home/dev/wt/a"}\n')
    assert line.decode() == expected


def test_line_with_every_optional_given(audit_dir):
    record(session_id="s-1", elapsed_ms=-5, correlation_id="c-9", extra={"b": 1, "a": [True, None, 2.5]})
    line = last_line(audit_dir).decode()
    assert ('"correlation_id":"c-9"' in line and '"elapsed_ms":-5' in line and '"session_id":"s-1"' in line
            and '"extra":{"a":[true,null,2.5],"b":1}' in line and '"truncated":false' in line)
    assert [key for key, _ in json.loads(line, object_pairs_hook=list)] == KEYS


def test_stamp_shape_and_instant(audit_dir, far_time_zone):
    before = time.time_ns()
    for index in range(200):
        record(kind=f"k{index}")
    after = time.time_ns()
    for line in raw_lines(audit_dir):
        stamp = stamp_of(line)
        match = TIMESTAMP.fullmatch(stamp)
        assert match, stamp
        fraction = match.group(1) or ""
        # The shortest of the three lengths that holds the value exactly; never an all-zero fraction.
        assert not fraction.endswith("000"), stamp
        whole = datetime.datetime.strptime(stamp[:19], "%Y-%m-%dT%H:%M:%S").replace(tzinfo=datetime.UTC)
        nanoseconds = int(whole.timestamp()) * 10**9 + int(fraction.ljust(9, "0") or 0)
        assert before <= nanoseconds <= after


@pytest.mark.parametrize(("computername", "host"), [("build-box", "build-box"), ("Büro 01 ", "Büro 01 "),
                                                    ("", ""), (None, ""), ("b\udcffx", "")])
def test_host_is_computername(audit_dir, monkeypatch, computername, host):
    if computername is None:
        monkeypatch.delenv("COMPUTERNAME")
    else:
        monkeypatch.setenv("COMPUTERNAME", computername)
    record()
    assert last_record(audit_dir)["host"] == host


def test_cwd_is_the_current_directory(audit_dir, tmp_path, monkeypatch):
    target = tmp_path / "dïr with space"
    target.mkdir()
    monkeypatch.chdir(target)
    record()
    assert last_record(audit_dir)["cwd"] == str(target.resolve())


def test_cwd_that_is_not_utf8_is_replaced_character_by_character(audit_dir, tmp_path, monkeypatch):
    target = os.fsencode(tmp_path.resolve()) + b"/a\xffb\xc3"
    os.mkdir(target)
    monkeypatch.chdir(target)
    record()
    line = last_line(audit_dir)
    line.decode("utf-8")
    assert json.loads(line)["cwd"] == f"{tmp_path.resolve()}/a\ufffdb\ufffd"


def test_cwd_is_empty_when_the_current_directory_is_gone(audit_dir, tmp_path, monkeypatch):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    record()
    assert last_record(audit_dir)["cwd"] == ""


def test_nested_extra_objects_are_sorted(audit_dir):
    record(extra={"b": 1, "a": {"d": 2, "c": 3}, "l": [{"z": 1, "y": {"q": 0, "p": 0}}], "B": None})
    assert b'"extra":{"B":null,"a":{"c":3,"d":2},"b":1,"l":[{"y":{"p":0,"q":0},"z":1}]},' in last_line(audit_dir)


def test_extra_numbers(audit_dir):
    record(extra={"i": 2**63 - 1, "n": -(2**63), "f": 0.1, "third": 1 / 3, "tiny": 5e-324})
    assert (b'"extra":{"f":0.1,"i":9223372036854775807,"n":-9223372036854775808,"third":0.3333333333333333,'
            in last_line(audit_dir))
    assert last_record(audit_dir)["extra"]["tiny"] == 5e-324


NASTY = 'q"b\\s\x00\x01\x0b\x1f\x7f\b\f\n\r\t é中😀'
NASTY_JSON = '"q\\"b\\\\s\\u0000\\u0001\\u000b\\u001f\x7f\\b\\f\\n\\r\\t é中😀"'


@pytest.mark.parametrize("field", ["kind", "branch", "worktree_path", "invoker", "outcome", "session_id",
                                   "correlation_id"])
def test_text_escapes(audit_dir, field):
    record(**{field: NASTY})
    line = last_line(audit_dir)
    assert f'"{field}":{NASTY_JSON}'.encode() in line
    assert json.loads(line)[field] == NASTY


def test_escapes_inside_extra(audit_dir):
    record(extra={NASTY: [NASTY]})
    assert f'"extra":{{{NASTY_JSON}:[{NASTY_JSON}]}}'.encode() in last_line(audit_dir)


def test_escapes_in_stamped_values(audit_dir, tmp_path, monkeypatch):
    target = tmp_path / 'a"b\\c\td é'
    target.mkdir()
    monkeypatch.chdir(target)
    monkeypatch.setenv("COMPUTERNAME", 'h"\x01')
    record()
    line = last_line(audit_dir)
    assert b'"host":"h\\"\\u0001"' in line
    assert ('"cwd":"' + str(target.resolve()).replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
            + '"').encode() in line


# The 4096-byte limit


def test_line_of_exactly_the_limit_is_kept_whole(audit_dir):
    extra = {"note": "n" * (LINE_LIMIT - size_of(stamped(elapsed_ms=7, extra={"note": ""})))}
    line = record_with_full_stamp(audit_dir, elapsed_ms=7, extra=extra)
    assert len(line) == LINE_LIMIT
    assert line.decode() == render(stamped(elapsed_ms=7, extra=extra) | {"timestamp": stamp_of(line)})


def test_one_byte_over_drops_extra_first(audit_dir):
    size = size_of(stamped(elapsed_ms=7, extra={"note": ""}))
    line = record_with_full_stamp(audit_dir, elapsed_ms=7, extra={"note": "n" * (LINE_LIMIT + 1 - size)})
    record_fields = json.loads(line)
    assert (record_fields["truncated"], record_fields["extra"], record_fields["elapsed_ms"]) == (True, None, 7)
    assert line.decode() == render(stamped(elapsed_ms=7, truncated=True) | {"timestamp": stamp_of(line)})


@pytest.mark.parametrize(("size", "elapsed_ms"), [(LINE_LIMIT, 123456789), (LINE_LIMIT + 1, None)])
def test_elapsed_ms_goes_second(audit_dir, size, elapsed_ms):
    # `size` is the line once extra is gone and truncated is true.
    path = "/" + padding_for(size - 1, {"truncated": True}, "worktree_path", elapsed_ms=123456789)
    line = record_with_full_stamp(audit_dir, worktree_path=path, elapsed_ms=123456789, extra={"k": 1})
    record_fields = json.loads(line)
    assert record_fields["truncated"] is True and record_fields["extra"] is None
    assert record_fields["elapsed_ms"] == elapsed_ms
    assert record_fields["worktree_path"] == path and record_fields["cwd"] == os.getcwd()
    assert len(line) == (size if elapsed_ms else size - len("123456789") + len("null"))


def test_oversized_caller_texts_are_written_in_full(audit_dir):
    path = "/w/" + "x" * 5000
    record(worktree_path=path, elapsed_ms=3, extra={"a": 1}, session_id="s")
    line = last_line(audit_dir)
    assert len(line) > LINE_LIMIT
    assert line.decode() == render(stamped(worktree_path=path, session_id="s", truncated=True)
                                   | {"timestamp": stamp_of(line)})


def directory_of_length(base, length):
    """A directory whose absolute path is `length` bytes long, made of ASCII components below `base`."""
    path = str(base.resolve())
    remaining = length - len(path)
    while remaining > 0:
        take = min(remaining, 201)
        if remaining - take == 1:
            take -= 1
        path += "/" + "d" * (take - 1)
        remaining -= take
    assert len(path.encode()) == length
    os.makedirs(path)
    return path


@pytest.mark.parametrize(("cwd_length", "shortened"), [(256, False), (257, True), (300, True), (1200, True)])
def test_long_cwd_is_shortened_last(audit_dir, tmp_path, monkeypatch, cwd_length, shortened):
    cwd = directory_of_length(tmp_path, cwd_length)
    monkeypatch.chdir(cwd)
    record(worktree_path="/w/" + "x" * 5000, elapsed_ms=1, extra={"a": 1})
    record_fields = last_record(audit_dir)
    assert (record_fields["truncated"], record_fields["extra"], record_fields["elapsed_ms"]) == (True, None, None)
    assert record_fields["cwd"] == ("..." + cwd[-253:] if shortened else cwd)


def test_cwd_is_kept_when_the_line_fits_without_it(audit_dir, tmp_path, monkeypatch):
    cwd = directory_of_length(tmp_path, 1200)
    monkeypatch.chdir(cwd)
    record(elapsed_ms=1, extra={"a": 1})
    assert last_record(audit_dir)["cwd"] == cwd
    # Over the limit only because of extra: extra goes, the long directory stays.
    size = size_of(stamped(elapsed_ms=1, extra={"a": ""}))
    line = record_with_full_stamp(audit_dir, elapsed_ms=1, extra={"a": "a" * (LINE_LIMIT + 1 - size)})
    assert json.loads(line)["cwd"] == cwd and json.loads(line)["elapsed_ms"] == 1


@pytest.mark.parametrize(
    ("components", "unit"),
    [
        (["é" * 120, "é" * 127], 2),                  # the last 253 bytes start one byte into a character
        (["中" * 80, "中" * 85], 3),                  # two bytes into one
        (["😀" * 60, "😀" * 60, "😀" * 62 + "bc"], 4),  # two bytes into one, across a separator
        (["😀" * 60, "a" * 251], 4),                  # only ASCII follows the broken character
    ],
)
def test_shortened_multibyte_cwd_stays_valid_utf8(audit_dir, tmp_path, monkeypatch, components, unit):
    path = os.path.join(str(tmp_path.resolve()), *components)
    os.makedirs(path)
    assert 0x80 <= path.encode()[-253] <= 0xBF, "the cut must fall inside a character"
    monkeypatch.chdir(path)
    record(worktree_path="/w/" + "x" * 5000)
    line = last_line(audit_dir)
    line.decode("utf-8")  # valid UTF-8 throughout
    cwd = json.loads(line)["cwd"]
    assert cwd.startswith("...")
    kept = cwd[3:].encode()
    assert path.encode().endswith(kept) and 253 - unit < len(kept) <= 253


# Suspicious payloads


@pytest.mark.parametrize(
    ("extra", "warning"),
    [
        ({"api_key": "x", "note": "hello"}, '["api_key", "note"]'),
        ({"Monkey": 1}, '["Monkey"]'),
        ({"note": "my TOKEN"}, '["note"]'),
        ({"b": {"Secret": 1}, "a": 2}, '["a", "b"]'),
        ({"b": ["passWORD"], "A": 0, "a": 1}, '["A", "a", "b"]'),
        ({"\u212aey": 1}, '["\u212aey"]'),  # KELVIN SIGN lower-cases to k
        ({"é": "token", "z": 1, "\u200b": 2}, '["z", "é", "\\u{200b}"]'),
        ({'a"b': "key", "c\\d": 2, "t\tn\n": 3, "z\x00": 4, "\x01": 5, "r\r": 6},
         '["\\u{1}", "a\\"b", "c\\\\d", "r\\r", "t\\tn\\n", "z\\0"]'),
        ({"note": "fine"}, None),
        ({}, None),
        (["token"], None),
        ("secret password", None),
        ([{"token": 1}], None),
    ],
)
def test_suspicious_payload_warning(audit_dir, capfd, extra, warning):
    record(extra=extra)
    captured = capfd.readouterr()
    assert captured.err == ("" if warning is None else f"{WARNING}{warning}\n")
    # Nothing is masked: the payload is written as given.
    assert last_record(audit_dir)["extra"] == extra


def test_no_payload_prints_nothing(audit_dir, capfd):
    record(kind="token", branch="secret", worktree_path="/key", invoker="password", outcome="token")
    assert capfd.readouterr().err == ""
