"""Audit log: record_event and read_records against plain Python doing the same job.

record_event, per call, in plain Python: resolve the audit directory from the environment and make it, build the
16-key record, json.dumps(sort_keys=True, separators=(",", ":"), ensure_ascii=False) + "\\n", open the active log
for appending, fcntl.lockf exclusive, write, close, os.stat for the rotation check. Both are also set against the
bare system calls of one append, timed by a small C program (bench/append_syscalls.c, compiled with cc into a
temporary directory) writing a line of the same length. The active log is truncated every few thousand calls,
outside the timed part, so that it never reaches the 10 MiB rotation threshold.

read_records on a 10 MiB active log of about 25,000 records in the module's line format, without and with filters;
the plain-Python reader reads the file, checks UTF-8, json-decodes every line strictly, applies the same required
and optional field rules and filters, sorts stably by timestamp text and builds one __slots__ object per record.
"""

import datetime
import fcntl
import json
import operator
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import _worktree_runtime_native as native

import plain_python
from harness import AT_LEAST, AT_MOST, Table, duration, prepared

SHARED_DIR_VARIABLE = "VELMORIN_SHARED_DIR"
ACTIVE_LOG = "worktree-events.ndjson"
SENTINEL_SUFFIX = ".rotating"
LINE_LIMIT = 4096
ROTATION_THRESHOLD = 10485760
ARCHIVE_BUDGET = 209715200
ARCHIVES_KEPT = 3
SUSPICIOUS_WORDS = ("token", "key", "secret", "password")
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1
WHITE_SPACE = plain_python.WHITE_SPACE

# Appends between two truncations of the active log: about 1.5 MB of lines.
APPEND_CHUNK = 4096
# The reader's log: just under the rotation threshold.
READ_LOG_RECORDS = 25000
READ_LOG_BYTES = 10_480_000
SYSCALL_TARGET = 2.0
RECORD_TARGET = 3.0
READ_TARGET = 8.0

EVENT_ARGUMENTS = ("worktree.create", "feature/bench-audit", "/home/dev/.velmorin/worktrees/bench/feature-bench-audit",
                   "cli", "ok")
EVENT_OPTIONS = {"session_id": "session-0042", "elapsed_ms": 1234,
                 "correlation_id": "8f14e45f-ceea-467f-a0e6-ff1a7e3b1c2d"}
EXTRA = {"attempt": 2, "reason": "bench", "paths": ["src/a.py", "src/b.py"]}


# ---------------------------------------------------------------------------------------------------------------
# Plain Python: where the log lives, and record_event


def _variable(name):
    """The value of a variable that is set and valid Unicode, else None."""
    value = os.environ.get(name)
    if value is None:
        return None
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return value


def _non_blank_variable(name):
    value = _variable(name)
    trimmed = value.strip(WHITE_SPACE) if value is not None else ""
    return trimmed or None


def _join(base, name):
    if not base or name.startswith("/"):
        return name
    return base + name if base.endswith("/") else base + "/" + name


def expand_home(text):
    if not text.startswith("~"):
        return text
    home = _variable("USERPROFILE")
    if home is None:
        home = _variable("HOME")
    if not home:
        return text
    rest = text[1:].lstrip("/\\")
    return _join(home, rest) if rest else home


_project_ids = {}


def _project_id(root):
    """The raw identifier of a root, read once per root text (the module remembers it for the process too)."""
    if root not in _project_ids:
        _project_ids[root] = plain_python.resolve_project_id(root)
    return _project_ids[root]


def resolve_audit_dir():
    shared = _non_blank_variable(SHARED_DIR_VARIABLE) or _non_blank_variable("QUORBEL_SHARED_DIR")
    if shared is not None:
        return _join(expand_home(shared), "audit")
    root = _non_blank_variable("QUORBEL_PROJECT_ROOT")
    if root is None:
        try:
            root = os.getcwd()
        except OSError:
            root = "."
    try:
        root = os.path.realpath(root, strict=True)
    except OSError:
        pass
    return _join(_join(root, "." + _project_id(root)), "shared/audit")


def format_timestamp(nanoseconds_since_epoch):
    seconds, nanoseconds = divmod(nanoseconds_since_epoch, 1_000_000_000)
    text = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))
    if nanoseconds:
        if nanoseconds % 1_000_000 == 0:
            text += f".{nanoseconds // 1_000_000:03d}"
        elif nanoseconds % 1000 == 0:
            text += f".{nanoseconds // 1000:06d}"
        else:
            text += f".{nanoseconds:09d}"
    return text + "Z"


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


_strict_decoder = json.JSONDecoder(parse_constant=_reject_constant)


def _payload(extra):
    """The JSON value of an extra payload (json.dumps with its defaults, parsed again), or None."""
    if extra is None:
        return None
    try:
        return _strict_decoder.decode(json.dumps(extra))
    except (TypeError, ValueError, RecursionError):
        return None


def serialize_line(record):
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False) + "\n"


def _serialize_limited(record):
    """The line's bytes, shortened in stages when longer than the limit."""
    data = serialize_line(record).encode()
    if len(data) <= LINE_LIMIT:
        return data
    record = dict(record, truncated=True, extra=None)
    data = serialize_line(record).encode()
    if len(data) <= LINE_LIMIT:
        return data
    record["elapsed_ms"] = None
    data = serialize_line(record).encode()
    if len(data) <= LINE_LIMIT:
        return data
    cwd = record["cwd"].encode()
    if len(cwd) > 256:
        record["cwd"] = "..." + cwd[-253:].decode("utf-8", "ignore")
    return serialize_line(record).encode()


def _report_fail_open(stage, error):
    try:
        sys.stderr.write(f"[WORKTREE-AUDIT-FAILOPEN] {stage}: {os.strerror(error.errno or 0)} "
                         f"(os error {error.errno})\n")
    except (OSError, ValueError):
        pass


def _warn_suspicious(extra):
    if not isinstance(extra, dict):
        return
    lowered = json.dumps(extra, sort_keys=True, separators=(",", ":"), ensure_ascii=False).lower()
    if any(word in lowered for word in SUSPICIOUS_WORDS):
        keys = ", ".join(json.dumps(key, ensure_ascii=False) for key in sorted(extra))
        sys.stderr.write(f"[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=[{keys}]\n")


def record_event(kind, branch, worktree_path, invoker, outcome, *, session_id=None, elapsed_ms=None,
                 correlation_id=None, extra=None):
    directory = resolve_audit_dir()
    try:
        os.makedirs(directory, exist_ok=True)
    except OSError as error:
        _report_fail_open("mkdir", error)
        return
    try:
        cwd = os.getcwd()
    except OSError:
        cwd = ""
    payload = _payload(extra)
    record = {
        "schema_version": "v1", "timestamp": format_timestamp(time.time_ns()), "kind": kind,
        "session_id": session_id, "pid": os.getpid(), "parent_pid": None, "cwd": cwd,
        "host": _variable("COMPUTERNAME") or "", "invoker": invoker, "branch": branch,
        "worktree_path": worktree_path, "outcome": outcome, "elapsed_ms": elapsed_ms,
        "correlation_id": correlation_id, "truncated": False, "extra": payload,
    }
    data = _serialize_limited(record)
    if payload is not None:
        _warn_suspicious(payload)
    path = directory + "/" + ACTIVE_LOG
    try:
        descriptor = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as error:
        _report_fail_open("lock", error)
        return
    try:
        fcntl.lockf(descriptor, fcntl.LOCK_EX)
    except OSError as error:
        os.close(descriptor)
        _report_fail_open("lock", error)
        return
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(descriptor, view):]
    except OSError as error:
        _report_fail_open("write", error)
        return
    finally:
        os.close(descriptor)
    try:
        size = os.stat(path).st_size
    except OSError:
        return
    if size > ROTATION_THRESHOLD:
        rotate(path)
        prune(directory)


def rotate(path):
    sentinel = path + SENTINEL_SUFFIX
    try:
        os.close(os.open(sentinel, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
    except OSError:
        return
    directory = os.path.dirname(path) or "."
    month = time.strftime("%Y-%m", time.gmtime())
    number = 1
    while os.path.lexists(target := os.path.join(
            directory, f"worktree-events.{month}{'' if number == 1 else f'.{number}'}.ndjson")):
        number += 1
    try:
        os.rename(path, target)
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666))
    except OSError:
        pass
    try:
        os.unlink(sentinel)
    except OSError:
        pass


def prune(directory):
    try:
        entries = list(os.scandir(directory))
    except OSError as error:
        _report_fail_open("prune-list", error)
        return
    archives = []
    for entry in entries:
        name = entry.name
        if (len(name.encode()) >= 16 and name.startswith("worktree-events.") and name.endswith(".ndjson")
                and name != ACTIVE_LOG):
            try:
                status = entry.stat()
            except OSError:
                continue
            archives.append((status.st_mtime_ns, status.st_size, entry.path))
    if len(archives) <= ARCHIVES_KEPT:
        return
    archives.sort(key=operator.itemgetter(0), reverse=True)
    if sum(size for _, size, _ in archives) <= ARCHIVE_BUDGET:
        return
    while len(archives) > ARCHIVES_KEPT:
        try:
            os.unlink(archives[-1][2])
        except OSError as error:
            _report_fail_open("prune-delete", error)
            return
        archives.pop()


# ---------------------------------------------------------------------------------------------------------------
# Plain Python: read_records

RECORD_FIELDS = ("schema_version", "timestamp", "kind", "session_id", "pid", "parent_pid", "cwd", "host", "invoker",
                 "branch", "worktree_path", "outcome", "elapsed_ms", "correlation_id", "truncated", "extra")


class AuditRecord:
    __slots__ = RECORD_FIELDS

    def to_dict(self):
        return {field: getattr(self, field) for field in RECORD_FIELDS}


def _int64(value):
    return value if type(value) is int and INT64_MIN <= value <= INT64_MAX else None


def _text(value, default):
    return value if type(value) is str else default


def _instant(timestamp):
    """(UTC date-time to the microsecond, further nanoseconds) of a record's timestamp, or None."""
    text = timestamp.replace("Z", "+00:00")
    if len(text) < 20 or text[10] not in "Tt ":
        return None
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    return moment if moment.tzinfo is not None else None


def _sub_microsecond(timestamp):
    """The nanoseconds past the microsecond in a timestamp's fraction of a second."""
    dot = timestamp.find(".", 19)
    if dot < 0:
        return 0
    end = dot + 1
    while end < len(timestamp) and timestamp[end].isdigit():
        end += 1
    digits = timestamp[dot + 7:end][:3]
    return int(digits.ljust(3, "0")) if digits else 0


def _bound(value):
    """A datetime as an aware UTC date-time (a naive one counts as UTC); anything else is no bound."""
    if not isinstance(value, datetime.datetime):
        return None
    return value if value.tzinfo is not None else value.replace(tzinfo=datetime.timezone.utc)


def read_records(branch=None, worktree_path=None, since=None, until=None):
    path = resolve_audit_dir() + "/" + ACTIVE_LOG
    try:
        with open(path, "rb") as file:
            data = file.read()
        text = data.decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return []
    since, until = _bound(since), _bound(until)
    decode = _strict_decoder.decode
    records = []
    for line in text.split("\n"):
        line = line.strip(WHITE_SPACE)
        if not line:
            continue
        try:
            value = decode(line)
        except (ValueError, RecursionError):
            continue
        if type(value) is not dict:
            continue
        get = value.get
        timestamp, kind, invoker = get("timestamp"), get("kind"), get("invoker")
        record_branch, record_worktree, outcome = get("branch"), get("worktree_path"), get("outcome")
        pid = _int64(get("pid"))
        if (type(timestamp) is not str or type(kind) is not str or type(invoker) is not str
                or type(record_branch) is not str or type(record_worktree) is not str or type(outcome) is not str
                or pid is None):
            continue
        if branch is not None and record_branch != branch:
            continue
        if worktree_path is not None and record_worktree != worktree_path:
            continue
        moment = _instant(timestamp)
        if moment is None or (since is not None and moment < since):
            continue
        if until is not None and (moment > until or (moment == until and _sub_microsecond(timestamp))):
            continue
        record = AuditRecord()
        record.schema_version = _text(get("schema_version"), "")
        record.timestamp, record.kind, record.session_id = timestamp, kind, _text(get("session_id"), None)
        record.pid, record.parent_pid = pid, _int64(get("parent_pid"))
        record.cwd, record.host = _text(get("cwd"), ""), _text(get("host"), "")
        record.invoker, record.branch, record.worktree_path = invoker, record_branch, record_worktree
        record.outcome, record.elapsed_ms = outcome, _int64(get("elapsed_ms"))
        record.correlation_id = _text(get("correlation_id"), None)
        truncated = get("truncated")
        record.truncated = truncated if type(truncated) is bool else False
        record.extra = get("extra")
        records.append(record)
    records.sort(key=operator.attrgetter("timestamp"))
    return records


# ---------------------------------------------------------------------------------------------------------------
# Fixtures

BRANCHES = ["main", "feature/ünïcode-straße", "release/2025.03", *(f"feature/task-{index}" for index in range(37))]
KINDS = ("worktree.create", "worktree.remove", "session.bind", "session.validate", "worktree.sync")


def _read_log_lines(seed=20250301):
    """About READ_LOG_RECORDS lines in the module's format, some out of timestamp order, READ_LOG_BYTES in all."""
    generator = random.Random(seed)
    start = 1740787200 * 1_000_000_000  # 2025-03-01T00:00:00Z
    records = []
    for index in range(READ_LOG_RECORDS):
        nanoseconds = start + index * 100_000_000_000 + generator.randrange(1_000_000_000)
        precision = generator.choice((1_000_000_000, 1_000_000, 1000, 1))
        nanoseconds -= nanoseconds % precision
        branch = BRANCHES[0] if generator.random() < 0.1 else generator.choice(BRANCHES)
        slug = branch.replace("/", "-")
        extra = None
        if generator.random() < 0.5:
            extra = {"attempt": generator.randrange(1, 4), "reason": generator.choice(("cli", "hook", "retry")),
                     "note": ""}
        records.append({
            "branch": branch,
            "correlation_id": f"{generator.getrandbits(128):032x}" if generator.random() < 0.5 else None,
            "cwd": "/home/dev/src/bench",
            "elapsed_ms": generator.randrange(5000) if generator.random() < 0.8 else None,
            "extra": extra, "host": "",
            "invoker": generator.choice(("cli", "agent", "hook")), "kind": generator.choice(KINDS),
            "outcome": generator.choice(("ok", "ok", "ok", "error", "skipped")), "parent_pid": None,
            "pid": generator.randrange(1000, 4_000_000), "schema_version": "v1",
            "session_id": f"session-{generator.randrange(10000):04d}" if generator.random() < 0.9 else None,
            "timestamp": format_timestamp(nanoseconds), "truncated": False,
            "worktree_path": f"/home/dev/.velmorin/worktrees/bench/{slug}",
        })
    # One record in ten trades places with its neighbour, so the sort has work to do.
    for index in range(0, READ_LOG_RECORDS - 1, 10):
        records[index], records[index + 1] = records[index + 1], records[index]
    with_extra = [record for record in records if record["extra"] is not None]
    deficit = READ_LOG_BYTES - sum(len(serialize_line(record).encode()) for record in records)
    if deficit < 0:
        raise SystemExit(f"the generated audit lines exceed {READ_LOG_BYTES} bytes by {-deficit}")
    for position, record in enumerate(with_extra):
        record["extra"]["note"] = "n" * (deficit // len(with_extra) + (position < deficit % len(with_extra)))
    return [serialize_line(record) for record in records]


def make_read_log(directory):
    log_directory = os.path.join(directory, "audit")
    os.makedirs(log_directory)
    with open(os.path.join(log_directory, ACTIVE_LOG), "w", encoding="utf-8") as file:
        file.writelines(_read_log_lines())


def read_variants():
    """(label, keyword arguments) of the reads timed: no filter, a branch, a time window."""
    since = datetime.datetime(2025, 3, 10, 12, 0, 0)  # naive: counts as UTC
    until = datetime.datetime(2025, 3, 20, 13, 0, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
    return [("no filter", {}), ("branch=main", {"branch": "main"}), ("since+until", {"since": since, "until": until})]


# ---------------------------------------------------------------------------------------------------------------
# Timing


def time_appends(loops, append, log_path):
    """Seconds of `loops` appends, the log truncated every APPEND_CHUNK appends outside the timing."""
    spent = 0.0
    done = 0
    while done < loops:
        with open(log_path, "w"):
            pass
        count = min(APPEND_CHUNK, loops - done)
        start = time.perf_counter()
        for _ in range(count):
            append()
        spent += time.perf_counter() - start
        done += count
    return spent


def time_reads(loops, read, shared_directory, arguments):
    """Seconds of `loops` reads with the audit directory below `shared_directory`."""
    previous = os.environ.get(SHARED_DIR_VARIABLE)
    os.environ[SHARED_DIR_VARIABLE] = shared_directory
    try:
        start = time.perf_counter()
        for _ in range(loops):
            read(**arguments)
        return time.perf_counter() - start
    finally:
        if previous is None:
            del os.environ[SHARED_DIR_VARIABLE]
        else:
            os.environ[SHARED_DIR_VARIABLE] = previous


def syscall_times(line_bytes, iterations=20000, rounds=5):
    """Mean nanoseconds per append of each round of the C program."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "append_syscalls.c")
    with tempfile.TemporaryDirectory(prefix="wtr-bench-append-") as directory:
        program = os.path.join(directory, "append_syscalls")
        subprocess.run(["cc", "-O2", "-std=c11", "-o", program, source], check=True)
        log = os.path.join(os.path.dirname(resolve_audit_dir()), "append-syscalls", ACTIVE_LOG)
        os.makedirs(os.path.dirname(log), exist_ok=True)
        output = subprocess.run([program, log, str(line_bytes), str(iterations), str(rounds), str(APPEND_CHUNK)],
                                check=True, capture_output=True, text=True).stdout
    return [float(value) for value in output.split()]


def _comparable_line(line):
    record = json.loads(line)
    del record["timestamp"]
    return record


def check_record_event(log_path):
    """Native and plain Python write the same line, timestamps aside; returns its length in bytes."""
    lines = {}
    for name, call in (("native", native.record_event), ("python", record_event)):
        for extra in (None, EXTRA):
            with open(log_path, "w"):
                pass
            call(*EVENT_ARGUMENTS, **EVENT_OPTIONS, extra=extra)
            with open(log_path, "rb") as file:
                lines[name, extra is None] = file.read().decode()
    for without_extra in (True, False):
        native_line, python_line = lines["native", without_extra], lines["python", without_extra]
        if (native_line.count("\n") != 1 or len(native_line) != len(python_line)
                or _comparable_line(native_line) != _comparable_line(python_line)
                or list(json.loads(native_line)) != sorted(json.loads(native_line))):
            raise SystemExit(f"record_event: native wrote {native_line!r}, plain Python {python_line!r}")
    return len(lines["native", True].encode())


def check_read_records(shared_directory):
    def dicts(call, arguments):
        return [record.to_dict() for record in time_reads_once(call, shared_directory, arguments)]

    for label, arguments in read_variants():
        native_records, python_records = dicts(native.read_records, arguments), dicts(read_records, arguments)
        if not native_records or native_records != python_records:
            raise SystemExit(f"read_records {label}: native gives {len(native_records)} records, plain Python "
                             f"{len(python_records)}, or they differ")


def time_reads_once(call, shared_directory, arguments):
    result = []
    time_reads(1, lambda **keywords: result.extend(call(**keywords)), shared_directory, arguments)
    return result


def names():
    result = ["record_event [native]", "record_event [python]", "record_event extra=dict [native]",
              "record_event extra=dict [python]"]
    for label, _ in read_variants():
        result += [f"read_records {label} [native]", f"read_records {label} [python]"]
    return result


def group(session, root):
    if not session.enter(names()):
        return
    log_path = os.path.join(resolve_audit_dir(), ACTIVE_LOG)
    os.makedirs(os.path.dirname(log_path), exist_ok=True)
    read_shared = prepared(os.path.join(root, "audit-read"), make_read_log)
    read_log_bytes = os.path.getsize(os.path.join(read_shared, "audit", ACTIVE_LOG))
    if not session.worker:
        line_bytes = check_record_event(log_path)
        check_read_records(read_shared)
        record_counts = {label: len(time_reads_once(native.read_records, read_shared, arguments))
                         for label, arguments in read_variants()}

    def appender(call, extra):
        return lambda: call(*EVENT_ARGUMENTS, **EVENT_OPTIONS, extra=extra)

    for suffix, extra in (("", None), (" extra=dict", EXTRA)):
        for kind, call in (("native", native.record_event), ("python", record_event)):
            session.bench_time(f"record_event{suffix} [{kind}]", time_appends, appender(call, extra), log_path)
    if not session.worker:
        # Right after the appends it is set against, so that the machine's drift between the two stays small.
        syscalls = syscall_times(line_bytes)
    for label, arguments in read_variants():
        for kind, call in (("native", native.read_records), ("python", read_records)):
            session.bench_time(f"read_records {label} [{kind}]", time_reads, call, read_shared, arguments)
    session.leave()
    if session.worker:
        return

    syscall_mean = statistics.mean(syscalls) / 1e9
    mean = session.mean
    rows = [(f"record_event{suffix}", mean(f"record_event{suffix} [native]"), mean(f"record_event{suffix} [python]"),
             mean(f"record_event{suffix} [python]") / mean(f"record_event{suffix} [native]"), AT_LEAST(RECORD_TARGET))
            for suffix in ("", " extra=dict")]
    session.add_table(Table(f"record_event against plain Python doing the same job (target: native at least "
                            f"{RECORD_TARGET}x faster)",
                            ("native", "python", "python/native"), rows))
    rows = [(f"record_event{suffix}", mean(f"record_event{suffix} [native]"), syscall_mean,
             mean(f"record_event{suffix} [native]") / syscall_mean, AT_MOST(SYSCALL_TARGET))
            for suffix in ("", " extra=dict")]
    rows.append(("plain Python record_event", mean("record_event [python]"), syscall_mean,
                 mean("record_event [python]") / syscall_mean, None))
    session.add_table(Table(
        f"record_event against the bare system calls of one append (target: within {SYSCALL_TARGET}x)",
        ("record", "syscalls", "record/syscalls"), rows,
        [f"C program, {line_bytes}-byte line, open+F_OFD_SETLKW+write+close+stat, 5 rounds of 20000: "
         + ", ".join(f"{value:.0f}ns" for value in syscalls)]))
    rows, notes = [], [f"log: {read_log_bytes} bytes, {READ_LOG_RECORDS} lines"]
    for label, _ in read_variants():
        native_mean, python_mean = mean(f"read_records {label} [native]"), mean(f"read_records {label} [python]")
        rows.append((f"read_records {label}", native_mean, python_mean, python_mean / native_mean,
                     AT_LEAST(READ_TARGET)))
        notes.append(f"{label:12} {record_counts[label]:6} records returned; parse throughput native "
                     f"{read_log_bytes / native_mean / 1e6:7.1f} MB/s, python {read_log_bytes / python_mean / 1e6:6.1f} "
                     f"MB/s; per record native {duration(native_mean / READ_LOG_RECORDS)}, python "
                     f"{duration(python_mean / READ_LOG_RECORDS)}")
    session.add_table(Table(f"read_records on a 10 MiB active log (target: native at least {READ_TARGET}x faster)",
                            ("native", "python", "python/native"), rows, notes))
