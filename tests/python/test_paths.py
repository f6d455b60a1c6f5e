"""Path normalisation and fingerprints against a real file system."""

import hashlib
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _worktree_runtime_native as native


@pytest.fixture
def tree(tmp_path):
    """tmp/existing/child, and tmp/link -> existing."""
    root = tmp_path.resolve()
    (root / "existing" / "child").mkdir(parents=True)
    (root / "link").symlink_to(root / "existing")
    return root


def sha1_prefix(text):
    return hashlib.sha1(text.encode()).hexdigest()[:12]


@pytest.mark.parametrize("raw", ["", "   ", "\t\r\n", "\u3000\u2028\u00a0\u0085", None])
def test_blank_input_normalises_to_the_empty_string(raw):
    assert native.normalize_path(raw) == ""


@pytest.mark.parametrize("raw", ["\u200b", "\x1c", "\ufeff"])
def test_characters_without_the_white_space_property_are_not_blank(raw):
    # Python's str.strip() would remove \x1c; the Unicode White_Space set does not.
    assert native.normalize_path(raw) == raw


@pytest.mark.parametrize(
    ("relative", "expected"),
    [
        ("existing/child", "existing/child"),
        ("existing/child/", "existing/child"),
        ("existing/child//./", "existing/child"),
        ("link/child", "existing/child"),
        ("existing/../link/./child", "existing/child"),
        ("link/missing", "existing/missing"),
        ("link/missing/", "existing/missing"),
        ("link/./Missing Name/.", "existing/Missing Name"),
    ],
)
def test_existing_paths_and_one_missing_level_resolve(tree, relative, expected):
    assert native.normalize_path(f"{tree}/{relative}") == f"{tree}/{expected}"


@pytest.mark.parametrize("relative", ["link/missing/deeper", "link/missing/deeper/", "existing/missing/.."])
def test_paths_without_an_existing_parent_or_final_name_stay_unchanged(tree, relative):
    raw = f"{tree}/{relative}"
    assert native.normalize_path(raw) == raw


def test_relative_paths_resolve_against_the_current_directory(tree, monkeypatch):
    monkeypatch.chdir(tree)
    assert native.normalize_path("link/child/") == f"{tree}/existing/child"
    assert native.normalize_path(".") == str(tree)
    assert native.normalize_path("missing") == "missing"  # its parent is the empty path
    assert native.normalize_path("./missing") == f"{tree}/missing"
    assert native.normalize_path("missing/deeper/") == "missing/deeper/"


def test_a_file_used_as_a_directory_resolves_through_its_parent(tree):
    (tree / "file").write_text("")
    assert native.normalize_path(f"{tree}/link/../file/") == f"{tree}/file"


def test_names_that_are_not_utf8_come_back_with_replacement_characters(tree):
    os.mkdir(os.fsencode(tree) + b"/bad\xff")
    (tree / "to-bad").symlink_to(os.fsdecode(os.fsencode(tree) + b"/bad\xff"))
    assert native.normalize_path(f"{tree}/to-bad") == f"{tree}/bad\ufffd"


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        ("\\\\?\\C:\\missing\\x", "C:\\missing\\x"),
        ("\\\\?\\UNC\\server\\share", "\\\\server\\share"),
        ("\\\\?\\UNC\\server\\" + "s" * 300, "\\\\server\\" + "s" * 300),
        ("\\\\?\\" + "é" * 129 + "x", "é" * 129 + "x"),  # 259 bytes after the prefix
        ("\\\\?\\" + "é" * 130, "\\\\?\\" + "é" * 130),  # 260 bytes keep it
    ],
)
def test_extended_length_prefix_rules_apply_to_input_texts(raw, expected):
    assert native.normalize_path(raw) == expected


def test_fingerprint_of_blank_input_hashes_no_bytes():
    assert native.path_fingerprint("") == native.path_fingerprint(" \n") == "da39a3ee5e6b"


def test_two_spellings_of_one_directory_share_a_fingerprint(tree, monkeypatch):
    monkeypatch.chdir(tree)
    fingerprint = native.path_fingerprint(f"{tree}/existing")
    assert native.path_fingerprint("link/") == fingerprint
    assert fingerprint == sha1_prefix(f"{tree}/existing")
    assert native.path_fingerprint("missing/a") != native.path_fingerprint("missing/b")


@given(st.text(st.characters(exclude_categories=["Cs"])))
def test_fingerprint_is_the_sha1_prefix_of_the_normalised_text(raw):
    fingerprint = native.path_fingerprint(raw)
    assert len(fingerprint) == 12
    assert fingerprint == sha1_prefix(native.normalize_path(raw))
