"""The binding record: construction, attributes, the dict form and from_dict."""

import collections
import json
import sys
import pathlib
import weakref

import pytest

import _worktree_runtime_native as native

Binding = native.PyWorktreeBinding

FIELDS = ["session_id", "worktree", "branch", "state_path", "git_common_dir", "main_worktree", "commit_ish",
          "schema_version"]


def fields(binding):
    return {name: getattr(binding, name) for name in FIELDS}


@pytest.fixture
def paths(tmp_path):
    """A real directory `real`, a symbolic link `alias` to it, and a name `later` that does not exist yet."""
    real = (tmp_path / "real").resolve()
    real.mkdir()
    (tmp_path / "alias").symlink_to(real)
    return {"real": str(real), "alias": str(tmp_path / "alias"), "later": str(tmp_path.resolve() / "later")}


def payload(**changes):
    """A valid dict form of a binding, with members changed or (for the value ...) removed."""
    base = {
        "session_id": "s1",
        "worktree": "/nonexistent-root/wt",
        "branch": "feat/x",
        "state_path": "/nonexistent-root/wt/state",
        "git_common_dir": "/nonexistent-root/main/.git",
        "main_worktree": "/nonexistent-root/main",
        "commit_ish": "abc123",
        "schema_version": 2,
    }
    base.update(changes)
    return {key: value for key, value in base.items() if value is not ...}


# ---------------------------------------------------------------------------
# Construction


def test_constructor_normalises_the_four_paths_and_keeps_the_other_texts(paths):
    binding = Binding(" s 1 ", paths["alias"] + "/", " feat/x ", paths["alias"] + "/./sub/", paths["alias"] + "//",
                      paths["real"] + "/../real", "  HEAD~1 ")
    assert fields(binding) == {
        "session_id": " s 1 ",
        "worktree": paths["real"],
        "branch": " feat/x ",
        "state_path": paths["real"] + "/sub",
        "git_common_dir": paths["real"],
        "main_worktree": paths["real"],
        "commit_ish": "  HEAD~1 ",
        "schema_version": 2,
    }


def test_constructor_accepts_empty_texts_and_fills_the_defaults():
    binding = Binding("s1", "", "main", "", "", "")
    assert fields(binding) == {
        "session_id": "s1", "worktree": "", "branch": "main", "state_path": "", "git_common_dir": "",
        "main_worktree": "", "commit_ish": "", "schema_version": 2,
    }
    assert Binding("s1", "  ", "main", "\t", "", "").worktree == ""


def test_constructor_binds_every_parameter_by_keyword():
    binding = Binding(schema_version=5, commit_ish="c", main_worktree="/", git_common_dir="/", state_path="/",
                      branch="b", worktree="/", session_id="s")
    assert fields(binding) == {
        "session_id": "s", "worktree": "/", "branch": "b", "state_path": "/", "git_common_dir": "/",
        "main_worktree": "/", "commit_ish": "c", "schema_version": 5,
    }


class Index:
    def __index__(self):
        return 11


@pytest.mark.parametrize(
    ("value", "kept"),
    [(None, 2), (1, 1), (0, 0), (-5, -5), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (True, 1), (Index(), 11)],
)
def test_schema_version_is_kept_in_the_attribute_but_the_dict_form_says_2(value, kept):
    binding = Binding("s", "/", "b", "/", "/", "/", "", value)
    assert binding.schema_version == kept and type(binding.schema_version) is int
    assert binding.to_dict()["schema_version"] == 2


@pytest.mark.parametrize(
    ("arguments", "exception", "parameter"),
    [
        ({"commit_ish": None}, TypeError, "commit_ish"),
        ({"schema_version": 2**64}, OverflowError, "schema_version"),
        ({"schema_version": 2**63}, OverflowError, "schema_version"),
        ({"schema_version": -(2**63) - 1}, OverflowError, "schema_version"),
        ({"schema_version": 2.0}, TypeError, "schema_version"),
        ({"schema_version": "2"}, TypeError, "schema_version"),
        ({"session_id": None}, TypeError, "session_id"),
        ({"worktree": pathlib.Path("/tmp")}, TypeError, "worktree"),
        ({"main_worktree": b"/tmp"}, TypeError, "main_worktree"),
        ({"branch": "\udc80"}, UnicodeEncodeError, "branch"),
        # Arguments convert in signature order: the first bad one is reported.
        ({"state_path": 1, "git_common_dir": 2}, TypeError, "state_path"),
    ],
)
def test_constructor_argument_errors_name_the_parameter(arguments, exception, parameter):
    values = {"session_id": "s", "worktree": "/", "branch": "b", "state_path": "/", "git_common_dir": "/",
              "main_worktree": "/", **arguments}
    with pytest.raises(exception) as raised:
        Binding(**values)
    assert type(raised.value) is exception
    assert parameter in raised.value.__notes__[0]


@pytest.mark.parametrize(
    "call",
    [
        lambda: Binding("s", "/", "b", "/", "/"),
        lambda: Binding("s", "/", "b", "/", "/", "/", "", None, "surplus"),
        lambda: Binding("s", "/", "b", "/", "/", "/", session_id="again"),
        lambda: Binding("s", "/", "b", "/", "/", "/", commit="x"),
    ],
)
def test_constructor_binding_errors(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------
# The object


def test_attributes_are_read_only_and_the_class_is_sealed():
    binding = Binding("s", "/", "b", "/", "/", "/")
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(binding, name, getattr(binding, name))
        with pytest.raises(AttributeError):
            delattr(binding, name)
    with pytest.raises(AttributeError):
        binding.extra = 1
    assert not hasattr(binding, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(binding)
    with pytest.raises(TypeError):
        type("Sub", (Binding,), {})
    assert Binding.__module__ == "worktree_runtime.api"
    assert Binding.__text_signature__ == (
        '(session_id, worktree, branch, state_path, git_common_dir, main_worktree, commit_ish="", schema_version=None)')
    assert Binding.to_dict.__text_signature__ == "($self)"
    assert Binding.from_dict.__text_signature__ == "($cls, payload)"


def test_instances_compare_and_hash_by_identity():
    first, second = Binding("s", "/", "b", "/", "/", "/"), Binding("s", "/", "b", "/", "/", "/")
    assert first == first and first != second
    assert len({first, second}) == 2


@pytest.mark.parametrize(
    ("session_id", "branch", "text"),
    [
        ("abc", "feat/x", "WorktreeBinding(session_id=abc, branch=feat/x)"),
        ('q"uote', "new\nline", 'WorktreeBinding(session_id=q"uote, branch=new\nline)'),
        ("", "", "WorktreeBinding(session_id=, branch=)"),
        ("sé", "ブランチ", "WorktreeBinding(session_id=sé, branch=ブランチ)"),
    ],
)
def test_repr_shows_session_and_branch_verbatim(session_id, branch, text):
    assert repr(Binding(session_id, "/w", branch, "/s", "/g", "/m", "c")) == text


def test_to_dict_lists_the_fields_in_declared_order_in_a_new_dict(paths):
    binding = Binding("s", paths["alias"], "b", paths["alias"], "", paths["real"], "ref", 9)
    form = binding.to_dict()
    assert list(form) == FIELDS
    assert form == {
        "session_id": "s", "worktree": paths["real"], "branch": "b", "state_path": paths["real"],
        "git_common_dir": "", "main_worktree": paths["real"], "commit_ish": "ref", "schema_version": 2,
    }
    form["branch"] = "changed"
    assert binding.to_dict()["branch"] == "b" and binding.to_dict() is not binding.to_dict()


# ---------------------------------------------------------------------------
# from_dict


def test_from_dict_round_trips_the_dict_form(paths):
    binding = Binding("sé😀\x01", paths["alias"], "ブランチ", paths["real"], paths["real"], paths["real"], "c\t")
    copy = Binding.from_dict(binding.to_dict())
    assert type(copy) is Binding and copy is not binding
    assert fields(copy) == fields(binding)
    assert fields(Binding.from_dict(payload=binding.to_dict())) == fields(binding)


def test_from_dict_normalises_the_path_fields(paths):
    binding = Binding.from_dict(payload(worktree=paths["alias"] + "/", state_path=paths["alias"] + "/x",
                                        git_common_dir=paths["later"] + "/", main_worktree=paths["alias"]))
    assert (binding.worktree, binding.state_path, binding.git_common_dir, binding.main_worktree) == (
        paths["real"], paths["real"] + "/x", paths["later"], paths["real"])


@pytest.mark.parametrize(
    ("changes", "expected"),
    [
        # The legacy names of the worktree, main worktree and commit-ish members.
        ({"worktree": ..., "worktree_path": "/legacy/wt", "main_worktree": ..., "repo_root": "/legacy/main",
          "commit_ish": ..., "source_ref": "v1"},
         {"worktree": "/legacy/wt", "main_worktree": "/legacy/main", "commit_ish": "v1"}),
        ({"worktree_path": "/ignored", "repo_root": "/ignored"},
         {"worktree": "/nonexistent-root/wt", "main_worktree": "/nonexistent-root/main"}),
        # A present commit_ish decides even when it is not a string.
        ({"commit_ish": None, "source_ref": "v1"}, {"commit_ish": ""}),
        ({"commit_ish": 5}, {"commit_ish": ""}),
        ({"commit_ish": ..., "source_ref": 7}, {"commit_ish": ""}),
        ({"commit_ish": ...}, {"commit_ish": ""}),
        ({"commit_ish": "  "}, {"commit_ish": "  "}),
        ({"git_common_dir": ...}, {"git_common_dir": ""}),
        ({"git_common_dir": None}, {"git_common_dir": ""}),
        ({"git_common_dir": ["/x"]}, {"git_common_dir": ""}),
        # Required members are kept whole, blanks around them included.
        ({"session_id": " s1 "}, {"session_id": " s1 "}),
        ({"session_id": "\u200b"}, {"session_id": "\u200b"}),  # ZERO WIDTH SPACE is not white space
        ({"branch": "\tb\n"}, {"branch": "\tb\n"}),
        # Members the record does not know are ignored.
        ({"extra": {"nested": [1, 2]}, "Branch": "other"}, {"branch": "feat/x"}),
    ],
)
def test_from_dict_fallbacks(changes, expected):
    binding = Binding.from_dict(payload(**changes))
    assert {name: getattr(binding, name) for name in expected} == expected


def test_from_dict_takes_keys_that_json_dumps_turns_into_strings():
    value = payload()
    value.update({3: "int key", 2.5: "float key", None: "null key", True: "bool key"})
    assert Binding.from_dict(value).session_id == "s1"


@pytest.mark.parametrize(
    ("changes", "key"),
    [
        ({"session_id": ...}, "session_id"),
        ({"session_id": "   "}, "session_id"),
        ({"session_id": "\u3000\xa0\x85\u2029"}, "session_id"),  # Unicode white space only
        ({"session_id": 5}, "session_id"),
        ({"session_id": None}, "session_id"),
        ({"worktree": ...}, "worktree_path"),
        ({"worktree": ..., "worktree_path": " "}, "worktree_path"),
        ({"worktree": "", "worktree_path": "/valid"}, "worktree"),
        ({"worktree": None, "worktree_path": "/valid"}, "worktree"),
        ({"branch": ""}, "branch"),
        ({"branch": ...}, "branch"),
        ({"state_path": "\n"}, "state_path"),
        ({"state_path": ["/x"]}, "state_path"),
        ({"main_worktree": ...}, "repo_root"),
        ({"main_worktree": ..., "repo_root": 1}, "repo_root"),
        ({"main_worktree": False, "repo_root": "/valid"}, "main_worktree"),
        # The first failing member in reading order is the one named.
        ({"branch": ..., "state_path": ..., "main_worktree": ...}, "branch"),
        ({"session_id": "", "worktree": ""}, "session_id"),
    ],
)
def test_from_dict_names_the_first_missing_required_member(changes, key):
    with pytest.raises(ValueError) as raised:
        Binding.from_dict(payload(**changes))
    assert str(raised.value) == f"missing required worktree binding field: {key}"


@pytest.mark.parametrize(
    ("value", "kept"),
    [
        (..., 2),
        (None, 2),
        (7, 7),
        (0, 0),
        (-5, -5),
        (2**63 - 1, 2**63 - 1),
        (2**63, 2),
        (2**64, 2),
        (-(2**63), -(2**63)),
        (-(2**63) - 1, 2),
        ("3", 2),
        (3.0, 2),
        (True, 2),
        ([3], 2),
    ],
)
def test_from_dict_schema_version(value, kept):
    assert Binding.from_dict(payload(schema_version=value)).schema_version == kept


class DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "container",
    [DictSubclass, collections.OrderedDict, lambda items: collections.defaultdict(list, items)],
)
def test_from_dict_accepts_whatever_json_dumps_accepts(container):
    assert Binding.from_dict(container(payload())).session_id == "s1"


@pytest.mark.parametrize("value", [[payload()], (1, 2), "{}", json.dumps(payload()), 5, None, True, 2.5])
def test_from_dict_refuses_a_payload_that_is_not_an_object(value):
    with pytest.raises(ValueError, match=r"^worktree binding payload must be an object$"):
        Binding.from_dict(value)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_from_dict_reports_a_non_finite_float_as_an_invalid_payload(bad):
    # json.dumps writes NaN or Infinity, which is not JSON; the member need not be one the record reads.
    with pytest.raises(ValueError) as raised:
        Binding.from_dict(payload(extra={"deep": [bad]}))
    assert str(raised.value).startswith("invalid payload: ")
    assert type(raised.value) is ValueError


def test_from_dict_takes_integers_past_every_machine_range_as_any_foreign_member():
    binding = Binding.from_dict(payload(extra={"huge": [10**400, -(10**30)]}, schema_version=10**30))
    assert binding.session_id == payload()["session_id"] and binding.schema_version == 2


def test_from_dict_of_a_huge_integer_in_place_of_a_field_is_the_missing_field():
    with pytest.raises(ValueError, match=r"^missing required worktree binding field: session_id$"):
        Binding.from_dict(dict(payload(), session_id=10**400))


def test_from_dict_lets_the_errors_of_json_dumps_propagate():
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        Binding.from_dict(payload(extra=object()))
    circular = payload()
    circular["self"] = circular
    with pytest.raises(ValueError, match="Circular reference detected"):
        Binding.from_dict(circular)


def test_from_dict_serialises_through_json_dumps_as_it_stands_at_the_call(monkeypatch):
    seen = []

    def dumps(value):
        seen.append(value)
        return json.JSONEncoder().encode(payload(session_id="from-dumps"))

    monkeypatch.setattr(json, "dumps", dumps)
    marker = object()
    assert Binding.from_dict(marker).session_id == "from-dumps"
    assert seen == [marker]
    monkeypatch.setattr(json, "dumps", lambda value: b"{}")
    with pytest.raises(TypeError):
        Binding.from_dict({})


def test_from_dict_lets_a_failed_json_import_propagate(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError, match="json"):
        Binding.from_dict(payload())


def test_from_dict_argument_binding():
    with pytest.raises(TypeError):
        Binding.from_dict()
    with pytest.raises(TypeError):
        Binding.from_dict(payload(), payload())
    with pytest.raises(TypeError):
        Binding.from_dict(data=payload())
