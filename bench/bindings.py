"""Binding store: PyWorktreeBindingStore.upsert, .load and .list on stores of 10, 100 and 1000 bindings, against
plain Python doing the same job on the same bindings.json.

The plain-Python store reads the file with json, changes the document, and replaces the file the way the native
store does: a temporary file beside it with the same text layout, fsync of the file, os.replace, fsync of the
directory, all under fcntl.flock on the companion "bindings.json.lock". Reads normalise every path field of every
binding they return, as the native store does.

The stores live on the disk of the temporary directory, where the two fsyncs of every upsert cost what durable
storage costs. Upsert is timed a second time on stores in a tmpfs (/dev/shm), where fsync costs next to nothing:
that shows the work of the upsert itself, and the difference between the two is what durability costs.
"""

import fcntl
import json
import os
import random

import _worktree_runtime_native as native

import plain_python
from harness import AT_LEAST, Table, duration, make_git_repo_at, prepared

SIZES = (10, 100, 1000)
OPERATIONS = ("upsert", "load", "list")
CURRENT_SCHEMA_VERSION = 2
FIELDS = ("session_id", "worktree", "branch", "state_path", "git_common_dir", "main_worktree", "commit_ish",
          "schema_version")
TEMPORARY_NAME_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
TEMPORARY_NAME_ATTEMPTS = 65536
SPEED_UP_TARGET = 2.0


# ---------------------------------------------------------------------------------------------------------------
# The plain-Python store


class Binding:
    __slots__ = FIELDS

    def __init__(self, session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish,
                 schema_version):
        self.session_id, self.worktree, self.branch, self.state_path = session_id, worktree, branch, state_path
        self.git_common_dir, self.main_worktree, self.commit_ish = git_common_dir, main_worktree, commit_ish
        self.schema_version = schema_version

    def to_dict(self):
        return {field: getattr(self, field) for field in FIELDS}


def build_binding(session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish,
                  schema_version):
    normalize = plain_python.normalize_path
    return Binding(session_id, normalize(worktree), branch, normalize(state_path), normalize(git_common_dir),
                   normalize(main_worktree), commit_ish, schema_version)


def is_blank(text):
    return not text.strip(plain_python.WHITE_SPACE)


def _string_member(entry, key):
    value = entry.get(key)
    return value if isinstance(value, str) else None


def _required_member(entry, key):
    value = entry.get(key)
    return value if isinstance(value, str) and not is_blank(value) else None


def _schema_version(entry):
    if "schema_version" not in entry:
        return CURRENT_SCHEMA_VERSION
    value = entry["schema_version"]
    if isinstance(value, int) and not isinstance(value, bool) and -(1 << 63) <= value < (1 << 63):
        return value
    return CURRENT_SCHEMA_VERSION


def binding_from_json(entry):
    """The binding an entry of "bindings" holds, or None when it is not a valid binding."""
    if not isinstance(entry, dict):
        return None
    session_id = _required_member(entry, "session_id")
    worktree = _required_member(entry, "worktree" if "worktree" in entry else "worktree_path")
    branch = _required_member(entry, "branch")
    state_path = _required_member(entry, "state_path")
    main_worktree = _required_member(entry, "main_worktree" if "main_worktree" in entry else "repo_root")
    if None in (session_id, worktree, branch, state_path, main_worktree):
        return None
    git_common_dir = _string_member(entry, "git_common_dir") or ""
    commit_ish = _string_member(entry, "commit_ish" if "commit_ish" in entry else "source_ref") or ""
    return build_binding(session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish,
                         _schema_version(entry))


def binding_to_json(binding):
    entry = binding.to_dict()
    entry["schema_version"] = CURRENT_SCHEMA_VERSION
    return entry


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def default_document():
    return {"bindings": [], "schema_version": CURRENT_SCHEMA_VERSION}


def read_document(path):
    """(document, whether the file may be replaced): a file that exists but cannot be read is kept."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except (FileNotFoundError, NotADirectoryError):
        return default_document(), True
    except OSError:
        return default_document(), False
    try:
        document = json.loads(data.decode("utf-8"), parse_constant=_reject_constant)
    except ValueError:  # UnicodeDecodeError and json.JSONDecodeError included
        return default_document(), True
    if not isinstance(document, dict):
        return default_document(), True
    if not isinstance(document.get("bindings"), list):
        document["bindings"] = []
    return document, True


def render_document(document):
    return json.dumps(document, sort_keys=True, indent=2, ensure_ascii=False) + "\n"


def _sync_directory(directory):
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _write_all(descriptor, data):
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def write_document(path, document):
    directory = os.path.dirname(path) or "."
    os.makedirs(directory, exist_ok=True)
    for _ in range(TEMPORARY_NAME_ATTEMPTS):
        temporary = os.path.join(directory, ".tmp" + "".join(random.choices(TEMPORARY_NAME_ALPHABET, k=6)) + ".tmp")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise OSError("too many temporary files exist")
    try:
        _write_all(descriptor, render_document(document).encode())
        os.fsync(descriptor)
        os.replace(temporary, path)
    except OSError:
        os.unlink(temporary)
        raise
    finally:
        os.close(descriptor)
    _sync_directory(directory)


def _matches(entry, session_id):
    return isinstance(entry, dict) and isinstance(entry.get("session_id"), str) and entry["session_id"] == session_id


def upsert(path, binding):
    binding = build_binding(*(getattr(binding, field) for field in FIELDS))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lock = os.open(path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        document, replaceable = read_document(path)
        bindings = [entry for entry in document["bindings"] if not _matches(entry, binding.session_id)]
        bindings.append(binding_to_json(binding))
        document["bindings"] = bindings
        if replaceable:
            document["schema_version"] = CURRENT_SCHEMA_VERSION
            try:
                write_document(path, document)
            except OSError:
                pass  # the store does not report write failures
    finally:
        os.close(lock)


def load(path, session_id):
    document, _ = read_document(path)
    for entry in document["bindings"]:
        if _matches(entry, session_id):
            return binding_from_json(entry)
    return None


def list_bindings(path):
    bindings = []
    for entry in read_document(path)[0]["bindings"]:
        binding = binding_from_json(entry)
        if binding is not None:
            bindings.append(binding)
    return bindings


# ---------------------------------------------------------------------------------------------------------------
# Fixtures


def session_id(index):
    return f"session-{index:04d}"


def make_stores(directory):
    """One repository per size, each with a store of that many bindings whose worktrees and state paths exist."""
    for size in SIZES:
        repo = make_git_repo_at(os.path.join(directory, f"repo-{size}"))
        store = native.PyWorktreeBindingStore(repo_root=repo)
        common_dir = os.path.join(repo, ".git")
        bindings = []
        for index in range(size):
            worktree = os.path.join(directory, f"worktrees-{size}", f"wt-{index:04d}")
            state_path = os.path.join(worktree, ".bench", "state", "velmorin")
            os.makedirs(state_path)
            bindings.append(build_binding(session_id(index), worktree, f"feature/task-{index}", state_path,
                                          common_dir, repo, f"commit-{index:08x}", CURRENT_SCHEMA_VERSION))
        os.makedirs(os.path.dirname(store.path), exist_ok=True)
        with open(store.path, "w", encoding="utf-8") as file:
            file.write(render_document({"bindings": [binding_to_json(b) for b in bindings],
                                        "schema_version": CURRENT_SCHEMA_VERSION}))


def native_binding(binding):
    return native.PyWorktreeBinding(*(getattr(binding, field) for field in FIELDS))


def check_same_results(size, store, upserted):
    path = store.path
    original = open(path, "rb").read()
    try:
        for session in (session_id(size // 2), "no-such-session"):
            native_result = store.load(session)
            python_result = load(path, session)
            if (native_result and native_result.to_dict()) != (python_result and python_result.to_dict()):
                raise SystemExit(f"load {session!r} on {size} bindings: native {native_result!r}, "
                                 f"plain Python {python_result!r}")
        if [b.to_dict() for b in store.list()] != [b.to_dict() for b in list_bindings(path)]:
            raise SystemExit(f"list on {size} bindings: native and plain Python disagree")
        store.upsert(native_binding(upserted))
        native_text = open(path, "rb").read()
        with open(path, "wb") as file:
            file.write(original)
        upsert(path, upserted)
        python_text = open(path, "rb").read()
        if native_text != python_text:
            raise SystemExit(f"upsert on {size} bindings: native and plain Python write different files")
        if len(store.list()) != size:
            raise SystemExit(f"upsert on {size} bindings changed the number of bindings")
    finally:
        with open(path, "wb") as file:
            file.write(original)


def names():
    result = []
    for size in SIZES:
        for operation in OPERATIONS:
            result += [f"store.{operation} {size} bindings [native]", f"store.{operation} {size} bindings [python]"]
        result += [f"store.upsert {size} bindings tmpfs [native]", f"store.upsert {size} bindings tmpfs [python]"]
    return result


def group(session, root, tmpfs_root):
    """`tmpfs_root()` gives a directory in a tmpfs, shared with the workers."""
    if not session.enter(names()):
        return
    directory = prepared(os.path.join(root, "bindings"), make_stores)
    tmpfs_directory = prepared(os.path.join(tmpfs_root(), "bindings"), make_stores)
    rows = {}
    for size in SIZES:
        stores = [native.PyWorktreeBindingStore(repo_root=os.path.join(base, f"repo-{size}"))
                  for base in (directory, tmpfs_directory)]
        # Upserting a stored session replaces it at the end of the array: the store keeps its size.
        upserted = [load(store.path, session_id(0)) for store in stores]
        if not session.worker:
            for store, binding in zip(stores, upserted):
                check_same_results(size, store, binding)
        store, path = stores[0], stores[0].path
        loaded = session_id(size // 2)
        calls = {
            "upsert": ((store.upsert, native_binding(upserted[0])), (upsert, path, upserted[0])),
            "load": ((store.load, loaded), (load, path, loaded)),
            "list": ((store.list,), (list_bindings, path)),
            "upsert tmpfs": ((stores[1].upsert, native_binding(upserted[1])), (upsert, stores[1].path, upserted[1])),
        }
        for operation in (*OPERATIONS, "upsert tmpfs"):
            (native_call, *native_args), (python_call, *python_args) = calls[operation]
            words = operation.split()
            label = " ".join([f"store.{words[0]} {size} bindings", *words[1:]])
            session.bench(f"{label} [native]", native_call, *native_args)
            session.bench(f"{label} [python]", python_call, *python_args)
            rows[operation, size] = (session.mean(f"{label} [native]"), session.mean(f"{label} [python]"))
    session.leave()
    if not session.worker:
        report(session, rows)


def report(session, rows):
    table = []
    for operation in OPERATIONS:
        for size in SIZES:
            native_mean, python_mean = rows[operation, size]
            table.append((f"store.{operation} {size} bindings", native_mean, python_mean, python_mean / native_mean,
                          AT_LEAST(SPEED_UP_TARGET)))
    for size in SIZES:
        native_mean, python_mean = rows["upsert tmpfs", size]
        table.append((f"store.upsert {size} bindings, tmpfs (no target)", native_mean, python_mean,
                      python_mean / native_mean, None))
    notes = ["durability (upsert on disk minus upsert on tmpfs: two fsyncs, rename on disk):"]
    for size in SIZES:
        (native_disk, python_disk), (native_tmpfs, python_tmpfs) = rows["upsert", size], rows["upsert tmpfs", size]
        native_cost, python_cost = (duration(cost) if cost > 0 else "<= 0 (within the noise)"
                                    for cost in (native_disk - native_tmpfs, python_disk - python_tmpfs))
        notes.append(f"  {size:5} bindings: native {native_cost}, python {python_cost}")
    notes.append("cost per binding (mean / bindings) and marginal cost per added binding between sizes:")
    notes.append(f"  {'operation':12} {'bindings':>8} {'native/b':>10} {'python/b':>10} {'native marg.':>12} "
                 f"{'python marg.':>12}")
    for operation in (*OPERATIONS, "upsert tmpfs"):
        previous = None
        for size in SIZES:
            native_mean, python_mean = rows[operation, size]
            if previous is None:
                marginal = ("", "")
            else:
                previous_size, previous_native, previous_python = previous
                added = size - previous_size
                marginal = (duration((native_mean - previous_native) / added),
                            duration((python_mean - previous_python) / added))
            notes.append(f"  {operation:12} {size:8} {duration(native_mean / size):>10} "
                         f"{duration(python_mean / size):>10} {marginal[0]:>12} {marginal[1]:>12}")
            previous = (size, native_mean, python_mean)
    session.add_table(Table("Binding store (target: native at least 2x faster at every size)",
                            ("native", "python", "python/native"), table, notes))
