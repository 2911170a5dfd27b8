"""Property-based tests of the token vocabulary: any token value, and any
token table, gives an answer or a Python error, never a crash."""
import csv
import io
import os
import tempfile

import pytest
from hypothesis import given
from hypothesis import strategies as st

from .fuzz import FUZZ, module, vocabulary

abstract = module()
KINDS = {"os", "platform", "model", "submodel", "pid", "unknown"}


@pytest.fixture(autouse=True, scope="module")
def shipped_table():
    module()
    yield
    module()


def texts(value):
    return isinstance(value, str) or (isinstance(value, list) and value
                                      and all(isinstance(v, str) for v in value))


@FUZZ
@given(st.one_of(vocabulary(abstract), st.text(max_size=40)))
def test_any_token_value_maps_to_a_token_dict(value):
    tokens = abstract.compute_tokens(value)
    assert set(tokens) <= KINDS and tokens
    if "unknown" in tokens:
        assert tokens == {"unknown": value}
    else:
        assert all(texts(v) for v in tokens.values())
        assert "submodel" not in tokens or "model" in tokens
    # the tables are only read
    assert abstract.compute_tokens(value) == tokens


@FUZZ
@given(st.one_of(st.integers(), st.none(), st.floats(), st.lists(st.text(max_size=3))))
def test_values_that_are_not_text_are_refused(value):
    with pytest.raises((AttributeError, TypeError)):
        abstract.compute_tokens(value)


cell = st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
               min_size=1, max_size=10)


@FUZZ
@given(st.lists(st.tuples(cell, cell, cell, cell), min_size=1, max_size=12))
def test_a_table_of_any_rows_is_read_and_each_pid_finds_its_row(rows):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "pid_tokens.csv")
        with open(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(["pid", "os", "platform", "model"])
            writer.writerows(rows)
        # the table is read as a text file, line breaks translated
        with open(path) as f:
            parsed = list(csv.reader(io.StringIO(f.read())))[1:]
        saved = abstract.PID_TOKENS_FILE
        abstract.PID_TOKENS_FILE = path
        try:
            for table in (abstract.TOKEN_HIERARCHY, abstract.PID_TOKENS,
                          abstract.MODEL_TOKENS, abstract.PLATFORM_TOKENS):
                table.clear()
            try:
                abstract.read_tokens()
            except IndexError:
                assert any(len(r) < 4 for r in parsed)
                return
            last = {r[0]: r for r in parsed}
            for pid, (_, os_, platform, model) in last.items():
                assert abstract.PID_TOKENS[pid] == [model, platform, os_]
                if pid.lower() in abstract.KNOWN_OS | abstract.KNOWN_PLATFORMS:
                    continue
                assert abstract.compute_tokens(pid) == {
                    "os": os_, "platform": platform, "model": model, "pid": pid}
        finally:
            abstract.PID_TOKENS_FILE = saved


@FUZZ
@given(st.binary(max_size=300))
def test_a_table_of_random_bytes_loads_or_raises(data):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "pid_tokens.csv")
        with open(path, "wb") as f:
            f.write(data)
        saved = abstract.PID_TOKENS_FILE
        abstract.PID_TOKENS_FILE = path
        try:
            for table in (abstract.TOKEN_HIERARCHY, abstract.PID_TOKENS,
                          abstract.MODEL_TOKENS, abstract.PLATFORM_TOKENS):
                table.clear()
            try:
                abstract.read_tokens()
            except (IndexError, UnicodeDecodeError, csv.Error):
                pass
            for value in ("RHENX", "q9800cl", "anything"):
                abstract.compute_tokens(value)
        finally:
            abstract.PID_TOKENS_FILE = saved
