"""Running out of memory inside a call raises MemoryError and never ends the process: a child interpreter
lowers its own address-space limit step by step around each call, and after every step, with the limit lifted,
the same call gives what it gave before."""

import json
import os
import textwrap

import pytest

from conftest import address_space_limit_binds, run_isolated

pytestmark = [
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer reserves more address space than any limit here"),
    pytest.mark.skipif(not address_space_limit_binds(), reason="an address-space limit does not bind here (qemu-user)"),
]

STORE_RELATIVE = ".quorbel/state/worktree-runtime/bindings.json"
SESSIONS = 4000


def binding_entry(repo, index):
    return {"session_id": f"s-{index}", "worktree": str(repo), "branch": "main", "state_path": f"/state/{index}",
            "git_common_dir": str(repo / ".git"), "main_worktree": str(repo), "commit_ish": "",
            "schema_version": 2, "notes": {"seen": [index, [index, {"deep": []}]]}}


def audit_line(index):
    record = {"timestamp": f"2025-03-01T00:{index // 60 % 60:02d}:{index % 60:02d}Z", "kind": "session.bind",
              "pid": index, "invoker": "cli", "branch": "main", "worktree_path": "/w", "outcome": "ok",
              "extra": {"n": [index, {"m": [1]}]}}
    if index % 3 == 0:
        record["extra"]["big"] = 2**70  # read again as floating point
    return json.dumps(record)


CALLS = {
    "list": "[b.to_dict() for b in store.list()]",
    "load": "store.load(LAST).to_dict()",
    "upsert_again": "store.upsert(store.load(LAST)) or [b.session_id for b in store.list()]",
    "read_records": "[r.to_dict() for r in native.read_records(branch='main')]",
}

CHILD = """\
    import resource
    import _worktree_runtime_native as native

    store = native.PyWorktreeBindingStore(repo_root={root!r})
    LAST = "s-{last}"
    call = lambda: {expression}
    expected = call()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def address_space():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))

    # The limit rises from what the child uses before the call, finely first:
    # from nothing more to 64 MiB more.
    out_of_memory = 0
    for step in range(64):
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + step * step * (16 << 10), hard))
        try:
            result = call()
        except MemoryError:
            out_of_memory += 1
            result = expected
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert result == expected, step
        assert call() == expected, step
    print(out_of_memory)
    """


@pytest.mark.parametrize("name", CALLS)
def test_a_call_out_of_memory_raises_memory_error_and_the_process_goes_on(repo, audit_dir, monkeypatch, name):
    # Every allocation past 64 KiB maps fresh memory, so that each limit
    # below what the call needs fails one of them, rather than the heap
    # serving them from what an earlier call freed.
    monkeypatch.setenv("GLIBC_TUNABLES", "glibc.malloc.mmap_threshold=65536")
    store = repo / STORE_RELATIVE
    store.parent.mkdir(parents=True)
    store.write_text(json.dumps({"bindings": [binding_entry(repo, index) for index in range(SESSIONS)],
                                 "schema_version": 2}, indent=2) + "\n")
    audit_dir.mkdir(parents=True)
    (audit_dir / "worktree-events.ndjson").write_text("".join(audit_line(index) + "\n" for index in range(SESSIONS)))
    result = run_isolated(textwrap.dedent(CHILD).format(root=str(repo), last=SESSIONS - 1, expression=CALLS[name]))
    assert result.returncode == 0, result.stderr
    # The limits reached below what the call needs.
    assert int(result.stdout) > 0
